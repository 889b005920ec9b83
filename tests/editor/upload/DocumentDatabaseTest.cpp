#include "editor/DocumentDatabase.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <SQLiteCpp/SQLiteCpp.h>

using namespace zuvo;
using Rows = std::vector<std::optional<QString>>;

namespace {

QString makeDatabase(const QString& dir) {
  const QString path = dir + "/ZuvoEditor.sqlite";
  SQLite::Database db(path.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
  db.exec(test::editorDatabaseSchema());
  db.exec("INSERT INTO tb_documents(name,modified,token) VALUES"
          " ('A_T1.docx','2024-01-02 03:04:05','T1'), ('B_T2.docx','2024-05-05 05:05:05','T2'),"
          " ('A_T1.docx',NULL,'T1'), ('Q_x''y.docx','2024-01-01 00:00:00','x''y'),"
          " ('A_T1.docx','garbage','T1')");
  return path;
}

// name|modified|token|uploaded of every row, in insertion order.
std::vector<std::string> table(const QString& path) {
  SQLite::Database db(path.toStdString());
  SQLite::Statement q(db, "SELECT name, modified, token, uploaded FROM tb_documents ORDER BY rowid");
  std::vector<std::string> rows;
  while (q.executeStep()) {
    std::string row;
    for (int i = 0; i < 4; ++i) row += (i ? "|" : "") + (q.getColumn(i).isNull() ? "NULL" : q.getColumn(i).getString());
    rows.push_back(row);
  }
  return rows;
}

}  // namespace

TEST(DocumentDatabase, SelectReadsEveryRowOfTheTokenBound) {
  const QString db = makeDatabase(test::makeTempDir());
  struct Case {
    QString token;
    Rows expected;
  } cases[] = {
      {"T1", {QString("2024-01-02 03:04:05"), std::nullopt, QString("garbage")}},
      {"T2", {QString("2024-05-05 05:05:05")}},
      {"x'y", {QString("2024-01-01 00:00:00")}},
      {"T1' or '1'='1", {}},
      {"none", {}},
  };
  for (const Case& c : cases) {
    const auto rows = documentdb::modifiedDates(db, c.token);
    ASSERT_TRUE(rows) << c.token.toStdString();
    EXPECT_EQ(*rows, c.expected) << c.token.toStdString();
  }
}

TEST(DocumentDatabase, UpdatesChangeEveryMatchingRowAndNoOther) {
  const QString db = makeDatabase(test::makeTempDir());
  ASSERT_TRUE(documentdb::updateModified(db, "2024-06-01 10:00:00", "T1"));
  ASSERT_TRUE(documentdb::updateUploaded(db, "2024-06-01 08:00:01 +0000", "A_T1.docx"));
  ASSERT_TRUE(documentdb::updateModified(db, "2024-06-02 00:00:00", "nobody"));
  EXPECT_EQ(table(db), (std::vector<std::string>{
                           "A_T1.docx|2024-06-01 10:00:00|T1|2024-06-01 08:00:01 +0000",
                           "B_T2.docx|2024-05-05 05:05:05|T2|NULL",
                           "A_T1.docx|2024-06-01 10:00:00|T1|2024-06-01 08:00:01 +0000",
                           "Q_x'y.docx|2024-01-01 00:00:00|x'y|NULL",
                           "A_T1.docx|2024-06-01 10:00:00|T1|2024-06-01 08:00:01 +0000",
                       }));
}

TEST(DocumentDatabase, MissingFileOrTableFailsAndCreatesNothing) {
  const QString dir = test::makeTempDir();
  const QString missing = dir + "/missing.sqlite";
  EXPECT_FALSE(documentdb::modifiedDates(missing, "T1"));
  EXPECT_FALSE(documentdb::updateModified(missing, "2024-01-01 00:00:00", "T1"));
  EXPECT_FALSE(documentdb::updateUploaded(missing, "2024-01-01 00:00:00 +0000", "A.docx"));
  EXPECT_FALSE(QFile::exists(missing));

  const QString empty = dir + "/empty.sqlite";
  SQLite::Database(empty.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE).exec("CREATE TABLE other (x)");
  EXPECT_FALSE(documentdb::modifiedDates(empty, "T1"));
  EXPECT_FALSE(documentdb::updateModified(empty, "2024-01-01 00:00:00", "T1"));
  EXPECT_FALSE(documentdb::updateUploaded(empty, "2024-01-01 00:00:00 +0000", "A.docx"));
}

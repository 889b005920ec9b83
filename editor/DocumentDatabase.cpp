#include "editor/DocumentDatabase.h"

#include <QFile>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

namespace zuvo::documentdb {

namespace {

// A reader elsewhere (another document's step, a tool) may hold the file for a moment.
constexpr int kBusyTimeoutMs = 2000;

SQLite::Database open(const QString& path) {
  return SQLite::Database(QFile::encodeName(path).toStdString(), SQLite::OPEN_READWRITE,
                          kBusyTimeoutMs);
}

bool update(const QString& databasePath, const char* sql, const QString& first,
            const QString& second) {
  try {
    SQLite::Database db = open(databasePath);
    SQLite::Statement statement(db, sql);
    statement.bind(1, first.toStdString());
    statement.bind(2, second.toStdString());
    statement.exec();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

std::optional<std::vector<std::optional<QString>>> modifiedDates(const QString& databasePath,
                                                                  const QString& token) {
  try {
    SQLite::Database db = open(databasePath);
    SQLite::Statement query(db, "select * from tb_documents where token=?");
    query.bind(1, token.toStdString());
    std::vector<std::optional<QString>> rows;
    while (query.executeStep()) {
      const SQLite::Column column = query.getColumn("modified");
      if (column.isNull())
        rows.emplace_back();
      else
        rows.emplace_back(QString::fromStdString(column.getString()));
    }
    return rows;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool insertDocument(const QString& databasePath, const QString& name, const QString& modified,
                    const QString& token) {
  try {
    SQLite::Database db = open(databasePath);
    SQLite::Statement statement(db, "insert into tb_documents(name,modified,token) values (?,?,?)");
    statement.bind(1, name.toStdString());
    statement.bind(2, modified.toStdString());
    statement.bind(3, token.toStdString());
    statement.exec();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool updateModified(const QString& databasePath, const QString& modified, const QString& token) {
  return update(databasePath, "UPDATE tb_documents SET modified = ? WHERE token = ?", modified, token);
}

bool updateUploaded(const QString& databasePath, const QString& uploaded, const QString& name) {
  return update(databasePath, "UPDATE tb_documents SET uploaded = ? WHERE name = ?", uploaded, name);
}

}  // namespace zuvo::documentdb

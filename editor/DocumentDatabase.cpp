#include "editor/DocumentDatabase.h"

#include <QFile>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <initializer_list>

namespace zuvo::documentdb {

namespace {

// A reader elsewhere (another document's step, a backup tool, an indexer) may hold the file
// for a few seconds; a document that cannot be recorded is not uploaded.
constexpr int kBusyTimeoutMs = 10000;

SQLite::Database open(const QString& path) {
  return SQLite::Database(QFile::encodeName(path).toStdString(), SQLite::OPEN_READWRITE,
                          kBusyTimeoutMs);
}

void setError(QString* error, const std::exception& e) {
  if (error) *error = QString::fromUtf8(e.what());
}

// Runs one statement with its values bound in order.
bool execute(const QString& databasePath, const char* sql, std::initializer_list<QString> values,
             QString* error) {
  try {
    SQLite::Database db = open(databasePath);
    SQLite::Statement statement(db, sql);
    int index = 1;
    for (const QString& value : values) statement.bind(index++, value.toStdString());
    statement.exec();
    return true;
  } catch (const std::exception& e) {
    setError(error, e);
    return false;
  }
}

}  // namespace

std::optional<std::vector<std::optional<QString>>> modifiedDates(const QString& databasePath,
                                                                  const QString& token,
                                                                  QString* error) {
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
  } catch (const std::exception& e) {
    setError(error, e);
    return std::nullopt;
  }
}

bool insertDocument(const QString& databasePath, const QString& name, const QString& modified,
                    const QString& token, QString* error) {
  return execute(databasePath, "insert into tb_documents(name,modified,token) values (?,?,?)",
                 {name, modified, token}, error);
}

bool updateModified(const QString& databasePath, const QString& modified, const QString& token,
                    QString* error) {
  return execute(databasePath, "UPDATE tb_documents SET modified = ? WHERE token = ?", {modified, token}, error);
}

bool updateUploaded(const QString& databasePath, const QString& uploaded, const QString& name,
                    QString* error) {
  return execute(databasePath, "UPDATE tb_documents SET uploaded = ? WHERE name = ?", {uploaded, name}, error);
}

}  // namespace zuvo::documentdb

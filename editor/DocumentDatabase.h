// The statements on tb_documents used while a document is watched. Every call opens the
// database file, runs its statement with bound values and closes the file again; a file that
// cannot be opened (it is never created here) makes the statement fail.
#pragma once

#include <QString>
#include <optional>
#include <vector>

namespace zuvo::documentdb {

// "select * from tb_documents where token=?": the `modified` text of every row of the token,
// read whole before anything is updated. A row whose `modified` is NULL gives no value.
// No value at all when the database cannot be opened or the select fails.
// Every call gives the reason of a failure in *error.
std::optional<std::vector<std::optional<QString>>> modifiedDates(const QString& databasePath,
                                                                  const QString& token,
                                                                  QString* error = nullptr);

// "insert into tb_documents(name,modified,token) values (?,?,?)"; false when it fails.
bool insertDocument(const QString& databasePath, const QString& name, const QString& modified,
                    const QString& token, QString* error = nullptr);

// "UPDATE tb_documents SET modified = ? WHERE token = ?"; false when it fails.
bool updateModified(const QString& databasePath, const QString& modified, const QString& token,
                    QString* error = nullptr);

// "UPDATE tb_documents SET uploaded = ? WHERE name = ?"; false when it fails.
bool updateUploaded(const QString& databasePath, const QString& uploaded, const QString& name,
                    QString* error = nullptr);

}  // namespace zuvo::documentdb

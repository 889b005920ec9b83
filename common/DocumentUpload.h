// The two request bodies sent to the document server: the hand-built multipart upload and
// the status report. The editor and the scanner send the same formats with different values.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace zuvo::upload {

// Fixed for every request: 27 hyphens and 29 digits.
inline constexpr char kBoundary[] = "---------------------------14737809831466499882746641449";

// The value of the "Content-Type" header of an upload.
QByteArray multipartContentType();

// CRLF, the delimiter, one part named "file" with the given file name (unescaped, UTF-8) of
// type application/octet-stream, the content, the closing delimiter with CRLF, and then
// `trailer` as it is (empty for the editor; the scanner appends its token's bytes).
QByteArray multipartBody(const QString& partFileName, const QByteArray& content,
                         const QByteArray& trailer = {});

// The same with the content read whole from a regular file now. No value (and the reason in
// *error) when the file cannot be read: an upload must never carry an empty stand-in.
std::optional<QByteArray> multipartBodyFromFile(const QString& partFileName, const QString& path,
                                                const QByteArray& trailer = {},
                                                QString* error = nullptr);

// "Status=<status>&token=<token>&FileName=<fileName>" (editor) and
// "Status=<status>&token=<token>" (scanner), values inserted as they are, UTF-8.
QByteArray statusBody(const QString& status, const QString& token, const QString& fileName);
QByteArray statusBody(const QString& status, const QString& token);

}  // namespace zuvo::upload

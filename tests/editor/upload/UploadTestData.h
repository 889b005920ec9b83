// The bytes the document server must receive, written out independently of the builder,
// and a way to set a file's modification time to the nanosecond.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

namespace upload_test {

inline const QString kToken = "ABC123";
inline const QString kFileName = QString::fromUtf8("Brief_Müller_ABC123.docx");
inline const QByteArray kDelimiter = "--" + QByteArray(27, '-') + "14737809831466499882746641449";

inline QByteArray uploadBody(const QByteArray& content, const QString& fileName = kFileName) {
  return "\r\n" + kDelimiter + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
         fileName.toUtf8() + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content +
         "\r\n" + kDelimiter + "--\r\n";
}

inline QByteArray statusBody(const char* status, const QString& token = kToken, const QString& fileName = kFileName) {
  return QByteArray("Status=") + status + "&token=" + token.toUtf8() + "&FileName=" + fileName.toUtf8();
}

inline void setMtime(const QString& path, qint64 secs, long nsec = 0) {
  const timespec times[2] = {{0, UTIME_OMIT}, {secs, nsec}};
  ASSERT_EQ(utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

}  // namespace upload_test

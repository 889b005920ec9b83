#include "common/DocumentUpload.h"
#include "platform/fs/Files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zuvo::upload {

namespace {

using files::errnoText;

// Non-blocking open so that a FIFO in the file's place cannot hang the main thread.
std::optional<QByteArray> readRegularFile(const QString& path, QString* error) {
  const QByteArray native = path.toLocal8Bit();
  const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = errnoText(path, errno);
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    if (error) *error = errnoText(path, err);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    if (error)
      *error = S_ISDIR(st.st_mode) ? errnoText(path, EISDIR)
                                   : QStringLiteral("%1: not a regular file").arg(path);
    return std::nullopt;
  }
  QByteArray data;
  data.reserve(qsizetype(st.st_size));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      if (error) *error = errnoText(path, err);
      return std::nullopt;
    }
    data.append(buffer, n);
  }
  ::close(fd);
  return data;
}

}  // namespace

QByteArray multipartContentType() {
  return QByteArrayLiteral("multipart/form-data; boundary=") + kBoundary;
}

QByteArray multipartBody(const QString& partFileName, const QByteArray& content,
                         const QByteArray& trailer) {
  const QByteArray boundary(kBoundary);
  QByteArray body;
  body.reserve(content.size() + trailer.size() + 256);
  body += "\r\n--" + boundary + "\r\n";
  body += "Content-Disposition: form-data; name=\"file\"; filename=\"" + partFileName.toUtf8() +
          "\"\r\n";
  body += "Content-Type: application/octet-stream\r\n\r\n";
  body += content;
  body += "\r\n--" + boundary + "--\r\n";
  body += trailer;
  return body;
}

std::optional<QByteArray> multipartBodyFromFile(const QString& partFileName, const QString& path,
                                                const QByteArray& trailer, QString* error) {
  std::optional<QByteArray> content = readRegularFile(path, error);
  if (!content) return std::nullopt;
  return multipartBody(partFileName, *content, trailer);
}

QByteArray statusBody(const QString& status, const QString& token, const QString& fileName) {
  return (QStringLiteral("Status=") + status + QStringLiteral("&token=") + token +
          QStringLiteral("&FileName=") + fileName)
      .toUtf8();
}

QByteArray statusBody(const QString& status, const QString& token) {
  return (QStringLiteral("Status=") + status + QStringLiteral("&token=") + token).toUtf8();
}

}  // namespace zuvo::upload

#include "platform/fs/PrivateFile.h"
#include "platform/fs/Files.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zuvo {

bool writePrivateFileAtomically(const QString& path, const QByteArray& data, QString* error) {
  const auto fail = [&](const QByteArray& tmp) {
    if (error) *error = files::errnoText(errno);
    if (!tmp.isEmpty()) ::unlink(tmp.constData());
    return false;
  };
  QByteArray tmpl = QFile::encodeName(path + QStringLiteral(".tmp-XXXXXX"));
  const int fd = mkostemp(tmpl.data(), O_CLOEXEC);  // O_EXCL, mode 0600
  if (fd < 0) return fail({});
  qsizetype done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return fail(tmpl);
    }
    done += n;
  }
  if (fsync(fd) != 0) {
    ::close(fd);
    return fail(tmpl);
  }
  if (::close(fd) != 0) return fail(tmpl);
  if (::rename(tmpl.constData(), QFile::encodeName(path).constData()) != 0) return fail(tmpl);
  return true;
}

QByteArray readFileNoFollow(const QString& path) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return {};
  struct stat st {};
  QByteArray data;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char buf[16384];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      data.append(buf, n);
    }
  }
  ::close(fd);
  return data;
}

}  // namespace zuvo

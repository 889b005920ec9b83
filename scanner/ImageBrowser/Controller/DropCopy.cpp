#include "scanner/ImageBrowser/Controller/DropCopy.h"

#include "common/Log.h"
#include "platform/fs/Files.h"
#include "scanner/ImageBrowser/Model/FileTags.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace zuvo {

namespace {

bool fail(int error, QString* errorText) {
  if (errorText) *errorText = files::errnoText(error);
  return false;
}

bool copyBytes(int in, int out) {
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(out, buffer + done, size_t(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += put;
    }
  }
}

}  // namespace

bool copyFileKeepingTags(const QString& from, const QString& to, QString* errorText) {
  const QByteArray source = QFile::encodeName(from), destination = QFile::encodeName(to);
  const int in = ::open(source.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) return fail(errno, errorText);
  struct stat st {};
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int error = S_ISDIR(st.st_mode) ? EISDIR : (errno ? errno : EINVAL);
    ::close(in);
    return fail(error, errorText);
  }
  const int out = ::open(destination.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                         st.st_mode & 0777);
  if (out < 0) {
    const int error = errno;
    ::close(in);
    return fail(error, errorText);
  }
  bool ok = copyBytes(in, out);
  int error = ok ? 0 : errno;
  if (ok) {
    // Tags before the file is complete, so no one lists it without them.
    if (const std::optional<QByteArray> tags = readTagAttribute(from)) {
      if (::fsetxattr(out, kTagsAttribute, tags->constData(), size_t(tags->size()), 0) != 0)
        logError(QStringLiteral("Tags of %1 not kept in its copy: %2").arg(loggableValue(from), files::errnoText(errno)));
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, times);
  }
  if (::close(out) != 0 && ok) {
    ok = false;
    error = errno;
  }
  ::close(in);
  if (!ok) {
    ::unlink(destination.constData());  // ours: made above with O_EXCL
    return fail(error, errorText);
  }
  return true;
}

}  // namespace zuvo

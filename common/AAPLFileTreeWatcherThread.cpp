#include "common/AAPLFileTreeWatcherThread.h"
#include "platform/fs/Files.h"
#include "platform/core/TestHooks.h"

#include "common/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMetaObject>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <set>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLatency = std::chrono::milliseconds(1000);
constexpr int kSliceMs = 250;
constexpr auto kOwnChangeWindow = std::chrono::seconds(2);


// --- paths the program announced it is about to change (inotify fallback) ---

struct OwnChange {
  QString path;
  Clock::time_point until;
};
std::mutex g_ownMutex;
std::vector<OwnChange> g_ownChanges;

bool isOwnChange(const QString& path) {
  std::lock_guard lock(g_ownMutex);
  const auto now = Clock::now();
  std::erase_if(g_ownChanges, [&](const OwnChange& c) { return c.until < now; });
  for (const OwnChange& c : g_ownChanges)
    if (path == c.path || path.startsWith(c.path + QLatin1Char('/'))) return true;
  return false;
}

// The tree's folders below the root, symbolic links not followed.
std::vector<std::string> subfolders(const std::string& root) {
  namespace fs = std::filesystem;
  std::vector<std::string> dirs;
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code typeError;
    if (it->is_directory(typeError) && !it->is_symlink(typeError)) dirs.push_back(it->path().string());
  }
  return dirs;
}

// Calls watch() once for every folder below the root. A folder made inside one that was
// listed before its watch began sends no event: the tree is listed again until it shows no
// folder that was not watched yet.
template <typename Watch>
void forEachNewSubfolder(const std::string& root, Watch watch) {
  std::set<std::string> seen;
  for (bool more = true; more;) {
    more = false;
    for (const std::string& dir : subfolders(root))
      if (seen.insert(dir).second) {
        watch(dir);
        more = true;
      }
  }
}

// One kernel watch on the tree. drain() reads what is pending: whether a change to report
// happened, and whether the root itself is gone (removed or renamed).
class TreeWatch {
 public:
  TreeWatch(std::string root, bool ignoreOwn) : root_(std::move(root)), ignoreOwn_(ignoreOwn) {}
  virtual ~TreeWatch() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }
  // False (errno kept in *err) when the root cannot be watched.
  virtual bool arm(int* err) = 0;
  virtual void drain(bool* changed, bool* rootLost) = 0;

  bool rootStillThere() const {
    struct stat st {};
    return stat(root_.c_str(), &st) == 0 && st.st_dev == rootDev_ && st.st_ino == rootIno_;
  }

 protected:
  bool statRoot(int* err) {
    struct stat st {};
    if (stat(root_.c_str(), &st) != 0) {
      *err = errno;
      return false;
    }
    if (!S_ISDIR(st.st_mode)) {
      *err = ENOTDIR;
      return false;
    }
    rootDev_ = st.st_dev;
    rootIno_ = st.st_ino;
    return true;
  }
  // A folder below the root could not be watched: said once, the rest is still watched.
  void subfolderFailed(const std::string& path, int err) {
    if (limitLogged_) return;
    limitLogged_ = true;
    zuvo::logError(QStringLiteral("Folder watcher cannot watch %1 : %2")
                       .arg(QString::fromStdString(path), zuvo::files::errnoText(err)));
  }

  std::string root_;
  bool ignoreOwn_;
  int fd_ = -1;
  dev_t rootDev_ = 0;
  ino_t rootIno_ = 0;
  bool limitLogged_ = false;
};

class FanotifyWatch final : public TreeWatch {
 public:
  using TreeWatch::TreeWatch;

  bool arm(int* err) override {
    fd_ = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME,
                        O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (fd_ < 0) {
      *err = errno;
      return false;
    }
    if (!statRoot(err)) return false;
    if (fanotify_mark(fd_, FAN_MARK_ADD | FAN_MARK_ONLYDIR, kMask, AT_FDCWD, root_.c_str()) != 0) {
      *err = errno;
      return false;
    }
    markSubfolders();
    return true;
  }

  void drain(bool* changed, bool* rootLost) override {
    alignas(fanotify_event_metadata) char buf[8192];
    bool add = false, flush = false;
    for (;;) {
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      auto* md = reinterpret_cast<fanotify_event_metadata*>(buf);
      for (ssize_t len = n; FAN_EVENT_OK(md, len); md = FAN_EVENT_NEXT(md, len)) {
        if (md->fd >= 0) close(md->fd);
        if (md->vers != FANOTIFY_METADATA_VERSION) continue;
        const auto mask = md->mask;
        if (mask & FAN_Q_OVERFLOW) {
          *changed = true;
          flush = true;
          continue;
        }
        // Folders made or moved by anyone are watched, also those of the program itself.
        if ((mask & FAN_ONDIR) && (mask & (FAN_CREATE | FAN_MOVED_TO))) add = true;
        if ((mask & FAN_ONDIR) && (mask & FAN_MOVED_FROM)) flush = true;
        if ((mask & (FAN_DELETE_SELF | FAN_MOVE_SELF)) && !rootStillThere()) *rootLost = true;
        if (!(ignoreOwn_ && md->pid == getpid())) *changed = true;
      }
    }
    if (*rootLost) return;
    if (flush) {
      // A folder moved out of the tree keeps its mark: start again from the tree as it is.
      fanotify_mark(fd_, FAN_MARK_FLUSH, 0, AT_FDCWD, root_.c_str());
      fanotify_mark(fd_, FAN_MARK_ADD | FAN_MARK_ONLYDIR, kMask, AT_FDCWD, root_.c_str());
    }
    if (flush || add) markSubfolders();
  }

 private:
  static constexpr uint64_t kMask = FAN_MODIFY | FAN_CLOSE_WRITE | FAN_ATTRIB | FAN_CREATE |
                                    FAN_DELETE | FAN_MOVED_FROM | FAN_MOVED_TO | FAN_DELETE_SELF |
                                    FAN_MOVE_SELF | FAN_ONDIR | FAN_EVENT_ON_CHILD;

  void markSubfolders() {
    forEachNewSubfolder(root_, [this](const std::string& dir) {
      if (fanotify_mark(fd_, FAN_MARK_ADD | FAN_MARK_ONLYDIR | FAN_MARK_DONT_FOLLOW, kMask,
                        AT_FDCWD, dir.c_str()) != 0 &&
          errno != ENOENT)
        subfolderFailed(dir, errno);
    });
  }
};

class InotifyWatch final : public TreeWatch {
 public:
  using TreeWatch::TreeWatch;

  bool arm(int* err) override {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
      *err = errno;
      return false;
    }
    if (!statRoot(err)) return false;
    rootWd_ = inotify_add_watch(fd_, root_.c_str(), kMask);
    if (rootWd_ < 0) {
      *err = errno;
      return false;
    }
    folders_[rootWd_] = root_;
    sync();
    return true;
  }

  void drain(bool* changed, bool* rootLost) override {
    alignas(inotify_event) char buf[8192];
    bool resync = false;
    for (;;) {
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      for (ssize_t off = 0; off + ssize_t(sizeof(inotify_event)) <= n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        off += sizeof(inotify_event) + ev->len;
        if (ev->mask & IN_Q_OVERFLOW) {
          *changed = true;
          resync = true;
          continue;
        }
        const auto folder = folders_.find(ev->wd);
        if (folder == folders_.end()) continue;
        const bool isRoot = ev->wd == rootWd_;
        if (ev->mask & IN_IGNORED) {
          if (isRoot) *rootLost = true;
          folders_.erase(folder);
          continue;
        }
        std::string path = folder->second;
        if (ev->len > 0 && ev->name[0] != '\0') path += '/' + std::string(ev->name);
        if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
          // A sub-folder's own removal is also seen as an entry change of its parent.
          if (!isRoot) continue;
          *rootLost = true;
        }
        if ((ev->mask & IN_ISDIR) && (ev->mask & (IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM)))
          resync = true;
        if (!(ignoreOwn_ && isOwnChange(QString::fromStdString(path)))) *changed = true;
      }
    }
    if (resync && !*rootLost) sync();
  }

 private:
  static constexpr uint32_t kMask = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                    IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF |
                                    IN_MOVE_SELF | IN_ONLYDIR;

  // Watches every folder of the tree as it is now and drops watches of folders that left it.
  void sync() {
    std::unordered_map<int, std::string> fresh{{rootWd_, root_}};
    forEachNewSubfolder(root_, [&](const std::string& dir) {
      const int wd = inotify_add_watch(fd_, dir.c_str(), kMask | IN_DONT_FOLLOW);
      if (wd >= 0)
        fresh[wd] = dir;
      else if (errno != ENOENT)
        subfolderFailed(dir, errno);
    });
    for (const auto& [wd, path] : folders_)
      if (!fresh.count(wd)) inotify_rm_watch(fd_, wd);
    folders_ = std::move(fresh);
  }

  int rootWd_ = -1;
  std::unordered_map<int, std::string> folders_;
};

// Says once per process which kernel service the watchers use.
void logBackend(AAPLFileTreeWatcherThread::Backend backend, const QString& why) {
  static std::atomic<int> logged{0};
  const int bit = backend == AAPLFileTreeWatcherThread::Backend::Fanotify ? 1 : 2;
  if (logged.fetch_or(bit) & bit) return;
  if (backend == AAPLFileTreeWatcherThread::Backend::Fanotify)
    zuvo::logInfo(QStringLiteral("Folder watcher uses fanotify"));
  else
    zuvo::logInfo(QStringLiteral("Folder watcher uses inotify%1").arg(why));
}

}  // namespace

std::shared_ptr<AAPLFileTreeWatcherThread> AAPLFileTreeWatcherThread::create(
    const QString& pathToWatch, ChangeHandler changeHandler, bool ignoreOwnChanges, QString* error) {
  const char* missing = pathToWatch.isEmpty() ? "pathToWatch" : !changeHandler ? "changeHandler" : nullptr;
  if (missing) {
    if (error) *error = QStringLiteral("Invalid parameter not satisfying: %1").arg(QLatin1String(missing));
    return nullptr;
  }
  return std::shared_ptr<AAPLFileTreeWatcherThread>(
      new AAPLFileTreeWatcherThread(pathToWatch, std::move(changeHandler), ignoreOwnChanges));
}

AAPLFileTreeWatcherThread::AAPLFileTreeWatcherThread(const QString& path, ChangeHandler handler,
                                                     bool ignoreOwnChanges)
    : paths_{path}, ignoreOwnChanges_(ignoreOwnChanges) {
  std::lock_guard lock(lock_);
  handler_ = std::move(handler);
}

AAPLFileTreeWatcherThread::~AAPLFileTreeWatcherThread() {
  if (wakeFd_ >= 0) close(wakeFd_);
}

void AAPLFileTreeWatcherThread::noteOwnChange(const QString& path) {
  std::lock_guard lock(g_ownMutex);
  g_ownChanges.push_back({QDir::cleanPath(path), Clock::now() + kOwnChangeWindow});
}

void AAPLFileTreeWatcherThread::start() {
  if (started_.exchange(true)) return;
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // The running thread holds the watcher until its body has ended.
  std::thread([self = shared_from_this()]() mutable {
    pthread_setname_np(pthread_self(), "AAPLFileTreeWat");
    self->main();
    self.reset();
  }).detach();
  std::unique_lock lock(armMutex_);
  armCondition_.wait(lock, [this] { return armDone_; });
}

void AAPLFileTreeWatcherThread::armed() {
  std::lock_guard lock(armMutex_);
  armDone_ = true;
  armCondition_.notify_all();
}

void AAPLFileTreeWatcherThread::detachChangeHandler() {
  std::lock_guard lock(lock_);
  handler_ = nullptr;
}

void AAPLFileTreeWatcherThread::cancel() {
  cancelled_ = true;
  if (wakeFd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
  }
}

void AAPLFileTreeWatcherThread::invokeChangeHandler() {
  // Checked and queued under the one lock: a detach either comes first or after the queuing.
  std::lock_guard lock(lock_);
  if (!handler_) return;
  if (QCoreApplication* app = QCoreApplication::instance())
    QMetaObject::invokeMethod(app, handler_, Qt::QueuedConnection);
}

void AAPLFileTreeWatcherThread::main() {
  executing_ = true;
  const std::string root = QFile::encodeName(QDir::cleanPath(paths_.first())).toStdString();
  std::unique_ptr<TreeWatch> watch;
  int err = 0;
  QString why;
  if (ignoreOwnChanges_ && !zuvo::testhooks::forceInotifyWatcher()) {
    watch = std::make_unique<FanotifyWatch>(root, true);
    if (watch->arm(&err)) {
      backend_ = Backend::Fanotify;
    } else {
      watch.reset();
      why = QStringLiteral(" (fanotify: %1)").arg(zuvo::files::errnoText(err));
    }
  }
  // A missing folder is missing for both services; anything else fanotify refuses falls back.
  if (!watch && err != ENOENT && err != ENOTDIR) {
    watch = std::make_unique<InotifyWatch>(root, ignoreOwnChanges_);
    if (watch->arm(&err))
      backend_ = Backend::Inotify;
    else
      watch.reset();
  }
  armed();
  if (!watch) {
    // Silent to the owner, but a folder that is never watched leaves a trace.
    zuvo::logError(QStringLiteral("Folder watcher cannot watch %1 : %2")
                       .arg(paths_.first(), zuvo::files::errnoText(err)));
    executing_ = false;
    finished_ = true;
    return;
  }
  logBackend(backend_, why);

  std::optional<Clock::time_point> deadline;  // end of the open batch
  while (!cancelled_) {
    int timeout = kSliceMs;
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
      timeout = int(std::clamp<long long>(left, 0, kSliceMs));
    }
    pollfd fds[2] = {{watch ? watch->fd() : -1, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    poll(fds, 2, timeout);
    if (cancelled_) break;
    if (watch) {
      bool changed = false, lost = false;
      watch->drain(&changed, &lost);
      if (!lost && !watch->rootStillThere()) {
        // Gone without an event here (a parent moved): the events of a removal, if any, are
        // queued by now and say whose change it was.
        watch->drain(&changed, &lost);
        if (!lost) lost = changed = true;
      }
      if (changed && !deadline) deadline = Clock::now() + kLatency;
      if (lost) watch.reset();  // the path is no longer the folder that was watched
    }
    if (deadline && Clock::now() >= *deadline) {
      deadline.reset();
      invokeChangeHandler();
    }
  }
  watch.reset();
  executing_ = false;
  finished_ = true;
}

// Watches one folder tree on a thread of its own and tells its owner, on the main thread,
// that something in it changed: one handler call per batch, a batch being every change
// within 1.0 s of the first. The removal or renaming of the folder itself is a change too.
// Reads of files are not changes. Only changes after start() are reported.
//
// Use: create(path, handler, ignoreOwnChanges); start(); keep it while the folder matters;
// to stop: detachChangeHandler(), cancel(), drop the reference. The running thread keeps
// the watcher alive until it has ended (within 0.25 s of cancel()).
//
// ignoreOwnChanges: changes made by this process are not reported. Uses fanotify, which
// names the changing process; where the kernel refuses it, inotify plus the paths the
// program announced with noteOwnChange() just before changing them.
// A test hook forces the fallback (platform/core/TestHooks.h).
#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class AAPLFileTreeWatcherThread : public std::enable_shared_from_this<AAPLFileTreeWatcherThread> {
 public:
  using ChangeHandler = std::function<void()>;
  enum class Backend { None, Fanotify, Inotify };

  // Null for an empty path or handler, with "Invalid parameter not satisfying: pathToWatch"
  // (or "changeHandler") in *error. The thread does not run yet.
  static std::shared_ptr<AAPLFileTreeWatcherThread> create(const QString& pathToWatch,
                                                           ChangeHandler changeHandler,
                                                           bool ignoreOwnChanges,
                                                           QString* error = nullptr);
  ~AAPLFileTreeWatcherThread();
  AAPLFileTreeWatcherThread(const AAPLFileTreeWatcherThread&) = delete;
  AAPLFileTreeWatcherThread& operator=(const AAPLFileTreeWatcherThread&) = delete;

  // Starts the thread; returns once the folder is watched (or could not be), so every
  // change after it is seen. A second call does nothing.
  void start();
  // From now on no handler call is queued; calls queued before still run.
  void detachChangeHandler();
  // The thread leaves its loop within 0.25 s and frees its watch.
  void cancel();

  bool isCancelled() const { return cancelled_; }
  bool isExecuting() const { return executing_; }
  bool isFinished() const { return finished_; }
  // What the thread watches with; None until it ran, or when the folder could not be watched.
  Backend backend() const { return backend_; }

  const QString& name() const { return name_; }
  const QStringList& paths() const { return paths_; }
  bool ignoreOwnChanges() const { return ignoreOwnChanges_; }

  // The program is about to change this file or folder (a folder covers what is inside):
  // for the next 2 s the inotify fallback does not report changes there as others' changes.
  static void noteOwnChange(const QString& path);

 private:
  AAPLFileTreeWatcherThread(const QString& path, ChangeHandler handler, bool ignoreOwnChanges);
  void main();
  void invokeChangeHandler();
  void armed();

  const QString name_ = QStringLiteral("AAPLFileTreeWatcherThread");
  const QStringList paths_;
  const bool ignoreOwnChanges_;
  std::recursive_mutex lock_;  // guards handler_ only
  ChangeHandler handler_;
  std::atomic<bool> started_{false};
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> executing_{false};
  std::atomic<bool> finished_{false};
  std::atomic<Backend> backend_{Backend::None};
  int wakeFd_ = -1;  // eventfd: wakes the thread at cancel()
  std::mutex armMutex_;
  std::condition_variable armCondition_;
  bool armDone_ = false;

  friend class FileTreeWatch;
};

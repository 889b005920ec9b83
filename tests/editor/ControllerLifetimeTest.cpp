// How long a document controller lives: held by its thread, then by its watcher's handler,
// and released once the watcher is stopped, also with a handler call still queued.
#include "common/AAPLFileTreeWatcherThread.h"
#include "editor/ViewControllers/DocumentEditController.h"
#include "support/TestSupport.h"

#include <QDeadlineTimer>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace zuvo::test;

namespace {

// Counts the live copies of the handler it is captured in: the watcher copies its handler into
// the main thread's queue for every call, and the copy goes once the call has run.
struct CopyCount {
  std::shared_ptr<std::atomic<int>> live = std::make_shared<std::atomic<int>>(0);
  CopyCount() { ++*live; }
  CopyCount(const CopyCount& other) : live(other.live) { ++*live; }
  CopyCount& operator=(const CopyCount&) = delete;
  ~CopyCount() { --*live; }
};

// Polls without running the event loop (the main thread stays busy).
bool becomes(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s) {
  QDeadlineTimer deadline(timeout);
  while (!pred()) {
    if (deadline.hasExpired()) return pred();
    QThread::msleep(5);
  }
  return true;
}

// The controller and its watcher keep each other alive, as the opening step sets them up.
std::weak_ptr<DocumentEditController> watchedController(const QString& folder, int* calls,
                                                        std::weak_ptr<DocInfo>* infoOut,
                                                        const CopyCount& handlers = {}) {
  auto controller = DocumentEditController::create();
  controller->download_url = QStringLiteral("http://127.0.0.1/d/L_T1.docx");
  auto info = std::make_shared<DocInfo>();
  info->token = QStringLiteral("T1");
  *infoOut = info;
  controller->fileTreeWatcherThread = AAPLFileTreeWatcherThread::create(
      folder,
      [controller, info, calls, handlers] {
        // Runs with both still alive, however late it comes.
        EXPECT_EQ(info->token, QStringLiteral("T1"));
        EXPECT_TRUE(controller->download_url.has_value());
        ++*calls;
      },
      true);
  controller->fileTreeWatcherThread->start();
  return controller;
}

// Another process saves the document.
void saveFromOutside(const QString& folder) {
  ASSERT_EQ(runProgram("/bin/sh", {"-c", QString("echo x > '%1/L_T1.docx'").arg(folder)}), 0);
}

void stopWatching(const std::weak_ptr<DocumentEditController>& weak) {
  auto controller = weak.lock();
  ASSERT_TRUE(controller);
  controller->fileTreeWatcherThread->detachChangeHandler();
  controller->fileTreeWatcherThread->cancel();
  controller->fileTreeWatcherThread.reset();
  controller->cancel();
}

// A controller watched on a folder of its own, with the handler's copies counted.
struct Watched {
  QString folder = makeTempDir("doc");
  int calls = 0;
  std::weak_ptr<DocInfo> info;
  CopyCount handlers;
  std::weak_ptr<DocumentEditController> weak = watchedController(folder, &calls, &info, handlers);
  int held = *handlers.live;  // the copies alive before any call is queued
};

}  // namespace

TEST(ControllerLifetime, WatchedControllerLivesUntilTheWatcherIsStopped) {
  Watched w;
  saveFromOutside(w.folder);
  ASSERT_TRUE(waitUntil([&] { return w.calls == 1; }, 5s));
  // The queued call's copy of the handler is gone: only the watcher holds the controller now.
  ASSERT_TRUE(waitUntil([&] { return *w.handlers.live == w.held; }, 5s)) << *w.handlers.live << " vs " << w.held;
  EXPECT_FALSE(w.weak.expired());

  stopWatching(w.weak);
  EXPECT_TRUE(waitUntil([&] { return w.weak.expired() && w.info.expired(); }, 3s));
}

TEST(ControllerLifetime, CallQueuedBeforeStopStillFindsItsController) {
  Watched w;
  saveFromOutside(w.folder);
  // The main thread is busy while the batch ends: the call waits in its queue.
  ASSERT_TRUE(becomes([&] { return *w.handlers.live > w.held; })) << "no call was queued";
  EXPECT_EQ(w.calls, 0);
  stopWatching(w.weak);
  EXPECT_TRUE(waitUntil([&] { return w.calls == 1; }, 3s));
  EXPECT_TRUE(waitUntil([&] { return w.weak.expired() && w.info.expired(); }, 3s));
}

TEST(ControllerLifetime, ControllerWhoseWatcherNeverStartsIsReleased) {
  std::weak_ptr<DocumentEditController> weak;
  int calls = 0;
  std::weak_ptr<DocInfo> info;
  weak = watchedController(makeTempDir("doc") + "/missing", &calls, &info);
  // A watcher that could not watch has ended, but its handler still holds the controller
  // until the controller stops it.
  ASSERT_TRUE(waitUntil([&] {
    const auto controller = weak.lock();
    return controller && controller->fileTreeWatcherThread->isFinished();
  }, 5s));
  ASSERT_FALSE(weak.expired());
  stopWatching(weak);
  EXPECT_TRUE(waitUntil([&] { return weak.expired() && info.expired(); }, 3s));
  EXPECT_EQ(calls, 0);
}

// How long a document controller lives: held by its thread, then by its watcher's handler,
// and released once the watcher is stopped, also with a handler call still queued.
#include "common/AAPLFileTreeWatcherThread.h"
#include "editor/ViewControllers/DocumentEditController.h"
#include "support/TestSupport.h"

#include <QThread>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace zuvo::test;

namespace {

// The controller and its watcher keep each other alive, as the opening step sets them up.
std::weak_ptr<DocumentEditController> watchedController(const QString& folder, int* calls,
                                                        std::weak_ptr<DocInfo>* infoOut) {
  auto controller = DocumentEditController::create();
  controller->download_url = QStringLiteral("http://127.0.0.1/d/L_T1.docx");
  auto info = std::make_shared<DocInfo>();
  info->token = QStringLiteral("T1");
  *infoOut = info;
  controller->fileTreeWatcherThread = AAPLFileTreeWatcherThread::create(
      folder,
      [controller, info, calls] {
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

}  // namespace

TEST(ControllerLifetime, WatchedControllerLivesUntilTheWatcherIsStopped) {
  const QString folder = makeTempDir("doc");
  int calls = 0;
  std::weak_ptr<DocInfo> info;
  const auto weak = watchedController(folder, &calls, &info);
  saveFromOutside(folder);
  ASSERT_TRUE(waitUntil([&] { return calls == 1; }, 5s));
  spin(300ms);
  EXPECT_FALSE(weak.expired());

  stopWatching(weak);
  EXPECT_TRUE(waitUntil([&] { return weak.expired() && info.expired(); }, 3s));
}

TEST(ControllerLifetime, CallQueuedBeforeStopStillFindsItsController) {
  const QString folder = makeTempDir("doc");
  int calls = 0;
  std::weak_ptr<DocInfo> info;
  const auto weak = watchedController(folder, &calls, &info);
  saveFromOutside(folder);
  // The main thread is busy while the batch ends: the call waits in its queue.
  QThread::sleep(3);
  EXPECT_EQ(calls, 0);
  stopWatching(weak);
  EXPECT_TRUE(waitUntil([&] { return calls == 1; }, 3s));
  EXPECT_TRUE(waitUntil([&] { return weak.expired() && info.expired(); }, 3s));
}

TEST(ControllerLifetime, ControllerWhoseWatcherNeverStartsIsReleased) {
  std::weak_ptr<DocumentEditController> weak;
  int calls = 0;
  std::weak_ptr<DocInfo> info;
  weak = watchedController(makeTempDir("doc") + "/missing", &calls, &info);
  // A watcher that could not watch has ended, but its handler still holds the controller
  // until the controller stops it.
  spin(300ms);
  ASSERT_FALSE(weak.expired());
  stopWatching(weak);
  EXPECT_TRUE(waitUntil([&] { return weak.expired() && info.expired(); }, 3s));
  EXPECT_EQ(calls, 0);
}

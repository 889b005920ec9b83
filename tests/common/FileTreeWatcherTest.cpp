// The folder watcher on real folders, changed by child processes (others) and by the test
// process itself (own changes), under each way the watcher can watch.
#include "common/AAPLFileTreeWatcherThread.h"
#include "platform/core/TestHooks.h"
#include "platform/fs/Paths.h"
#include "common/Log.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using zuvo::test::makeTempDir;
using zuvo::test::spin;
using zuvo::test::waitUntil;
using Backend = AAPLFileTreeWatcherThread::Backend;

namespace {

struct Mode {
  const char* name;
  bool ignoreOwnChanges;
  bool forceInotify;
};

// A shell command run by another process.
void other(const QString& script) {
  ASSERT_EQ(zuvo::test::runProgram("/bin/sh", {"-c", script}), 0) << script.toStdString();
}

class Watcher : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    if (GetParam().forceInotify) zuvo::testhooks::setForceInotifyWatcher(true);
    root = makeTempDir("watched");
  }
  void TearDown() override {
    if (watcher) {
      watcher->detachChangeHandler();
      watcher->cancel();
    }
    zuvo::testhooks::setForceInotifyWatcher(false);
  }
  void watch(const QString& path) {
    watcher = AAPLFileTreeWatcherThread::create(path, [this] {
      EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
      ++calls;
    }, GetParam().ignoreOwnChanges);
    watcher->start();
  }
  void expectBackend() {
    const Mode m = GetParam();
    if (m.ignoreOwnChanges && !m.forceInotify) {
      if (watcher->backend() != Backend::Fanotify) GTEST_SKIP() << "fanotify refused here";
    } else {
      EXPECT_EQ(watcher->backend(), Backend::Inotify);
    }
  }
  // Waits for the calls a change gives and then for a quiet time well beyond one batch.
  int settledCalls(std::chrono::milliseconds quiet = 1800ms) {
    spin(quiet);
    return calls;
  }

  QString root;
  std::shared_ptr<AAPLFileTreeWatcherThread> watcher;
  int calls = 0;
};

TEST_P(Watcher, ChangesWithinOneSecondAreOneBatch) {
  watch(root);
  expectBackend();
  other(QString("echo a > '%1/a'; sleep 0.3; echo b > '%1/b'; mkdir '%1/d'").arg(root));
  ASSERT_TRUE(waitUntil([&] { return calls > 0; }, 5s));
  EXPECT_EQ(settledCalls(), 1);

  calls = 0;
  other(QString("echo a >> '%1/a'; sleep 1.6; rm '%1/b'").arg(root));
  ASSERT_TRUE(waitUntil([&] { return calls >= 2; }, 5s));
  EXPECT_EQ(settledCalls(), 2);
}

TEST_P(Watcher, SubfoldersMadeLaterAreWatched) {
  watch(root);
  other(QString("mkdir -p '%1/sub/a/b/c/d/e'").arg(root));
  ASSERT_TRUE(waitUntil([&] { return calls > 0; }, 5s));
  settledCalls(500ms);
  for (const char* file : {"sub/f", "sub/a/b/g", "sub/a/b/c/d/e/h"}) {
    calls = 0;
    other(QString("echo x > '%1/%2'").arg(root, file));
    EXPECT_TRUE(waitUntil([&] { return calls > 0; }, 5s)) << file;
    EXPECT_EQ(settledCalls(), 1) << file;
  }
  // A folder moved out of the tree is no longer watched.
  other(QString("mkdir '%1/../outside-%2' && mv '%1/sub' '%1/../outside-%2/'")
            .arg(root, GetParam().name));
  ASSERT_TRUE(waitUntil([&] { return calls > 1; }, 5s));
  settledCalls(500ms);
  calls = 0;
  other(QString("echo y > '%1/../outside-%2/sub/f'").arg(root, GetParam().name));
  EXPECT_EQ(settledCalls(), 0);
}

TEST_P(Watcher, RemovingOrRenamingTheRootIsAChange) {
  for (const char* script : {"rm -rf '%1'", "mv '%1' '%1-renamed'", "rmdir '%1'"}) {
    calls = 0;
    root = makeTempDir("root");
    watch(root);
    other(QString(script).arg(root));
    EXPECT_TRUE(waitUntil([&] { return calls > 0; }, 5s)) << script;
    EXPECT_EQ(settledCalls(), 1) << script;
    // Watching a path that is gone: later changes at the old place are not the folder's.
    if (QString(script).startsWith("mv")) {
      calls = 0;
      other(QString("echo z > '%1-renamed/f'").arg(root));
      EXPECT_EQ(settledCalls(), 0) << script;
    }
    watcher->detachChangeHandler();
    watcher->cancel();
  }
}

TEST_P(Watcher, OwnChangesAreReportedOnlyWhenAsked) {
  ASSERT_TRUE(QDir(root).mkpath("sub"));
  watch(root);
  expectBackend();
  const bool inotifyRecord = GetParam().ignoreOwnChanges && GetParam().forceInotify;
  for (const QString& file : {root + "/own.txt", root + "/sub/own.txt"}) {
    if (inotifyRecord) AAPLFileTreeWatcherThread::noteOwnChange(file);
    ASSERT_TRUE(zuvo::test::writeFile(file, "mine"));
  }
  if (inotifyRecord) AAPLFileTreeWatcherThread::noteOwnChange(root + "/new");
  ASSERT_TRUE(QDir(root).mkpath("new/deeper"));
  const int expected = GetParam().ignoreOwnChanges ? 0 : 1;
  EXPECT_EQ(settledCalls(), expected);

  // Others' changes are reported, also inside a folder the program made itself (once the
  // record of the program's own changes has run out).
  if (inotifyRecord) spin(1000ms);
  calls = 0;
  other(QString("echo theirs > '%1/own.txt'; echo theirs > '%1/new/deeper/f'").arg(root));
  ASSERT_TRUE(waitUntil([&] { return calls > 0; }, 5s));
  EXPECT_EQ(settledCalls(), 1);
}

TEST_P(Watcher, ReadsAndChangesBeforeStartAreNotReported) {
  ASSERT_TRUE(zuvo::test::writeFile(root + "/before.txt", "old"));
  ASSERT_TRUE(QDir(root).mkpath("d"));
  watch(root);
  other(QString("cat '%1/before.txt' > /dev/null; ls -R '%1' > /dev/null; "
                "head -c1 '%1/before.txt' > /dev/null").arg(root));
  EXPECT_EQ(settledCalls(), 0);
}

TEST_P(Watcher, DetachThenCancelQueuesNothingMore) {
  watch(root);
  QProcess writer;
  writer.start("/bin/sh", {"-c", QString("i=0; while [ $i -lt 40 ]; do echo $i > '%1/f'; "
                                         "i=$((i+1)); sleep 0.1; done").arg(root)});
  ASSERT_TRUE(writer.waitForStarted());
  ASSERT_TRUE(waitUntil([&] { return calls > 0; }, 5s));
  watcher->detachChangeHandler();
  watcher->cancel();
  const int atDetach = calls;
  std::weak_ptr<AAPLFileTreeWatcherThread> weak = watcher;
  watcher.reset();
  // The running thread held the watcher; it ends and lets go.
  EXPECT_TRUE(waitUntil([&] { return weak.expired(); }, 3s));
  // With the thread gone nothing more can be queued: what the queue holds now is all there is.
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(calls, atDetach);
  writer.kill();
  writer.waitForFinished();
}

// All log files' text.
QString logText() {
  zuvo::flushLog();
  QString text;
  const QDir logs(zuvo::paths::logsFolder());
  for (const QString& name : logs.entryList(QDir::Files))
    text += QString::fromUtf8(zuvo::test::readFile(logs.filePath(name)));
  return text;
}

TEST_P(Watcher, MissingFolderEndsTheThreadWithoutACall) {
  zuvo::LogOptions options;
  options.systemLog = false;
  options.console = false;
  zuvo::setupLog(zuvo::paths::logsFolder(), "com.roza.zuvoeditor", "ZuvoEditor", options);
  watch(root + "/missing");
  EXPECT_TRUE(waitUntil([&] { return watcher->isFinished(); }, 2s));
  EXPECT_EQ(watcher->backend(), Backend::None);
  other(QString("mkdir '%1/missing'; echo x > '%1/missing/f'").arg(root));
  EXPECT_EQ(settledCalls(), 0);
  // Silent to its owner, but one trace in the log.
  EXPECT_EQ(logText().count("Folder watcher cannot watch " + root + "/missing : "), 1) << logText().toStdString();
}

TEST_P(Watcher, CancelBeforeStartEndsAtOnce) {
  watcher = AAPLFileTreeWatcherThread::create(root, [this] { ++calls; }, GetParam().ignoreOwnChanges);
  watcher->cancel();
  watcher->start();
  other(QString("echo x > '%1/f'").arg(root));
  EXPECT_TRUE(waitUntil([&] { return watcher->isFinished(); }, 2s));
  EXPECT_EQ(settledCalls(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, Watcher,
                         ::testing::Values(Mode{"reportOwn", false, false},
                                           Mode{"fanotify", true, false},
                                           Mode{"inotifyRecord", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WatcherPreconditions, PathAndHandlerAreRequired) {
  QString error;
  EXPECT_EQ(AAPLFileTreeWatcherThread::create("", [] {}, true, &error), nullptr);
  EXPECT_EQ(error, "Invalid parameter not satisfying: pathToWatch");
  EXPECT_EQ(AAPLFileTreeWatcherThread::create("/tmp", nullptr, true, &error), nullptr);
  EXPECT_EQ(error, "Invalid parameter not satisfying: changeHandler");
}

}  // namespace

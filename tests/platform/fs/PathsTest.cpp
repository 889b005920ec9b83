#include "platform/fs/Files.h"
#include "platform/fs/Paths.h"

#include <gtest/gtest.h>

#include <QDir>
#include <cstdlib>
#include <sys/stat.h>

using namespace zuvo;

namespace {
struct EnvGuard {
  QByteArray name, old;
  bool had;
  EnvGuard(const char* n, const QByteArray& value) : name(n), old(qgetenv(n)), had(qEnvironmentVariableIsSet(n)) {
    qputenv(n, value);
  }
  ~EnvGuard() { had ? qputenv(name, old) : qunsetenv(name); }
};
}  // namespace

TEST(Paths, DataFolderAndBundlesUnderXdgDataHome) {
  EnvGuard g("XDG_DATA_HOME", "/srv/x/data");
  EXPECT_EQ(paths::applicationSupportDirectory(), "/srv/x/data");
  EXPECT_EQ(paths::dataFolder(), "/srv/x/data/ZuvoDocV30");
  EXPECT_EQ(paths::bundlePath("ZuvoScanner"), "/srv/x/data/ZuvoDocV30/ZuvoScanner.app");
  EXPECT_EQ(paths::bundleExecutable("ZuvoScanner"),
            "/srv/x/data/ZuvoDocV30/ZuvoScanner.app/Contents/MacOS/ZuvoScanner");
}

TEST(Paths, RelativeOrEmptyXdgDataHomeFallsBackToHome) {
  EnvGuard home("HOME", "/home/tester");
  for (const char* value : {"relative/data", ""}) {
    EnvGuard g("XDG_DATA_HOME", value);
    EXPECT_EQ(paths::applicationSupportDirectory(), "/home/tester/.local/share") << value;
  }
}

TEST(Paths, TemporaryDirectoryIsPrivate) {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  ASSERT_FALSE(runtime.isEmpty());
  EXPECT_EQ(paths::temporaryDirectory(), runtime);

  // A runtime folder others can enter is not used; a private one is made instead.
  const QByteArray open = (runtime + "/open").toLocal8Bit();
  ASSERT_EQ(mkdir(open.constData(), 0755), 0);
  chmod(open.constData(), 0755);
  EnvGuard g("XDG_RUNTIME_DIR", open);
  const QString made = paths::temporaryDirectory();
  ASSERT_FALSE(made.isEmpty());
  EXPECT_NE(made, QString::fromLocal8Bit(open));
  struct stat st {};
  ASSERT_EQ(lstat(made.toLocal8Bit().constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(paths::temporaryDirectory(), made);  // made once per process
}

TEST(Paths, MakePrivatePathCreatesParentsWithMode) {
  const QString base = qEnvironmentVariable("XDG_DATA_HOME") + "/a/b/c";
  ASSERT_TRUE(files::makeFolderPath(base));
  struct stat st {};
  ASSERT_EQ(stat(base.toLocal8Bit().constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(files::makeFolderPath(base));  // exists already
}

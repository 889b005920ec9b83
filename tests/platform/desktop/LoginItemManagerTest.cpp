// Login items on the user's autostart folder.
#include "platform/desktop/DesktopEntry.h"
#include "platform/desktop/LoginItemManager.h"
#include "platform/fs/Paths.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace zuvo;
using namespace zuvo::test;

namespace {

// A bundle <dir>/<name>.app with an executable inside.
QString makeBundle(const QString& dir, const QString& name) {
  const QString bundle = dir + "/" + name + ".app";
  const QString exe = bundle + "/Contents/MacOS/" + name;
  QDir().mkpath(QFileInfo(exe).absolutePath());
  writeFile(exe, "#!/bin/sh\n");
  QFile::setPermissions(exe, QFile::permissions(exe) | QFile::ExeOwner);
  return bundle;
}

QString autostart() { return LoginItemManager::autostartFolder(); }

QStringList entries() { return QDir(autostart()).entryList({"*.desktop"}, QDir::Files, QDir::Name); }

void writeEntry(const QString& name, const QString& exec) {
  QDir().mkpath(autostart());
  writeFile(autostart() + "/" + name, ("[Desktop Entry]\nType=Application\nName=N\nExec=" + exec + "\n").toUtf8());
}

}  // namespace

TEST(LoginItems, AddWritesOneValidEntryAndRemoveTakesItAway) {
  const QString dir = makeTempDir("with blanks and 'quotes'");
  const QString server = makeBundle(dir, "ZuvoLocalServer");
  ASSERT_FALSE(QFileInfo::exists(autostart()));

  LoginItemManager manager;
  QString error;
  EXPECT_FALSE(manager.willLaunchAtLogin(server));
  ASSERT_TRUE(manager.setLaunchAtLogin(true, server, &error)) << error.toStdString();
  ASSERT_TRUE(manager.setLaunchAtLogin(true, server, &error)) << error.toStdString();
  ASSERT_EQ(entries(), QStringList{"com.roza.zuvolocalserver.desktop"});
  EXPECT_TRUE(manager.willLaunchAtLogin(server));
  // The same program by another spelling of its path.
  EXPECT_TRUE(manager.willLaunchAtLogin(dir + "/./ZuvoLocalServer.app/"));
  EXPECT_TRUE(manager.willLaunchAtLogin(server + "/Contents/MacOS/ZuvoLocalServer"));

  const QString file = autostart() + "/com.roza.zuvolocalserver.desktop";
  QByteArray out, err;
  EXPECT_EQ(runProgram("desktop-file-validate", {file}, &out, &err), 0) << out.toStdString() << err.toStdString();
  const auto keys = desktop_entry::readDesktopEntry(file);
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->value("Type"), "Application");
  EXPECT_EQ(desktop_entry::parseExec(keys->value("Exec"))->front(),
            QFileInfo(server + "/Contents/MacOS/ZuvoLocalServer").canonicalFilePath());

  ASSERT_TRUE(manager.setLaunchAtLogin(false, server, &error)) << error.toStdString();
  EXPECT_TRUE(entries().isEmpty());
  EXPECT_TRUE(manager.setLaunchAtLogin(false, server, &error));  // not an item: nothing to do
}

TEST(LoginItems, IdentityIsTheResolvedProgramAndOtherEntriesStayAsTheyAre) {
  const QString dir = makeTempDir("ids");
  const QString editor = makeBundle(dir, "ZuvoEditor");
  const QString exe = editor + "/Contents/MacOS/ZuvoEditor";
  ASSERT_TRUE(QFile::link(editor, dir + "/link.app"));
  // Two entries for the editor (one through a symbolic link), one that does not resolve,
  // one of another program, one on PATH and one broken.
  writeEntry("a-first.desktop", desktop_entry::quoteExecArgument(dir + "/link.app/Contents/MacOS/ZuvoEditor") + " %U");
  writeEntry("b-second.desktop", desktop_entry::quoteExecArgument(exe));
  writeEntry("0-gone.desktop", desktop_entry::quoteExecArgument(dir + "/gone/ZuvoEditor"));
  writeEntry("c-other.desktop", "/bin/sh -c true");
  writeEntry("d-path.desktop", "sh");
  writeEntry("e-broken.desktop", "\"" + exe);
  QMap<QString, QByteArray> before;
  for (const QString& f : entries()) before[f] = readFile(autostart() + "/" + f);

  LoginItemManager manager;
  const auto found = manager.findItemWithURL(editor);
  ASSERT_TRUE(found);
  EXPECT_EQ(QFileInfo(found->file).fileName(), "a-first.desktop");
  EXPECT_TRUE(manager.willLaunchAtLogin("/bin/sh"));
  EXPECT_FALSE(manager.willLaunchAtLogin(dir + "/gone/ZuvoEditor"));
  EXPECT_FALSE(manager.willLaunchAtLogin(""));

  // One removal takes only the first of the two.
  ASSERT_TRUE(manager.setLaunchAtLogin(false, editor));
  EXPECT_FALSE(QFileInfo::exists(autostart() + "/a-first.desktop"));
  EXPECT_TRUE(manager.willLaunchAtLogin(editor));
  ASSERT_TRUE(manager.setLaunchAtLogin(false, editor));
  EXPECT_FALSE(manager.willLaunchAtLogin(editor));
  for (const char* f : {"0-gone.desktop", "c-other.desktop", "d-path.desktop", "e-broken.desktop"})
    EXPECT_EQ(readFile(autostart() + "/" + f), before[f]) << f;
}

TEST(LoginItems, AnotherProgramsEntryOfTheSameNameIsNeverReplaced) {
  const QString editor = makeBundle(makeTempDir("b"), "ZuvoEditor");
  writeEntry("com.roza.zuvoeditor.desktop", "/bin/sh");
  const QByteArray before = readFile(autostart() + "/com.roza.zuvoeditor.desktop");
  LoginItemManager manager;
  QString error;
  EXPECT_FALSE(manager.setLaunchAtLogin(true, editor, &error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_EQ(readFile(autostart() + "/com.roza.zuvoeditor.desktop"), before);
  EXPECT_EQ(entries(), QStringList{"com.roza.zuvoeditor.desktop"});
  // A program that does not exist is not added.
  EXPECT_FALSE(manager.setLaunchAtLogin(true, makeTempDir("c") + "/ZuvoLocalServer.app", &error));
}

TEST(LoginItems, AChangeOfTheFolderIsObserved) {
  LoginItemManager manager;
  int changes = 0;
  QObject::connect(&manager, &LoginItemManager::launchAtLoginChanged, [&] { ++changes; });
  // The folder does not exist yet: its making is seen, then an entry in it.
  ASSERT_TRUE(QDir().mkpath(autostart()));
  ASSERT_TRUE(waitUntil([&] { return changes > 0; }));
  const int seen = changes;
  writeEntry("x.desktop", "/bin/sh");
  EXPECT_TRUE(waitUntil([&] { return changes > seen; }));
}

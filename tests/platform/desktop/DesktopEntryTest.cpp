// Exec lines of desktop entries: written by the installer, read back by the login items.
#include "platform/desktop/DesktopEntry.h"
#include "platform/desktop/WordProcessor.h"
#include "support/TestSupport.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace zuvo::desktop_entry;
using namespace zuvo::test;

namespace {

const QStringList kAwkwardPaths = {
    "/home/ann/bin/prog",
    "/home/ann smith/My Programs/ZuvoEditor.app/Contents/MacOS/ZuvoEditor",
    "/home/o\"brien/x",
    "/home/it's/x",
    "/data/100%/x %f",
    "/data/$HOME/x$",
    "/data/back\\slash/x\\",
    "/data/`tick`/x",
    "/data/tab\there/new\nline",
    "/data/ü ß/\\s\\n",
};

}  // namespace

TEST(DesktopEntry, QuotedArgumentsReadBackUnchangedAndPassTheValidator) {
  const QString dir = makeTempDir("entries");
  int n = 0;
  for (const QString& path : kAwkwardPaths) {
    const QString value = quoteExecArgument(path) + " ScanSettings";
    const auto args = parseExec(value);
    ASSERT_TRUE(args) << value.toStdString();
    EXPECT_EQ(*args, (QStringList{path, "ScanSettings"})) << value.toStdString();

    const QString file = QString("%1/e%2.desktop").arg(dir).arg(n++);
    ASSERT_TRUE(writeFile(file, ("[Desktop Entry]\nType=Application\nName=X\nExec=" + value + "\n").toUtf8()));
    QByteArray out, err;
    EXPECT_EQ(runProgram("desktop-file-validate", {file}, &out, &err), 0)
        << path.toStdString() << "\n" << value.toStdString() << "\n" << out.toStdString() << err.toStdString();
    EXPECT_TRUE(out.isEmpty() && err.isEmpty()) << path.toStdString() << ": " << out.toStdString() << err.toStdString();
  }
}

TEST(DesktopEntry, ExecLinesOfOtherProgramsAreParsedByTheRules) {
  const struct {
    const char* value;
    QStringList args;
  } cases[] = {
      {"firefox %u", {"firefox"}},
      {"/usr/bin/gimp-2.10 %U --new", {"/usr/bin/gimp-2.10", "--new"}},
      {"\"/opt/My App/run\" --file=%f", {"/opt/My App/run", "--file="}},
      {"/opt/x --rate=50%% %i %c %k", {"/opt/x", "--rate=50%"}},
      {"\"/opt/a\\\\\\\\b\"", {"/opt/a\\b"}},          // four backslashes: one in the path
      {"\"/opt/\\\\$x\\\\\"q\\\\`\"", {"/opt/$x\"q`"}},
      {"/opt/a\\sb", {"/opt/a", "b"}},              // \s becomes a blank before the arguments are split
      {"  /opt/lead   trail  ", {"/opt/lead", "trail"}},
  };
  for (const auto& c : cases) {
    const auto args = parseExec(c.value);
    ASSERT_TRUE(args) << c.value;
    EXPECT_EQ(*args, c.args) << c.value;
  }
  for (const char* bad : {"", "   ", "\"/opt/unterminated", "%U", "\"\""})
    EXPECT_FALSE(parseExec(bad)) << bad;
}

TEST(DesktopEntry, ReadsOnlyTheDesktopEntryGroup) {
  const QString file = makeTempDir("read") + "/a.desktop";
  ASSERT_TRUE(writeFile(file, "# c\n[Desktop Entry]\nName = A\nExec=/bin/a\n[Desktop Action x]\nExec=/bin/b\n"));
  const auto keys = readDesktopEntry(file);
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->value("Exec"), "/bin/a");
  EXPECT_EQ(keys->value("Name"), "A");
  ASSERT_TRUE(writeFile(file, "[Other]\nExec=/bin/a\n"));
  EXPECT_FALSE(readDesktopEntry(file));
  EXPECT_FALSE(readDesktopEntry(file + ".missing"));
}

// One reader for every entry the programs read: the word processor's as much as the login items'.
TEST(DesktopEntry, AKeyOrGroupWrittenTwiceKeepsItsFirst) {
  const QString file = makeTempDir("twice") + "/a.desktop";
  ASSERT_TRUE(writeFile(file,
                        "[Desktop Entry]\nType=Application\nExec=/bin/first %F\nExec=/bin/second\n"
                        "  # an indented comment\n  Name=A\\sB  \r\nActions=Print;\n"
                        "[Desktop Action Print]\nExec=/bin/print %F\n"
                        "[Desktop Entry]\nExec=/bin/third\n[Desktop Action Print]\nExec=/bin/other\n"));
  const auto groups = readGroups(file);
  ASSERT_TRUE(groups);
  EXPECT_EQ(groups->value("Desktop Entry").value("Exec"), "/bin/first %F");
  EXPECT_EQ(groups->value("Desktop Entry").value("Name"), "A\\sB");
  EXPECT_EQ(groups->value("Desktop Action Print").value("Exec"), "/bin/print %F");

  const auto entry = zuvo::wordprocessor::detail::readDesktopEntry(file);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->exec, "/bin/first %F");
  EXPECT_EQ(entry->name, "A B");
  EXPECT_EQ(entry->actions, QStringList{"Print"});
  EXPECT_EQ(entry->actionExec.value("Print"), "/bin/print %F");
}

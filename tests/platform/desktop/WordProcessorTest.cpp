#include "platform/desktop/WordProcessor.h"

#include "support/FakeWordProcessor.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <sys/stat.h>

namespace wp = zuvo::wordprocessor;
using zuvo::test::FakeWordProcessor;
using zuvo::test::makeTempDir;
using zuvo::test::readFile;
using zuvo::test::waitUntil;
using zuvo::test::writeFile;

namespace {

// The placeholder script as the editor sends it (indentation is free).
QString placeholderScript(const QString& path, const QString& tag, const QString& value) {
  return QStringList{
      "tell application \"Microsoft Word\"",
      "  set theDocFile to POSIX file \"" + path + "\"",
      "  set theDocName to name of (info for theDocFile)",
      "  open theDocFile",
      "  set theDocument to document theDocName",
      "  set myRange to text object of theDocument",
      "  move end of range (text object of document 1) by a character item count -1",
      "  set myFind to find object of selection",
      "  clear formatting myFind",
      "  set match whole word of myFind to true",
      "  set match case of myFind to true",
      "  set forward of myFind to false",
      "  repeat while execute find myFind find text \"" + tag + "\"",
      "    set replace selection of settings to true",
      "    type text selection text \"" + value + "\"",
      "  end repeat",
      "end tell"}
      .join('\n');
}

ino_t inode(const QString& path) {
  struct stat st {};
  return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace

TEST(WordProcessorExec, CommandLinesFollowTheFieldCodes) {
  wp::detail::DesktopEntry entry;
  entry.name = "Word";
  entry.icon = "word-icon";
  entry.path = "/apps/w.desktop";
  struct Case {
    QString exec;
    QStringList files;
    QList<QStringList> expected;
  } cases[] = {
      {"app %F", {"/a", "/b"}, {{"app", "/a", "/b"}}},
      {"app %U", {"/a", "/b"}, {{"app", "/a", "/b"}}},
      {"app %f", {"/a", "/b"}, {{"app", "/a"}, {"app", "/b"}}},
      {"app %u", {"/a"}, {{"app", "/a"}}},
      {"app %F", {}, {{"app"}}},
      {"app --file=%f", {"/a"}, {{"app", "--file=/a"}}},
      {"app", {"/a"}, {{"app"}}},
      {"\"/opt/my app/run\" \"say \\\"hi\\\" \\$HOME \\\\\" %F", {"/x y"},
       {{"/opt/my app/run", "say \"hi\" $HOME \\", "/x y"}}},
      {"app %i --name=%c 100%% %k %d", {}, {{"app", "--icon", "word-icon", "--name=Word", "100%", "/apps/w.desktop"}}},
      {"app \"open quote", {"/a"}, {}},
      {"", {"/a"}, {}},
      {"  ", {"/a"}, {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(wp::detail::commandLines(c.exec, c.files, entry), c.expected) << c.exec.toStdString();
}

TEST(WordProcessorEntry, InstalledByTheXdgLookupRules) {
  const QString valid = "[Desktop Entry]\nType=Application\nName=W\nExec=/bin/true %F\n";
  struct Case {
    const char* name;
    QString home;  // entry in $XDG_DATA_HOME/applications (empty: none)
    QString system;  // entry in the first $XDG_DATA_DIRS folder
    bool installed;
  } cases[] = {
      {"none", "", "", false},
      {"in home", valid, "", true},
      {"in data dirs", "", valid, true},
      {"hidden in home masks data dirs", valid + "Hidden=true\n", valid, false},
      {"home entry decides over data dirs", "[Desktop Entry]\nType=Link\nURL=x\n", valid, false},
      {"not an application", "[Desktop Entry]\nType=Link\nExec=/bin/true\n", "", false},
      {"no main group", "[Something]\nType=Application\nExec=/bin/true\n", "", false},
      {"try-exec missing", valid + "TryExec=/nonexistent/word\n", "", false},
      {"try-exec absolute", valid + "TryExec=/bin/sh\n", "", true},
      {"try-exec in PATH", valid + "TryExec=sh\n", "", true},
      {"hidden false", valid + "Hidden=false\n", "", true},
  };
  for (const Case& c : cases) {
    const QString home = makeTempDir("home"), sys = makeTempDir("sys");
    QDir().mkpath(home + "/applications");
    QDir().mkpath(sys + "/applications");
    if (!c.home.isEmpty()) writeFile(home + "/applications/com.microsoft.Word.desktop", c.home.toUtf8());
    if (!c.system.isEmpty()) writeFile(sys + "/applications/com.microsoft.Word.desktop", c.system.toUtf8());
    qputenv("XDG_DATA_HOME", home.toUtf8());
    qputenv("XDG_DATA_DIRS", (makeTempDir("empty") + ":" + sys).toUtf8());
    EXPECT_EQ(wp::isInstalled(), c.installed) << c.name;
  }
}

TEST(WordProcessorEntry, NoEntryMeansNothingRunsAndNoScriptResult) {
  qputenv("XDG_DATA_DIRS", makeTempDir("empty").toUtf8());
  QElapsedTimer t;
  t.start();
  EXPECT_FALSE(wp::isInstalled());
  EXPECT_FALSE(wp::openFile("/tmp/x.docx"));
  EXPECT_FALSE(wp::printFiles({"/tmp/x.docx"}));
  EXPECT_FALSE(wp::runScript("tell application \"Microsoft Word\"\nend tell").has_value());
  EXPECT_LT(t.elapsed(), 10'000);  // no wait for a name nobody will take
}

TEST(WordProcessorFake, ScriptLaunchesTheWordProcessorAndFillsTheDocument) {
  qputenv("XDG_DATA_DIRS", makeTempDir("empty").toUtf8());
  FakeWordProcessor fake;
  ASSERT_TRUE(wp::isInstalled());
  ASSERT_FALSE(fake.isRunning());
  const QString dir = makeTempDir("doc");
  const QString doc = dir + "/Letter_ABC.docx";
  writeFile(doc, "Dear <<Name>>,\r\n<<Name>> and <<name>> and <<Name>>s and <<Name>>.");

  // Not running: the script starts it, as "tell application" would.
  const auto result = wp::runScript(placeholderScript(doc, "<<Name>>", "Ann \\\"A\\\""));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(fake.text(doc), "Dear Ann \"A\",\r\nAnn \"A\" and <<name>> and <<Name>>s and Ann \"A\".");
  EXPECT_TRUE(QFileInfo::exists(dir + "/~$Letter_ABC.docx"));
  EXPECT_EQ(readFile(doc), "Dear <<Name>>,\r\n<<Name>> and <<name>> and <<Name>>s and <<Name>>.");

  // Scripts the word processor does not understand, or refuses, give no result.
  EXPECT_FALSE(wp::runScript("tell application \"Microsoft Word\" to quit").has_value());
  EXPECT_FALSE(wp::runScript(placeholderScript(doc, "<<A>>", "line\nbreak")).has_value());
  fake.setFailScripts(true);
  EXPECT_FALSE(wp::runScript(placeholderScript(doc, "<<Name>>", "B")).has_value());
  fake.setFailScripts(false);

  const QStringList outcomes = [&] {
    QStringList o;
    for (const auto& line : fake.journal("script")) o << line["outcome"].toString();
    return o;
  }();
  EXPECT_EQ(outcomes, (QStringList{"ok", "refused", "refused", "failed"}));
}

TEST(WordProcessorFake, OpenPrintAndNotifyReachTheRunningInstance) {
  qputenv("XDG_DATA_DIRS", makeTempDir("empty").toUtf8());
  FakeWordProcessor fake({.lock = "office", .notifications = true});
  ASSERT_TRUE(fake.start());
  const QString dir = makeTempDir("doc");
  const QString a = dir + "/a b.docx", b = dir + "/b.docx";
  writeFile(a, "A");
  writeFile(b, "B");

  ASSERT_TRUE(wp::openFile(a));
  ASSERT_TRUE(waitUntil([&] { return fake.documents().contains(a); }));
  EXPECT_TRUE(QFileInfo::exists(dir + "/.~lock.a b.docx#"));

  ASSERT_TRUE(wp::printFiles({b, a}));
  ASSERT_TRUE(waitUntil([&] { return !fake.journal("print").isEmpty(); }));
  EXPECT_EQ(fake.journal("print").first()["paths"].toArray(), (QJsonArray{b, a}));

  zuvo::postUserNotification("Downloading...", "Downloading document...");
  ASSERT_TRUE(waitUntil([&] { return !fake.journal("notify").isEmpty(); }));
  EXPECT_EQ(fake.journal("notify").first()["summary"].toString(), "Downloading...");
  EXPECT_EQ(fake.journal("notify").first()["body"].toString(), "Downloading document...");

  // Insertion at the selection replaces the selected text.
  ASSERT_TRUE(fake.setSelection(a, 0, 1));
  ASSERT_TRUE(wp::runScript("tell application \"Microsoft Word\"\n  set replace selection of settings to true\n"
                            "  type text selection text \"<<X>>\"\nend tell")
                  .has_value());
  EXPECT_EQ(fake.text(a), "<<X>>");

  // Saving in place keeps the file, saving by rename replaces it; closing drops the lock.
  const ino_t before = inode(a);
  ASSERT_TRUE(fake.save(a));
  EXPECT_EQ(inode(a), before);
  EXPECT_EQ(readFile(a), "<<X>>");
  ASSERT_TRUE(fake.saveAndClose(a, "rename"));
  EXPECT_NE(inode(a), before);
  EXPECT_FALSE(QFileInfo::exists(dir + "/.~lock.a b.docx#"));
  EXPECT_EQ(QDir(dir).entryList(QDir::Files | QDir::Hidden).size(), 2);  // a, b: no temporary left
}

TEST(WordProcessorFake, NoPrintActionPrintsNothing) {
  qputenv("XDG_DATA_DIRS", makeTempDir("empty").toUtf8());
  const QString apps = qEnvironmentVariable("XDG_DATA_HOME") + "/applications";
  QDir().mkpath(apps);
  writeFile(apps + "/com.microsoft.Word.desktop",
            "[Desktop Entry]\nType=Application\nExec=/bin/true %F\n[Desktop Action Print]\nExec=/bin/true %F\n");
  EXPECT_TRUE(wp::isInstalled());
  EXPECT_FALSE(wp::printFiles({"/tmp/a"}));  // the action is not listed in Actions
}

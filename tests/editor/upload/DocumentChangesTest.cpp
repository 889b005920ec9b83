#include "editor/DocumentChanges.h"
#include "editor/ViewControllers/DocumentEditController.h"
#include "platform/fs/Files.h"

#include "support/TestSupport.h"
#include "editor/upload/UploadTestData.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

using namespace zuvo;
using namespace std::chrono_literals;

// Compared to the nanosecond with the save last handled; with only the stored text (whole
// seconds) a file counts from the next second on.
TEST(DocumentChanges, ModifiedWhenNewerThanTheHandledSave) {
  const QDateTime stored = QDateTime::fromSecsSinceEpoch(1717236000);
  const std::chrono::nanoseconds base = 1717236000s;
  const std::optional<std::chrono::nanoseconds> none;
  const std::optional<std::chrono::nanoseconds> handled = base + 400ms;
  struct Case {
    std::chrono::nanoseconds file;
    QDateTime stored;
    std::optional<std::chrono::nanoseconds> handled;
    bool modified;
  } cases[] = {
      {base, stored, none, false},
      {base + 999ms, stored, none, false},
      {base + 1s, stored, none, true},
      {base + 1500ms, stored, none, true},
      {base - 5s, stored, none, false},
      {base, QDateTime(), none, true},  // a stored text that could not be read
      {base + 400ms, stored, handled, false},
      {base + 400ms + 1ns, stored, handled, true},  // a save within the second of the download
      {base + 300ms, stored, handled, false},
      {base + 400ms, QDateTime(), handled, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(changes::isModifiedSince(c.file, c.stored, c.handled), c.modified) << c.file.count();
}

TEST(DocumentChanges, ModificationTimeOfRealFiles) {
  const QString dir = test::makeTempDir();
  ASSERT_TRUE(test::writeFile(dir + "/doc.docx", "x"));
  upload_test::setMtime(dir + "/doc.docx", 1717236001, 500000000);
  EXPECT_EQ(changes::modificationTime(dir + "/doc.docx"), 1717236001500ms);
  EXPECT_EQ(changes::toDateTime(1717236001500ms), QDateTime::fromSecsSinceEpoch(1717236001));
  QString error;
  EXPECT_FALSE(changes::modificationTime(dir + "/gone.docx", &error));
  EXPECT_TRUE(error.contains("gone.docx"));
}

TEST(DocumentChanges, EntryCountIncludesHiddenAndOddEntries) {
  const QString dir = test::makeTempDir();
  EXPECT_EQ(changes::folderEntryCount(dir + "/missing"), 0);
  EXPECT_EQ(changes::folderEntryCount(dir), 0);
  ASSERT_TRUE(test::writeFile(dir + "/Letter_T1.docx", "x"));
  EXPECT_EQ(changes::folderEntryCount(dir), 1);
  EXPECT_EQ(changes::folderEntryCount(dir + "/Letter_T1.docx"), 0);
  ASSERT_TRUE(test::writeFile(dir + "/.~lock.Letter_T1.docx#", "x"));
  EXPECT_EQ(changes::folderEntryCount(dir), 2);
  ASSERT_EQ(symlink("nowhere", QFile::encodeName(dir + "/broken").constData()), 0);
  ASSERT_TRUE(QDir().mkdir(dir + "/.sub"));
  EXPECT_EQ(changes::folderEntryCount(dir), 4);
}

TEST(DocumentChanges, MoveNeverReplacesAnExistingDestination) {
  const QString dir = test::makeTempDir();
  ASSERT_TRUE(QDir().mkpath(dir + "/Documents/T1"));
  ASSERT_TRUE(test::writeFile(dir + "/Documents/T1/doc.docx", "doc"));
  ASSERT_TRUE(QDir().mkpath(dir + "/Backup/emptydir"));
  ASSERT_TRUE(test::writeFile(dir + "/Backup/file", "old"));
  for (const QString& taken : {dir + "/Backup/emptydir", dir + "/Backup/file"}) {
    QString error;
    EXPECT_FALSE(files::renameNoReplace(dir + "/Documents/T1", taken, &error));
    EXPECT_TRUE(error.contains("exists")) << error.toStdString();
    EXPECT_EQ(test::readFile(dir + "/Documents/T1/doc.docx"), "doc");
  }
  EXPECT_EQ(test::readFile(dir + "/Backup/file"), "old");
  EXPECT_TRUE(QDir(dir + "/Backup/emptydir").isEmpty());
  EXPECT_FALSE(files::renameNoReplace(dir + "/Documents/none", dir + "/Backup/none"));

  ASSERT_TRUE(files::renameNoReplace(dir + "/Documents/T1", dir + "/Backup/T1"));
  EXPECT_EQ(test::readFile(dir + "/Backup/T1/doc.docx"), "doc");
  EXPECT_FALSE(QFile::exists(dir + "/Documents/T1"));
}

TEST(DocumentChanges, ModifiedTextRoundTripsInLocalTime) {
  qputenv("TZ", "Europe/Berlin");
  tzset();
  const QDateTime summer = QDateTime::fromSecsSinceEpoch(1717236000);  // 2024-06-01 10:00:00 UTC
  EXPECT_EQ(DocumentEditController::formatModifiedDate(summer), "2024-06-01 12:00:00");
  EXPECT_EQ(DocumentEditController::parseModifiedDate("2024-06-01 12:00:00"), summer);
  for (const char* bad : {"", "garbage", "2024-06-01", "2024-13-01 00:00:00", "2024-06-01 12:00:00 +0000"})
    EXPECT_FALSE(DocumentEditController::parseModifiedDate(bad).isValid()) << bad;
  qunsetenv("TZ");
  tzset();
}

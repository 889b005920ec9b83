// Lock files of LibreOffice beside a document: which ones still keep it open.
#include "editor/DocumentChanges.h"
#include "editor/OfficeLocks.h"

#include "support/TestSupport.h"
#include "editor/upload/OfficeLockFixture.h"

#include <gtest/gtest.h>

#include <QFile>
#include <fcntl.h>
#include <sys/stat.h>

using namespace zuvo;
using namespace zuvo::officelocks;

namespace {

void ageFile(const QString& path, int seconds) {
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
  timespec times[2] = {st.st_atim, st.st_mtim};
  times[1].tv_sec -= seconds;
  ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

}  // namespace

TEST(OfficeLocks, ParsesLibreOfficesLockEntries) {
  struct Case {
    QByteArray content;
    bool parses;
    QString author, host, profile;
  } cases[] = {
      {",root,vm,11.12.2026 03:24,file:///tmp/lolx/profile;", true, "", "vm", "file:///tmp/lolx/profile"},
      // Commas, semicolons and backslashes of a field are escaped.
      {"M\\, Ann\\;\\\\,ann,pc.example.org,01.02.2026 10:00,file:///home/ann/.config/libreoffice/4;", true,
       "M, Ann;\\", "pc.example.org", "file:///home/ann/.config/libreoffice/4"},
      {",u,h,d,file:///p;trailing", true, "", "h", "file:///p"},
      {"fake-word,1234\n", false, {}, {}, {}},  // another program's lock
      {",u,h,d,file:///p", false, {}, {}, {}},  // cut short
      {",u,h,file:///p;", false, {}, {}, {}},
      {",u,,d,file:///p;", false, {}, {}, {}},
      {",u,h,d,http://x/p;", false, {}, {}, {}},
      {"", false, {}, {}, {}},
  };
  for (const Case& c : cases) {
    const auto e = parseLock(c.content);
    ASSERT_EQ(e.has_value(), c.parses) << c.content.constData();
    if (!e) continue;
    EXPECT_EQ(e->author, c.author);
    EXPECT_EQ(e->host, c.host);
    EXPECT_EQ(e->profileUrl, c.profile);
  }
}

// The pipe name a LibreOffice with that profile made (its hash bytes without leading zeros).
TEST(OfficeLocks, SingleInstancePipeOfAProfile) {
  EXPECT_EQ(singleInstancePipe("file:///tmp/lolx/profile", 0),
            "/tmp/OSL_PIPE_0_SingleOfficeIPC_bd9c7911f71d1620be370dc84b3567c");
}

TEST(OfficeLocks, HostNamesMatchWithOrWithoutTheirDomain) {
  EXPECT_TRUE(sameHost("vm", "vm"));
  EXPECT_TRUE(sameHost("VM", "vm.example.org"));
  EXPECT_TRUE(sameHost("vm.example.org", "vm"));
  EXPECT_FALSE(sameHost("vm.example.org", "vm.other.org"));
  EXPECT_FALSE(sameHost("vm2", "vm"));
  EXPECT_FALSE(sameHost("", ""));
}

TEST(OfficeLocks, ALockIsLeftOverOnlyWhenItsLibreOfficeIsProvedGone) {
  const QString dir = test::makeTempDir();
  const QString doc = dir + "/Brief_T1.docx";
  ASSERT_TRUE(test::writeFile(doc, "x"));
  test::OfficeInstance office;
  const QString lock = office.writeLock(doc);
  ASSERT_FALSE(lock.isEmpty());

  EXPECT_EQ(lockState(lock), LockState::LeftOver) << "no pipe at all";
  ASSERT_TRUE(office.start());
  ageFile(lock, -2);  // written after the instance started
  EXPECT_EQ(lockState(lock), LockState::Held);
  office.kill();
  EXPECT_EQ(lockState(lock), LockState::LeftOver) << "a socket nobody listens on";
  ASSERT_TRUE(office.start());
  ageFile(lock, 4);  // now older than the instance listening there
  EXPECT_EQ(lockState(lock), LockState::LeftOver) << "a LibreOffice started after the lock was written";

  // Locks no one can judge stay held.
  ASSERT_TRUE(test::writeFile(lock, office.lockContent("elsewhere.example.org")));
  EXPECT_EQ(lockState(lock), LockState::Unknown);
  ASSERT_TRUE(test::writeFile(lock, "fake-word,1\n"));
  EXPECT_EQ(lockState(lock), LockState::Unknown);
  EXPECT_EQ(lockState(dir + "/.~lock.missing#"), LockState::Unknown);
}

// Only the document, left-over locks and the temporary files of a save they cut short: the
// document is closed. Anything else beside it keeps it open.
TEST(OfficeLocks, LeftOverLocksDoNotKeepTheDocumentOpen) {
  test::OfficeInstance live, dead;
  ASSERT_TRUE(live.start());
  struct Case {
    const char* what;
    QStringList files;
    QStringList deadLocks, liveLocks;
    int open;
  } cases[] = {
      {"alone", {}, {}, {}, 1},
      {"left-over lock", {}, {"Brief_T1.docx"}, {}, 1},
      {"left-over lock and save temp", {"lu12345ab.tmp"}, {"Brief_T1.docx"}, {}, 1},
      {"save temp alone", {"lu12345ab.tmp"}, {}, {}, 2},
      {"held lock", {}, {}, {"Brief_T1.docx"}, 2},
      {"held lock and save temp", {"lu1.tmp"}, {}, {"Brief_T1.docx"}, 3},
      {"left-over lock beside another file", {"notes.txt"}, {"Brief_T1.docx"}, {}, 2},
      {"another program's lock", {"~$Brief_T1.docx"}, {}, {}, 2},
  };
  for (const Case& c : cases) {
    const QString dir = test::makeTempDir();
    ASSERT_TRUE(test::writeFile(dir + "/Brief_T1.docx", "x"));
    for (const QString& f : c.files) ASSERT_TRUE(test::writeFile(dir + "/" + f, "y"));
    for (const QString& d : c.deadLocks) ASSERT_FALSE(dead.writeLock(dir + "/" + d).isEmpty());
    for (const QString& d : c.liveLocks) ASSERT_FALSE(live.writeLock(dir + "/" + d).isEmpty());
    for (const QString& d : c.liveLocks) ageFile(dir + "/.~lock." + d + "#", -2);
    EXPECT_EQ(changes::openEntryCount(dir), c.open) << c.what;
    EXPECT_EQ(folderLocks(dir).held, !c.liveLocks.isEmpty()) << c.what;
  }
}

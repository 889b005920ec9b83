// Which letters hold changes the server never accepted, told from the editor's folder alone.
#include "common/LetterState.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

using namespace zuvo;
using namespace zuvo::test;
using std::chrono::nanoseconds;

namespace {

nanoseconds mtime(const QString& path) {
  struct stat st {};
  ::stat(QFile::encodeName(path).constData(), &st);
  return nanoseconds(qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec);
}

void write(const QString& path, const QByteArray& data = "x") {
  QDir().mkpath(QFileInfo(path).path());
  ASSERT_TRUE(writeFile(path, data));
}

QStringList found(const QString& editor) {
  QStringList out;
  for (const letters::Unsent& u : letters::unsentLetters(editor))
    out << u.token + " " + u.name + " " + u.source.mid(editor.size() + 1);
  out.sort();
  return out;
}

}  // namespace

TEST(LetterState, OnlyCopiesTheServerDoesNotHaveAreFound) {
  const QString editor = makeTempDir("editor");
  const QString docs = editor + "/Documents/";
  // As accepted; saved after the accepted copy; nothing records it; no letter at all.
  write(docs + "T1/L_T1.docx");
  write(docs + "T1/.~lock.L_T1.docx#");
  ASSERT_TRUE(letters::recordAccepted(editor, "T1", "L_T1.docx", mtime(docs + "T1/L_T1.docx")));
  write(docs + "T2/L_T2.docx");
  ASSERT_TRUE(letters::recordAccepted(editor, "T2", "L_T2.docx", mtime(docs + "T2/L_T2.docx") - nanoseconds(1)));
  write(docs + "T3/~$L_T3.docx");
  write(docs + "T3/L_T3.docx");
  write(docs + "T4/.download-1234");

  // Backups: a letter whose backup holds an unsent save keeps every backup of its own (the
  // older dated archives and the fallback folder too), none of a token that merely begins alike.
  const QString backup = editor + "/Backup/";
  for (const char* name : {"T5.zip", "T5-20260101-101010.zip", "T5-20260101-101010-2.zip", "T5/L_T5.docx",
                              "T5-x.zip", "T5X.zip", "T5.zip.abc123", "T6.zip"})
    write(backup + QString::fromUtf8(name));
  write(docs + "T5/L_T5.docx");
  letters::noteBackedUpFolder(editor, "T5", docs + "T5");
  QDir(docs + "T5").removeRecursively();
  // Backed up as accepted: nothing unsent; a later accepted save keeps what the backup holds.
  write(docs + "T6/L_T6.docx");
  ASSERT_TRUE(letters::recordAccepted(editor, "T6", "L_T6.docx", mtime(docs + "T6/L_T6.docx")));
  letters::noteBackedUpFolder(editor, "T6", docs + "T6");
  QDir(docs + "T6").removeRecursively();
  ASSERT_TRUE(letters::recordAccepted(editor, "T5", "L_T5.docx", nanoseconds(7)));

  EXPECT_EQ(found(editor), (QStringList{"T2 L_T2.docx Documents/T2/L_T2.docx", "T3 L_T3.docx Documents/T3/L_T3.docx",
                                        "T5 L_T5.docx Backup/T5", "T5 L_T5.docx Backup/T5-20260101-101010-2.zip",
                                        "T5 L_T5.docx Backup/T5-20260101-101010.zip", "T5 L_T5.docx Backup/T5.zip"}));

  // The records are owner-only, and survive damage without claiming anything.
  struct stat st {};
  ASSERT_EQ(::lstat(QFile::encodeName(letters::recordPath(editor, "T1")).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_TRUE(writeFile(letters::recordPath(editor, "T1"), "{not json"));
  EXPECT_FALSE(letters::readRecord(editor, "T1"));
  EXPECT_TRUE(found(editor).contains("T1 L_T1.docx Documents/T1/L_T1.docx"));
}

#include "editor/BackupArchive.h"

#include "support/TestSupport.h"

#include "editor/upload/UploadTestData.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>
#include <string>

using namespace zuvo;

namespace {

const QByteArray kPassword = "Pw-for-tests";

int sevenZip(const QStringList& args, QByteArray* out = nullptr) {
  QByteArray err;
  return test::runProgram("7z", args, out, &err);
}

// Entries as `7z l -slt` reports them: path -> "Method|Encrypted|Folder" (or other fields).
std::map<std::string, std::string> listing(const QString& archive,
                                           const QStringList& fields = {"Method", "Encrypted", "Folder"}) {
  QByteArray out;
  EXPECT_EQ(sevenZip({"l", "-slt", "-p" + kPassword, archive}, &out), 0);
  std::map<std::string, std::string> entries;
  const QString text = QString::fromUtf8(out);
  const int start = text.indexOf("----------");
  for (const QString& block : text.mid(start).split("\n\n", Qt::SkipEmptyParts)) {
    QMap<QString, QString> f;
    for (const QString& line : block.split('\n')) {
      const int eq = line.indexOf(" = ");
      if (eq > 0) f[line.left(eq)] = line.mid(eq + 3);
    }
    QStringList values;
    for (const QString& field : fields) values << f[field];
    if (f.contains("Path")) entries[f["Path"].toStdString()] = values.join('|').toStdString();
  }
  return entries;
}

QByteArray extracted(const QString& archive, const QString& entry, const QByteArray& password) {
  QByteArray out;
  if (sevenZip({"x", "-so", "-p" + password, archive, entry}, &out) != 0) return "<failed>";
  return out;
}

QStringList folderEntries(const QString& dir) {
  return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

}  // namespace

TEST(BackupArchive, EveryEntryRelativeDeflatedAndAes256) {
  const QString root = test::makeTempDir();
  const QString folder = root + "/ABC123";
  const QByteArray doc("PK\x03\x04 binary \x00\xff\r\n", 15);
  const QString umlaut = QString::fromUtf8("Brief_Müller.docx");
  ASSERT_TRUE(QDir().mkpath(folder + "/sub/empty"));
  ASSERT_TRUE(test::writeFile(folder + "/Letter_ABC123.docx", doc));
  ASSERT_TRUE(test::writeFile(folder + "/.~lock.Letter_ABC123.docx#", "lock"));
  ASSERT_TRUE(test::writeFile(folder + "/" + umlaut, QByteArray(100000, 'a')));
  ASSERT_TRUE(test::writeFile(folder + "/sub/notes.txt", "notes"));
  const QString archive = root + "/ABC123.zip";

  QString error;
  ASSERT_TRUE(backup::writeFolderArchive(folder, archive, kPassword, &error)) << error.toStdString();

  EXPECT_EQ(sevenZip({"t", "-p" + kPassword, archive}), 0);
  EXPECT_NE(sevenZip({"t", "-pwrong", archive}), 0);
  const std::map<std::string, std::string> expected{
      {"Letter_ABC123.docx", "AES-256 Store|+|-"},  // a zip archive itself
      {".~lock.Letter_ABC123.docx#", "AES-256 Deflate|+|-"},
      {umlaut.toStdString(), "AES-256 Deflate|+|-"},
      {"sub/notes.txt", "AES-256 Deflate|+|-"},
      {"sub", "Store|-|+"},
      {"sub/empty", "Store|-|+"},
  };
  EXPECT_EQ(listing(archive), expected);
  EXPECT_EQ(extracted(archive, "Letter_ABC123.docx", kPassword), doc);
  EXPECT_EQ(extracted(archive, "sub/notes.txt", kPassword), "notes");
  EXPECT_EQ(folderEntries(root), (QStringList{"ABC123", "ABC123.zip"}));  // no temporary left
  struct stat st {};
  ASSERT_EQ(stat(QFile::encodeName(archive).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u) << "backups of documents stay private";
}

// An older archive of the token may hold the only copy of an edit: it is kept under a name
// dated by when it was written, the new one takes the token's name.
TEST(BackupArchive, NewArchiveKeepsTheOlderOneUnderADatedName) {
  const QString root = test::makeTempDir();
  const QString archive = root + "/T1.zip";
  constexpr qint64 kWritten = 1717236000;
  const QDateTime written = QDateTime::fromSecsSinceEpoch(kWritten);
  ASSERT_TRUE(QDir().mkpath(root + "/T1"));
  for (const char* text : {"first", "second", "third"}) {
    ASSERT_TRUE(test::writeFile(root + "/T1/doc.docx", text));
    if (QFile::exists(archive)) upload_test::setMtime(archive, kWritten);
    ASSERT_TRUE(backup::writeFolderArchive(root + "/T1", archive, kPassword)) << text;
  }
  EXPECT_EQ(extracted(archive, "doc.docx", kPassword), "third");
  EXPECT_EQ(backup::datedArchivePath(archive, written), root + "/T1-" + written.toString("yyyyMMdd-HHmmss") + ".zip");
  EXPECT_EQ(extracted(backup::datedArchivePath(archive, written), "doc.docx", kPassword), "first");
  EXPECT_EQ(extracted(backup::datedArchivePath(archive, written, 2), "doc.docx", kPassword), "second");
  const QByteArray good = test::readFile(archive);
  const int archives = int(folderEntries(root).filter(QRegularExpression("\\.zip$")).size());
  EXPECT_EQ(archives, 3);

  // Each of these fails and leaves the older archive byte for byte.
  ASSERT_TRUE(QDir().mkpath(root + "/withpipe"));
  ASSERT_TRUE(test::writeFile(root + "/withpipe/doc.docx", "x"));
  ASSERT_EQ(mkfifo(QFile::encodeName(root + "/withpipe/pipe").constData(), 0600), 0);
  ASSERT_TRUE(QDir().mkpath(root + "/withlink"));
  ASSERT_EQ(symlink("/etc", QFile::encodeName(root + "/withlink/etc").constData()), 0);
  ASSERT_TRUE(QDir().mkpath(root + "/empty"));
  ASSERT_TRUE(test::writeFile(root + "/plainfile", "x"));
  for (const QString& bad : {root + "/missing", root + "/withpipe", root + "/withlink",
                             root + "/empty", root + "/plainfile"}) {
    QString error;
    EXPECT_FALSE(backup::writeFolderArchive(bad, archive, kPassword, &error)) << bad.toStdString();
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(test::readFile(archive), good) << bad.toStdString();
  }
  EXPECT_FALSE(backup::writeFolderArchive(root + "/T1", root + "/nofolder/T1.zip", kPassword));
  ASSERT_TRUE(QDir().mkpath(root + "/dirzip.zip"));
  EXPECT_FALSE(backup::writeFolderArchive(root + "/T1", root + "/dirzip.zip", kPassword));

  const QStringList left = folderEntries(root).filter(QRegularExpression("\\.zip\\."));
  EXPECT_TRUE(left.isEmpty()) << left.join(", ").toStdString();
  EXPECT_EQ(folderEntries(root).filter(QRegularExpression("^T1.*\\.zip$")).size(), archives) << "a failure keeps no extra copy";
}

// What does not compress is stored, what does is deflated; both encrypted, every byte kept.
TEST(BackupArchive, IncompressibleEntriesAreStoredStillEncrypted) {
  std::mt19937_64 rng(7);
  auto noise = [&](qsizetype n) {
    QByteArray b(n, Qt::Uninitialized);
    for (char& c : b) c = char(rng());
    return b;
  };
  QByteArray text;
  while (text.size() < 300000) text += "Blood pressure 120/80, follow-up in two weeks. ";
  const struct { const char* name; QByteArray bytes; const char* method; } cases[] = {
      {"letter.docx", "PK\x03\x04" + noise(200000), "AES-256 Store"},
      {"photo.jpg", "\xff\xd8\xff\xe0" + noise(50000), "AES-256 Store"},
      {"scan.png", "\x89PNG\r\n\x1a\n" + noise(5000), "AES-256 Store"},
      {"old.gz", "\x1f\x8b\x08" + noise(10000), "AES-256 Store"},
      {"tiny.zip", "PK\x03\x04", "AES-256 Store"},
      {"no-magic.bin", noise(100000), "AES-256 Store"},        // judged by a trial
      {"notes.txt", text, "AES-256 Deflate"},
      {"mixed.pdf", text.left(100000) + noise(100000), "AES-256 Deflate"},  // its start compresses
      {"named.jpg", text.left(20000), "AES-256 Deflate"},      // content, not the name, decides
      {"small-noise.bin", noise(300), "AES-256 Deflate"},      // too small to judge
      {"empty.txt", "", "AES-256 Deflate"},
  };
  const QString root = test::makeTempDir();
  ASSERT_TRUE(QDir().mkpath(root + "/T/media"));
  for (const auto& c : cases) {
    ASSERT_TRUE(test::writeFile(root + "/T/media/" + c.name, c.bytes));
    ASSERT_EQ(chmod(QFile::encodeName(root + "/T/media/" + c.name).constData(), 0600), 0);
  }
  const QString archive = root + "/T.zip";
  QString error;
  ASSERT_TRUE(backup::writeFolderArchive(root + "/T", archive, kPassword, &error)) << error.toStdString();

  const std::map<std::string, std::string> entries = listing(archive);
  const std::map<std::string, std::string> modes = listing(archive, {"Attributes"});
  ASSERT_TRUE(QDir().mkpath(root + "/out"));
  ASSERT_EQ(sevenZip({"x", "-p" + kPassword, "-o" + root + "/out", archive}), 0);
  for (const auto& c : cases) {
    const std::string path = std::string("media/") + c.name;
    const auto it = entries.find(path);
    ASSERT_NE(it, entries.end()) << path;
    // 7z calls an empty entry stored whatever its header says.
    if (!c.bytes.isEmpty()) {
      EXPECT_EQ(it->second, std::string(c.method) + "|+|-") << path;
    }
    EXPECT_EQ(modes.at(path), " -rw-------") << path << ": the file's own mode";
    EXPECT_EQ(test::readFile(root + "/out/" + QString::fromStdString(path)), c.bytes) << path;
  }
}

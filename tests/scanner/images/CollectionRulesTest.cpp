// The collection's pure rules: name order, tag parsing, the folder listing and the
// difference between a listing and the model.
#include "ImageFixtures.h"
#include "scanner/ImageBrowser/Model/FileTags.h"
#include "scanner/ImageBrowser/Model/ImageListing.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>

using namespace zuvo;

TEST(ImageNameOrder, PageNamesSortByNumberThenCase) {
  QStringList names{"Scan 10.jpeg", "scan 1.jpeg", "Scan 2.jpeg", "Scan 0.jpeg", "Scan 02.jpeg", "Scan 1b.jpeg",
                    "Scan 1.jpeg"};
  std::sort(names.begin(), names.end(), imageNameLess);
  EXPECT_EQ(names, (QStringList{"Scan 0.jpeg", "Scan 1.jpeg", "Scan 1b.jpeg", "Scan 02.jpeg", "Scan 2.jpeg",
                                "Scan 10.jpeg", "scan 1.jpeg"}));
}

TEST(TagNames, ParsedTrimmedWithoutEmptiesOrRepeats) {
  const struct {
    QByteArray attribute;
    QStringList names;
  } cases[] = {
      {"", {}},
      {"Red", {"Red"}},
      {"Red,Blue", {"Red", "Blue"}},
      {" Red , ,Blue,", {"Red", "Blue"}},
      {"Red,Red, Red", {"Red"}},
      {"Red,red", {"Red", "red"}},
      {",,,", {}},
      {"Gr\xc3\xbcn,Rot", {QString::fromUtf8("Gr\xc3\xbcn"), "Rot"}},
  };
  for (const auto& c : cases) EXPECT_EQ(parseTagNames(c.attribute), c.names) << c.attribute.toStdString();
}

TEST(TagNames, ReadFromTheFileAttribute) {
  const QString dir = test::makeTempDir();
  const QString path = dir + "/a.jpeg";
  ASSERT_TRUE(test::writeFile(path, "x"));
  EXPECT_TRUE(readTagNames(path).isEmpty());
  EXPECT_FALSE(readTagAttribute(path).has_value());
  EXPECT_TRUE(readTagNames(dir + "/missing.jpeg").isEmpty());
  if (!test::setTags(path, "Blue, Red,Blue")) GTEST_SKIP() << "no user attributes here";
  EXPECT_EQ(readTagNames(path), (QStringList{"Blue", "Red"}));
  EXPECT_EQ(*readTagAttribute(path), QByteArray("Blue, Red,Blue"));
}

TEST(FolderListing, KeepsRegularImagesInNumericOrder) {
  const QString dir = test::makeTempDir();
  for (const char* name : {"Scan 10.jpeg", "Scan 2.jpeg", "Scan 0.jpeg", ".hidden.png"})
    ASSERT_TRUE(test::writeTestImage(dir + "/" + name, QSize(20, 10)));
  ASSERT_TRUE(test::writeTestImage(dir + "/View_1.pdf", QSize(20, 10)));  // image bytes, PDF name
  ASSERT_TRUE(test::writeFile(dir + "/broken.jpeg", "not an image at all"));
  ASSERT_TRUE(test::writeFile(dir + "/.hidden", "x"));
  ASSERT_TRUE(test::writeFile(dir + "/notes.txt", "x"));
  ASSERT_TRUE(test::writeFile(dir + "/Scan 0.jpeg.Ab12Cd", "x"));  // a save's temporary file
  ASSERT_TRUE(test::writeFile(dir + "/noextension", "x"));
  ASSERT_TRUE(QDir(dir).mkdir("folder.jpeg"));
  ASSERT_TRUE(QFile::link(dir + "/Scan 2.jpeg", dir + "/link.jpeg"));
  ASSERT_TRUE(QFile::link(dir + "/gone.jpeg", dir + "/dangling.jpeg"));

  const QList<ListedFile> listing = listFolder(dir);
  QStringList all, images;
  for (const ListedFile& f : listing) {
    all << f.name;
    if (f.regular && f.image) images << f.name;
  }
  EXPECT_EQ(all.size(), 13);  // hidden names are listed too
  EXPECT_EQ(images, (QStringList{".hidden.png", "Scan 0.jpeg", "Scan 2.jpeg", "Scan 10.jpeg", "broken.jpeg"}));
  for (const ListedFile& f : listing)
    if (f.regular) {
      EXPECT_TRUE(f.modifiedNs.has_value()) << f.name.toStdString();
    }

  EXPECT_TRUE(listFolder(dir + "/missing").isEmpty());
  EXPECT_TRUE(listFolder(dir + "/notes.txt").isEmpty());
}

TEST(FolderListing, ImageTypesComeFromTheName) {
  const struct {
    const char* name;
    bool image;
  } cases[] = {{"a.jpeg", true}, {"a.JPG", true},  {"a.tif", true},  {"a.tiff", true}, {"a.png", true},
               {"a.pdf", false}, {"a.txt", false}, {"a", false},     {"a.jpeg.x1Y2z3", false}};
  for (const auto& c : cases) EXPECT_EQ(isImageType(fileTypeForName(c.name)), c.image) << c.name;
  EXPECT_EQ(fileTypeForName("a.jpeg"), "image/jpeg");
}

// Without the shared MIME database no name is known; the content tells the image types.
TEST(FolderListing, ContentTellsTheTypeWhereTheNameDoesNot) {
  const QString dir = test::makeTempDir("content");
  const struct {
    const char* name;
    QByteArray content;
    const char* type;  // "" none
  } cases[] = {
      {"page", test::encodeImage(test::testPicture(QSize(8, 8)), "jpeg"), "image/jpeg"},
      {"page.x1Y2z3", test::encodeImage(test::testPicture(QSize(8, 8)), "png"), "image/png"},
      {"tiff-le", QByteArray("II*\0\x08\0\0\0", 8), "image/tiff"},
      {"tiff-be", QByteArray("MM\0*\0\0\0\x08", 8), "image/tiff"},
      {"gif", "GIF89a\x01\0\x01\0", "image/gif"},
      {"webp", QByteArray("RIFF\x10\0\0\0WEBPVP8 ", 16), "image/webp"},
      {"riff-not-webp", QByteArray("RIFF\x10\0\0\0WAVEfmt ", 16), ""},
      {"text", "just some text", ""},
      {"empty", "", ""},
      {"jpeg-prefix-only", "\xFF\xD8", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QString path = dir + "/" + c.name;
    ASSERT_TRUE(test::writeFile(path, c.content));
    EXPECT_EQ(imageTypeFromContent(path), c.type);
    EXPECT_EQ(fileTypeForFile(path), c.type);
  }
  // A known name wins over the content, and a missing file has no content type.
  ASSERT_TRUE(test::writeFile(dir + "/notes.txt", test::encodeImage(test::testPicture(QSize(8, 8)), "jpeg")));
  EXPECT_EQ(fileTypeForFile(dir + "/notes.txt"), "text/plain");
  EXPECT_EQ(imageTypeFromContent(dir + "/missing"), "");
  EXPECT_EQ(typeDescription("image/jpeg").isEmpty(), false);
}

// A name no QString path reaches is given a valid one and listed, never skipped unseen.
TEST(FolderListing, NamesNotValidUtf8AreRenamedAndListed) {
  const QString dir = test::makeTempDir("names");
  const QByteArray bytes = test::encodeImage(test::testPicture(QSize(8, 8)), "jpeg");
  const QByteArray folder = QFile::encodeName(dir);
  const auto writeRaw = [&](const QByteArray& name) {
    FILE* out = std::fopen((folder + "/" + name).constData(), "wb");
    ASSERT_NE(out, nullptr);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out);
    std::fclose(out);
  };
  writeRaw("Scan \xFF.jpeg");
  writeRaw("Scan \xFE.jpeg");  // decodes to the same name: gets a number
  ASSERT_TRUE(test::writeFile(dir + "/Scan 1.jpeg", bytes));
  QStringList images;
  for (const ListedFile& f : listFolder(dir))
    if (f.regular && f.image) images << f.name;
  const QString replaced = QStringLiteral("Scan \uFFFD");
  EXPECT_EQ(images, (QStringList{"Scan 1.jpeg", replaced + " 2.jpeg", replaced + ".jpeg"}));
  for (const QString& name : images) EXPECT_EQ(test::readFile(dir + "/" + name), bytes) << name.toStdString();
}

namespace {

ListedFile image(const QString& name, qint64 t) { return {name, true, true, t}; }

QStringList names(const QStringList& paths) {
  QStringList out;
  for (const QString& p : paths) out << p.section('/', -1);
  return out;
}

}  // namespace

TEST(ScanDifference, AppendsRefreshesAndRemoves) {
  const QString root = "/scans";
  const struct {
    const char* what;
    QList<RecordState> records;
    QList<ListedFile> listing;
    QList<int> removed, refreshed;
    QStringList added;
  } cases[] = {
      {"first scan lists every image in listing order",
       {},
       {image("Scan 0.jpeg", 1), image("Scan 2.jpeg", 1), image("Scan 10.jpeg", 1)},
       {},
       {},
       {"Scan 0.jpeg", "Scan 2.jpeg", "Scan 10.jpeg"}},
      {"new images are added after the existing ones, in listing order",
       {{"/scans/Scan 10.jpeg", 5}, {"/scans/Scan 2.jpeg", 5}},
       {image("Scan 1.jpeg", 9), image("Scan 2.jpeg", 5), image("Scan 3.jpeg", 9), image("Scan 10.jpeg", 5)},
       {},
       {},
       {"Scan 1.jpeg", "Scan 3.jpeg"}},
      {"a strictly newer file is refreshed; an equal or older one is not",
       {{"/scans/a.jpeg", 5}, {"/scans/b.jpeg", 5}, {"/scans/c.jpeg", 5}},
       {image("a.jpeg", 6), image("b.jpeg", 5), image("c.jpeg", 4)},
       {},
       {0},
       {}},
      {"records no longer listed as regular images are removed",
       {{"/scans/a.jpeg", 5}, {"/scans/b.jpeg", 5}, {"/scans/c.jpeg", 5}, {"/elsewhere/d.jpeg", 5}},
       {{"a.jpeg", false, true, 5}, {"c.jpeg", true, false, 5}},
       {0, 1, 2, 3},
       {},
       {}},
      {"an unknown time keeps the record as it is",
       {{"/scans/a.jpeg", 5}},
       {{"a.jpeg", true, true, std::nullopt}},
       {},
       {},
       {}},
      {"an empty listing removes everything",
       {{"/scans/a.jpeg", 5}, {"/scans/b.jpeg", 5}},
       {},
       {0, 1},
       {},
       {}},
  };
  for (const auto& c : cases) {
    const ScanDifference d = scanDifference(root, c.records, c.listing);
    EXPECT_EQ(d.removed, c.removed) << c.what;
    EXPECT_EQ(d.refreshed, c.refreshed) << c.what;
    EXPECT_EQ(names(d.added), c.added) << c.what;
    for (const QString& p : d.added) EXPECT_TRUE(p.startsWith("/scans/")) << c.what;
  }
}

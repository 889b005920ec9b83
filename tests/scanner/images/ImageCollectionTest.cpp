// The collection on a real folder with the real folder watcher, and its filing rules.
#include "ImageFixtures.h"
#include "scanner/ImageBrowser/Model/AAPLImageCollection.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <gtest/gtest.h>

using namespace zuvo;
using namespace std::chrono_literals;

namespace {

QStringList fileNames(const QList<ImageFileRef>& files) {
  QStringList out;
  for (const auto& f : files) out << f->filename();
  return out;
}

QStringList tagNames(const QList<AAPLTag*>& tags) {
  QStringList out;
  for (const auto* t : tags) out << t->name();
  return out;
}

// Every invariant between the lists and the maps.
void expectConsistent(const AAPLImageCollection& c) {
  QSet<QString> paths;
  int untagged = 0;
  for (const auto& f : c.imageFiles()) {
    EXPECT_FALSE(paths.contains(f->path())) << "listed twice: " << f->path().toStdString();
    paths.insert(f->path());
    EXPECT_EQ(c.imageFileForURL(f->url()), f);
    if (f->tagNames().isEmpty()) {
      ++untagged;
      EXPECT_EQ(c.untaggedImageFiles().count(f), 1);
    }
    for (const QString& name : f->tagNames()) {
      ASSERT_NE(c.tagWithName(name), nullptr);
      EXPECT_EQ(c.tagWithName(name)->imageFiles().count(f), 1);
    }
  }
  EXPECT_EQ(c.untaggedImageFiles().size(), untagged);
  for (const auto* t : c.tags())
    for (const auto& f : t->imageFiles()) EXPECT_TRUE(c.imageFiles().contains(f)) << t->name().toStdString();
}

struct Recorder {
  QList<QPair<QString, int>> events;
  explicit Recorder(AAPLImageCollection& c) {
    QObject::connect(&c, &AAPLImageCollection::imageFilesInserted, [this](const QList<int>& i) {
      for (int x : i) events << qMakePair(QStringLiteral("insert"), x);
    });
    QObject::connect(&c, &AAPLImageCollection::imageFilesRemoved, [this](const QList<int>& i) {
      for (int x : i) events << qMakePair(QStringLiteral("remove"), x);
    });
    QObject::connect(&c, &AAPLImageCollection::tagsInserted, [this](const QList<int>& i) {
      for (int x : i) events << qMakePair(QStringLiteral("tag"), x);
    });
  }
};

}  // namespace

TEST(ImageCollection, FollowsTheFolderThroughItsWatcher) {
  const QString dir = test::makeTempDir();
  for (const char* name : {"Scan 10.jpeg", "Scan 2.jpeg", "Scan 0.jpeg"})
    ASSERT_TRUE(test::writeTestImage(dir + "/" + name, QSize(40, 30)));
  ASSERT_TRUE(test::writeTestImage(dir + "/View_1.pdf", QSize(40, 30)));
  ASSERT_TRUE(QDir(dir).mkdir("sub"));

  AAPLImageCollection c(QUrl::fromLocalFile(dir));
  Recorder rec(c);
  EXPECT_TRUE(c.isWatchingFolder());
  test::spin(300ms);
  EXPECT_TRUE(c.imageFiles().isEmpty()) << "no scan before the first one is asked for";

  c.startOrRestartFileTreeScan();
  ASSERT_TRUE(test::waitUntil([&] { return c.imageFiles().size() == 3; }));
  EXPECT_EQ(fileNames(c.imageFiles()), (QStringList{"Scan 0.jpeg", "Scan 2.jpeg", "Scan 10.jpeg"}));
  EXPECT_EQ(rec.events, (QList<QPair<QString, int>>{{"insert", 0}, {"insert", 1}, {"insert", 2}}));
  expectConsistent(c);

  // Copied in: appended after the existing order.
  ASSERT_TRUE(QFile::copy(dir + "/Scan 2.jpeg", dir + "/Scan 1.jpeg"));
  ASSERT_TRUE(test::waitUntil([&] { return c.imageFiles().size() == 4; }));
  EXPECT_EQ(fileNames(c.imageFiles()), (QStringList{"Scan 0.jpeg", "Scan 2.jpeg", "Scan 10.jpeg", "Scan 1.jpeg"}));

  // Rewritten later: a new record at the same place, without a preview.
  ImageFileRef old = c.imageFiles().at(1);
  old->setPreviewImage(QImage(4, 4, QImage::Format_RGB32));
  ASSERT_TRUE(test::touchLater(dir + "/Scan 2.jpeg", 5));
  ASSERT_TRUE(test::waitUntil([&] { return c.imageFiles().at(1) != old; }));
  EXPECT_EQ(c.imageFiles().at(1)->filename(), "Scan 2.jpeg");
  EXPECT_TRUE(c.imageFiles().at(1)->previewImage().isNull());
  EXPECT_GT(c.imageFiles().at(1)->dateLastUpdated(), old->dateLastUpdated());
  EXPECT_EQ(c.untaggedImageFiles().count(old), 0);
  expectConsistent(c);

  // Tagged (and so touched): filed under its tags, in case-insensitive order.
  if (test::setTags(dir + "/Scan 0.jpeg", "Red,Blue,Red")) {
    rec.events.clear();
    ASSERT_TRUE(test::touchLater(dir + "/Scan 0.jpeg", 5));
    ASSERT_TRUE(test::waitUntil([&] { return !c.imageFiles().at(0)->tagNames().isEmpty(); }));
    EXPECT_EQ(tagNames(c.tags()), (QStringList{"Blue", "Red"}));
    EXPECT_EQ(c.imageFiles().count(c.imageFiles().at(0)), 1);
    EXPECT_EQ(fileNames(c.tagWithName("Red")->imageFiles()), QStringList{"Scan 0.jpeg"});
    EXPECT_FALSE(fileNames(c.untaggedImageFiles()).contains("Scan 0.jpeg"));
    EXPECT_EQ(rec.events, (QList<QPair<QString, int>>{{"remove", 0}, {"tag", 0}, {"tag", 0}, {"insert", 0}}));
    expectConsistent(c);
  }

  // Removed: out of every list and map; tags stay.
  const QUrl gone = QUrl::fromLocalFile(dir + "/Scan 0.jpeg");
  QList<int> tagRemovals;
  if (AAPLTag* red = c.tagWithName("Red"))
    QObject::connect(red, &AAPLTag::imageFilesRemoved, [&](const QList<int>& i) { tagRemovals << i; });
  ASSERT_TRUE(QFile::remove(dir + "/Scan 0.jpeg"));
  ASSERT_TRUE(test::waitUntil([&] { return c.imageFiles().size() == 3; }));
  EXPECT_EQ(c.imageFileForURL(gone), nullptr);
  EXPECT_EQ(fileNames(c.imageFiles()), (QStringList{"Scan 2.jpeg", "Scan 10.jpeg", "Scan 1.jpeg"}));
  if (c.tagWithName("Red")) {
    EXPECT_EQ(tagRemovals, QList<int>{0});
    EXPECT_TRUE(c.tagWithName("Red")->imageFiles().isEmpty());
    EXPECT_EQ(c.tags().size(), 2);
  }
  expectConsistent(c);

  // The folder itself goes: the collection empties.
  ASSERT_TRUE(QDir(dir).removeRecursively());
  ASSERT_TRUE(test::waitUntil([&] { return c.imageFiles().isEmpty(); }));
  EXPECT_TRUE(c.untaggedImageFiles().isEmpty());

  c.stopWatchingFolder();
  EXPECT_FALSE(c.isWatchingFolder());
}

TEST(ImageCollection, RapidChangesWhileScanningListEveryFileOnce) {
  const QString dir = test::makeTempDir();
  AAPLImageCollection c(QUrl::fromLocalFile(dir));
  int maxCount = 0;
  QObject::connect(&c, &AAPLImageCollection::imageFilesInserted,
                   [&] { maxCount = std::max(maxCount, int(c.imageFiles().size())); });
  const QByteArray bytes = test::encodeImage(test::testPicture(QSize(16, 16)), "jpeg");
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(test::writeFile(dir + QStringLiteral("/Scan %1.jpeg").arg(i), bytes));
    c.startOrRestartFileTreeScan();
    if (i % 7 == 0) {
      // A drop inserted by hand while scans are queued and running.
      const QString dropped = dir + QStringLiteral("/Drop %1.jpeg").arg(i);
      ASSERT_TRUE(test::writeFile(dropped, bytes));
      c.insertImageFile(AAPLImageFile::create(QUrl::fromLocalFile(dropped)), 0);
    }
    if (i % 5 == 0) test::spin(5ms);
  }
  int expected = 50 + 8;
  ASSERT_TRUE(test::waitUntil([&] { return c.imageFiles().size() == expected; }, 30s));
  // A page written after all the others: once the watcher's scan has listed it, the batches
  // and scans of those before are applied too.
  const QString last = dir + QStringLiteral("/Scan last.jpeg");
  ASSERT_TRUE(test::writeFile(last, bytes));
  ++expected;
  ASSERT_TRUE(test::waitUntil([&] { return c.imageFileForURL(QUrl::fromLocalFile(last)) != nullptr; }, 30s))
      << "the watcher never listed the last page";
  EXPECT_EQ(c.imageFiles().size(), expected);
  EXPECT_EQ(maxCount, expected);
  expectConsistent(c);
}

TEST(ImageCollection, InsertAndRemoveGuardTheirArguments) {
  const QString dir = test::makeTempDir();
  for (const char* name : {"b.jpeg", "a.jpeg", "c.jpeg"}) ASSERT_TRUE(test::writeTestImage(dir + "/" + name, QSize(8, 8)));
  AAPLImageCollection c(QUrl::fromLocalFile(dir));
  c.stopWatchingFolder();
  auto make = [&](const char* name) { return AAPLImageFile::create(QUrl::fromLocalFile(dir + "/" + name)); };

  c.insertImageFile(make("a.jpeg"), 7);   // clamped to the end
  c.insertImageFile(make("b.jpeg"), -3);  // clamped to the start
  c.insertImageFile(make("a.jpeg"), 0);   // already there
  c.insertImageFile(nullptr, 0);
  c.addImageFile(make("c.jpeg"));
  EXPECT_EQ(fileNames(c.imageFiles()), (QStringList{"b.jpeg", "a.jpeg", "c.jpeg"}));
  EXPECT_EQ(fileNames(c.untaggedImageFiles()), (QStringList{"a.jpeg", "b.jpeg", "c.jpeg"}));
  EXPECT_EQ(make("missing.jpeg"), nullptr);

  c.removeImageFileAtIndex(3);
  c.removeImageFileAtIndex(-1);
  c.removeImageFile(make("a.jpeg"));  // another record for the same file is not ours
  EXPECT_EQ(c.imageFiles().size(), 3);
  c.removeImageFileAtIndex(1);
  EXPECT_EQ(fileNames(c.imageFiles()), (QStringList{"b.jpeg", "c.jpeg"}));
  EXPECT_EQ(c.imageFileForURL(QUrl::fromLocalFile(dir + "/a.jpeg")), nullptr);
  expectConsistent(c);

  EXPECT_EQ(c.addTagWithName("Zeta"), c.addTagWithName("Zeta"));
  c.addTagWithName("alpha");
  c.addTagWithName("Beta");
  EXPECT_EQ(tagNames(c.tags()), (QStringList{"alpha", "Beta", "Zeta"}));
  EXPECT_EQ(c.tagWithName("Beta")->description(), "{Tag: Beta}");
  EXPECT_EQ(c.imageFiles().at(0)->description(),
            "{ImageFile: " + QUrl::fromLocalFile(dir + "/b.jpeg").toString() + ", tags=(null)}");
}

TEST(ImageCollection, ATeardownWhileScanningIsQuiet) {
  const QString dir = test::makeTempDir();
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(test::writeFile(dir + QStringLiteral("/%1.jpeg").arg(i), "x"));
  for (int round = 0; round < 5; ++round) {
    auto c = std::make_unique<AAPLImageCollection>(QUrl::fromLocalFile(dir));
    c->startOrRestartFileTreeScan();
    c->startOrRestartFileTreeScan();
    if (round % 2) test::spin(2ms);
    c.reset();
    test::spin(20ms);
  }
}

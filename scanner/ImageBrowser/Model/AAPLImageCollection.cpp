#include "scanner/ImageBrowser/Model/AAPLImageCollection.h"

#include "common/AAPLFileTreeWatcherThread.h"
#include "common/Log.h"

#include <QDir>
#include <QPointer>
#include <algorithm>

namespace {

QString keyFor(const QUrl& url) { return QDir::cleanPath(url.toLocalFile()); }

}  // namespace

AAPLImageCollection::AAPLImageCollection(const QUrl& rootURL, QObject* parent)
    : QObject(parent), rootURL_(rootURL), rootPath_(QDir::cleanPath(rootURL.toLocalFile())) {
  fileTreeScanQueue_.setObjectName(QStringLiteral("AAPLImageCollection File Tree Scan Queue"));
  fileTreeScanQueue_.setMaxThreadCount(1);
  // Queued calls made before a detach still run: they must not reach a collection that is gone.
  if (rootPath_.isEmpty()) return;  // not a folder: nothing to watch, every scan lists nothing
  QPointer<AAPLImageCollection> self(this);
  watcher_ = AAPLFileTreeWatcherThread::create(
      rootPath_,
      [self] {
        if (self) self->startOrRestartFileTreeScan();
      },
      /*ignoreOwnChanges=*/false);
  watcher_->start();
}

AAPLImageCollection::~AAPLImageCollection() {
  stopWatchingFolder();
  stopFileTreeScan();
  fileTreeScanQueue_.waitForDone();  // its result event dies with this object
}

ImageFileRef AAPLImageCollection::imageFileForURL(const QUrl& url) const {
  return imageFilesByURL_.value(keyFor(url));
}

void AAPLImageCollection::addImageFile(const ImageFileRef& file) { insertImageFile(file, int(imageFiles_.size())); }

void AAPLImageCollection::insertImageFile(const ImageFileRef& file, int index) {
  if (!file) return;
  const QString key = keyFor(file->url());
  if (imageFilesByURL_.contains(key)) {
    zuvo::logSystem(QStringLiteral("Image file not inserted twice: %1").arg(file->description()));
    return;
  }
  if (index < 0 || index > imageFiles_.size()) {
    const int clamped = std::clamp(index, 0, int(imageFiles_.size()));
    zuvo::logSystem(QStringLiteral("Image file insert index %1 outside 0...%2, using %3")
                        .arg(index)
                        .arg(imageFiles_.size())
                        .arg(clamped));
    index = clamped;
  }
  if (!file->tagNames().isEmpty()) {
    for (const QString& name : file->tagNames()) addTagWithName(name)->insertImageFile(file);
  } else {
    untaggedImageFiles_.insert(
        std::upper_bound(untaggedImageFiles_.begin(), untaggedImageFiles_.end(), file, AAPLTag::filesInOrder), file);
  }
  imageFiles_.insert(index, file);
  imageFilesByURL_.insert(key, file);
  emit imageFilesInserted({index});
}

void AAPLImageCollection::removeImageFile(const ImageFileRef& file) {
  if (!file) return;
  const ImageFileRef keep = file;  // the caller's reference may be one of ours
  const qsizetype index = imageFiles_.indexOf(keep);
  if (index >= 0) {
    imageFiles_.removeAt(index);
    emit imageFilesRemoved({int(index)});
  }
  const QString key = keyFor(keep->url());
  if (imageFilesByURL_.value(key) == keep) imageFilesByURL_.remove(key);
  untaggedImageFiles_.removeAll(keep);
  for (const QString& name : keep->tagNames())
    if (AAPLTag* tag = tagWithName(name)) tag->removeImageFile(keep.get());
}

void AAPLImageCollection::removeImageFileAtIndex(int index) {
  if (index < 0 || index >= imageFiles_.size()) {
    zuvo::logSystem(QStringLiteral("Image file remove index %1 outside 0...%2").arg(index).arg(imageFiles_.size()));
    return;
  }
  removeImageFile(imageFiles_.at(index));
}

AAPLTag* AAPLImageCollection::tagWithName(const QString& name) const { return tagsByName_.value(name); }

AAPLTag* AAPLImageCollection::addTagWithName(const QString& name) {
  if (AAPLTag* existing = tagWithName(name)) return existing;
  auto* tag = new AAPLTag(name, this);
  tagsByName_.insert(name, tag);
  const auto at = std::upper_bound(tags_.begin(), tags_.end(), tag, [](const AAPLTag* a, const AAPLTag* b) {
    return QString::compare(a->name(), b->name(), Qt::CaseInsensitive) < 0;
  });
  const int index = int(at - tags_.begin());
  tags_.insert(index, tag);
  emit tagsInserted({index});
  return tag;
}

void AAPLImageCollection::startOrRestartFileTreeScan() {
  stopFileTreeScan();
  const QString root = rootPath_;
  // The worker reads the file system only; the model is compared on the main thread. The
  // teardown waits for the worker, so `this` outlives it, and the queued call dies with `this`.
  fileTreeScanQueue_.start([this, root] {
    const QList<zuvo::ListedFile> listing = zuvo::listFolder(root);
    QMetaObject::invokeMethod(this, [this, listing] { applyListing(listing); }, Qt::QueuedConnection);
  });
}

void AAPLImageCollection::stopFileTreeScan() { fileTreeScanQueue_.clear(); }

void AAPLImageCollection::stopWatchingFolder() {
  if (!watcher_) return;
  watcher_->detachChangeHandler();
  watcher_->cancel();
  watcher_.reset();
}

void AAPLImageCollection::applyListing(const QList<zuvo::ListedFile>& listing) {
  QList<zuvo::RecordState> records;
  records.reserve(imageFiles_.size());
  for (const ImageFileRef& file : imageFiles_) records << zuvo::RecordState{file->path(), file->modifiedNs()};
  const zuvo::ScanDifference difference = zuvo::scanDifference(rootPath_, records, listing);

  QList<ImageFileRef> removed, refreshed;
  for (int i : difference.removed) removed << imageFiles_.at(i);
  for (int i : difference.refreshed) refreshed << imageFiles_.at(i);

  for (const ImageFileRef& file : removed) removeImageFile(file);
  for (const QString& path : difference.added) {
    if (ImageFileRef file = AAPLImageFile::create(QUrl::fromLocalFile(path))) addImageFile(file);
  }
  for (const ImageFileRef& old : refreshed) {
    const qsizetype index = imageFiles_.indexOf(old);
    if (index < 0) continue;
    // Made first: a file gone since the listing keeps its record until the next scan.
    ImageFileRef fresh = AAPLImageFile::create(old->url());
    if (!fresh) continue;
    removeImageFileAtIndex(int(index));
    insertImageFile(fresh, int(index));
  }
}

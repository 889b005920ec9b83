// The image files of one folder (flat), kept in step with it: the folder watcher's reports
// start a scan on a worker of its own; the scan only lists the folder, and the main thread
// turns the listing into removals, appends and in-place refreshes of the model.
// Every member is used on the main thread only.
#pragma once

#include "scanner/ImageBrowser/Model/AAPLImageFile.h"
#include "scanner/ImageBrowser/Model/AAPLTag.h"
#include "scanner/ImageBrowser/Model/ImageListing.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QThreadPool>
#include <QUrl>
#include <memory>

class AAPLFileTreeWatcherThread;

class AAPLImageCollection : public QObject {
  Q_OBJECT

 public:
  // Starts watching the folder; lists nothing until the first scan.
  explicit AAPLImageCollection(const QUrl& rootURL, QObject* parent = nullptr);
  ~AAPLImageCollection() override;

  QUrl rootURL() const { return rootURL_; }
  const QList<ImageFileRef>& imageFiles() const { return imageFiles_; }
  const QList<ImageFileRef>& untaggedImageFiles() const { return untaggedImageFiles_; }
  const QList<AAPLTag*>& tags() const { return tags_; }

  ImageFileRef imageFileForURL(const QUrl& url) const;
  void addImageFile(const ImageFileRef& file);
  // index from 0 to the count; one outside is clamped (and logged). A record whose URL the
  // collection already holds is not filed twice.
  void insertImageFile(const ImageFileRef& file, int index);
  void removeImageFile(const ImageFileRef& file);
  void removeImageFileAtIndex(int index);

  AAPLTag* tagWithName(const QString& name) const;
  AAPLTag* addTagWithName(const QString& name);

  // At most one scan runs and one waits: a restart replaces the waiting one.
  void startOrRestartFileTreeScan();
  // Drops the waiting scan; a running one still finishes and is applied.
  void stopFileTreeScan();
  // The watcher's handler is detached and the watcher cancelled and dropped.
  void stopWatchingFolder();
  bool isWatchingFolder() const { return watcher_ != nullptr; }

 signals:
  // After the change; each carries the index it happened at.
  void imageFilesInserted(const QList<int>& indexes);
  void imageFilesRemoved(const QList<int>& indexes);
  void tagsInserted(const QList<int>& indexes);

 private:
  void applyListing(const QList<zuvo::ListedFile>& listing);

  const QUrl rootURL_;
  const QString rootPath_;
  std::shared_ptr<AAPLFileTreeWatcherThread> watcher_;
  QThreadPool fileTreeScanQueue_;
  QList<ImageFileRef> imageFiles_;
  QHash<QString, ImageFileRef> imageFilesByURL_;  // by cleaned local path
  QList<ImageFileRef> untaggedImageFiles_;
  QList<AAPLTag*> tags_;
  QHash<QString, AAPLTag*> tagsByName_;
};

// A tag name and the records that carry it, sorted by file name without extension
// (case-insensitive). Tags are never removed; the collection owns them.
#pragma once

#include "scanner/ImageBrowser/Model/AAPLImageFile.h"

#include <QList>
#include <QObject>
#include <QString>

class AAPLTag : public QObject {
  Q_OBJECT

 public:
  explicit AAPLTag(const QString& name, QObject* parent = nullptr);

  QString name() const { return name_; }
  const QList<ImageFileRef>& imageFiles() const { return imageFiles_; }

  // At its sorted place; any place among equal names.
  void insertImageFile(const ImageFileRef& file);
  // Takes the record out, announcing its index; nothing when it is not there.
  void removeImageFile(const AAPLImageFile* file);

  QString description() const;  // "{Tag: <name>}"

  // Case-insensitive order of file names without extension, shared with the untagged list.
  static bool filesInOrder(const ImageFileRef& a, const ImageFileRef& b);

 signals:
  void imageFilesRemoved(const QList<int>& indexes);

 private:
  const QString name_;
  QList<ImageFileRef> imageFiles_;
};

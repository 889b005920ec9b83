#include "scanner/ImageBrowser/Model/AAPLTag.h"

#include <algorithm>

AAPLTag::AAPLTag(const QString& name, QObject* parent) : QObject(parent), name_(name) {}

bool AAPLTag::filesInOrder(const ImageFileRef& a, const ImageFileRef& b) {
  return QString::compare(a->filenameWithoutExtension(), b->filenameWithoutExtension(), Qt::CaseInsensitive) < 0;
}

void AAPLTag::insertImageFile(const ImageFileRef& file) {
  if (!file) return;
  imageFiles_.insert(std::upper_bound(imageFiles_.begin(), imageFiles_.end(), file, filesInOrder), file);
}

void AAPLTag::removeImageFile(const AAPLImageFile* file) {
  const auto it = std::find_if(imageFiles_.begin(), imageFiles_.end(),
                               [file](const ImageFileRef& f) { return f.get() == file; });
  if (it == imageFiles_.end()) return;
  const int index = int(it - imageFiles_.begin());
  imageFiles_.erase(it);
  emit imageFilesRemoved({index});
}

QString AAPLTag::description() const { return QStringLiteral("{Tag: %1}").arg(name_); }

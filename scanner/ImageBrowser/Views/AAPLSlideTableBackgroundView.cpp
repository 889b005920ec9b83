#include "scanner/ImageBrowser/Views/AAPLSlideTableBackgroundView.h"

#include "scanner/ImageBrowser/Views/SlideGeometry.h"

#include <QImageReader>
#include <QPainter>

AAPLSlideTableBackgroundView::AAPLSlideTableBackgroundView(const QRectF& frame, QObject* parent)
    : QObject(parent), frame_(frame) {}

void AAPLSlideTableBackgroundView::setImage(const QString& filePath) {
  if (filePath == imagePath_) return;
  imagePath_ = filePath;
  loaded_ = QImage();
  readDone_ = false;
  emit needsDisplay();
}

void AAPLSlideTableBackgroundView::drawRect(QPainter* painter, const QRectF& bounds) {
  namespace s = zuvo::slides;
  if (!imagePath_.isEmpty() && !readDone_) {
    QImageReader reader(imagePath_);
    reader.setAutoTransform(true);
    loaded_ = reader.read();
    readDone_ = true;
  }
  const std::optional<QRectF> target =
      loaded_.isNull() ? std::nullopt : s::aspectFillRect(bounds, QSizeF(loaded_.size()));
  if (!target) {
    painter->fillRect(bounds, s::backgroundGrey());  // both gradient colours are this grey
    return;
  }
  painter->save();
  painter->setClipRect(bounds);
  painter->setRenderHint(QPainter::SmoothPixmapTransform);
  painter->setCompositionMode(QPainter::CompositionMode_SourceOver);
  painter->drawImage(*target, loaded_);
  painter->restore();
}

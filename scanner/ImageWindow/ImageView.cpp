#include "scanner/ImageWindow/ImageView.h"

#include <QGraphicsPathItem>
#include <QGraphicsRectItem>
#include <QGraphicsScene>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionGraphicsItem>
#include <QtMath>
#include <algorithm>
#include <cmath>
#include <utility>

// Paints the view's own image: no pixmap copy of a page that may take hundreds of megabytes.
class ImageItem : public QGraphicsItem {
 public:
  ImageItem() { setFlag(ItemUsesExtendedStyleOption); }
  void setImage(const QImage& image) {
    prepareGeometryChange();
    image_ = image;
    update();
  }
  QRectF boundingRect() const override { return QRectF(QPointF(0, 0), QSizeF(image_.size())); }
  void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget*) override {
    const QRectF exposed = option->exposedRect & boundingRect();
    if (image_.isNull() || exposed.isEmpty()) return;
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    painter->drawImage(exposed, image_, exposed);
  }

 private:
  QImage image_;
};

namespace {

// Edits make new images: keep what the file said about its resolution. Given an image nobody
// else holds (moved in), so that setting these copies no pixels.
QImage withMetadataOf(QImage image, const QImage& from) {
  image.setDotsPerMeterX(from.dotsPerMeterX());
  image.setDotsPerMeterY(from.dotsPerMeterY());
  for (const QString& key : from.textKeys()) image.setText(key, from.text(key));
  return image;
}

}  // namespace

ImageView::ImageView(QWidget* parent) : QGraphicsView(parent) {
  setScene(new QGraphicsScene(this));
  setBackgroundBrush(QColor(0x40, 0x40, 0x40));
  setTransformationAnchor(QGraphicsView::AnchorViewCenter);
  setResizeAnchor(QGraphicsView::AnchorViewCenter);
  imageItem_ = new ImageItem;
  scene()->addItem(imageItem_);
  setToolMode(ToolModeMove);
}

void ImageView::setImage(const QImage& image) {
  selection_ = QRect();
  replaceImage(image);
}

void ImageView::replaceImage(const QImage& image) {
  clearGesture();
  image_ = image;
  imageItem_->setImage(image_);
  scene()->setSceneRect(QRectF(QPointF(0, 0), QSizeF(image_.size())));
  if (!selection_.isEmpty()) {
    selection_ &= image_.rect();
    if (!selection_.isEmpty()) {
      rectItem_ = scene()->addRect(QRectF(selection_), QPen(Qt::yellow, 0, Qt::DashLine));
    }
  }
}

void ImageView::clearGesture() {
  delete rectItem_;
  rectItem_ = nullptr;
  delete strokeItem_;
  strokeItem_ = nullptr;
  stroke_.clear();
  dragging_ = false;
}

double ImageView::zoomFactor() const { return transform().m11(); }

void ImageView::setZoomFactor(double factor) {
  if (!(factor > 0) || !std::isfinite(factor)) return;
  setTransform(QTransform::fromScale(factor, factor));
}

void ImageView::zoomImageToFit() {
  if (image_.isNull()) return;
  const QSize area = viewport()->size();
  const double factor = std::min(double(area.width()) / image_.width(), double(area.height()) / image_.height());
  if (factor > 0) setZoomFactor(factor);
  centerOn(imageItem_);
}

void ImageView::zoomImageToActualSize() { setZoomFactor(1.0); }

void ImageView::setToolMode(ToolMode mode) {
  toolMode_ = mode;
  clearGesture();
  if (!selection_.isEmpty() && mode == ToolModeSelect)
    rectItem_ = scene()->addRect(QRectF(selection_), QPen(Qt::yellow, 0, Qt::DashLine));
  setDragMode(mode == ToolModeMove ? QGraphicsView::ScrollHandDrag : QGraphicsView::NoDrag);
  viewport()->setCursor(mode == ToolModeMove ? Qt::OpenHandCursor : Qt::CrossCursor);
}

void ImageView::cropImage(const QRect& rect) {
  const QRect area = rect.normalized() & image_.rect();
  if (image_.isNull() || area.isEmpty()) return;
  selection_ = QRect();
  replaceImage(withMetadataOf(image_.copy(area), image_));
  emit imageEdited();
}

void ImageView::rotateImage(double degrees) {
  if (image_.isNull() || !std::isfinite(degrees)) return;
  const double turn = std::fmod(degrees, 360.0);
  if (turn == 0) return;
  QImage turned;
  if (std::fmod(turn, 90.0) == 0) {
    turned = image_.transformed(QTransform().rotate(turn));
  } else {
    const QTransform rotation = QTransform().rotate(turn);
    const QRect bounds = rotation.mapRect(QRectF(image_.rect())).toAlignedRect();
    turned = QImage(bounds.size(), QImage::Format_RGB32);
    turned.fill(Qt::white);
    QPainter p(&turned);
    p.setRenderHints(QPainter::SmoothPixmapTransform | QPainter::Antialiasing);
    p.translate(bounds.width() / 2.0, bounds.height() / 2.0);
    p.rotate(turn);
    p.drawImage(QPointF(-image_.width() / 2.0, -image_.height() / 2.0), image_);
  }
  selection_ = QRect();
  replaceImage(withMetadataOf(std::move(turned), image_));
  emit imageEdited();
}

void ImageView::adjustImage(int brightness, int contrast) {
  if (image_.isNull() || (brightness == 0 && contrast == 0)) return;
  const double b = std::clamp(brightness, -100, 100) * 2.55;
  const double c = std::pow((std::clamp(contrast, -100, 100) + 100) / 100.0, 2);
  uchar table[256];
  for (int v = 0; v < 256; ++v) table[v] = uchar(std::clamp(qRound((v - 127.5) * c + 127.5 + b), 0, 255));
  QImage out = image_.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < out.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < out.width(); ++x)
      line[x] = qRgba(table[qRed(line[x])], table[qGreen(line[x])], table[qBlue(line[x])], qAlpha(line[x]));
  }
  if (!image_.hasAlphaChannel()) out = out.convertToFormat(QImage::Format_RGB32);
  replaceImage(withMetadataOf(std::move(out), image_));
  emit imageEdited();
}

void ImageView::annotateImage(const QPolygonF& stroke) {
  if (image_.isNull() || stroke.isEmpty()) return;
  QImage out = image_.convertToFormat(image_.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
  QPainter p(&out);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(Qt::red, std::max(4.0, std::max(out.width(), out.height()) / 200.0), Qt::SolidLine, Qt::RoundCap,
                Qt::RoundJoin));
  if (stroke.size() == 1)
    p.drawPoint(stroke.first());
  else
    p.drawPolyline(stroke);
  p.end();
  replaceImage(withMetadataOf(std::move(out), image_));
  emit imageEdited();
}

void ImageView::mousePressEvent(QMouseEvent* event) {
  if (toolMode_ == ToolModeMove || event->button() != Qt::LeftButton || image_.isNull()) {
    QGraphicsView::mousePressEvent(event);
    return;
  }
  clearGesture();
  dragging_ = true;
  pressView_ = event->position().toPoint();
  pressScene_ = mapToScene(pressView_);
  if (toolMode_ == ToolModeSelect || toolMode_ == ToolModeCrop) {
    selection_ = QRect();
    rectItem_ = scene()->addRect(QRectF(pressScene_, QSizeF()), QPen(Qt::yellow, 0, Qt::DashLine));
  } else if (toolMode_ == ToolModeAnnotate) {
    stroke_ << pressScene_;
    QPainterPath path(pressScene_);
    strokeItem_ = scene()->addPath(path, QPen(Qt::red, 0));
  }
  event->accept();
}

void ImageView::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_) {
    QGraphicsView::mouseMoveEvent(event);
    return;
  }
  const QPointF at = mapToScene(event->position().toPoint());
  if (rectItem_) rectItem_->setRect(QRectF(pressScene_, at).normalized());
  if (strokeItem_) {
    stroke_ << at;
    QPainterPath path;
    path.addPolygon(stroke_);
    strokeItem_->setPath(path);
  }
  event->accept();
}

void ImageView::mouseReleaseEvent(QMouseEvent* event) {
  if (!dragging_) {
    QGraphicsView::mouseReleaseEvent(event);
    return;
  }
  const QPoint releaseView = event->position().toPoint();
  const QPointF at = mapToScene(releaseView);
  const QRect dragged = QRectF(pressScene_, at).normalized().toAlignedRect() & image_.rect();
  const ToolMode mode = toolMode_;
  const QPolygonF stroke = stroke_ << at;
  clearGesture();
  switch (mode) {
    case ToolModeSelect:
      selection_ = dragged;
      if (!selection_.isEmpty()) rectItem_ = scene()->addRect(QRectF(selection_), QPen(Qt::yellow, 0, Qt::DashLine));
      break;
    case ToolModeCrop:
      cropImage(dragged);
      break;
    case ToolModeRotate: {
      // A click turns a quarter; a drag turns by the angle it swept around the centre.
      if (QLineF(pressView_, releaseView).length() < kRotateDragThreshold) {
        rotateImage(90);
      } else {
        const QPointF centre = QRectF(image_.rect()).center();
        const double swept = QLineF(centre, pressScene_).angleTo(QLineF(centre, at));
        rotateImage(-(swept > 180 ? swept - 360 : swept));  // angleTo counts anticlockwise
      }
      break;
    }
    case ToolModeAnnotate:
      annotateImage(stroke);
      break;
    case ToolModeMove:
      break;
  }
  event->accept();
}

void ImageView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (doubleClickOpensEditPanel_ && event->button() == Qt::LeftButton && hasImage()) {
    event->accept();
    emit editPanelRequested();
    return;
  }
  QGraphicsView::mouseDoubleClickEvent(event);
}

void ImageView::resizeEvent(QResizeEvent* event) {
  QGraphicsView::resizeEvent(event);
  if (zoomsToFitOnResize_) zoomImageToFit();
}

#include "scanner/ImageBrowser/Views/SlideGeometry.h"

namespace zuvo::slides {

namespace {
QColor white(double level, double alpha) { return QColor::fromRgbF(float(level), float(level), float(level), float(alpha)); }
}  // namespace

QColor orangeColor() { return QColor::fromRgbF(1.0f, 0.5f, 0.0f, 1.0f); }
QColor redColor() { return QColor::fromRgbF(1.0f, 0.0f, 0.0f, 1.0f); }
QColor selectionBlue() { return QColor::fromRgbF(0.0f, 0.5f, 1.0f, 1.0f); }

std::optional<QColor> borderColor(int highlightState, bool selected) {
  if (highlightState == HighlightForSelection) return orangeColor();
  if (highlightState == HighlightAsDropTarget) return redColor();
  if (selected && highlightState != HighlightForDeselection) return selectionBlue();
  return std::nullopt;
}

QRectF borderFrame(const QRectF& carrierBounds) {
  return carrierBounds.adjusted(kBorderInset, kBorderInset, -kBorderInset, -kBorderInset);
}

QPainterPath slideShape(const QRectF& carrierBounds) {
  QPainterPath path;
  path.addRoundedRect(carrierBounds.adjusted(kShapeInset, kShapeInset, -kShapeInset, -kShapeInset),
                      kShapeCornerRadius, kShapeCornerRadius);
  return path;
}

bool slideTakesPoint(const QRectF& carrierBounds, const QPointF& point) {
  return carrierBounds.contains(point) && slideShape(carrierBounds).contains(point);
}

std::optional<QRectF> aspectFillRect(const QRectF& bounds, const QSizeF& imageSize) {
  if (!(imageSize.width() > 0) || !(imageSize.height() > 0)) return std::nullopt;
  const double w = bounds.width(), h = bounds.height();
  const double sx = w / imageSize.width(), sy = h / imageSize.height();
  if (sx > sy) return QRectF(bounds.x(), bounds.y() + 0.5 * h - 0.5 * sx * imageSize.height(), w, sx * imageSize.height());
  return QRectF(bounds.x() + 0.5 * w - 0.5 * sy * imageSize.width(), bounds.y(), sy * imageSize.width(), h);
}

QColor backgroundGrey() { return QColor::fromRgbF(0.96f, 0.96f, 0.96f, 1.0f); }

QList<QRectF> letterboxBands(const QSizeF& bounds, const QSizeF& imageSize) {
  if (!(imageSize.height() > 0) || !(bounds.height() > 0)) return {};
  const double ai = imageSize.width() / imageSize.height();
  const double bw = bounds.width(), bh = bounds.height();
  const double av = bw / bh;
  if (ai > av) {
    const double m = 0.5 * (bh - bw / ai);
    return {QRectF(0, 0, bw, m), QRectF(0, bh - m, bw, m)};
  }
  if (av > ai) {
    const double m = 0.5 * (bw - bh * ai);
    return {QRectF(0, 0, m, bh), QRectF(bw - m, 0, m, bh)};
  }
  return {};
}

QColor bandColor() { return white(0.0, 0.2); }

QRectF aspectFitRect(const QRectF& bounds, const QSizeF& imageSize) {
  if (!(imageSize.width() > 0) || !(imageSize.height() > 0)) return {};
  const QSizeF fitted = imageSize.scaled(bounds.size(), Qt::KeepAspectRatio);
  return QRectF(bounds.x() + 0.5 * (bounds.width() - fitted.width()),
                bounds.y() + 0.5 * (bounds.height() - fitted.height()), fitted.width(), fitted.height());
}

QColor headerFill() { return white(0.95, 0.8); }
QColor headerLineColor() { return white(0.75, 0.8); }

QList<QRectF> headerLines(const QRectF& bounds) {
  return {QRectF(bounds.x(), bounds.y(), bounds.width(), 1.0),
          QRectF(bounds.x(), bounds.y() + bounds.height() - 1.0, bounds.width(), 1.0)};
}

QColor footerFill() { return white(0.85, 0.8); }

QRectF verticallyCenteredRect(const QRectF& frame, double contentHeight) {
  const QRectF centred(frame.x(), frame.y() + (frame.height() - contentHeight) / 2, frame.width(), contentHeight);
  return frame.intersected(centred);
}

QColor windowBackground() { return white(0.2, 1.0); }

}  // namespace zuvo::slides

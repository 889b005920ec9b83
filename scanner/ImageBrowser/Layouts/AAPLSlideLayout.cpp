#include "scanner/ImageBrowser/Layouts/AAPLSlideLayout.h"

#include "scanner/ImageBrowser/Layouts/Rand48.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kTwoPi = 6.283185307179586;
}

AAPLSlideLayout::AAPLSlideLayout() : itemSize_(kSlideSide, kSlideSide) {}

QSizeF AAPLSlideLayout::collectionViewContentSize() const {
  if (const LayoutContext* view = collectionView())
    if (const std::optional<QSizeF> size = view->enclosingSize()) return *size;
  return QSizeF(0, 0);
}

void AAPLSlideLayout::prepareLayout() {
  const QSizeF size = collectionViewContentSize();
  box_ = QRectF(kBoxInset, kBoxInset, size.width() - 2 * kBoxInset, size.height() - 2 * kBoxInset);
}

QList<LayoutAttributes> AAPLSlideLayout::layoutAttributesForElementsInRect(const QRectF&) {
  QList<LayoutAttributes> list;
  const LayoutContext* view = collectionView();
  const int n = view && view->numberOfSections() > 0 ? view->numberOfItemsInSection(0) : 0;
  list.reserve(n);
  for (int item = 0; item < n; ++item)
    if (std::optional<LayoutAttributes> attributes = layoutAttributesForItemAtIndexPath({0, item}))
      list.append(*attributes);
  return list;
}

double AAPLSlideLayout::halfDiagonal() const {
  const double w = 0.5 * itemSize_.width(), h = 0.5 * itemSize_.height();
  return std::sqrt(w * w + h * h);
}

LayoutAttributes AAPLSlideLayout::itemAttributes(const IndexPath& path, const QRectF& frame) const {
  return LayoutAttributes{ElementKind::Item, path, frame, path.item};
}

std::optional<double> AAPLSlideLayout::angleOf(const IndexPath& path) const {
  const LayoutContext* view = collectionView();
  const int n = view && view->numberOfSections() > 0 ? view->numberOfItemsInSection(0) : 0;
  if (n <= 0) return std::nullopt;
  // In this order, in doubles: item / n, then times 2 pi.
  return double(unsigned(path.item)) / double(n) * kTwoPi;
}

QRectF AAPLSlideLayout::frameCenteredAt(double cx, double cy) const {
  return QRectF(cx - 0.5 * itemSize_.width(), cy - 0.5 * itemSize_.height(), itemSize_.width(), itemSize_.height());
}

void AAPLCircularLayout::prepareLayout() {
  AAPLSlideLayout::prepareLayout();
  const double d = halfDiagonal();
  circleCenter_ = QPointF(box_.x() + 0.5 * box_.width(), box_.y() + 0.5 * box_.height());
  circleRadius_ = 0.5 * std::min(box_.width(), box_.height()) - d;
}

std::optional<LayoutAttributes> AAPLCircularLayout::layoutAttributesForItemAtIndexPath(const IndexPath& path) {
  const std::optional<double> a = angleOf(path);
  if (!a) return std::nullopt;
  const double cx = circleCenter_.x() + circleRadius_ * std::cos(*a);
  const double cy = circleCenter_.y() + circleRadius_ * std::sin(*a);
  return itemAttributes(path, frameCenteredAt(cx, cy));
}

void AAPLLoopLayout::prepareLayout() {
  AAPLSlideLayout::prepareLayout();
  const double d = halfDiagonal();
  loopCenter_ = QPointF(box_.x() + 0.5 * box_.width(), box_.y() + 0.5 * box_.height());
  loopSize_ = QSizeF((box_.width() - 2 * d) * 0.5, (box_.height() - 2 * d) * 0.5);
}

std::optional<LayoutAttributes> AAPLLoopLayout::layoutAttributesForItemAtIndexPath(const IndexPath& path) {
  const std::optional<double> a = angleOf(path);
  if (!a) return std::nullopt;
  const double cx = loopCenter_.x() + loopSize_.width() * std::cos(*a);
  const double cy = loopCenter_.y() + loopSize_.height() * std::sin(2 * *a);
  return itemAttributes(path, frameCenteredAt(cx, cy));
}

std::optional<LayoutAttributes> AAPLScatterLayout::layoutAttributesForItemAtIndexPath(const IndexPath& path) {
  auto it = cachedItemFrames_.find(path);
  if (it == cachedItemFrames_.end()) {
    zuvo::Rand48& random = zuvo::Rand48::shared();
    const double x = box_.x() + random.next() * (box_.width() - itemSize_.width());
    const double y = box_.y() + random.next() * (box_.height() - itemSize_.height());
    it = cachedItemFrames_.insert(path, QRectF(x, y, itemSize_.width(), itemSize_.height()));
  }
  return itemAttributes(path, *it);
}

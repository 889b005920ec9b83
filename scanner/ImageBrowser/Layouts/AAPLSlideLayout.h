// The three free layouts of section 0's slides inside a box that fills the visible area:
// on a circle, on a figure-eight, and scattered at random. They never scroll: their content
// is the enclosing view's area, and every change of its bounds asks for a new pass. Each
// slide's z-order is its item index, so a later slide lies on top of an earlier one.
#pragma once

#include "scanner/ImageBrowser/Layouts/CollectionLayout.h"

#include <QHash>
#include <QPointF>

class AAPLSlideLayout : public CollectionLayout {
 public:
  static constexpr double kBoxInset = 10.0;
  static constexpr double kSlideSide = 250.0;

  AAPLSlideLayout();

  // Enclosing view's bounds size; zero when there is none.
  QSizeF collectionViewContentSize() const override;
  void prepareLayout() override;
  bool shouldInvalidateLayoutForBoundsChange(const QSizeF&) const override { return true; }
  // Every item of section 0, in item order (the rectangle is not looked at).
  QList<LayoutAttributes> layoutAttributesForElementsInRect(const QRectF& rect) override;

  QRectF box() const { return box_; }
  QSizeF itemSize() const { return itemSize_; }

 protected:
  // Half the diagonal of a slide.
  double halfDiagonal() const;
  LayoutAttributes itemAttributes(const IndexPath& path, const QRectF& frame) const;
  // Common step of the circle and the loop: the angle of the item, none for an empty section.
  std::optional<double> angleOf(const IndexPath& path) const;
  QRectF frameCenteredAt(double cx, double cy) const;

  QRectF box_;
  const QSizeF itemSize_;
};

class AAPLCircularLayout : public AAPLSlideLayout {
 public:
  void prepareLayout() override;
  std::optional<LayoutAttributes> layoutAttributesForItemAtIndexPath(const IndexPath& path) override;

  QPointF circleCenter() const { return circleCenter_; }
  // Negative when the box's shorter side is under a slide's diagonal: slides land mirrored.
  double circleRadius() const { return circleRadius_; }

 private:
  QPointF circleCenter_;
  double circleRadius_ = 0;
};

class AAPLLoopLayout : public AAPLSlideLayout {
 public:
  void prepareLayout() override;
  std::optional<LayoutAttributes> layoutAttributesForItemAtIndexPath(const IndexPath& path) override;

  QPointF loopCenter() const { return loopCenter_; }
  QSizeF loopSize() const { return loopSize_; }  // half-extents; may be negative

 private:
  QPointF loopCenter_;
  QSizeF loopSize_;
};

class AAPLScatterLayout : public AAPLSlideLayout {
 public:
  // The frame drawn for an index path the first time it is asked for stays its frame for
  // the life of this layout, also after a resize.
  std::optional<LayoutAttributes> layoutAttributesForItemAtIndexPath(const IndexPath& path) override;

 private:
  QHash<IndexPath, QRectF> cachedItemFrames_;
};

// The flow layout: slides of 250 x 250 in rows from the left edge, wrapped when a row is
// full, 10 apart in both directions, 10 of inset around each section's slides; each
// section's header above and footer below its slides, the full width of the view, at the
// heights the view's delegate gives. Scrolls vertically; a view narrower than one slide
// still gets one column.
#pragma once

#include "scanner/ImageBrowser/Layouts/CollectionLayout.h"

#include <QMarginsF>

class AAPLWrappedLayout : public CollectionLayout {
 public:
  AAPLWrappedLayout();

  void prepareLayout() override;
  QSizeF collectionViewContentSize() const override { return contentSize_; }
  // Every element whose frame meets the rectangle, each with the z-order of its item.
  QList<LayoutAttributes> layoutAttributesForElementsInRect(const QRectF& rect) override;
  std::optional<LayoutAttributes> layoutAttributesForItemAtIndexPath(const IndexPath& path) override;
  // A new pass when the width changes (rows wrap by width only).
  bool shouldInvalidateLayoutForBoundsChange(const QSizeF& newSize) const override;
  bool scrolls() const override { return true; }

  QSizeF itemSize() const { return itemSize_; }
  double minimumInteritemSpacing() const { return minimumInteritemSpacing_; }
  double minimumLineSpacing() const { return minimumLineSpacing_; }
  QMarginsF sectionInset() const { return sectionInset_; }
  // Slides per row in a view of this width.
  int columnsForWidth(double width) const;

 private:
  QSizeF itemSize_;
  double minimumInteritemSpacing_;
  double minimumLineSpacing_;
  QMarginsF sectionInset_;

  double preparedWidth_ = -1;
  QSizeF contentSize_;
  QList<LayoutAttributes> elements_;         // in section order: header, items, footer
  QList<QList<qsizetype>> itemElementIndex_;  // [section][item] -> index into elements_
};

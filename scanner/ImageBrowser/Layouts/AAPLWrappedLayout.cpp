#include "scanner/ImageBrowser/Layouts/AAPLWrappedLayout.h"

#include <algorithm>
#include <cmath>

AAPLWrappedLayout::AAPLWrappedLayout()
    : itemSize_(250, 250), minimumInteritemSpacing_(10), minimumLineSpacing_(10), sectionInset_(10, 10, 10, 10) {}

int AAPLWrappedLayout::columnsForWidth(double width) const {
  const double available = width - sectionInset_.left() - sectionInset_.right();
  if (!(available >= itemSize_.width())) return 1;  // also NaN: never zero columns
  const double step = itemSize_.width() + minimumInteritemSpacing_;
  return 1 + int(std::floor((available - itemSize_.width()) / step));
}

void AAPLWrappedLayout::prepareLayout() {
  elements_.clear();
  itemElementIndex_.clear();
  const LayoutContext* view = collectionView();
  const double width = view ? std::max(0.0, view->enclosingSize().value_or(QSizeF(0, 0)).width()) : 0.0;
  preparedWidth_ = width;
  double y = 0;
  double contentWidth = width;
  const int sections = view ? view->numberOfSections() : 0;
  itemElementIndex_.resize(sections);
  for (int section = 0; section < sections; ++section) {
    const QSizeF header = view->referenceSizeForHeaderInSection(section);
    if (header.height() > 0) {
      elements_.append({ElementKind::SectionHeader, {section, 0}, QRectF(0, y, width, header.height()), 0});
      y += header.height();
    }
    const int n = std::max(0, view->numberOfItemsInSection(section));
    if (n > 0) {
      y += sectionInset_.top();
      const int columns = columnsForWidth(width);
      const int rows = (n + columns - 1) / columns;
      itemElementIndex_[section].reserve(n);
      for (int item = 0; item < n; ++item) {
        const int row = item / columns, column = item % columns;
        const double x = sectionInset_.left() + column * (itemSize_.width() + minimumInteritemSpacing_);
        const double top = y + row * (itemSize_.height() + minimumLineSpacing_);
        itemElementIndex_[section].append(elements_.size());
        elements_.append({ElementKind::Item, {section, item}, QRectF(QPointF(x, top), itemSize_), item});
      }
      y += rows * itemSize_.height() + (rows - 1) * minimumLineSpacing_ + sectionInset_.bottom();
      const double rowWidth = sectionInset_.left() + std::min(n, columns) * itemSize_.width() +
                              (std::min(n, columns) - 1) * minimumInteritemSpacing_ + sectionInset_.right();
      contentWidth = std::max(contentWidth, rowWidth);
    }
    const QSizeF footer = view->referenceSizeForFooterInSection(section);
    if (footer.height() > 0) {
      elements_.append({ElementKind::SectionFooter, {section, 0}, QRectF(0, y, width, footer.height()), 0});
      y += footer.height();
    }
  }
  contentSize_ = QSizeF(contentWidth, y);
}

QList<LayoutAttributes> AAPLWrappedLayout::layoutAttributesForElementsInRect(const QRectF& rect) {
  QList<LayoutAttributes> list;
  for (const LayoutAttributes& element : elements_) {
    if (!element.frame.intersects(rect)) continue;
    list.append(element);
    list.last().zIndex = element.indexPath.item;
  }
  return list;
}

std::optional<LayoutAttributes> AAPLWrappedLayout::layoutAttributesForItemAtIndexPath(const IndexPath& path) {
  if (path.section < 0 || path.section >= itemElementIndex_.size()) return std::nullopt;
  const QList<qsizetype>& items = itemElementIndex_[path.section];
  if (path.item < 0 || path.item >= items.size()) return std::nullopt;
  LayoutAttributes attributes = elements_[items[path.item]];
  attributes.zIndex = path.item;
  return attributes;
}

bool AAPLWrappedLayout::shouldInvalidateLayoutForBoundsChange(const QSizeF& newSize) const {
  return newSize.width() != preparedWidth_;
}

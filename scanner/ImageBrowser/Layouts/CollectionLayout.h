// What a collection view and its layouts share: index paths, the attributes a layout gives
// each element, and the questions a layout may ask the view it serves. Pure geometry: no
// widgets, so the layouts are tested on numbers alone.
#pragma once

#include <QHashFunctions>
#include <QList>
#include <QRectF>
#include <QSizeF>
#include <compare>
#include <optional>

struct IndexPath {
  int section = 0;
  int item = 0;
  auto operator<=>(const IndexPath&) const = default;
};
inline size_t qHash(const IndexPath& path, size_t seed = 0) { return qHashMulti(seed, path.section, path.item); }

enum class ElementKind { Item, SectionHeader, SectionFooter };

struct LayoutAttributes {
  ElementKind kind = ElementKind::Item;
  IndexPath indexPath;
  QRectF frame;
  int zIndex = 0;
};

// The collection view as its layout sees it.
class LayoutContext {
 public:
  virtual ~LayoutContext() = default;
  virtual int numberOfSections() const = 0;
  virtual int numberOfItemsInSection(int section) const = 0;
  // Bounds size of the view that encloses the collection view (its viewport); none when
  // the collection view stands alone.
  virtual std::optional<QSizeF> enclosingSize() const = 0;
  virtual QSizeF referenceSizeForHeaderInSection(int section) const = 0;
  virtual QSizeF referenceSizeForFooterInSection(int section) const = 0;
};

class CollectionLayout {
 public:
  virtual ~CollectionLayout() = default;

  // The view the layout serves; set before the first pass, cleared when it is replaced.
  void setCollectionView(const LayoutContext* context) { context_ = context; }
  const LayoutContext* collectionView() const { return context_; }

  // Run before each layout pass.
  virtual void prepareLayout() {}
  virtual QSizeF collectionViewContentSize() const = 0;
  virtual QList<LayoutAttributes> layoutAttributesForElementsInRect(const QRectF& rect) = 0;
  virtual std::optional<LayoutAttributes> layoutAttributesForItemAtIndexPath(const IndexPath& path) = 0;
  // Whether a change of the view's bounds to this size needs a new pass.
  virtual bool shouldInvalidateLayoutForBoundsChange(const QSizeF& newSize) const = 0;
  // Content larger than the view: only the flow layout scrolls.
  virtual bool scrolls() const { return false; }

 private:
  const LayoutContext* context_ = nullptr;
};

// A collection view as the layouts see it, made of plain numbers.
#pragma once

#include "scanner/ImageBrowser/Layouts/CollectionLayout.h"

#include <QList>

namespace zuvo::test {

struct FakeCollectionView : LayoutContext {
  explicit FakeCollectionView(QList<int> items_, std::optional<QSizeF> enclosing_ = std::nullopt,
                              QSizeF header_ = {0, 0}, QSizeF footer_ = {0, 0})
      : items(std::move(items_)), enclosing(enclosing_), header(header_), footer(footer_) {}

  QList<int> items;                    // per section
  std::optional<QSizeF> enclosing;     // none: no enclosing view
  QSizeF header{0, 0}, footer{0, 0};   // every section's reference sizes

  int numberOfSections() const override { return int(items.size()); }
  int numberOfItemsInSection(int section) const override { return items.value(section); }
  std::optional<QSizeF> enclosingSize() const override { return enclosing; }
  QSizeF referenceSizeForHeaderInSection(int) const override { return header; }
  QSizeF referenceSizeForFooterInSection(int) const override { return footer; }
};

}  // namespace zuvo::test

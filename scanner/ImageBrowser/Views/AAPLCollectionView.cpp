#include "scanner/ImageBrowser/Views/AAPLCollectionView.h"

#include "scanner/ImageBrowser/Views/AAPLHeaderView.h"
#include "scanner/ImageBrowser/Views/AAPLSlide.h"
#include "scanner/ImageBrowser/Views/AAPLSlideTableBackgroundView.h"
#include "scanner/ImageBrowser/Views/CollectionAccessibility.h"

#include <QAccessible>
#include <QDragEnterEvent>
#include <QEasingCurve>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QRubberBand>
#include <QScrollBar>
#include <QVariantAnimation>
#include <algorithm>
#include <limits>

QGraphicsObject* AAPLCollectionView::makeItem(const QString& identifier) {
  if (identifier == QLatin1String("Slide")) return new AAPLSlide;
  if (identifier == QLatin1String("Header")) return new AAPLHeaderView;
  if (identifier == QLatin1String("Footer")) return new AAPLFooterView;
  return nullptr;
}

static void initBrowserResources() { Q_INIT_RESOURCE(browser); }

AAPLCollectionView::AAPLCollectionView(QWidget* parent)
    : QGraphicsView(parent), scene_(new QGraphicsScene(this)), animation_(new QVariantAnimation(this)) {
  initBrowserResources();
  zuvo::installCollectionAccessibility();
  setScene(scene_);
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
  setFrameShape(QFrame::NoFrame);
  // The background stands still behind scrolled content: redraw the whole viewport.
  setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
  setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setAcceptDrops(true);
  setFocusPolicy(Qt::StrongFocus);
  animation_->setStartValue(0.0);
  animation_->setEndValue(1.0);
  animation_->setEasingCurve(QEasingCurve::InOutQuad);
  connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
    const double t = value.toDouble();
    for (const Move& move : moves_) {
      if (!move.element) continue;
      move.element->setPos(move.from + (move.to - move.from) * t);
      move.element->setOpacity(move.fromOpacity + (move.toOpacity - move.fromOpacity) * t);
    }
  });
  connect(animation_, &QVariantAnimation::finished, this, &AAPLCollectionView::finishAnimation);
}

AAPLCollectionView::~AAPLCollectionView() {
  animation_->stop();
  moves_.clear();
  dataSource_ = nullptr;
  if (layout_) layout_->setCollectionView(nullptr);
}

void AAPLCollectionView::setCollectionViewLayout(std::unique_ptr<CollectionLayout> layout, double seconds) {
  if (!layout) return;
  if (layout_) layout_->setCollectionView(nullptr);
  layout_ = std::move(layout);
  layout_->setCollectionView(this);
  const Qt::ScrollBarPolicy policy = layout_->scrolls() ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff;
  setHorizontalScrollBarPolicy(policy);
  setVerticalScrollBarPolicy(policy);
  layoutPass(seconds);
}

void AAPLCollectionView::setBackgroundView(AAPLSlideTableBackgroundView* view) {
  if (view == backgroundView_) return;
  delete backgroundView_;
  backgroundView_ = view;
  if (view) {
    view->setParent(this);
    connect(view, &AAPLSlideTableBackgroundView::needsDisplay, viewport(), qOverload<>(&QWidget::update));
  }
  viewport()->update();
}

int AAPLCollectionView::numberOfItemsInSection(int section) const {
  return section >= 0 && section < sections_.size() ? int(sections_[section].items.size()) : 0;
}

AAPLSlide* AAPLCollectionView::itemAtIndexPath(const IndexPath& path) const {
  if (path.section < 0 || path.section >= sections_.size()) return nullptr;
  const QList<AAPLSlide*>& items = sections_[path.section].items;
  return path.item >= 0 && path.item < items.size() ? items[path.item] : nullptr;
}

std::optional<IndexPath> AAPLCollectionView::indexPathForItem(const AAPLSlide* item) const {
  for (int s = 0; s < sections_.size(); ++s) {
    const qsizetype i = sections_[s].items.indexOf(item);
    if (i >= 0) return IndexPath{s, int(i)};
  }
  return std::nullopt;
}

AAPLHeaderView* AAPLCollectionView::supplementaryView(ElementKind kind, int section) const {
  if (section < 0 || section >= sections_.size()) return nullptr;
  if (kind == ElementKind::SectionHeader) return sections_[section].header;
  if (kind == ElementKind::SectionFooter) return sections_[section].footer;
  return nullptr;
}

std::optional<QSizeF> AAPLCollectionView::enclosingSize() const { return QSizeF(viewport()->size()); }

QSizeF AAPLCollectionView::referenceSizeForHeaderInSection(int section) const {
  return dataSource_ ? dataSource_->referenceSizeForHeaderInSection(const_cast<AAPLCollectionView*>(this), section) : QSizeF();
}

QSizeF AAPLCollectionView::referenceSizeForFooterInSection(int section) const {
  return dataSource_ ? dataSource_->referenceSizeForFooterInSection(const_cast<AAPLCollectionView*>(this), section) : QSizeF();
}

AAPLCollectionView::Section AAPLCollectionView::makeSection(int section) {
  Section made;
  if (!dataSource_) return made;
  const int n = std::max(0, dataSource_->numberOfItemsInSection(this, section));
  made.items.reserve(n);
  for (int item = 0; item < n; ++item) {
    AAPLSlide* slide = dataSource_->itemForRepresentedObjectAtIndexPath(this, {section, item});
    if (!slide) slide = new AAPLSlide;  // the counts must stay what the data source said
    scene_->addItem(slide);
    newcomers_.append(slide);
    made.items.append(slide);
  }
  const QSizeF headerSize = dataSource_->referenceSizeForHeaderInSection(this, section);
  const QSizeF footerSize = dataSource_->referenceSizeForFooterInSection(this, section);
  if (headerSize.height() > 0) made.header = dataSource_->viewForSupplementaryElementOfKind(this, ElementKind::SectionHeader, {section, 0});
  if (footerSize.height() > 0) made.footer = dataSource_->viewForSupplementaryElementOfKind(this, ElementKind::SectionFooter, {section, 0});
  for (AAPLHeaderView* view : {made.header, made.footer}) {
    if (!view) continue;
    scene_->addItem(view);
    newcomers_.append(view);
  }
  return made;
}

void AAPLCollectionView::retire(QGraphicsObject* element, double seconds) {
  if (!element) return;
  frames_.remove(element);
  newcomers_.removeAll(element);
  if (element == dropTarget_) dropTarget_ = nullptr;
  if (seconds <= 0 || !element->isVisible()) {
    delete element;
    return;
  }
  element->setAcceptedMouseButtons(Qt::NoButton);
  leaving_.append(element);
}

void AAPLCollectionView::discardSection(Section& section, double seconds) {
  for (AAPLSlide* slide : section.items) retire(slide, seconds);
  retire(section.header, seconds);
  retire(section.footer, seconds);
  section = Section();
}

void AAPLCollectionView::reloadData() {
  const bool hadSelection = !selectedSlides().isEmpty();
  for (Section& section : sections_) discardSection(section, 0);
  sections_.clear();
  const int count = dataSource_ ? std::max(0, dataSource_->numberOfSectionsInCollectionView(this)) : 0;
  for (int s = 0; s < count; ++s) sections_.append(makeSection(s));
  // Fresh elements stand at their places at once.
  newcomers_.clear();
  layoutPass(0);
  if (hadSelection) emit selectionIndexPathsChanged();
}

void AAPLCollectionView::insertItemsAtIndexPaths(const QSet<IndexPath>& paths, double seconds) {
  QList<IndexPath> sorted(paths.begin(), paths.end());
  std::sort(sorted.begin(), sorted.end());
  for (const IndexPath& path : sorted) {
    if (path.section < 0 || path.section >= sections_.size() || !dataSource_) continue;
    QList<AAPLSlide*>& items = sections_[path.section].items;
    const int at = std::clamp(path.item, 0, int(items.size()));
    AAPLSlide* slide = dataSource_->itemForRepresentedObjectAtIndexPath(this, {path.section, at});
    if (!slide) slide = new AAPLSlide;
    scene_->addItem(slide);
    newcomers_.append(slide);
    items.insert(at, slide);
  }
  setNeedsLayout(seconds);
}

void AAPLCollectionView::deleteItemsAtIndexPaths(const QSet<IndexPath>& paths, double seconds) {
  QList<IndexPath> sorted(paths.begin(), paths.end());
  std::sort(sorted.begin(), sorted.end(), std::greater<>());
  bool selectionChanged = false;
  for (const IndexPath& path : sorted) {
    AAPLSlide* slide = itemAtIndexPath(path);
    if (!slide) continue;
    selectionChanged |= slide->isSelected();
    sections_[path.section].items.removeAt(path.item);
    retire(slide, seconds);
  }
  setNeedsLayout(seconds);
  if (selectionChanged) emit selectionIndexPathsChanged();
}

void AAPLCollectionView::insertSections(const QList<int>& sections, double seconds) {
  QList<int> sorted = sections;
  std::sort(sorted.begin(), sorted.end());
  for (int s : sorted) {
    const int at = std::clamp(s, 0, int(sections_.size()));
    sections_.insert(at, makeSection(at));
  }
  setNeedsLayout(seconds);
}

void AAPLCollectionView::deleteSections(const QList<int>& sections, double seconds) {
  QList<int> sorted = sections;
  std::sort(sorted.begin(), sorted.end(), std::greater<>());
  bool selectionChanged = false;
  for (int s : sorted) {
    if (s < 0 || s >= sections_.size()) continue;
    for (AAPLSlide* slide : sections_[s].items) selectionChanged |= slide->isSelected();
    discardSection(sections_[s], seconds);
    sections_.removeAt(s);
  }
  setNeedsLayout(seconds);
  if (selectionChanged) emit selectionIndexPathsChanged();
}

void AAPLCollectionView::setNeedsLayout(double seconds) {
  pendingSeconds_ = std::max(pendingSeconds_, seconds);
  if (layoutPending_) return;
  layoutPending_ = true;
  // One pass for all the updates of one turn of the event loop.
  QMetaObject::invokeMethod(this, [this] { layoutIfNeeded(); }, Qt::QueuedConnection);
}

void AAPLCollectionView::layoutIfNeeded() {
  if (!layoutPending_) return;
  layoutPass(pendingSeconds_);
}

void AAPLCollectionView::layoutPass(double seconds) {
  layoutPending_ = false;
  pendingSeconds_ = 0;
  if (animation_->state() == QAbstractAnimation::Running) {
    animation_->stop();  // moves go on from where they are
    for (const Move& move : moves_)
      if (move.element && move.toOpacity == 0) delete move.element.data();
    moves_.clear();
  }
  frames_.clear();
  if (!layout_) {
    for (const QPointer<QGraphicsObject>& element : leaving_) delete element.data();
    leaving_.clear();
    finishAnimation();
    return;
  }
  layout_->setCollectionView(this);
  layout_->prepareLayout();
  const QSizeF content = layout_->collectionViewContentSize();
  scene_->setSceneRect(QRectF(QPointF(0, 0), content.expandedTo(QSizeF(0, 0))));
  const QList<LayoutAttributes> elements =
      layout_->layoutAttributesForElementsInRect(QRectF(QPointF(0, 0), content.expandedTo(QSizeF(1, 1))));

  QSet<const QGraphicsObject*> placed;
  const bool animate = seconds > 0;
  for (const LayoutAttributes& attributes : elements) {
    QGraphicsObject* element = nullptr;
    if (attributes.kind == ElementKind::Item) {
      element = itemAtIndexPath(attributes.indexPath);
    } else if (AAPLHeaderView* view = supplementaryView(attributes.kind, attributes.indexPath.section)) {
      view->setSize(attributes.frame.size());
      element = view;
    }
    if (!element) continue;
    placed.insert(element);
    frames_.insert(element, attributes.frame);
    element->setZValue(attributes.zIndex);
    const bool isNew = newcomers_.contains(element) || !element->isVisible();
    element->setVisible(true);
    if (!animate) {
      element->setPos(attributes.frame.topLeft());
      element->setOpacity(1);
    } else if (isNew) {
      element->setPos(attributes.frame.topLeft());
      element->setOpacity(0);
      moves_.append({element, attributes.frame.topLeft(), attributes.frame.topLeft(), 0, 1});
    } else if (element->pos() != attributes.frame.topLeft() || element->opacity() != 1) {
      moves_.append({element, element->pos(), attributes.frame.topLeft(), element->opacity(), 1});
    }
  }
  newcomers_.clear();
  // What the layout does not place (slides past section 0 in a free layout) is not shown.
  for (const Section& section : sections_) {
    for (AAPLSlide* slide : section.items)
      if (!placed.contains(slide)) slide->setVisible(false);
    for (AAPLHeaderView* view : {section.header, section.footer})
      if (view && !placed.contains(view)) view->setVisible(false);
  }
  for (const QPointer<QGraphicsObject>& element : leaving_) {
    if (!element) continue;
    if (animate) moves_.append({element, element->pos(), element->pos(), element->opacity(), 0});
    else delete element.data();
  }
  leaving_.clear();
  if (animate && !moves_.isEmpty()) {
    animation_->setDuration(int(seconds * 1000));
    animation_->start();
  } else {
    finishAnimation();
  }
  QAccessible::updateAccessibility(new QAccessibleEvent(this, QAccessible::ObjectReorder));
  emit layoutDone();
}

void AAPLCollectionView::finishAnimation() {
  for (const Move& move : moves_) {
    if (!move.element) continue;
    if (move.toOpacity == 0) {
      delete move.element.data();
      continue;
    }
    move.element->setPos(move.to);
    move.element->setOpacity(move.toOpacity);
  }
  moves_.clear();
}

bool AAPLCollectionView::isAnimating() const {
  return layoutPending_ || animation_->state() == QAbstractAnimation::Running;
}

std::optional<QRectF> AAPLCollectionView::frameForItemAtIndexPath(const IndexPath& path) const {
  const AAPLSlide* slide = itemAtIndexPath(path);
  if (!slide || !frames_.contains(slide)) return std::nullopt;
  return frames_.value(slide);
}

void AAPLCollectionView::resizeEvent(QResizeEvent* event) {
  QGraphicsView::resizeEvent(event);
  if (backgroundView_) backgroundView_->setFrame(QRectF(viewport()->rect()));
  if (layout_ && layout_->shouldInvalidateLayoutForBoundsChange(QSizeF(viewport()->size()))) layoutPass(0);
}

QSet<AAPLSlide*> AAPLCollectionView::selectedSlides() const {
  QSet<AAPLSlide*> selected;
  for (const Section& section : sections_)
    for (AAPLSlide* slide : section.items)
      if (slide->isSelected()) selected.insert(slide);
  return selected;
}

QList<IndexPath> AAPLCollectionView::selectionIndexPaths() const {
  QList<IndexPath> paths;
  for (int s = 0; s < sections_.size(); ++s)
    for (int i = 0; i < sections_[s].items.size(); ++i)
      if (sections_[s].items[i]->isSelected()) paths.append({s, i});
  return paths;
}

void AAPLCollectionView::applySelection(const QSet<AAPLSlide*>& selected) {
  bool changed = false;
  for (const Section& section : sections_) {
    for (AAPLSlide* slide : section.items) {
      const bool on = selected.contains(slide);
      if (slide->isSelected() == on) continue;
      slide->setSelected(on);
      changed = true;
    }
  }
  if (!changed) return;
  QAccessible::updateAccessibility(new QAccessibleEvent(this, QAccessible::SelectionWithin));
  emit selectionIndexPathsChanged();
}

void AAPLCollectionView::setSelectionIndexPaths(const QSet<IndexPath>& paths) {
  QSet<AAPLSlide*> selected;
  for (const IndexPath& path : paths)
    if (AAPLSlide* slide = itemAtIndexPath(path)) selected.insert(slide);
  applySelection(selected);
}

void AAPLCollectionView::selectAll() {
  QSet<AAPLSlide*> all;
  for (const Section& section : sections_)
    for (AAPLSlide* slide : section.items) all.insert(slide);
  applySelection(all);
}

void AAPLCollectionView::deselectAll() { applySelection({}); }

AAPLSlide* AAPLCollectionView::slideAt(const QPoint& viewportPoint) const {
  const QPointF scenePoint = mapToScene(viewportPoint);
  for (QGraphicsItem* item : scene_->items(scenePoint, Qt::IntersectsItemShape, Qt::DescendingOrder)) {
    auto* slide = dynamic_cast<AAPLSlide*>(item);
    if (!slide && item->parentItem()) slide = dynamic_cast<AAPLSlide*>(item->parentItem());  // its border
    if (slide && slide->isVisible() && indexPathForItem(slide)) return slide;
  }
  return nullptr;
}

void AAPLCollectionView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QGraphicsView::mousePressEvent(event);  // the slide's menu
    return;
  }
  setFocus(Qt::MouseFocusReason);
  const bool extend = event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
  if (AAPLSlide* slide = slideAt(event->position().toPoint())) {
    QSet<AAPLSlide*> selected = extend ? selectedSlides() : QSet<AAPLSlide*>{};
    if (extend && slide->isSelected()) selected.remove(slide);
    else selected.insert(slide);
    applySelection(selected);
    return;
  }
  rubberBase_ = extend ? selectedSlides() : QSet<AAPLSlide*>{};
  if (!extend) applySelection({});
  rubberOrigin_ = event->position().toPoint();
}

void AAPLCollectionView::updateRubberBand(const QPoint& to) {
  if (!rubberBand_) rubberBand_ = new QRubberBand(QRubberBand::Rectangle, viewport());
  const QRect band = QRect(*rubberOrigin_, to).normalized();
  rubberBand_->setGeometry(band);
  rubberBand_->show();
  QPainterPath area;
  area.addRect(mapToScene(band).boundingRect());
  for (const Section& section : sections_)
    for (AAPLSlide* slide : section.items) {
      const bool inside = slide->isVisible() && area.intersects(slide->mapToScene(slide->slideShape()));
      slide->setHighlightState(inside && !slide->isSelected() ? zuvo::slides::HighlightForSelection : zuvo::slides::HighlightNone);
    }
}

void AAPLCollectionView::mouseMoveEvent(QMouseEvent* event) {
  if (!rubberOrigin_) {
    QGraphicsView::mouseMoveEvent(event);
    return;
  }
  updateRubberBand(event->position().toPoint());
}

void AAPLCollectionView::mouseReleaseEvent(QMouseEvent* event) {
  if (!rubberOrigin_) {
    QGraphicsView::mouseReleaseEvent(event);
    return;
  }
  updateRubberBand(event->position().toPoint());
  QSet<AAPLSlide*> selected = rubberBase_;
  for (const Section& section : sections_)
    for (AAPLSlide* slide : section.items)
      if (slide->highlightState() == zuvo::slides::HighlightForSelection) {
        selected.insert(slide);
        slide->setHighlightState(zuvo::slides::HighlightNone);
      }
  rubberBand_->hide();
  rubberOrigin_.reset();
  rubberBase_.clear();
  applySelection(selected);
}

void AAPLCollectionView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    if (AAPLSlide* slide = slideAt(event->position().toPoint())) {
      slide->openImageFile();  // the second click opens and selects nothing
      return;
    }
  }
  mousePressEvent(event);
}

void AAPLCollectionView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::SelectAll)) {
    selectAll();
    return;
  }
  QGraphicsView::keyPressEvent(event);
}

std::pair<IndexPath, DropOperation> AAPLCollectionView::proposedDrop(const QPoint& viewportPoint) const {
  if (AAPLSlide* slide = slideAt(viewportPoint)) return {*indexPathForItem(slide), DropOperation::On};
  // Before the nearest slide, or after it when the point is past its middle.
  const QPointF point = mapToScene(viewportPoint);
  std::optional<IndexPath> best;
  double bestDistance = std::numeric_limits<double>::max();
  QPointF bestCentre;
  for (int s = 0; s < sections_.size(); ++s)
    for (int i = 0; i < sections_[s].items.size(); ++i) {
      const AAPLSlide* slide = sections_[s].items[i];
      if (!slide->isVisible()) continue;
      const QPointF centre = slide->mapToScene(slide->boundingRect().center());
      const double distance = QLineF(centre, point).length();
      if (distance < bestDistance) {
        bestDistance = distance;
        best = IndexPath{s, i};
        bestCentre = centre;
      }
    }
  if (!best) return {IndexPath{0, numberOfItemsInSection(0)}, DropOperation::Before};
  if (point.x() > bestCentre.x()) ++best->item;
  return {*best, DropOperation::Before};
}

void AAPLCollectionView::setDropTarget(AAPLSlide* slide) {
  if (dropTarget_ == slide) return;
  if (dropTarget_) dropTarget_->setHighlightState(zuvo::slides::HighlightNone);
  dropTarget_ = slide;
  if (slide) slide->setHighlightState(zuvo::slides::HighlightAsDropTarget);
}

void AAPLCollectionView::dragEnterEvent(QDragEnterEvent* event) {
  if (!acceptsURLDrops_ || !event->mimeData()->hasUrls() || !dataSource_) {
    event->ignore();
    return;
  }
  dragMoveEvent(event);
}

void AAPLCollectionView::dragMoveEvent(QDragMoveEvent* event) {
  if (!acceptsURLDrops_ || !event->mimeData()->hasUrls() || !dataSource_) {
    event->ignore();
    return;
  }
  auto [path, operation] = proposedDrop(event->position().toPoint());
  const Qt::DropAction action = dataSource_->validateDrop(this, event->mimeData(), &path, &operation);
  if (action == Qt::IgnoreAction) {
    setDropTarget(nullptr);
    event->ignore();
    return;
  }
  setDropTarget(operation == DropOperation::On ? itemAtIndexPath(path) : nullptr);
  event->setDropAction(action);
  event->accept();
}

void AAPLCollectionView::dragLeaveEvent(QDragLeaveEvent* event) {
  setDropTarget(nullptr);
  event->accept();
}

void AAPLCollectionView::dropEvent(QDropEvent* event) {
  setDropTarget(nullptr);
  if (!acceptsURLDrops_ || !event->mimeData()->hasUrls() || !dataSource_) {
    event->ignore();
    return;
  }
  auto [path, operation] = proposedDrop(event->position().toPoint());
  const Qt::DropAction action = dataSource_->validateDrop(this, event->mimeData(), &path, &operation);
  if (action != Qt::IgnoreAction && dataSource_->acceptDrop(this, event->mimeData(), path, operation)) {
    event->setDropAction(action);
    event->accept();
  } else {
    event->ignore();
  }
}

void AAPLCollectionView::drawBackground(QPainter* painter, const QRectF&) {
  painter->save();
  painter->resetTransform();
  const QRectF bounds(viewport()->rect());
  if (backgroundView_) backgroundView_->drawRect(painter, bounds);
  else painter->fillRect(bounds, palette().base());
  painter->restore();
}

QList<QGraphicsObject*> AAPLCollectionView::visibleElements() const {
  const QRectF visible = mapToScene(viewport()->rect()).boundingRect();
  QList<QGraphicsObject*> list;
  auto add = [&](QGraphicsObject* element) {
    if (element && element->isVisible() && frames_.contains(element) && frames_.value(element).intersects(visible))
      list.append(element);
  };
  for (const Section& section : sections_) {
    add(section.header);
    for (AAPLSlide* slide : section.items) add(slide);
    add(section.footer);
  }
  return list;
}

QRect AAPLCollectionView::screenRectOf(const QGraphicsItem* item) const {
  const QRect inViewport = viewportTransform().mapRect(item->sceneBoundingRect()).toAlignedRect();
  return QRect(viewport()->mapToGlobal(inViewport.topLeft()), inViewport.size());
}

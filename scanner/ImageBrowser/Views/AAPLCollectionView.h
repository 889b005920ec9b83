// The collection view of the image browser, on a graphics scene: sections of slides with
// optional headers and footers, placed by an exchangeable layout; a selection of index
// paths (click, Ctrl-click, rubber band, select all); animated inserts, deletes and layout
// changes; scroll bars only for a layout whose content can exceed the view; drops of file
// URLs from other programs, answered by the data source. The items are made from the
// identifiers "Slide", "Header" and "Footer"; the view asks its data source for them.
#pragma once

#include "scanner/ImageBrowser/Layouts/CollectionLayout.h"

#include <QGraphicsObject>
#include <QGraphicsView>
#include <QList>
#include <QPointer>
#include <QSet>
#include <memory>

class AAPLCollectionView;
class AAPLHeaderView;
class AAPLSlide;
class AAPLSlideTableBackgroundView;
class QMimeData;
class QRubberBand;
class QVariantAnimation;

enum class DropOperation { On, Before };

class CollectionViewDataSource {
 public:
  virtual ~CollectionViewDataSource() = default;
  virtual int numberOfSectionsInCollectionView(AAPLCollectionView* view) = 0;
  virtual int numberOfItemsInSection(AAPLCollectionView* view, int section) = 0;
  virtual AAPLSlide* itemForRepresentedObjectAtIndexPath(AAPLCollectionView* view, const IndexPath& path) = 0;
  // Null for no view.
  virtual AAPLHeaderView* viewForSupplementaryElementOfKind(AAPLCollectionView* view, ElementKind kind,
                                                            const IndexPath& path) = 0;
  virtual QSizeF referenceSizeForHeaderInSection(AAPLCollectionView* view, int section) = 0;
  virtual QSizeF referenceSizeForFooterInSection(AAPLCollectionView* view, int section) = 0;
  // May change the proposed place and operation; Qt::IgnoreAction refuses the drop.
  virtual Qt::DropAction validateDrop(AAPLCollectionView* view, const QMimeData* data, IndexPath* proposedPath,
                                      DropOperation* proposedOperation) = 0;
  virtual bool acceptDrop(AAPLCollectionView* view, const QMimeData* data, const IndexPath& path,
                          DropOperation operation) = 0;
};

class AAPLCollectionView : public QGraphicsView, private LayoutContext {
  Q_OBJECT

 public:
  static constexpr double kItemAnimationSeconds = 0.25;
  static constexpr double kLayoutAnimationSeconds = 0.5;

  explicit AAPLCollectionView(QWidget* parent = nullptr);
  ~AAPLCollectionView() override;

  // Makes the element of an identifier: "Slide", "Header" or "Footer"; null for others.
  static QGraphicsObject* makeItem(const QString& identifier);

  void setDataSource(CollectionViewDataSource* source) { dataSource_ = source; }
  CollectionViewDataSource* dataSource() const { return dataSource_; }

  // Replaces the layout; moves the elements to their new places over `seconds` (0: at once).
  void setCollectionViewLayout(std::unique_ptr<CollectionLayout> layout, double seconds = 0);
  CollectionLayout* collectionViewLayout() const { return layout_.get(); }

  AAPLSlideTableBackgroundView* backgroundView() const { return backgroundView_; }
  // The view owns it.
  void setBackgroundView(AAPLSlideTableBackgroundView* view);

  // Drops of file URLs are offered to the data source.
  void registerForDraggedURLs() { acceptsURLDrops_ = true; }

  // Forgets every element and asks the data source again; the selection is cleared.
  void reloadData();
  // Index paths after the change; each update animates over `seconds` (0: at once).
  void insertItemsAtIndexPaths(const QSet<IndexPath>& paths, double seconds = kItemAnimationSeconds);
  void deleteItemsAtIndexPaths(const QSet<IndexPath>& paths, double seconds = kItemAnimationSeconds);
  void insertSections(const QList<int>& sections, double seconds = kItemAnimationSeconds);
  void deleteSections(const QList<int>& sections, double seconds = kItemAnimationSeconds);

  int numberOfSections() const override { return int(sections_.size()); }
  int numberOfItemsInSection(int section) const override;
  AAPLSlide* itemAtIndexPath(const IndexPath& path) const;
  std::optional<IndexPath> indexPathForItem(const AAPLSlide* item) const;
  AAPLHeaderView* supplementaryView(ElementKind kind, int section) const;
  // The slide that takes a click at this viewport point (by shape, topmost first).
  AAPLSlide* slideAt(const QPoint& viewportPoint) const;

  // The frame the layout gave an element at the last pass; none when it is not placed.
  std::optional<QRectF> frameForItemAtIndexPath(const IndexPath& path) const;
  // Runs a pending layout pass now.
  void layoutIfNeeded();
  bool isAnimating() const;

  // Selection, in section and item order.
  QList<IndexPath> selectionIndexPaths() const;
  void setSelectionIndexPaths(const QSet<IndexPath>& paths);
  void selectAll();
  void deselectAll();

  // Elements in front of the user: placed and meeting the visible area, in section order
  // (header, slides, footer).
  QList<QGraphicsObject*> visibleElements() const;
  // Where an element is on the screen.
  QRect screenRectOf(const QGraphicsItem* item) const;

 signals:
  void selectionIndexPathsChanged();
  // After each layout pass.
  void layoutDone();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void drawBackground(QPainter* painter, const QRectF& rect) override;

 private:
  struct Section {
    QList<AAPLSlide*> items;
    AAPLHeaderView* header = nullptr;
    AAPLHeaderView* footer = nullptr;
  };
  struct Move {
    QPointer<QGraphicsObject> element;
    QPointF from, to;
    double fromOpacity = 1, toOpacity = 1;
  };

  // LayoutContext
  std::optional<QSizeF> enclosingSize() const override;
  QSizeF referenceSizeForHeaderInSection(int section) const override;
  QSizeF referenceSizeForFooterInSection(int section) const override;

  Section makeSection(int section);
  void discardSection(Section& section, double seconds);
  void retire(QGraphicsObject* element, double seconds);
  void setNeedsLayout(double seconds);
  void layoutPass(double seconds);
  void finishAnimation();
  void applySelection(const QSet<AAPLSlide*>& selected);
  QSet<AAPLSlide*> selectedSlides() const;
  // Where a drop at this viewport point would go, before validation.
  std::pair<IndexPath, DropOperation> proposedDrop(const QPoint& viewportPoint) const;
  void setDropTarget(AAPLSlide* slide);
  void updateRubberBand(const QPoint& to);

  QGraphicsScene* scene_;
  CollectionViewDataSource* dataSource_ = nullptr;
  std::unique_ptr<CollectionLayout> layout_;
  AAPLSlideTableBackgroundView* backgroundView_ = nullptr;
  QList<Section> sections_;
  QHash<const QGraphicsObject*, QRectF> frames_;  // placed elements at the last pass
  QList<QGraphicsObject*> newcomers_;             // made since the last pass: fade in
  QList<QPointer<QGraphicsObject>> leaving_;      // fading out, then deleted
  bool layoutPending_ = false;
  double pendingSeconds_ = 0;
  QVariantAnimation* animation_;
  QList<Move> moves_;
  bool acceptsURLDrops_ = false;
  QPointer<AAPLSlide> dropTarget_;
  QRubberBand* rubberBand_ = nullptr;
  std::optional<QPoint> rubberOrigin_;  // viewport coordinates
  QSet<AAPLSlide*> rubberBase_;         // the selection kept under a Ctrl rubber band
};

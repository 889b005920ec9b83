// One page in the browser: the collection item and its carrier view in one graphics item.
// It shows the image file's preview with its name and size over the "SlideCarrier"
// picture, shows highlight and selection by a coloured border child, takes clicks only
// inside its rounded slide shape (clicks in the margin fall through to the slide beneath),
// and opens the single-image window on a double click.
#pragma once

#include "scanner/ImageBrowser/Model/AAPLImageFile.h"
#include "scanner/ImageBrowser/Views/SlideGeometry.h"

#include <QGraphicsObject>
#include <QMetaObject>
#include <QPointer>
#include <functional>
#include <optional>

class AAPLCollectionView;
class AAPLSlideTableBackgroundView;

// The coloured frame of a highlighted or selected slide: 4 wide, corners of radius 8.
class AAPLSlideBorderView : public QGraphicsItem {
 public:
  AAPLSlideBorderView(const QRectF& frame, QGraphicsItem* parent);
  std::optional<QColor> borderColor() const { return borderColor_; }
  void setBorderColor(const std::optional<QColor>& colour);
  QRectF boundingRect() const override { return QRectF(QPointF(0, 0), size_); }
  void paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) override;

 private:
  QSizeF size_;
  std::optional<QColor> borderColor_;
};

class AAPLSlide : public QGraphicsObject {
  Q_OBJECT

 public:
  static constexpr double kSide = 250.0;

  // Opens a single-image window for a file and hands it back (null when none was made).
  using ImageWindowOpener = std::function<QWidget*(const QString& filePath)>;
  // The single-image window (ImageWindow::openFile) unless another opener is set; a null
  // opener restores it.
  static void setImageWindowOpener(ImageWindowOpener opener);

  explicit AAPLSlide(QGraphicsItem* parent = nullptr);
  ~AAPLSlide() override;

  // Highlight state (SlideGeometry's HighlightState) and selection, as the view sets them;
  // an equal value changes nothing and asks for no redisplay.
  int highlightState() const { return highlightState_; }
  void setHighlightState(int state);
  bool isSelected() const { return selected_; }
  void setSelected(bool selected);

  ImageFileRef imageFile() const { return imageFile_; }
  // Asks the new file for its preview.
  void setRepresentedObject(const ImageFileRef& file);

  // The single-image window for the file: a window already open on the same file is
  // brought to the front instead of a second one (two windows on one file would overwrite
  // each other's edits).
  void openImageFile();
  QWidget* imageWindow() const { return imageWindow_; }

  AAPLCollectionView* collectionView() const;
  // The collection view's background view, when it is the slide table background.
  AAPLSlideTableBackgroundView* slideTableBackgroundView() const;
  void setCollectionViewBackground();
  void clearCollectionViewBackground();

  AAPLSlideBorderView* borderView() const;
  QPainterPath slideShape() const;
  // Times the slide asked to be redrawn for a change of its state.
  int displayRequests() const { return displayRequests_; }

  QRectF boundingRect() const override;
  // Hit tests use the slide shape.
  QPainterPath shape() const override { return slideShape(); }
  void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

  // Parts of the slide, in its own coordinates.
  static QRectF imageViewFrame();
  static QRectF titleFrame();
  static QRectF detailFrame();

 protected:
  void mouseDoubleClickEvent(QGraphicsSceneMouseEvent* event) override;
  void contextMenuEvent(QGraphicsSceneContextMenuEvent* event) override;

 private:
  void updateBorderView();
  void setNeedsDisplay();

  int highlightState_ = 0;
  bool selected_ = false;
  ImageFileRef imageFile_;
  QMetaObject::Connection previewConnection_;
  QPointer<QWidget> imageWindow_;
  int displayRequests_ = 0;
};

// The single-image window's image view: shows one image at a zoom factor (1.0 = one image
// pixel per screen pixel) and edits it with the tools. Every edit is rendered into the
// current image at once, so image() is what a save writes.
#pragma once

#include <QGraphicsView>
#include <QImage>
#include <QPolygonF>
#include <QRect>

class QGraphicsPathItem;
class ImageItem;
class QGraphicsRectItem;

class ImageView : public QGraphicsView {
  Q_OBJECT

 public:
  enum ToolMode { ToolModeMove = 0, ToolModeSelect, ToolModeCrop, ToolModeRotate, ToolModeAnnotate };

  explicit ImageView(QWidget* parent = nullptr);

  // Shows the image; the selection goes.
  void setImage(const QImage& image);
  QImage image() const { return image_; }
  bool hasImage() const { return !image_.isNull(); }

  double zoomFactor() const;
  void setZoomFactor(double factor);
  void zoomImageToFit();
  void zoomImageToActualSize();
  void setZoomsToFitOnResize(bool on) { zoomsToFitOnResize_ = on; }

  ToolMode toolMode() const { return toolMode_; }
  void setToolMode(ToolMode mode);
  void setDoubleClickOpensImageEditPanel(bool on) { doubleClickOpensEditPanel_ = on; }
  bool doubleClickOpensImageEditPanel() const { return doubleClickOpensEditPanel_; }

  // The kept selection in image pixels; empty when there is none.
  QRect selection() const { return selection_; }

  // The edits, in image pixels.
  void cropImage(const QRect& rect);
  // Clockwise; a multiple of 90 turns exactly, any other angle onto a white canvas.
  void rotateImage(double degrees);
  // brightness and contrast from -100 to 100, 0 changes nothing.
  void adjustImage(int brightness, int contrast);
  void annotateImage(const QPolygonF& stroke);

  static constexpr double kRotateDragThreshold = 6.0;  // screen pixels: less is a click

 signals:
  void imageEdited();
  void editPanelRequested();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void replaceImage(const QImage& image);
  void clearGesture();

  QImage image_;
  ImageItem* imageItem_ = nullptr;
  QGraphicsRectItem* rectItem_ = nullptr;
  QGraphicsPathItem* strokeItem_ = nullptr;
  ToolMode toolMode_ = ToolModeMove;
  bool doubleClickOpensEditPanel_ = false;
  bool zoomsToFitOnResize_ = false;
  bool dragging_ = false;
  QPointF pressScene_;
  QPoint pressView_;
  QPolygonF stroke_;
  QRect selection_;
};

// What the browser draws behind its slides: a plain light grey, or an image chosen from a
// slide, scaled to cover the view and centred. The image is read from its file when drawn;
// a file that has gone (or reads as no image) draws the grey.
#pragma once

#include <QImage>
#include <QObject>
#include <QRectF>
#include <QString>

class QPainter;

class AAPLSlideTableBackgroundView : public QObject {
  Q_OBJECT

 public:
  explicit AAPLSlideTableBackgroundView(const QRectF& frame, QObject* parent = nullptr);

  bool isOpaque() const { return true; }
  QRectF frame() const { return frame_; }
  void setFrame(const QRectF& frame) { frame_ = frame; }

  // The image's file; empty for none. An equal value changes nothing.
  QString image() const { return imagePath_; }
  void setImage(const QString& filePath);

  // Draws the whole bounds (the dirty part is not looked at).
  void drawRect(QPainter* painter, const QRectF& bounds);

 signals:
  void needsDisplay();

 private:
  QRectF frame_;
  QString imagePath_;
  QImage loaded_;  // read at the first draw after setImage
  bool readDone_ = false;
};

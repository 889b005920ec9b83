// A section's header and footer in the grouped browser: a light band with a text field
// whose text is centred vertically.
#pragma once

#include <QGraphicsObject>
#include <QSizeF>
#include <QString>

// A one-line text drawn centred vertically in its frame.
class AAPLTextField : public QGraphicsItem {
 public:
  explicit AAPLTextField(QGraphicsItem* parent = nullptr);
  QString text() const { return text_; }
  void setText(const QString& text);
  void setSize(const QSizeF& size);
  QRectF boundingRect() const override { return QRectF(QPointF(0, 0), size_); }
  void paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) override;

 private:
  QString text_;
  QSizeF size_;
};

class AAPLHeaderView : public QGraphicsObject {
  Q_OBJECT

 public:
  explicit AAPLHeaderView(QGraphicsItem* parent = nullptr);

  // The first child that is a text field.
  AAPLTextField* titleTextField() const;
  QSizeF size() const { return size_; }
  void setSize(const QSizeF& size);

  QRectF boundingRect() const override { return QRectF(QPointF(0, 0), size_); }
  void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

 protected:
  virtual void drawRect(QPainter* painter, const QRectF& dirty);

 private:
  QSizeF size_{0, 0};
};

class AAPLFooterView : public AAPLHeaderView {
  Q_OBJECT

 public:
  using AAPLHeaderView::AAPLHeaderView;

 protected:
  void drawRect(QPainter* painter, const QRectF& dirty) override;
};

#include "scanner/ImageBrowser/Views/AAPLHeaderView.h"

#include "scanner/ImageBrowser/Views/SlideGeometry.h"

#include <QFontMetricsF>
#include <QPainter>

namespace {
constexpr double kTextInset = 12;
}

AAPLTextField::AAPLTextField(QGraphicsItem* parent) : QGraphicsItem(parent) { setAcceptedMouseButtons(Qt::NoButton); }

void AAPLTextField::setText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  update();
}

void AAPLTextField::setSize(const QSizeF& size) {
  if (size == size_) return;
  prepareGeometryChange();
  size_ = size;
}

void AAPLTextField::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) {
  QFont font = painter->font();
  font.setPixelSize(14);
  font.setBold(true);
  painter->setFont(font);
  painter->setPen(QColor(50, 50, 50));
  const QFontMetricsF metrics(font);
  const QRectF rect = zuvo::slides::verticallyCenteredRect(boundingRect(), metrics.height());
  painter->drawText(rect, Qt::AlignLeft | Qt::AlignVCenter, metrics.elidedText(text_, Qt::ElideRight, rect.width()));
}

AAPLHeaderView::AAPLHeaderView(QGraphicsItem* parent) : QGraphicsObject(parent) {
  auto* field = new AAPLTextField(this);
  field->setPos(kTextInset, 0);
  setAcceptedMouseButtons(Qt::NoButton);
}

AAPLTextField* AAPLHeaderView::titleTextField() const {
  for (QGraphicsItem* child : childItems())
    if (auto* field = dynamic_cast<AAPLTextField*>(child)) return field;
  return nullptr;
}

void AAPLHeaderView::setSize(const QSizeF& size) {
  if (size == size_) return;
  prepareGeometryChange();
  size_ = size;
  if (AAPLTextField* field = titleTextField()) field->setSize(QSizeF(std::max(0.0, size.width() - 2 * kTextInset), size.height()));
}

void AAPLHeaderView::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) { drawRect(painter, boundingRect()); }

void AAPLHeaderView::drawRect(QPainter* painter, const QRectF& dirty) {
  namespace s = zuvo::slides;
  painter->setCompositionMode(QPainter::CompositionMode_SourceOver);
  painter->fillRect(dirty, s::headerFill());
  for (const QRectF& line : s::headerLines(boundingRect())) painter->fillRect(line, s::headerLineColor());
}

void AAPLFooterView::drawRect(QPainter* painter, const QRectF& dirty) {
  painter->setCompositionMode(QPainter::CompositionMode_SourceOver);
  painter->fillRect(dirty, zuvo::slides::footerFill());
}

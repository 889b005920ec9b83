#include "scanner/ImageBrowser/Views/AAPLSlide.h"

#include "scanner/ImageBrowser/Views/AAPLCollectionView.h"
#include "scanner/ImageBrowser/Views/AAPLSlideTableBackgroundView.h"
#include "scanner/ImageWindow/ImageWindow.h"

#include <QFontMetricsF>
#include <QGraphicsScene>
#include <QGraphicsSceneMouseEvent>
#include <QHash>
#include <QMenu>
#include <QPainter>
#include <QWidget>

namespace {

QWidget* openSingleImageWindow(const QString& path) { return ImageWindow::openFile(path).data(); }

AAPLSlide::ImageWindowOpener& opener() {
  static AAPLSlide::ImageWindowOpener function = openSingleImageWindow;
  return function;
}

// Windows opened from any slide, by file, while they are open.
QHash<QString, QPointer<QWidget>>& openWindows() {
  static QHash<QString, QPointer<QWidget>> windows;
  return windows;
}

const QImage& carrierImage() {
  static const QImage image(QStringLiteral(":/scanner/SlideCarrier.png"));
  return image;
}

}  // namespace

AAPLSlideBorderView::AAPLSlideBorderView(const QRectF& frame, QGraphicsItem* parent)
    : QGraphicsItem(parent), size_(frame.size()) {
  setPos(frame.topLeft());
  setAcceptedMouseButtons(Qt::NoButton);
}

void AAPLSlideBorderView::setBorderColor(const std::optional<QColor>& colour) {
  if (colour == borderColor_) return;
  borderColor_ = colour;
  update();
}

void AAPLSlideBorderView::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) {
  if (!borderColor_) return;
  namespace s = zuvo::slides;
  painter->setRenderHint(QPainter::Antialiasing);
  painter->setPen(QPen(*borderColor_, s::kBorderWidth));
  painter->setBrush(Qt::NoBrush);
  // Drawn inside the frame, as a layer border is.
  const double half = s::kBorderWidth / 2;
  painter->drawRoundedRect(boundingRect().adjusted(half, half, -half, -half), s::kBorderCornerRadius - half,
                           s::kBorderCornerRadius - half);
}

void AAPLSlide::setImageWindowOpener(ImageWindowOpener function) {
  opener() = function ? std::move(function) : openSingleImageWindow;
}

AAPLSlide::AAPLSlide(QGraphicsItem* parent) : QGraphicsObject(parent) {
  setAcceptedMouseButtons(Qt::LeftButton | Qt::RightButton);
}

AAPLSlide::~AAPLSlide() { QObject::disconnect(previewConnection_); }

void AAPLSlide::setNeedsDisplay() {
  ++displayRequests_;
  updateBorderView();
  update();
}

void AAPLSlide::setHighlightState(int state) {
  if (state == highlightState_) return;
  highlightState_ = state;
  setNeedsDisplay();
}

void AAPLSlide::setSelected(bool selected) {
  if (selected == selected_) return;
  selected_ = selected;
  setNeedsDisplay();
}

void AAPLSlide::setRepresentedObject(const ImageFileRef& file) {
  QObject::disconnect(previewConnection_);
  imageFile_ = file;
  update();
  if (!file) return;
  previewConnection_ = connect(file.get(), &AAPLImageFile::previewImageChanged, this, [this] { update(); });
  file->requestPreviewImage();
}

AAPLSlideBorderView* AAPLSlide::borderView() const {
  for (QGraphicsItem* child : childItems())
    if (auto* border = dynamic_cast<AAPLSlideBorderView*>(child)) return border;
  return nullptr;
}

void AAPLSlide::updateBorderView() {
  const std::optional<QColor> colour = zuvo::slides::borderColor(highlightState_, selected_);
  AAPLSlideBorderView* border = borderView();
  if (colour) {
    if (!border) border = new AAPLSlideBorderView(zuvo::slides::borderFrame(boundingRect()), this);
    border->setBorderColor(colour);
  } else {
    delete border;  // the next colour makes a new one
  }
}

QPainterPath AAPLSlide::slideShape() const { return zuvo::slides::slideShape(boundingRect()); }

QRectF AAPLSlide::boundingRect() const { return QRectF(0, 0, kSide, kSide); }

QRectF AAPLSlide::imageViewFrame() { return QRectF(22, 22, 206, 164); }
QRectF AAPLSlide::titleFrame() { return QRectF(22, 190, 206, 20); }
QRectF AAPLSlide::detailFrame() { return QRectF(22, 209, 206, 16); }

void AAPLSlide::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) {
  namespace s = zuvo::slides;
  painter->setRenderHint(QPainter::SmoothPixmapTransform);
  if (!carrierImage().isNull()) painter->drawImage(boundingRect(), carrierImage());
  if (!imageFile_) return;
  const QImage preview = imageFile_->previewImage();
  const QRectF view = imageViewFrame();
  if (!preview.isNull()) {
    for (const QRectF& band : s::letterboxBands(view.size(), preview.size()))
      painter->fillRect(band.translated(view.topLeft()), s::bandColor());
    painter->drawImage(s::aspectFitRect(view, preview.size()), preview);
  }
  QFont font = painter->font();
  font.setPixelSize(13);
  painter->setFont(font);
  painter->setPen(QColor(40, 40, 40));
  const QRectF title = titleFrame();
  painter->drawText(title, Qt::AlignCenter, QFontMetricsF(font).elidedText(imageFile_->filename(), Qt::ElideMiddle, title.width()));
  if (!preview.isNull()) {  // the size is known once the preview has been read
    font.setPixelSize(11);
    painter->setFont(font);
    painter->setPen(QColor(100, 100, 100));
    const QString detail = imageFile_->localizedTypeDescription() + QStringLiteral(" · ") + imageFile_->dimensionsDescription();
    painter->drawText(detailFrame(), Qt::AlignCenter, QFontMetricsF(font).elidedText(detail, Qt::ElideRight, detailFrame().width()));
  }
}

void AAPLSlide::openImageFile() {
  if (!imageFile_ || imageFile_->url().isEmpty()) return;
  const QString path = imageFile_->path();
  QPointer<QWidget>& open = openWindows()[path];
  if (open) {
    open->setWindowState(open->windowState() & ~Qt::WindowMinimized);
    open->show();
    open->raise();
    open->activateWindow();
    imageWindow_ = open;
    return;
  }
  QWidget* window = opener()(path);
  if (!window) {
    openWindows().remove(path);
    return;
  }
  open = window;
  imageWindow_ = window;
}

AAPLCollectionView* AAPLSlide::collectionView() const {
  return scene() ? qobject_cast<AAPLCollectionView*>(scene()->parent()) : nullptr;
}

AAPLSlideTableBackgroundView* AAPLSlide::slideTableBackgroundView() const {
  AAPLCollectionView* view = collectionView();
  return view ? view->backgroundView() : nullptr;
}

void AAPLSlide::setCollectionViewBackground() {
  AAPLSlideTableBackgroundView* background = slideTableBackgroundView();
  if (background && imageFile_) background->setImage(imageFile_->path());
}

void AAPLSlide::clearCollectionViewBackground() {
  if (AAPLSlideTableBackgroundView* background = slideTableBackgroundView()) background->setImage(QString());
}

void AAPLSlide::mouseDoubleClickEvent(QGraphicsSceneMouseEvent* event) {
  event->accept();
  openImageFile();
}

void AAPLSlide::contextMenuEvent(QGraphicsSceneContextMenuEvent* event) {
  if (!slideTableBackgroundView()) return;
  QMenu menu;
  menu.addAction(tr("Use as Background"), this, &AAPLSlide::setCollectionViewBackground);
  menu.addAction(tr("Clear Background"), this, &AAPLSlide::clearCollectionViewBackground);
  menu.exec(event->screenPos());
}

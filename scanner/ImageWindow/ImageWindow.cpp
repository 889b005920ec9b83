#include "scanner/ImageWindow/ImageWindow.h"

#include "common/Log.h"
#include "platform/desktop/Alert.h"
#include "scanner/ImageBrowser/Model/FileTags.h"
#include "scanner/ImageWindow/ImageEditPanel.h"
#include "scanner/ImageWindow/ImageView.h"
#include "scanner/PageLimits.h"
#include "ui_ImageWindow.h"

#include <QBuffer>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>
#include <QKeyEvent>
#include <QSaveFile>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <sys/stat.h>

const QString ImageWindow::kOpenNameFilter =
    QStringLiteral("Images (*.tiff *.tif *.TIFF *.TIF *.jpg *.jpeg *.JPG *.JPEG)");

QPointer<ImageWindow> ImageWindow::openFile(const QString& filePath) {
  auto* window = new ImageWindow(filePath);
  window->setWindowFlag(Qt::WindowStaysOnTopHint);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
  }
  window->show();
  return window;
}

ImageWindow::ImageWindow(const QString& filePath, QWidget* parent)
    : QWidget(parent, Qt::Window), ui_(std::make_unique<Ui::ImageWindow>()), filePath_(filePath) {
  ui_->setupUi(this);
  setAttribute(Qt::WA_DeleteOnClose);
  imageView_ = ui_->imageView;
  butSave_ = ui_->butSave;

  toolGroup_ = new QButtonGroup(this);
  toolGroup_->setExclusive(true);
  const QList<QPushButton*> tools{ui_->moveButton, ui_->selectButton, ui_->cropButton, ui_->rotateButton,
                                  ui_->annotateButton};
  for (int i = 0; i < tools.size(); ++i) toolGroup_->addButton(tools[i], i);
  zoomGroup_ = new QButtonGroup(this);
  zoomGroup_->setExclusive(false);
  const QList<QPushButton*> zooms{ui_->zoomOutButton, ui_->zoomInButton, ui_->actualSizeButton, ui_->zoomToFitButton};
  for (int i = 0; i < zooms.size(); ++i) zoomGroup_->addButton(zooms[i], i);
  // Toggled, not clicked: assistive technology toggles a checkable button without a click.
  connect(toolGroup_, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
    if (checked) switchToolMode(id);
  });
  connect(zoomGroup_, &QButtonGroup::idClicked, this, &ImageWindow::doZoom);
  connect(ui_->openButton, &QPushButton::clicked, this, &ImageWindow::openImage);
  connect(butSave_, &QPushButton::clicked, this, &ImageWindow::saveImage);
  connect(imageView_, &ImageView::editPanelRequested, this, &ImageWindow::showEditPanel);

  openImageURL(filePath_);
  imageView_->setDoubleClickOpensImageEditPanel(true);
  switchToolMode(ImageView::ToolModeMove);
  imageView_->zoomImageToFit();
  imageView_->setZoomsToFitOnResize(true);  // each resize of the window fits the image again
  butSave_->setDefault(true);
}

ImageWindow::~ImageWindow() = default;

bool ImageWindow::openImageURL(const QString& path) {
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  reader.setAutoTransform(true);  // upright pixels: the written file needs no orientation tag
  reader.setAllocationLimit(zuvo::pages::kDecodedPageLimitMB);
  const QByteArray format = reader.format();  // asked before reading: afterwards it is empty
  if (const QSize size = reader.size(); size.isValid() && !zuvo::pages::fitsDecoded(size.width(), size.height())) {
    // Said plainly, rather than an empty window whose Save does nothing.
    const QString name = QFileInfo(path).fileName();
    const QString why = QStringLiteral("\u201c%1\u201d has %2 x %3 pixels; pages of up to %4 MB decoded (a colour A4 page "
                                       "at 1200 dpi) can be edited here.")
                            .arg(name)
                            .arg(size.width())
                            .arg(size.height())
                            .arg(zuvo::pages::kDecodedPageLimitMB);
    zuvo::logInfo(QStringLiteral("Image too large to edit: %1 (%2 x %3)").arg(path).arg(size.width()).arg(size.height()));
    QPointer<ImageWindow> self(this);
    QTimer::singleShot(0, this, [self, why] {
      if (self) zuvo::showAlert(tr("The page is too large to edit."), why, {tr("Ok")}, self);
    });
    return false;
  }
  const QImage image = reader.read();
  if (image.isNull()) {
    zuvo::logInfo(QStringLiteral("Image could not be opened: %1 (%2)").arg(path, reader.errorString()));
    return false;
  }
  imageFormat_ = format;
  imageView_->setImage(image);
  setWindowTitle(QFileInfo(path).fileName());
  return true;
}

void ImageWindow::switchToolMode(int number) {
  if (number < ImageView::ToolModeMove || number > ImageView::ToolModeAnnotate) return;
  imageView_->setToolMode(ImageView::ToolMode(number));
  if (QAbstractButton* button = toolGroup_->button(number)) button->setChecked(true);
}

void ImageWindow::doZoom(int number) {
  switch (number) {
    case 0:
      imageView_->setZoomFactor(imageView_->zoomFactor() * kZoomOutFactor);
      break;
    case 1:
      imageView_->setZoomFactor(imageView_->zoomFactor() * kZoomInFactor);
      break;
    case 2:
      imageView_->zoomImageToActualSize();
      break;
    case 3:
      imageView_->zoomImageToFit();
      break;
    default:
      break;
  }
}

void ImageWindow::openImage() {
  auto* dialog = new QFileDialog(this, tr("Open Image"), QFileInfo(filePath_).absolutePath(), kOpenNameFilter);
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setWindowModality(Qt::WindowModal);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  // The chosen image replaces what is shown; the window still writes to its own page file.
  connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& chosen) { openImageURL(chosen); });
  dialog->open();
}

void ImageWindow::showEditPanel() {
  if (!editPanel_) editPanel_ = new ImageEditPanel(imageView_, this);
  editPanel_->show();
  editPanel_->raise();
}

ImageWindow::WriteResult ImageWindow::writeImageBack(QString* errorText) {
  const QImage image = imageView_->image();
  if (image.isNull()) return WriteResult::NoImage;
  // A page deleted meanwhile stays deleted (it would reappear in the upload).
  struct stat st {};
  if (::lstat(QFile::encodeName(filePath_).constData(), &st) != 0) return WriteResult::FileGone;
  const QByteArray format = imageFormat_.isEmpty() ? QByteArrayLiteral("jpeg") : imageFormat_;
  const std::optional<QByteArray> tags = zuvo::readTagAttribute(filePath_);

  // Encoded in memory first: the writers do not all notice a short write to a file.
  QByteArray bytes;
  {
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (format == "jpeg") writer.setQuality(kJpegQuality);  // every close rewrites the page
    if (!writer.write(image)) {
      if (errorText) *errorText = writer.errorString();
      return WriteResult::Failed;
    }
  }
  // A new file renamed over the old one: a failure mid-write leaves the page as it was.
  QSaveFile file(filePath_);
  if (!file.open(QIODevice::WriteOnly)) {
    if (errorText) *errorText = file.errorString();
    return WriteResult::Failed;
  }
  const qint64 written = file.write(bytes);
  if (written != bytes.size() || !file.flush() || file.error() != QFileDevice::NoError) {
    if (errorText)
      *errorText = file.error() != QFileDevice::NoError
                       ? file.errorString()
                       : QStringLiteral("only %1 of %2 bytes written").arg(std::max<qint64>(written, 0)).arg(bytes.size());
    file.cancelWriting();
    return WriteResult::Failed;
  }
  if (!file.commit()) {
    if (errorText) *errorText = file.errorString();
    return WriteResult::Failed;
  }
  // The new file is a new inode: the page's tags go back onto it.
  QString tagError;
  if (tags && !zuvo::writeTagAttribute(filePath_, *tags, &tagError))
    zuvo::logError(QStringLiteral("Tags of %1 could not be restored: %2").arg(filePath_, tagError));
  return WriteResult::Written;
}

void ImageWindow::saveImage() {
  if (!imageView_->hasImage()) return;
  QString error;
  if (writeImageBack(&error) == WriteResult::Failed) {
    zuvo::logError(QStringLiteral("Image could not be saved to %1: %2").arg(filePath_, error));
    zuvo::showAlert(tr("The image could not be saved."), error, {tr("Ok")}, this);
    return;  // the window stays open with its edits
  }
  close();
}

void ImageWindow::closeEvent(QCloseEvent* event) {
  if (closing_) {
    event->accept();
    return;
  }
  QString error;
  switch (writeImageBack(&error)) {
    case WriteResult::Failed:
      zuvo::logError(QStringLiteral("Image could not be written back to %1: %2").arg(filePath_, error));
      break;
    case WriteResult::FileGone:
      zuvo::logInfo(QStringLiteral("Image not written back, its file is gone: %1").arg(filePath_));
      break;
    case WriteResult::Written:
    case WriteResult::NoImage:
      break;
  }
  closing_ = true;
  if (editPanel_) editPanel_->close();
  event->accept();
  emit closed(filePath_);
}

void ImageWindow::keyPressEvent(QKeyEvent* event) {
  // Return presses the default button, as in a dialog.
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && event->modifiers() == Qt::NoModifier) {
    butSave_->click();
    return;
  }
  QWidget::keyPressEvent(event);
}

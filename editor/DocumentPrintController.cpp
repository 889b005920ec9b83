#include "editor/DocumentPrintController.h"

#include "common/Log.h"
#include "editor/GlobalData.h"
#include "platform/net/HttpClient.h"
#include "platform/desktop/WordProcessor.h"
#include "ui_DocumentPrintController.h"

#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QFileInfo>
#include <QProgressBar>
#include <QTimer>
#include <QWidget>

namespace {

bool isDownloadableUrl(const QUrl& url) {
  return url.isValid() && !url.host().isEmpty() &&
         (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

}  // namespace

std::shared_ptr<DocumentPrintController> DocumentPrintController::create() {
  return std::shared_ptr<DocumentPrintController>(new DocumentPrintController());
}

DocumentPrintController::~DocumentPrintController() = default;

void DocumentPrintController::setUrlArray(const QVariant& fileList) {
  if (!fileList.isValid() || fileList.isNull())
    urlArray_.clear();
  else if (fileList.metaType().id() == QMetaType::QVariantList ||
           fileList.metaType().id() == QMetaType::QStringList)
    urlArray_ = fileList.toList();
  else
    urlArray_ = QVariantList{fileList};
}

QWidget* DocumentPrintController::window() {
  if (!window_) {
    window_ = std::make_unique<QWidget>();
    ui_ = std::make_unique<Ui::DocumentPrintController>();
    ui_->setupUi(window_.get());
    windowDidLoad();
  }
  return window_.get();
}

QProgressBar* DocumentPrintController::progressIndicator() const {
  return ui_ ? ui_->progressIndicator : nullptr;
}

void DocumentPrintController::showDownloadingWindow() {
  QWidget* w = window();
  w->setWindowTitle(QStringLiteral("Downloading..."));
  w->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                    Qt::WindowMinimizeButtonHint | Qt::WindowStaysOnTopHint);
  w->show();
  w->raise();
  w->activateWindow();
  // Centred once shown, when the window's frame is known.
  if (QScreen* screen = w->screen() ? w->screen() : QGuiApplication::primaryScreen()) {
    QRect frame = w->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    w->move(frame.topLeft());
  }
}

void DocumentPrintController::close() {
  if (window_) window_->close();
}

void DocumentPrintController::windowDidLoad() {
  // A bar whose range is 0..0 is drawn as a busy indicator: an empty list keeps an empty bar.
  const int count = int(urlArray_.size());
  progressIndicator()->setRange(0, std::max(count, 1));
  progressIndicator()->setValue(0);
  urlArraytoPrint_.clear();
  for (const QVariant& element : std::as_const(urlArray_)) startDownload(element);
}

void DocumentPrintController::startDownload(const QVariant& element) {
  const QUrl url = element.metaType().id() == QMetaType::QString ? QUrl(element.toString()) : QUrl();
  if (!isDownloadableUrl(url)) {
    // Reported like any failed download, after this turn, as a real one would be.
    QTimer::singleShot(0, [self = shared_from_this()] { self->downloadFailed(QStringLiteral("unsupported URL")); });
    return;
  }
  auto self = shared_from_this();
  zuvo::http::SessionManager::manager()->downloadTask(
      url,
      [self, url](const zuvo::http::Response& response) {
        return self->destinationFor(response.suggestedFilename(), url);
      },
      [self](const zuvo::http::Result& result) {
        if (!result.ok()) {
          // An error reply's body is no document: it must not take a name in the folder.
          if (result.placed && QFile::remove(result.filePath))
            self->reservedNames_.remove(QFileInfo(result.filePath).fileName());
          self->downloadFailed(result.error.description);
        } else if (!result.placed) {
          self->downloadFailed(QStringLiteral("The document could not be stored."));
        } else {
          self->downloadStored(result.filePath);
        }
      });
}

QString DocumentPrintController::destinationFor(const QString& suggested, const QUrl& url) {
  const QString folder = GlobalData::sharedGlobalData().getTempDirectoryURL().toLocalFile();
  // Equal names in one list each get their own file; the reservation covers downloads whose
  // files are not placed yet.
  const QString name = uniqueFileName(storedFileName(suggested, url), [&](const QString& candidate) {
    return reservedNames_.contains(candidate) || QFileInfo::exists(folder + QLatin1Char('/') + candidate);
  });
  reservedNames_.insert(name);
  return folder + QLatin1Char('/') + name;
}

void DocumentPrintController::downloadFailed(const QString& description) {
  zuvo::logSystem(QStringLiteral("Error while downloading document : %1").arg(description));
}

void DocumentPrintController::downloadStored(const QString& path) {
  urlArraytoPrint_.append(QUrl::fromLocalFile(path));
  const qsizetype n = urlArraytoPrint_.size();
  QTimer::singleShot(0, [self = shared_from_this(), n] {
    if (QProgressBar* bar = self->progressIndicator()) bar->setValue(int(n));
    if (n != self->urlArray_.size()) return;
    QStringList paths;
    for (const QUrl& u : std::as_const(self->urlArraytoPrint_)) paths << u.toLocalFile();
    zuvo::wordprocessor::printFiles(paths);
    self->close();
  });
}

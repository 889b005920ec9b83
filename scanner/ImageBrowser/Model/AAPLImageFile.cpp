#include "scanner/ImageBrowser/Model/AAPLImageFile.h"

#include "scanner/ImageBrowser/Model/FileTags.h"
#include "scanner/ImageBrowser/Model/ImageListing.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QThreadPool>
#include <algorithm>
#include <sys/stat.h>

AAPLImageFile::AAPLImageFile(const QUrl& url) : url_(url), path_(QDir::cleanPath(url.toLocalFile())) {}

AAPLImageFile::~AAPLImageFile() = default;

std::shared_ptr<AAPLImageFile> AAPLImageFile::create(const QUrl& url) {
  if (!url.isLocalFile()) return nullptr;
  std::shared_ptr<AAPLImageFile> file(new AAPLImageFile(url));
  struct stat st {};
  if (::stat(QFile::encodeName(file->path_).constData(), &st) != 0) return nullptr;
  file->fileType_ = zuvo::fileTypeForFile(file->path_);
  file->fileSize_ = quint64(st.st_size);
  file->modifiedNs_ = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  file->dateLastUpdated_ = QDateTime::fromMSecsSinceEpoch(*file->modifiedNs_ / 1000000);
  file->tagNames_ = zuvo::readTagNames(file->path_);
  return file;
}

void AAPLImageFile::setPreviewImage(const QImage& image) {
  previewImage_ = image;
  emit previewImageChanged();
}

QString AAPLImageFile::filename() const { return path_.section(QLatin1Char('/'), -1); }

QString AAPLImageFile::filenameWithoutExtension() const {
  const QString name = filename();
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  return dot > 0 ? name.left(dot) : name;
}

QString AAPLImageFile::localizedTypeDescription() const {
  return zuvo::typeDescription(fileType_);
}

std::optional<ImageProperties> AAPLImageFile::readProperties(const QString& path) {
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  if (!reader.canRead()) return std::nullopt;
  const QSize size = reader.size();
  if (!size.isValid()) return std::nullopt;
  return ImageProperties{reader.format(), size};
}

bool AAPLImageFile::loadMetadata() {
  if (!imageProperties_) imageProperties_ = readProperties(path_);
  return imageProperties_.has_value();
}

int AAPLImageFile::pixelsWide() { return loadMetadata() ? imageProperties_->size.width() : 0; }
int AAPLImageFile::pixelsHigh() { return loadMetadata() ? imageProperties_->size.height() : 0; }

QString AAPLImageFile::dimensionsDescription() {
  return QStringLiteral("%1 x %2").arg(pixelsWide()).arg(pixelsHigh());
}

QString AAPLImageFile::description() const {
  const QString tags = tagNames_.isEmpty() ? QStringLiteral("(null)")
                                           : QLatin1Char('(') + tagNames_.join(QLatin1String(", ")) + QLatin1Char(')');
  return QStringLiteral("{ImageFile: %1, tags=%2}").arg(url_.toString(), tags);
}

QThreadPool* AAPLImageFile::previewQueue() {
  // Owned by the application, so it is gone (its work finished) before the application is.
  static QThreadPool* queue = [] {
    auto* pool = new QThreadPool(QCoreApplication::instance());
    pool->setObjectName(QStringLiteral("AAPLImageFile Preview Loading Queue"));
    return pool;
  }();
  return queue;
}

QImage AAPLImageFile::makePreview(const QString& path, std::optional<ImageProperties>* properties) {
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  reader.setAutoTransform(true);
  if (!reader.canRead()) return {};
  const QSize stored = reader.size();
  if (properties && stored.isValid()) *properties = ImageProperties{reader.format(), stored};
  if (stored.isValid()) {
    // Decode straight at preview size (in stored orientation; turning comes after), never enlarged.
    const int longer = std::max(stored.width(), stored.height());
    if (longer > kPreviewMaxPixelSize) {
      const double scale = double(kPreviewMaxPixelSize) / longer;
      reader.setScaledSize(QSize(std::max(1, qRound(stored.width() * scale)),
                                 std::max(1, qRound(stored.height() * scale))));
    }
  }
  QImage image = reader.read();
  if (image.isNull()) return {};
  if (std::max(image.width(), image.height()) > kPreviewMaxPixelSize)  // size unknown before reading
    image = image.scaled(kPreviewMaxPixelSize, kPreviewMaxPixelSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  return image;
}

void AAPLImageFile::requestPreviewImage() {
  if (!previewImage_.isNull()) return;
  std::weak_ptr<AAPLImageFile> weak = weak_from_this();
  const QString path = path_;
  previewQueue()->start([weak, path] {
    std::optional<ImageProperties> properties;
    QImage preview = makePreview(path, &properties);
    if (preview.isNull()) return;  // silent, as the record simply keeps no preview
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(
        app,
        [weak, preview = std::move(preview), properties] {
          // A record replaced or removed meanwhile is gone: its preview is dropped.
          const auto file = weak.lock();
          if (!file) return;
          if (!file->imageProperties_ && properties) file->imageProperties_ = properties;
          file->setPreviewImage(preview);
        },
        Qt::QueuedConnection);
  });
}

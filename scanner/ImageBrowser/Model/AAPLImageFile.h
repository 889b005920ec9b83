// One image file of the scan folder: its attributes and tags as read when the record was
// made, its image metadata (read once, on first need) and a preview of at most 250 pixels
// loaded on a shared thread pool. Every member is used on the main thread only; the
// preview worker works on its own copy of the path and hands its result back.
#pragma once

#include <QDateTime>
#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <memory>
#include <optional>

class QThreadPool;

// What the file's content says about image 0 (not its name).
struct ImageProperties {
  QByteArray format;  // the reader's format name: "jpeg", "tiff", "png", ...
  QSize size;         // stored pixels, before any orientation is applied
};

class AAPLImageFile : public QObject, public std::enable_shared_from_this<AAPLImageFile> {
  Q_OBJECT

 public:
  static constexpr int kPreviewMaxPixelSize = 250;

  // A record for the file at url; none when the path cannot be read at all (gone).
  static std::shared_ptr<AAPLImageFile> create(const QUrl& url);
  ~AAPLImageFile() override;

  QUrl url() const { return url_; }
  QString path() const { return path_; }
  QString fileType() const { return fileType_; }  // MIME name; empty when unknown
  quint64 fileSize() const { return fileSize_; }
  QDateTime dateLastUpdated() const { return dateLastUpdated_; }
  std::optional<qint64> modifiedNs() const { return modifiedNs_; }
  QStringList tagNames() const { return tagNames_; }  // empty: untagged
  QImage previewImage() const { return previewImage_; }
  void setPreviewImage(const QImage& image);

  QString filename() const;
  QString filenameWithoutExtension() const;
  QString localizedTypeDescription() const;  // empty when fileType is
  int pixelsWide();
  int pixelsHigh();
  QString dimensionsDescription();  // "%1 x %2"

  // Loads the preview on the shared pool unless one is set; requests are not merged.
  void requestPreviewImage();

  QString description() const;  // "{ImageFile: <url>, tags=(<names>)}"

  // The preview and metadata of the file at path, as the pool makes them (any thread).
  static QImage makePreview(const QString& path, std::optional<ImageProperties>* properties);
  static std::optional<ImageProperties> readProperties(const QString& path);
  static QThreadPool* previewQueue();

 signals:
  void previewImageChanged();

 private:
  explicit AAPLImageFile(const QUrl& url);
  bool loadMetadata();

  QUrl url_;
  QString path_;
  QString fileType_;
  quint64 fileSize_ = 0;
  QDateTime dateLastUpdated_;
  std::optional<qint64> modifiedNs_;
  QImage previewImage_;
  QStringList tagNames_;
  std::optional<ImageProperties> imageProperties_;
};

using ImageFileRef = std::shared_ptr<AAPLImageFile>;

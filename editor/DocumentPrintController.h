// The window of one print request: downloads every document of the list into Data/tmp,
// shows how many have arrived, and hands the whole list to the word processor for printing
// once every document is stored; then the window closes.
//
// Lifetime: held by shared ownership, by the application delegate (until the next print
// request replaces it) and by each of its running downloads, so a replaced controller still
// finishes its own list.
#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <functional>
#include <memory>

class QProgressBar;
class QWidget;
namespace Ui {
class DocumentPrintController;
}

class DocumentPrintController : public std::enable_shared_from_this<DocumentPrintController> {
 public:
  static std::shared_ptr<DocumentPrintController> create();
  ~DocumentPrintController();
  DocumentPrintController(const DocumentPrintController&) = delete;
  DocumentPrintController& operator=(const DocumentPrintController&) = delete;

  // The value under file_path: a list of URL texts (a lone value counts as a list of one,
  // none as an empty list). Set before the window is first asked for.
  void setUrlArray(const QVariant& fileList);
  const QVariantList& urlArray() const { return urlArray_; }
  // The stored files in the order their downloads completed.
  const QList<QUrl>& urlArraytoPrint() const { return urlArraytoPrint_; }

  // Loads the window on the first call; loading starts all downloads.
  QWidget* window();
  bool isWindowLoaded() const { return window_ != nullptr; }
  QProgressBar* progressIndicator() const;
  // Titles the window "Downloading...", without a maximize button, above ordinary windows,
  // centred on its screen, and brings it to the front (loading it first if need be).
  void showDownloadingWindow();
  void close();

  // The name a document is stored under: the last component ("/" or "\" separated) of the
  // name the server suggests; when that is empty, "." or "..", or holds a control character,
  // the URL's own last path component under the same rule, else "document".
  static QString storedFileName(const QString& suggested, const QUrl& url);
  // name, or "stem-1.ext", "stem-2.ext", ... : the first that taken() refuses.
  static QString uniqueFileName(const QString& name, const std::function<bool(const QString&)>& taken);

 private:
  DocumentPrintController() = default;
  void windowDidLoad();
  void startDownload(const QVariant& element);
  QString destinationFor(const QString& suggested, const QUrl& url);
  void downloadFailed(const QString& description);
  void downloadStored(const QString& path);

  QVariantList urlArray_;
  QList<QUrl> urlArraytoPrint_;
  QSet<QString> reservedNames_;
  std::unique_ptr<QWidget> window_;
  std::unique_ptr<Ui::DocumentPrintController> ui_;
};

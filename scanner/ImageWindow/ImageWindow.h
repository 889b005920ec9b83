// A scanned page in a window of its own: shown, zoomed and edited in an ImageView, and
// written back over the page file in the file's own format whenever the window closes
// (Save writes first and keeps the window open when that fails). The window deletes itself
// once closed; the browser learns of the rewritten file through its folder watcher.
#pragma once

#include "scanner/ImageWindow/ImageEditPanel.h"  // editPanel() converts its QPointer

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <memory>

class ImageView;
class QButtonGroup;
class QPushButton;
namespace Ui {
class ImageWindow;
}

class ImageWindow : public QWidget {
  Q_OBJECT

 public:
  // Name filter of the Open sheet.
  static const QString kOpenNameFilter;
  static constexpr double kZoomOutFactor = 0.7071068;
  static constexpr double kZoomInFactor = 1.414214;
  static constexpr int kJpegQuality = 95;

  // The browser's way in: a window for the page at filePath, kept above other windows,
  // centred and shown. The caller does not own it: it deletes itself when closed, after
  // emitting closed(filePath); the pointer turns null then.
  static QPointer<ImageWindow> openFile(const QString& filePath);

  // Loads filePath at once (the window opens also when it cannot be read).
  explicit ImageWindow(const QString& filePath, QWidget* parent = nullptr);
  ~ImageWindow() override;

  QString filePath() const { return filePath_; }
  ImageView* imageView() const { return imageView_; }
  QPushButton* butSave() const { return butSave_; }
  QButtonGroup* toolGroup() const { return toolGroup_; }
  QButtonGroup* zoomGroup() const { return zoomGroup_; }
  ImageEditPanel* editPanel() const { return editPanel_; }
  QByteArray imageFormat() const { return imageFormat_; }

  // Loads one image file into the view; false (nothing changes) when it cannot be read.
  bool openImageURL(const QString& path);

  enum class WriteResult { Written, NoImage, FileGone, Failed };
  // Writes the current image over filePath in the format last opened; errorText on failure.
  WriteResult writeImageBack(QString* errorText = nullptr);

 public slots:
  void switchToolMode(int number);
  void doZoom(int number);
  void openImage();   // the Open sheet
  void saveImage();   // writes back, then closes; stays open when the write fails
  void showEditPanel();

 signals:
  void closed(const QString& filePath);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::unique_ptr<Ui::ImageWindow> ui_;
  const QString filePath_;
  ImageView* imageView_ = nullptr;
  QPushButton* butSave_ = nullptr;
  QButtonGroup* toolGroup_ = nullptr;
  QButtonGroup* zoomGroup_ = nullptr;
  QPointer<ImageEditPanel> editPanel_;
  QByteArray imageFormat_;  // from the content of the file last opened
  bool closing_ = false;
};

// The window in which the user reviews the pages of one scan folder before they are sent:
// the slide view over the folder's image collection, four layouts, an optional grouping by
// tag, a status line, and drops of files from other programs, copied into the folder with
// their tags. Constructed for a folder; the window opens with show().
#pragma once

#include "scanner/ImageBrowser/Model/AAPLImageCollection.h"
#include "scanner/ImageBrowser/Views/AAPLCollectionView.h"

#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;
namespace Ui {
class BrowserWindow;
}
namespace zuvo::scanflow {
class UploadFlow;
}

class AAPLBrowserWindowController : public QObject, public CollectionViewDataSource {
  Q_OBJECT
  Q_PROPERTY(int layoutKind READ layoutKind WRITE setLayoutKind NOTIFY layoutKindChanged)
  Q_PROPERTY(bool groupByTag READ groupByTag WRITE setGroupByTag NOTIFY groupByTagChanged)

 public:
  enum LayoutKind { Circular = 0, Loop = 1, Scatter = 2, Wrapped = 3 };
  static constexpr double kHeaderHeight = 39;
  static constexpr double kFooterHeight = 28;
  static constexpr double kSupplementaryWidth = 10000;

  // Loads the window, makes the collection for the folder and starts following it. The
  // folder is scanned when the window first opens.
  explicit AAPLBrowserWindowController(const QUrl& rootURL, QObject* parent = nullptr);
  ~AAPLBrowserWindowController() override;

  QWidget* window() const { return window_.get(); }
  void showWindow();

  QUrl rootURL() const { return rootURL_; }
  AAPLImageCollection* imageCollection() const { return imageCollection_.get(); }
  AAPLCollectionView* imageCollectionView() const { return imageCollectionView_; }
  QLabel* statusTextField() const { return statusTextField_; }
  QProgressBar* progressIndicator() const { return mProgressIndicator_; }
  QLabel* uploadingStatus() const { return uploadingstatus_; }
  QComboBox* layoutMenu() const;
  QCheckBox* groupByTagCheckBox() const;
  QPushButton* button(const QString& text) const;

  int layoutKind() const { return layoutKind_; }
  // Grouping is shown with the wrapped layout only: another kind turns it off first.
  void setLayoutKind(int kind);
  bool groupByTag() const { return groupByTag_; }
  // Grouping switches to the wrapped layout, without animation.
  void setGroupByTag(bool group);
  bool autoUpdateResponseSuspended() const { return autoUpdateResponseSuspended_; }

  void showStatus(const QString& text);
  // The image file at a place of the view by the section rule; null outside the lists.
  ImageFileRef imageFileAtIndexPath(const IndexPath& path) const;

  // The duration the next view update animates with; the setters set it to 0 when one
  // forces the other. 0.25 s otherwise.
  double animationDuration() const { return animationDuration_; }

  static QString StringFromCollectionViewDropOperation(std::optional<DropOperation> operation);
  static QString StringFromCollectionViewIndexPath(const std::optional<IndexPath>& path);

  // CollectionViewDataSource
  int numberOfSectionsInCollectionView(AAPLCollectionView* view) override;
  int numberOfItemsInSection(AAPLCollectionView* view, int section) override;
  AAPLSlide* itemForRepresentedObjectAtIndexPath(AAPLCollectionView* view, const IndexPath& path) override;
  AAPLHeaderView* viewForSupplementaryElementOfKind(AAPLCollectionView* view, ElementKind kind,
                                                    const IndexPath& path) override;
  QSizeF referenceSizeForHeaderInSection(AAPLCollectionView* view, int section) override;
  QSizeF referenceSizeForFooterInSection(AAPLCollectionView* view, int section) override;
  Qt::DropAction validateDrop(AAPLCollectionView* view, const QMimeData* data, IndexPath* proposedPath,
                              DropOperation* proposedOperation) override;
  bool acceptDrop(AAPLCollectionView* view, const QMimeData* data, const IndexPath& path,
                  DropOperation operation) override;

 public slots:
  void refresh();
  // The browser's actions on the pages: delete the selected ones after asking, upload all of
  // them as one PDF, give the scan up ("Cancel" to the server).
  void delete_item();
  void upload();
  void closeWindow();

 public:
  // True from upload() until its requests have ended; Upload is disabled meanwhile.
  bool isUploading() const;

 signals:
  void layoutKindChanged(int kind);
  void groupByTagChanged(bool group);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void windowDidLoad();
  void windowWillClose();
  void startObservingImageCollection();
  void stopObservingImageCollection();
  void suspendAutoUpdateResponse() { autoUpdateResponseSuspended_ = true; }
  void resumeAutoUpdateResponse() { autoUpdateResponseSuspended_ = false; }
  void updateLayout();
  void registerForCollectionViewDragAndDrop();
  void handleImageFilesInsertedAtIndexPaths(const QSet<IndexPath>& paths);
  void handleImageFilesRemovedAtIndexPaths(const QSet<IndexPath>& paths);
  void handleTagsInsertedInCollectionAtIndexes(const QList<int>& indexes);
  void handleTagsRemovedFromCollectionAtIndexes(const QList<int>& indexes);
  // Grouped: every change of the collection reloads the view, once per turn of the loop.
  void scheduleReload();
  // A sheet with an empty informative text and one button.
  void sheet(const QString& message, const QString& informative, const QString& button);
  const QList<ImageFileRef>* sectionList(int section) const;

  const QUrl rootURL_;
  std::unique_ptr<AAPLImageCollection> imageCollection_;
  std::unique_ptr<Ui::BrowserWindow> ui_;
  std::unique_ptr<QWidget> window_;
  AAPLCollectionView* imageCollectionView_ = nullptr;
  QLabel* statusTextField_ = nullptr;
  int layoutKind_ = Wrapped;
  bool groupByTag_ = false;
  bool autoUpdateResponseSuspended_ = false;
  QProgressBar* mProgressIndicator_ = nullptr;
  QLabel* uploadingstatus_ = nullptr;

  double animationDuration_ = 0.25;
  QList<QMetaObject::Connection> observations_;
  QMetaObject::Connection selectionObservation_;
  bool reloadPending_ = false;
  bool scannedOnOpen_ = false;
  bool closed_ = false;
  // Upload and Cancel: the upload flow, wired to this window.
  std::unique_ptr<zuvo::scanflow::UploadFlow> upload_;
};

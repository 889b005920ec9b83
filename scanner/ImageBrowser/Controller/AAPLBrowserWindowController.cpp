#include "scanner/ImageBrowser/Controller/AAPLBrowserWindowController.h"

#include "common/Log.h"
#include "platform/desktop/Alert.h"
#include "platform/fs/Files.h"
#include "scanner/GlobalData.h"
#include "scanner/ScanUpload.h"
#include "scanner/UploadFlow.h"
#include "scanner/ImageBrowser/Controller/DropCopy.h"
#include "scanner/ImageBrowser/Layouts/AAPLSlideLayout.h"
#include "scanner/ImageBrowser/Layouts/AAPLWrappedLayout.h"
#include "scanner/ImageBrowser/Model/ImageListing.h"
#include "scanner/ImageBrowser/Views/AAPLHeaderView.h"
#include "scanner/ImageBrowser/Views/AAPLSlide.h"
#include "scanner/ImageBrowser/Views/AAPLSlideTableBackgroundView.h"
#include "scanner/ImageBrowser/Views/SlideGeometry.h"
#include "ui_BrowserWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::unique_ptr<CollectionLayout> makeLayout(int kind) {
  switch (kind) {
    case AAPLBrowserWindowController::Circular: return std::make_unique<AAPLCircularLayout>();
    case AAPLBrowserWindowController::Loop: return std::make_unique<AAPLLoopLayout>();
    case AAPLBrowserWindowController::Scatter: return std::make_unique<AAPLScatterLayout>();
    case AAPLBrowserWindowController::Wrapped: return std::make_unique<AAPLWrappedLayout>();
    default: return nullptr;
  }
}

// The file URLs of a drop, in dragging order.
QList<QUrl> droppedFileURLs(const QMimeData* data) {
  QList<QUrl> urls;
  if (!data) return urls;
  for (const QUrl& url : data->urls())
    if (url.isLocalFile()) urls.append(url);
  return urls;
}

// What the collection would list: a regular file (not a link) whose type is an image.
bool isListableImage(const QString& path) {
  struct stat st {};
  if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return zuvo::isImageType(zuvo::fileTypeForFile(path));
}

}  // namespace

AAPLBrowserWindowController::AAPLBrowserWindowController(const QUrl& rootURL, QObject* parent)
    : QObject(parent),
      rootURL_(rootURL),
      imageCollection_(std::make_unique<AAPLImageCollection>(rootURL)),
      ui_(std::make_unique<Ui::BrowserWindow>()),
      window_(std::make_unique<QWidget>()) {
  ui_->setupUi(window_.get());
  imageCollectionView_ = ui_->imageCollectionView;
  statusTextField_ = ui_->statusTextField;
  mProgressIndicator_ = ui_->mProgressIndicator;
  uploadingstatus_ = ui_->uploadingstatus;
  window_->installEventFilter(this);
  imageCollectionView_->setDataSource(this);

  connect(ui_->layoutMenu, qOverload<int>(&QComboBox::activated), this, &AAPLBrowserWindowController::setLayoutKind);
  connect(ui_->groupByTagCheckBox, &QCheckBox::toggled, this, &AAPLBrowserWindowController::setGroupByTag);
  connect(this, &AAPLBrowserWindowController::layoutKindChanged, ui_->layoutMenu, [this](int kind) {
    if (kind >= 0 && kind < ui_->layoutMenu->count()) ui_->layoutMenu->setCurrentIndex(kind);
  });
  connect(this, &AAPLBrowserWindowController::groupByTagChanged, ui_->groupByTagCheckBox, &QCheckBox::setChecked);
  connect(ui_->refreshButton, &QPushButton::clicked, this, &AAPLBrowserWindowController::refresh);
  connect(ui_->deleteButton, &QPushButton::clicked, this, &AAPLBrowserWindowController::delete_item);
  connect(ui_->uploadButton, &QPushButton::clicked, this, &AAPLBrowserWindowController::upload);
  connect(ui_->cancelButton, &QPushButton::clicked, this, &AAPLBrowserWindowController::closeWindow);

  zuvo::scanflow::Services services = zuvo::scanflow::scannerServices();
  services.pages = [this] {
    QStringList pages;
    for (const ImageFileRef& file : imageCollection_->imageFiles()) pages << file->url().toLocalFile();
    return pages;
  };
  services.alert = [this](const QString& message, const QString& informative, const QString& button, bool) {
    zuvo::showAlert(message, informative, {button}, window_.get());
  };
  services.closeWindow = [this] { window_->close(); };
  services.pdfStarted = [this](int pages) {
    ui_->uploadButton->setEnabled(false);
    mProgressIndicator_->setRange(1, pages);
    mProgressIndicator_->setValue(1);
    mProgressIndicator_->setVisible(true);
    uploadingstatus_->setVisible(true);
  };
  services.pdfProgress = [this](int pagesDone) { mProgressIndicator_->setValue(pagesDone); };
  services.uploadStarted = [this] {
    // The bar takes whole numbers: the fraction sent in thousandths.
    mProgressIndicator_->setRange(0, 1000);
    mProgressIndicator_->setValue(0);
  };
  services.uploadProgress = [this](double fraction) { mProgressIndicator_->setValue(int(fraction * 1000)); };
  services.uploadEnded = [this] {
    mProgressIndicator_->setVisible(false);
    uploadingstatus_->setVisible(false);
  };
  services.ended = [this] {
    mProgressIndicator_->setVisible(false);
    uploadingstatus_->setVisible(false);
    ui_->uploadButton->setEnabled(true);
  };
  upload_ = std::make_unique<zuvo::scanflow::UploadFlow>(zuvo::scanflow::kBrowserRoad, std::move(services));

  windowDidLoad();
  startObservingImageCollection();
}

AAPLBrowserWindowController::~AAPLBrowserWindowController() {
  upload_.reset();  // a PDF still being made is dropped
  if (!closed_) windowWillClose();
  imageCollectionView_->setDataSource(nullptr);
  window_->removeEventFilter(this);
  window_.reset();  // before the collection whose records its slides show
}

void AAPLBrowserWindowController::windowDidLoad() {
  const QString folder = QDir::cleanPath(rootURL_.toLocalFile());
  window_->setWindowTitle(QFileInfo(folder).fileName());
  QPalette palette = window_->palette();
  palette.setColor(QPalette::Window, zuvo::slides::windowBackground());
  palette.setColor(QPalette::WindowText, QColor(235, 235, 235));
  window_->setPalette(palette);
  window_->setAutoFillBackground(true);
  // No zoom button.
  window_->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  ui_->layoutMenu->setCurrentIndex(layoutKind_);
  imageCollectionView_->reloadData();  // the view asks for its sections from now on
  const double saved = animationDuration_;
  animationDuration_ = 0;  // nothing to animate yet
  updateLayout();
  animationDuration_ = saved;
  imageCollectionView_->setBackgroundView(
      new AAPLSlideTableBackgroundView(QRectF(imageCollectionView_->viewport()->rect())));
  selectionObservation_ = connect(imageCollectionView_, &AAPLCollectionView::selectionIndexPathsChanged, this,
                                  [this] {
                                    showStatus(QStringLiteral("%1 items selected")
                                                   .arg(imageCollectionView_->selectionIndexPaths().size()));
                                  });
  registerForCollectionViewDragAndDrop();
}

void AAPLBrowserWindowController::showWindow() {
  window_->show();
  window_->raise();
  window_->activateWindow();
}

bool AAPLBrowserWindowController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_.get()) {
    if (event->type() == QEvent::Show && !scannedOnOpen_) {
      // The watcher reports only later changes: list what is there now.
      scannedOnOpen_ = true;
      closed_ = false;
      imageCollection_->startOrRestartFileTreeScan();
    } else if (event->type() == QEvent::Close && !closed_) {
      windowWillClose();
    }
  }
  return QObject::eventFilter(watched, event);
}

void AAPLBrowserWindowController::windowWillClose() {
  closed_ = true;
  imageCollection_->stopWatchingFolder();
  stopObservingImageCollection();
  QObject::disconnect(selectionObservation_);
}

QComboBox* AAPLBrowserWindowController::layoutMenu() const { return ui_->layoutMenu; }
QCheckBox* AAPLBrowserWindowController::groupByTagCheckBox() const { return ui_->groupByTagCheckBox; }

QPushButton* AAPLBrowserWindowController::button(const QString& text) const {
  for (QPushButton* b : window_->findChildren<QPushButton*>())
    if (b->text() == text) return b;
  return nullptr;
}

void AAPLBrowserWindowController::refresh() { imageCollection_->startOrRestartFileTreeScan(); }

void AAPLBrowserWindowController::sheet(const QString& message, const QString& informative, const QString& button) {
  // A program on its way out asks nobody.
  if (zuvo::scanupload::quitting()) return;
  zuvo::showAlert(message, informative, {button}, window_.get());
}

void AAPLBrowserWindowController::delete_item() {
  zuvo::logInfo(QStringLiteral("Delete document requested."));
  QList<IndexPath> selected = imageCollectionView_->selectionIndexPaths();
  if (selected.isEmpty()) {
    sheet(QStringLiteral("No document(s) selected."), QString(), QStringLiteral("Close"));
    return;
  }
  const qsizetype count = selected.size();
  const bool one = count == 1;
  const QString message = one ? QStringLiteral("Delete document?") : QStringLiteral("Delete %1 documents?").arg(count);
  const QString informative = one ? QStringLiteral("This document will be deleted. This action cannot be undone.")
                                  : QStringLiteral("These documents will be deleted. This action cannot be undone.");
  // Only an explicit "Delete" deletes: Escape, closing the sheet or no display to ask on is Cancel.
  const int answer = zuvo::showAlert(message, informative, {QStringLiteral("Delete"), QStringLiteral("Cancel")},
                                     window_.get(), zuvo::AlertStyle::Warning);
  if (answer != 0) {
    zuvo::logInfo(QStringLiteral("Delete was cancelled!"));
    return;
  }
  // Every selected page is named before the first removal changes the lists.
  std::sort(selected.begin(), selected.end(),
            [](const IndexPath& a, const IndexPath& b) { return std::tie(a.section, a.item) < std::tie(b.section, b.item); });
  QStringList paths;
  for (const IndexPath& path : selected)
    if (ImageFileRef file = imageFileAtIndexPath(path)) paths << file->url().toLocalFile();
  for (const QString& path : paths) {
    if (::unlink(QFile::encodeName(path).constData()) != 0) {
      sheet(zuvo::files::errnoText(path, errno), QString(), QStringLiteral("Ok"));
      return;
    }
  }
  zuvo::logInfo(QStringLiteral("%1 documents deleted").arg(count));
}

void AAPLBrowserWindowController::upload() { upload_->start(); }

bool AAPLBrowserWindowController::isUploading() const { return upload_->busy(); }

void AAPLBrowserWindowController::closeWindow() { upload_->cancel(); }

void AAPLBrowserWindowController::showStatus(const QString& text) { statusTextField_->setText(text); }

const QList<ImageFileRef>* AAPLBrowserWindowController::sectionList(int section) const {
  if (section < 0) return nullptr;
  if (!groupByTag_) return section == 0 ? &imageCollection_->imageFiles() : nullptr;
  const QList<AAPLTag*>& tags = imageCollection_->tags();
  if (section < tags.size()) return &tags[section]->imageFiles();
  return &imageCollection_->untaggedImageFiles();
}

ImageFileRef AAPLBrowserWindowController::imageFileAtIndexPath(const IndexPath& path) const {
  const QList<ImageFileRef>* list = sectionList(path.section);
  if (!list || path.item < 0 || path.item >= list->size()) return nullptr;
  return list->at(path.item);
}

int AAPLBrowserWindowController::numberOfSectionsInCollectionView(AAPLCollectionView*) {
  return groupByTag_ ? int(imageCollection_->tags().size()) + 1 : 1;
}

int AAPLBrowserWindowController::numberOfItemsInSection(AAPLCollectionView*, int section) {
  const QList<ImageFileRef>* list = sectionList(section);
  return list ? int(list->size()) : 0;
}

AAPLSlide* AAPLBrowserWindowController::itemForRepresentedObjectAtIndexPath(AAPLCollectionView*, const IndexPath& path) {
  auto* slide = static_cast<AAPLSlide*>(AAPLCollectionView::makeItem(QStringLiteral("Slide")));
  slide->setRepresentedObject(imageFileAtIndexPath(path));
  return slide;
}

AAPLHeaderView* AAPLBrowserWindowController::viewForSupplementaryElementOfKind(AAPLCollectionView*, ElementKind kind,
                                                                             const IndexPath& path) {
  QString identifier;
  if (kind == ElementKind::SectionHeader) identifier = QStringLiteral("Header");
  else if (kind == ElementKind::SectionFooter) identifier = QStringLiteral("Footer");
  else return nullptr;
  QGraphicsObject* made = AAPLCollectionView::makeItem(identifier);
  auto* view = qobject_cast<AAPLHeaderView*>(made);
  if (!view) {
    delete made;
    return nullptr;
  }
  if (AAPLTextField* field = view->titleTextField()) {
    const QList<AAPLTag*>& tags = imageCollection_->tags();
    const bool header = kind == ElementKind::SectionHeader;
    if (path.section >= 0 && path.section < tags.size()) {
      const AAPLTag* tag = tags[path.section];
      field->setText(header ? tag->name()
                            : QStringLiteral("%1 image files tagged \"%2\"").arg(tag->imageFiles().size()).arg(tag->name()));
    } else {
      field->setText(header ? QStringLiteral("(Untagged)")
                            : QStringLiteral("%1 image files have no tags assigned")
                                  .arg(imageCollection_->untaggedImageFiles().size()));
    }
  }
  return view;
}

QSizeF AAPLBrowserWindowController::referenceSizeForHeaderInSection(AAPLCollectionView*, int) {
  return groupByTag_ ? QSizeF(kSupplementaryWidth, kHeaderHeight) : QSizeF(0, 0);
}

QSizeF AAPLBrowserWindowController::referenceSizeForFooterInSection(AAPLCollectionView*, int) {
  return groupByTag_ ? QSizeF(kSupplementaryWidth, kFooterHeight) : QSizeF(0, 0);
}

void AAPLBrowserWindowController::setLayoutKind(int kind) {
  if (kind == layoutKind_) return;
  if (kind != Wrapped && groupByTag_) {
    const double saved = animationDuration_;
    animationDuration_ = 0;
    setGroupByTag(false);
    animationDuration_ = saved;
  }
  layoutKind_ = kind;
  updateLayout();
  emit layoutKindChanged(kind);
}

void AAPLBrowserWindowController::setGroupByTag(bool group) {
  if (group == groupByTag_) return;
  stopObservingImageCollection();
  groupByTag_ = group;
  startObservingImageCollection();
  imageCollectionView_->reloadData();
  emit groupByTagChanged(group);
  if (group) {
    const double saved = animationDuration_;
    animationDuration_ = 0;
    setLayoutKind(Wrapped);
    animationDuration_ = saved;
  }
}

void AAPLBrowserWindowController::updateLayout() {
  std::unique_ptr<CollectionLayout> layout = makeLayout(layoutKind_);
  if (!layout) return;  // any other kind keeps the layout in place
  imageCollectionView_->setCollectionViewLayout(
      std::move(layout), animationDuration_ > 0 ? AAPLCollectionView::kLayoutAnimationSeconds : 0);
}

void AAPLBrowserWindowController::startObservingImageCollection() {
  AAPLImageCollection* c = imageCollection_.get();
  if (!groupByTag_) {
    observations_ << connect(c, &AAPLImageCollection::imageFilesInserted, this, [this](const QList<int>& indexes) {
      if (autoUpdateResponseSuspended_) return;
      QSet<IndexPath> paths;
      for (int i : indexes) paths.insert({0, i});
      handleImageFilesInsertedAtIndexPaths(paths);
    });
    observations_ << connect(c, &AAPLImageCollection::imageFilesRemoved, this, [this](const QList<int>& indexes) {
      if (autoUpdateResponseSuspended_) return;
      QSet<IndexPath> paths;
      for (int i : indexes) paths.insert({0, i});
      handleImageFilesRemovedAtIndexPaths(paths);
    });
    return;
  }
  // Grouped: a change of any list (a new tag, a tag's files, the untagged files) moves
  // sections and items in ways the change alone does not tell, and every such change comes
  // with a change of the collection's files or tags: reload on those.
  const auto reload = [this] {
    if (!autoUpdateResponseSuspended_) scheduleReload();
  };
  observations_ << connect(c, &AAPLImageCollection::imageFilesInserted, this, reload);
  observations_ << connect(c, &AAPLImageCollection::imageFilesRemoved, this, reload);
  observations_ << connect(c, &AAPLImageCollection::tagsInserted, this, reload);
}

void AAPLBrowserWindowController::stopObservingImageCollection() {
  for (const QMetaObject::Connection& connection : observations_) QObject::disconnect(connection);
  observations_.clear();
}

void AAPLBrowserWindowController::scheduleReload() {
  if (reloadPending_) return;
  reloadPending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        reloadPending_ = false;
        if (groupByTag_) imageCollectionView_->reloadData();
      },
      Qt::QueuedConnection);
}

void AAPLBrowserWindowController::handleImageFilesInsertedAtIndexPaths(const QSet<IndexPath>& paths) {
  imageCollectionView_->insertItemsAtIndexPaths(paths, AAPLCollectionView::kItemAnimationSeconds);
}

void AAPLBrowserWindowController::handleImageFilesRemovedAtIndexPaths(const QSet<IndexPath>& paths) {
  imageCollectionView_->deleteItemsAtIndexPaths(paths, AAPLCollectionView::kItemAnimationSeconds);
}

void AAPLBrowserWindowController::handleTagsInsertedInCollectionAtIndexes(const QList<int>& indexes) {
  imageCollectionView_->insertSections(indexes, AAPLCollectionView::kItemAnimationSeconds);
}

void AAPLBrowserWindowController::handleTagsRemovedFromCollectionAtIndexes(const QList<int>& indexes) {
  imageCollectionView_->deleteSections(indexes, AAPLCollectionView::kItemAnimationSeconds);
}

void AAPLBrowserWindowController::registerForCollectionViewDragAndDrop() {
  imageCollectionView_->registerForDraggedURLs();
}

QString AAPLBrowserWindowController::StringFromCollectionViewDropOperation(std::optional<DropOperation> operation) {
  if (operation == DropOperation::On) return QStringLiteral("on");
  if (operation == DropOperation::Before) return QStringLiteral("before");
  return QStringLiteral("?");
}

QString AAPLBrowserWindowController::StringFromCollectionViewIndexPath(const std::optional<IndexPath>& path) {
  if (!path) return QStringLiteral("(nil)");
  return QStringLiteral("(%1,%2)").arg(path->section).arg(path->item);
}

Qt::DropAction AAPLBrowserWindowController::validateDrop(AAPLCollectionView*, const QMimeData*, IndexPath* proposedPath,
                                                         DropOperation* proposedOperation) {
  const QString pathText = StringFromCollectionViewIndexPath(*proposedPath);
  QString text = QStringLiteral("Validate drop %1 item at indexPath=%2")
                     .arg(StringFromCollectionViewDropOperation(*proposedOperation), pathText);
  if (*proposedOperation == DropOperation::On) {
    *proposedOperation = DropOperation::Before;
    text += QStringLiteral(" -- changed to drop before %1").arg(pathText);
  }
  showStatus(text);
  return Qt::CopyAction;
}

bool AAPLBrowserWindowController::acceptDrop(AAPLCollectionView*, const QMimeData* data, const IndexPath& path,
                                             DropOperation operation) {
  const QList<QUrl> urls = droppedFileURLs(data);
  showStatus(QStringLiteral("Accept drop of %1 items from %2, %3 item at indexPath=%4")
                 .arg(urls.size())
                 .arg(QStringLiteral("elsewhere"), StringFromCollectionViewDropOperation(operation),
                      StringFromCollectionViewIndexPath(path)));
  suspendAutoUpdateResponse();
  const QString folder = QDir::cleanPath(imageCollection_->rootURL().toLocalFile());
  // Ungrouped, the files go in where they were dropped, in the order they were dragged.
  int dropIndex = groupByTag_ ? int(imageCollection_->imageFiles().size())
                              : std::clamp(path.item, 0, int(imageCollection_->imageFiles().size()));
  QSet<IndexPath> inserted;  // ungrouped: the view's new items
  int insertedCount = 0;
  QStringList notImages;
  struct CopyError {
    QString name, text;
  };
  QList<CopyError> errors;
  for (const QUrl& url : urls) {
    if (imageCollection_->imageFileForURL(url)) continue;
    const QString source = QDir::cleanPath(url.toLocalFile());
    const QString name = QFileInfo(source).fileName();
    if (!isListableImage(source)) {
      notImages << name;
      continue;
    }
    const QString destination = folder + QLatin1Char('/') + name;
    QString errorText;
    if (!zuvo::copyFileKeepingTags(source, destination, &errorText)) {
      errors.append({name, errorText});
      continue;
    }
    ImageFileRef file = AAPLImageFile::create(QUrl::fromLocalFile(destination));
    if (!file) continue;
    imageCollection_->insertImageFile(file, dropIndex);
    inserted.insert({0, dropIndex});
    ++dropIndex;
    ++insertedCount;
  }
  if (insertedCount > 0) {
    // Grouped, the data source places each file by its tags: the sections are made again.
    if (groupByTag_) imageCollectionView_->reloadData();
    else imageCollectionView_->insertItemsAtIndexPaths(inserted, AAPLCollectionView::kItemAnimationSeconds);
  }
  if (!notImages.isEmpty())
    showStatus(QStringLiteral("Not copied, not an image file: %1").arg(notImages.join(QStringLiteral(", "))));
  if (!errors.isEmpty())
    zuvo::showAlert(QStringLiteral("“%1” could not be copied into “%2”.").arg(errors.first().name, QFileInfo(folder).fileName()),
                    errors.first().text, {QStringLiteral("Ok")}, window_.get());
  resumeAutoUpdateResponse();
  return insertedCount > 0;
}

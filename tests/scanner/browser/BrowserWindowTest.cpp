// The browser window on a folder of real JPEG files, shown offscreen and used through its
// view, its controls and drop events.
#include "../images/ImageFixtures.h"
#include "support/JsonLines.h"
#include "LayoutTestContext.h"
#include "support/TestSupport.h"
#include "platform/core/TestHooks.h"
#include "scanner/ImageBrowser/Controller/AAPLBrowserWindowController.h"
#include "scanner/ImageBrowser/Layouts/AAPLSlideLayout.h"
#include "scanner/ImageBrowser/Layouts/AAPLWrappedLayout.h"
#include "scanner/ImageBrowser/Model/FileTags.h"
#include "scanner/ImageBrowser/Views/AAPLHeaderView.h"
#include "scanner/ImageBrowser/Views/AAPLSlide.h"
#include "scanner/ImageBrowser/Views/AAPLSlideTableBackgroundView.h"
#include "scanner/ImageWindow/ImageView.h"
#include "scanner/ImageWindow/ImageWindow.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
namespace test = zuvo::test;

namespace {

class BrowserWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = test::makeTempDir(QStringLiteral("browser")) + QStringLiteral("/Documents");
    ASSERT_TRUE(QDir().mkpath(folder_));
    outside_ = test::makeTempDir(QStringLiteral("outside"));
    alertLog_ = test::testRoot() + QStringLiteral("/alerts.jsonl");
    zuvo::testhooks::setAlertLogFile(alertLog_);
    for (const char* name : {"Scan 0.jpeg", "Scan 2.jpeg", "Scan 10.jpeg"}) ASSERT_TRUE(writePage(folder_, name));
  }
  void TearDown() override {
    controller_.reset();
    zuvo::testhooks::setAlertLogFile(QString());
    AAPLSlide::setImageWindowOpener(nullptr);
  }

  static bool writePage(const QString& folder, const QString& name, QSize size = QSize(400, 566)) {
    return test::writeTestImage(folder + QLatin1Char('/') + name, size);
  }

  AAPLBrowserWindowController* open() {
    controller_ = std::make_unique<AAPLBrowserWindowController>(QUrl::fromLocalFile(folder_));
    controller_->window()->resize(1300, 800);
    controller_->showWindow();
    return controller_.get();
  }
  AAPLCollectionView* view() const { return controller_->imageCollectionView(); }

  bool settled(int items, int section = 0) const {
    return view()->numberOfItemsInSection(section) == items && !view()->isAnimating();
  }
  QStringList names(int section = 0) const {
    QStringList list;
    for (int i = 0; i < view()->numberOfItemsInSection(section); ++i)
      list << view()->itemAtIndexPath({section, i})->imageFile()->filename();
    return list;
  }
  QString status() const { return controller_->statusTextField()->text(); }

  void click(const QPoint& viewportPoint, Qt::KeyboardModifiers modifiers = Qt::NoModifier, bool twice = false) {
    QWidget* target = view()->viewport();
    const QPointF global = target->mapToGlobal(QPointF(viewportPoint));
    QMouseEvent press(twice ? QEvent::MouseButtonDblClick : QEvent::MouseButtonPress, QPointF(viewportPoint), global,
                      Qt::LeftButton, Qt::LeftButton, modifiers);
    QApplication::sendEvent(target, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(viewportPoint), global, Qt::LeftButton, Qt::NoButton, modifiers);
    QApplication::sendEvent(target, &release);
  }
  // A point of the slide in viewport coordinates, at an offset from its top-left corner.
  QPoint pointIn(const IndexPath& path, QPointF offset = QPointF(125, 125)) const {
    return view()->mapFromScene(view()->itemAtIndexPath(path)->mapToScene(offset));
  }

  // A drop of these files delivered as the window system does, at a viewport point.
  bool drop(const QStringList& paths, const QPoint& at) {
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
    data.setUrls(urls);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view()->viewport(), &enter);
    QDropEvent event(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view()->viewport(), &event);
    return event.isAccepted();
  }

  QString folder_, outside_, alertLog_;
  std::unique_ptr<AAPLBrowserWindowController> controller_;
};

TEST_F(BrowserWindowTest, OpensWithEveryPageAndFollowsTheFolder) {
  open();
  EXPECT_EQ(controller_->window()->windowTitle(), "Documents");
  EXPECT_EQ(controller_->layoutKind(), 3);
  EXPECT_FALSE(controller_->groupByTag());
  // No Refresh: the folder is listed when the window opens.
  ASSERT_TRUE(test::waitUntil([&] { return settled(3); }));
  EXPECT_EQ(names(), (QStringList{"Scan 0.jpeg", "Scan 2.jpeg", "Scan 10.jpeg"}));
  ASSERT_TRUE(test::waitUntil([&] {
    for (int i = 0; i < 3; ++i)
      if (view()->itemAtIndexPath({0, i})->imageFile()->previewImage().isNull()) return false;
    return true;
  }));
  EXPECT_EQ(view()->itemAtIndexPath({0, 0})->imageFile()->previewImage().height(), 250);

  // A text file is not listed; a copied-in image appears after the others.
  ASSERT_TRUE(test::writeFile(folder_ + "/notes.txt", "not a page"));
  ASSERT_TRUE(writePage(outside_, "Scan 1.jpeg"));
  ASSERT_TRUE(QFile::copy(outside_ + "/Scan 1.jpeg", folder_ + "/Scan 1.jpeg"));
  ASSERT_TRUE(test::waitUntil([&] { return settled(4); }, 15s));
  EXPECT_EQ(names().last(), "Scan 1.jpeg");
  EXPECT_EQ(view()->frameForItemAtIndexPath({0, 3}), QRectF(790, 10, 250, 250));

  QFile::remove(folder_ + "/Scan 2.jpeg");
  ASSERT_TRUE(test::waitUntil([&] { return settled(3); }, 15s));
  EXPECT_EQ(names(), (QStringList{"Scan 0.jpeg", "Scan 10.jpeg", "Scan 1.jpeg"}));
  EXPECT_EQ(view()->frameForItemAtIndexPath({0, 1}), QRectF(270, 10, 250, 250));
  EXPECT_EQ(view()->itemAtIndexPath({0, 1})->pos(), QPointF(270, 10));  // the move has ended
}

TEST_F(BrowserWindowTest, SelectionByClicksAndItsStatus) {
  open();
  ASSERT_TRUE(test::waitUntil([&] { return settled(3); }));
  click(pointIn({0, 0}));
  EXPECT_EQ(view()->selectionIndexPaths(), (QList<IndexPath>{{0, 0}}));
  EXPECT_EQ(status(), "1 items selected");
  EXPECT_EQ(view()->itemAtIndexPath({0, 0})->borderView()->borderColor(), zuvo::slides::selectionBlue());
  click(pointIn({0, 2}), Qt::ControlModifier);
  EXPECT_EQ(status(), "2 items selected");
  EXPECT_EQ(view()->selectionIndexPaths(), (QList<IndexPath>{{0, 0}, {0, 2}}));
  // 5 points inside a slide's edge is its margin: the click reaches the background.
  click(pointIn({0, 1}, QPointF(5, 125)));
  EXPECT_EQ(status(), "0 items selected");
  EXPECT_TRUE(view()->selectionIndexPaths().isEmpty());
  EXPECT_EQ(view()->itemAtIndexPath({0, 0})->borderView(), nullptr);
  view()->selectAll();
  EXPECT_EQ(status(), "3 items selected");

  // Double clicks open one window per file; the second brings it to the front.
  int opened = 0;
  std::vector<std::unique_ptr<QWidget>> windows;
  AAPLSlide::setImageWindowOpener([&](const QString& path) {
    ++opened;
    windows.push_back(std::make_unique<QWidget>());
    windows.back()->setWindowTitle(path);
    windows.back()->show();
    return windows.back().get();
  });
  view()->deselectAll();
  click(pointIn({0, 1}), Qt::NoModifier, true);
  click(pointIn({0, 1}), Qt::NoModifier, true);
  ASSERT_EQ(opened, 1);
  EXPECT_EQ(windows[0]->windowTitle(), folder_ + "/Scan 2.jpeg");
  EXPECT_TRUE(view()->selectionIndexPaths().isEmpty());  // the second click selects nothing
  windows.clear();
  click(pointIn({0, 1}), Qt::NoModifier, true);
  EXPECT_EQ(opened, 2);  // that window had gone
}

// The browser's own opener: the single-image window of the file, once per file.
TEST_F(BrowserWindowTest, DoubleClickOpensTheImageWindowOfThatPageOnce) {
  const auto imageWindows = [] {
    QList<ImageWindow*> windows;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* window = qobject_cast<ImageWindow*>(w)) windows << window;
    return windows;
  };
  open();
  ASSERT_TRUE(test::waitUntil([&] { return settled(3); }));
  click(pointIn({0, 1}), Qt::NoModifier, true);
  QList<ImageWindow*> windows = imageWindows();
  ASSERT_EQ(windows.size(), 1);
  QPointer<ImageWindow> first = windows[0];
  EXPECT_EQ(first->filePath(), folder_ + "/Scan 2.jpeg");
  EXPECT_TRUE(first->isVisible());
  EXPECT_FALSE(first->imageView()->image().isNull());
  EXPECT_EQ(view()->itemAtIndexPath({0, 1})->imageWindow(), first.data());

  // Minimised, it comes back to the front on the next double click: no second window.
  first->showMinimized();
  click(pointIn({0, 1}), Qt::NoModifier, true);
  EXPECT_EQ(imageWindows(), QList<ImageWindow*>{first.data()});
  EXPECT_TRUE(first->isVisible());
  EXPECT_FALSE(first->isMinimized());

  // Another page has a window of its own; a closed window is opened anew.
  click(pointIn({0, 0}), Qt::NoModifier, true);
  ASSERT_EQ(imageWindows().size(), 2);
  first->close();
  ASSERT_TRUE(test::waitUntil([&] { return first.isNull(); }));
  click(pointIn({0, 1}), Qt::NoModifier, true);
  windows = imageWindows();
  ASSERT_EQ(windows.size(), 2);
  EXPECT_EQ(windows.count(view()->itemAtIndexPath({0, 1})->imageWindow()), 1);
  for (ImageWindow* w : windows) w->close();
  EXPECT_TRUE(test::readJsonLines(alertLog_).isEmpty());
}

TEST_F(BrowserWindowTest, EachLayoutPlacesTheSlidesWhereItSays) {
  open();
  ASSERT_TRUE(test::waitUntil([&] { return settled(3); }));
  const QSizeF viewport(view()->viewport()->size());
  test::FakeCollectionView same({3}, viewport);
  for (int kind : {0, 1, 2, 3, 1}) {
    controller_->layoutMenu()->setCurrentIndex(kind);
    emit controller_->layoutMenu()->activated(kind);
    ASSERT_EQ(controller_->layoutKind(), kind);
    ASSERT_TRUE(test::waitUntil([&] { return !view()->isAnimating(); }));
    std::unique_ptr<CollectionLayout> expected;
    if (kind == 0) expected = std::make_unique<AAPLCircularLayout>();
    if (kind == 1) expected = std::make_unique<AAPLLoopLayout>();
    if (kind == 3) expected = std::make_unique<AAPLWrappedLayout>();
    EXPECT_EQ(view()->collectionViewLayout()->scrolls(), kind == 3);
    for (int i = 0; i < 3; ++i) {
      const QPointF at = view()->itemAtIndexPath({0, i})->pos();
      if (expected) {
        expected->setCollectionView(&same);
        expected->prepareLayout();
        const QRectF frame = expected->layoutAttributesForItemAtIndexPath({0, i})->frame;
        EXPECT_NEAR(at.x(), frame.x(), 1e-9) << kind << " " << i;
        EXPECT_NEAR(at.y(), frame.y(), 1e-9) << kind << " " << i;
      } else {  // scatter: inside the box
        EXPECT_TRUE(QRectF(10, 10, viewport.width() - 20, viewport.height() - 20).contains(QRectF(at, QSizeF(250, 250))));
      }
      EXPECT_EQ(view()->itemAtIndexPath({0, i})->zValue(), i);
    }
  }
  // A kind outside 0 to 3 is kept but leaves the layout in place.
  CollectionLayout* before = view()->collectionViewLayout();
  controller_->setLayoutKind(7);
  EXPECT_EQ(controller_->layoutKind(), 7);
  EXPECT_EQ(view()->collectionViewLayout(), before);
}

TEST_F(BrowserWindowTest, GroupingByTagShowsSectionsAndFollowsTagChanges) {
  if (!test::setTags(folder_ + "/Scan 2.jpeg", "Red")) GTEST_SKIP() << "no user attributes here";
  open();
  ASSERT_TRUE(test::waitUntil([&] { return settled(3); }));
  controller_->setLayoutKind(1);
  controller_->groupByTagCheckBox()->click();
  ASSERT_TRUE(controller_->groupByTag());
  EXPECT_EQ(controller_->layoutKind(), 3);  // grouping shows the wrapped layout
  EXPECT_EQ(controller_->layoutMenu()->currentText(), "Wrapped");
  ASSERT_EQ(view()->numberOfSections(), 2);
  EXPECT_EQ(names(0), QStringList{"Scan 2.jpeg"});
  EXPECT_EQ(names(1), (QStringList{"Scan 0.jpeg", "Scan 10.jpeg"}));
  auto text = [&](ElementKind kind, int section) {
    return view()->supplementaryView(kind, section)->titleTextField()->text();
  };
  EXPECT_EQ(text(ElementKind::SectionHeader, 0), "Red");
  EXPECT_EQ(text(ElementKind::SectionFooter, 0), "1 image files tagged \"Red\"");
  EXPECT_EQ(text(ElementKind::SectionHeader, 1), "(Untagged)");
  EXPECT_EQ(text(ElementKind::SectionFooter, 1), "2 image files have no tags assigned");
  EXPECT_EQ(view()->frameForItemAtIndexPath({0, 0}), QRectF(10, 49, 250, 250));
  EXPECT_EQ(view()->supplementaryView(ElementKind::SectionFooter, 0)->pos(), QPointF(0, 309));

  // A new tag on a file, seen by the next scan, makes a new section (not notified by itself).
  ASSERT_TRUE(test::setTags(folder_ + "/Scan 10.jpeg", "Blue"));
  ASSERT_TRUE(test::touchLater(folder_ + "/Scan 10.jpeg", 5));
  controller_->refresh();
  ASSERT_TRUE(test::waitUntil([&] { return view()->numberOfSections() == 3 && !view()->isAnimating(); }, 15s));
  EXPECT_EQ(text(ElementKind::SectionHeader, 0), "Blue");
  EXPECT_EQ(names(0), QStringList{"Scan 10.jpeg"});
  EXPECT_EQ(text(ElementKind::SectionFooter, 2), "1 image files have no tags assigned");

  // Another layout turns grouping off first.
  controller_->setLayoutKind(0);
  EXPECT_FALSE(controller_->groupByTag());
  EXPECT_FALSE(controller_->groupByTagCheckBox()->isChecked());
  EXPECT_EQ(view()->numberOfSections(), 1);
  EXPECT_EQ(view()->numberOfItemsInSection(0), 3);
}

TEST_F(BrowserWindowTest, GroupedWithoutTagsHasOneUntaggedSection) {
  open();
  ASSERT_TRUE(test::waitUntil([&] { return settled(3); }));
  controller_->setGroupByTag(true);
  ASSERT_EQ(view()->numberOfSections(), 1);
  EXPECT_EQ(view()->supplementaryView(ElementKind::SectionHeader, 0)->titleTextField()->text(), "(Untagged)");
  EXPECT_EQ(view()->supplementaryView(ElementKind::SectionFooter, 0)->titleTextField()->text(),
            "3 image files have no tags assigned");
  controller_->setGroupByTag(true);  // the same value: nothing happens
  EXPECT_EQ(view()->numberOfSections(), 1);
}

TEST_F(BrowserWindowTest, DropsCopyImagesWithTheirTagsAndRefuseTheRest) {
  open();
  ASSERT_TRUE(test::waitUntil([&] { return settled(3); }));
  ASSERT_TRUE(writePage(outside_, "A.jpeg"));
  ASSERT_TRUE(writePage(outside_, "B.jpeg"));
  const bool tagged = test::setTags(outside_ + "/A.jpeg", "Green,Red");

  // Proposed on item 2: made a drop before it.
  IndexPath proposed{0, 2};
  DropOperation operation = DropOperation::On;
  EXPECT_EQ(controller_->validateDrop(view(), nullptr, &proposed, &operation), Qt::CopyAction);
  EXPECT_EQ(operation, DropOperation::Before);
  EXPECT_EQ(status(), "Validate drop on item at indexPath=(0,2) -- changed to drop before (0,2)");
  controller_->validateDrop(view(), nullptr, &proposed, &operation);
  EXPECT_EQ(status(), "Validate drop before item at indexPath=(0,2)");

  // Two files dropped on the second slide: copied, in the order they were dragged.
  ASSERT_TRUE(drop({outside_ + "/A.jpeg", outside_ + "/B.jpeg"}, pointIn({0, 1})));
  EXPECT_TRUE(status().startsWith("Accept drop of 2 items from elsewhere, before item at indexPath=(0,1)")) << status().toStdString();
  ASSERT_TRUE(test::waitUntil([&] { return settled(5); }));
  EXPECT_EQ(names(), (QStringList{"Scan 0.jpeg", "A.jpeg", "B.jpeg", "Scan 2.jpeg", "Scan 10.jpeg"}));
  EXPECT_TRUE(QFile::exists(folder_ + "/B.jpeg"));
  EXPECT_EQ(test::readFile(folder_ + "/A.jpeg"), test::readFile(outside_ + "/A.jpeg"));
  if (tagged) {
    EXPECT_EQ(zuvo::readTagNames(folder_ + "/A.jpeg"), (QStringList{"Green", "Red"}));
  }
  // The watcher's report of the copies changes nothing.
  test::spin(2500ms);
  EXPECT_EQ(view()->numberOfItemsInSection(0), 5);

  // A same-named file: the copy error as a sheet, nothing inserted, the drop refused.
  ASSERT_TRUE(writePage(outside_, "Scan 2.jpeg", QSize(100, 100)));
  const QByteArray before = test::readFile(folder_ + "/Scan 2.jpeg");
  EXPECT_FALSE(drop({outside_ + "/Scan 2.jpeg"}, pointIn({0, 0})));
  const QList<QJsonObject> alerts = test::readJsonLines(alertLog_);
  ASSERT_EQ(alerts.size(), 1);
  EXPECT_EQ(alerts[0]["message"].toString(), "“Scan 2.jpeg” could not be copied into “Documents”.");
  EXPECT_EQ(alerts[0]["informative"].toString(), "File exists");
  EXPECT_EQ(test::readFile(folder_ + "/Scan 2.jpeg"), before);
  EXPECT_EQ(view()->numberOfItemsInSection(0), 5);

  // A text file and a folder are neither copied nor inserted.
  ASSERT_TRUE(test::writeFile(outside_ + "/notes.txt", "text"));
  ASSERT_TRUE(QDir().mkpath(outside_ + "/Folder.jpeg"));
  EXPECT_FALSE(drop({outside_ + "/notes.txt", outside_ + "/Folder.jpeg"}, pointIn({0, 0})));
  EXPECT_EQ(status(), "Not copied, not an image file: notes.txt, Folder.jpeg");
  EXPECT_FALSE(QFile::exists(folder_ + "/notes.txt"));
  EXPECT_FALSE(QFileInfo::exists(folder_ + "/Folder.jpeg"));
  EXPECT_EQ(view()->numberOfItemsInSection(0), 5);
  // A file already shown is skipped without a message.
  EXPECT_FALSE(drop({folder_ + "/A.jpeg"}, pointIn({0, 0})));
  EXPECT_EQ(test::readJsonLines(alertLog_).size(), 1);
  EXPECT_FALSE(controller_->autoUpdateResponseSuspended());
}

TEST_F(BrowserWindowTest, GroupedDropsLandInTheirTagsSection) {
  if (!test::setTags(folder_ + "/Scan 0.jpeg", "Red")) GTEST_SKIP() << "no user attributes here";
  ASSERT_TRUE(writePage(outside_, "C.jpeg"));
  ASSERT_TRUE(test::setTags(outside_ + "/C.jpeg", "Red"));
  open();
  ASSERT_TRUE(test::waitUntil([&] { return settled(3); }));
  controller_->setGroupByTag(true);
  ASSERT_TRUE(test::waitUntil([&] { return view()->numberOfSections() == 2 && settled(2, 1); }));
  ASSERT_TRUE(drop({outside_ + "/C.jpeg"}, pointIn({1, 0})));
  ASSERT_TRUE(test::waitUntil([&] { return settled(2, 0); }));
  EXPECT_EQ(names(0), (QStringList{"C.jpeg", "Scan 0.jpeg"}));
  EXPECT_EQ(names(1), (QStringList{"Scan 10.jpeg", "Scan 2.jpeg"}));
}

TEST_F(BrowserWindowTest, SlidesAreAListOfPagesForAssistiveTechnology) {
  open();
  ASSERT_TRUE(test::waitUntil([&] { return settled(3); }));
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(view());
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->role(), QAccessible::List);
  EXPECT_EQ(list->text(QAccessible::Name), "Pages");
  ASSERT_EQ(list->childCount(), 3);
  QStringList childNames;
  for (int i = 0; i < 3; ++i) {
    QAccessibleInterface* child = list->child(i);
    childNames << child->text(QAccessible::Name);
    EXPECT_EQ(child->role(), QAccessible::ListItem);
    EXPECT_EQ(child->parent(), list);
    EXPECT_EQ(list->indexOfChild(child), i);
    EXPECT_EQ(child->rect(), view()->screenRectOf(view()->itemAtIndexPath({0, i})));
    EXPECT_EQ(child->rect().size(), QSize(250, 250));
  }
  EXPECT_EQ(childNames, (QStringList{"Scan 0.jpeg", "Scan 2.jpeg", "Scan 10.jpeg"}));
  QAccessibleInterface* second = list->child(1);
  EXPECT_FALSE(second->state().selected);
  second->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_TRUE(second->state().selected);
  EXPECT_EQ(status(), "1 items selected");
  list->child(2)->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
  EXPECT_EQ(view()->selectionIndexPaths(), (QList<IndexPath>{{0, 1}, {0, 2}}));

  controller_->setGroupByTag(true);
  ASSERT_EQ(list->childCount(), 5);  // header, three slides, footer
  EXPECT_EQ(list->child(0)->text(QAccessible::Name), "(Untagged)");
  EXPECT_EQ(list->child(4)->text(QAccessible::Name), "3 image files have no tags assigned");
}

TEST_F(BrowserWindowTest, BackgroundFromASlideAndAFileThatHasGone) {
  open();
  ASSERT_TRUE(test::waitUntil([&] { return settled(3); }));
  AAPLSlide* slide = view()->itemAtIndexPath({0, 0});
  slide->setCollectionViewBackground();
  EXPECT_EQ(view()->backgroundView()->image(), folder_ + "/Scan 0.jpeg");
  QFile::remove(folder_ + "/Scan 0.jpeg");
  // Drawn as the plain grey, no division by zero.
  QImage canvas(200, 100, QImage::Format_ARGB32);
  QPainter painter(&canvas);
  view()->backgroundView()->drawRect(&painter, QRectF(0, 0, 200, 100));
  painter.end();
  EXPECT_EQ(QColor(canvas.pixel(100, 50)).rgb(), zuvo::slides::backgroundGrey().rgb());
  slide->clearCollectionViewBackground();
  EXPECT_TRUE(view()->backgroundView()->image().isEmpty());
}

TEST_F(BrowserWindowTest, SlideStateChangesRedrawOnlyWhenTheyChange) {
  AAPLSlide slide;
  slide.setHighlightState(0);
  slide.setSelected(false);
  EXPECT_EQ(slide.displayRequests(), 0);
  slide.setSelected(true);
  EXPECT_EQ(slide.displayRequests(), 1);
  ASSERT_NE(slide.borderView(), nullptr);
  EXPECT_EQ(slide.borderView()->pos(), QPointF(8, 8));
  slide.setHighlightState(3);
  EXPECT_EQ(slide.borderView()->borderColor(), zuvo::slides::redColor());
  slide.setHighlightState(2);
  EXPECT_EQ(slide.borderView(), nullptr);
  slide.setHighlightState(2);
  EXPECT_EQ(slide.displayRequests(), 3);
  // No file: a double click opens nothing.
  int opened = 0;
  AAPLSlide::setImageWindowOpener([&](const QString&) -> QWidget* { return ++opened, nullptr; });
  slide.openImageFile();
  EXPECT_EQ(opened, 0);
}

TEST_F(BrowserWindowTest, ControlsAreThereUnderTheirTexts) {
  open();
  for (const char* text : {"Refresh", "Delete", "Upload", "Cancel"}) EXPECT_NE(controller_->button(text), nullptr) << text;
  EXPECT_EQ(controller_->layoutMenu()->accessibleName(), "Layout");
  QStringList items;
  for (int i = 0; i < controller_->layoutMenu()->count(); ++i) items << controller_->layoutMenu()->itemText(i);
  EXPECT_EQ(items, (QStringList{"Circular", "Loop", "Scatter", "Wrapped"}));
  EXPECT_EQ(controller_->groupByTagCheckBox()->text(), "Group by Tag");
  EXPECT_FALSE(controller_->progressIndicator()->isVisible());
  EXPECT_FALSE(controller_->uploadingStatus()->isVisible());
  EXPECT_FALSE(controller_->uploadingStatus()->text().isEmpty());
  EXPECT_FALSE(controller_->window()->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(AAPLBrowserWindowController::StringFromCollectionViewIndexPath(std::nullopt), "(nil)");
  EXPECT_EQ(AAPLBrowserWindowController::StringFromCollectionViewDropOperation(std::nullopt), "?");
  // Closing stops following the folder.
  ASSERT_TRUE(test::waitUntil([&] { return settled(3); }));
  controller_->window()->close();
  EXPECT_FALSE(controller_->imageCollection()->isWatchingFolder());
  ASSERT_TRUE(writePage(folder_, "Scan 3.jpeg"));
  test::spin(2500ms);
  EXPECT_EQ(view()->numberOfItemsInSection(0), 3);
}

}  // namespace

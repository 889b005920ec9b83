// Print requests end to end: a loopback document server that answers each URL after its own
// delay, the real HTTP client, the window rendered offscreen and the fake word processor's
// journal of what it was asked to print.
#include "common/Log.h"
#include "editor/DocumentPrintController.h"
#include "editor/GlobalData.h"
#include "platform/fs/Paths.h"
#include "support/FakeDocumentServer.h"
#include "support/FakeWordProcessor.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProgressBar>
#include <QScreen>
#include <QWidget>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace zuvo::test;

namespace {

// Collects what the process writes to stderr (where the system-log lines also go).
class StderrCapture {
 public:
  StderrCapture() : path_(makeTempDir(QStringLiteral("stderr")) + QStringLiteral("/err")) {
    fflush(stderr);
    saved_ = dup(2);
    const int fd = open(path_.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    ::close(fd);
  }
  ~StderrCapture() {
    fflush(stderr);
    dup2(saved_, 2);
    ::close(saved_);
  }
  QByteArrayList lines(const QByteArray& containing) const {
    QByteArrayList out;
    for (const QByteArray& l : readFile(path_).split('\n'))
      if (l.contains(containing)) out << l;
    return out;
  }

 private:
  QString path_;
  int saved_ = -1;
};

const QByteArray kErrorLine = "Error while downloading document : ";

class DocumentPrint : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp = GlobalData::sharedGlobalData().getTempDirectoryPath();
    ASSERT_TRUE(QDir().mkpath(tmp));
  }

  // A document route: body "<name> body", a file name by Content-Disposition when given.
  void serve(const QString& path, double delay, const QByteArray& disposition = {}) {
    FakeReply r{.status = 200, .body = path.toUtf8() + " body", .delaySeconds = delay};
    if (!disposition.isEmpty()) r.headers = {{"Content-Disposition", disposition}};
    server.route(path, r);
  }

  std::shared_ptr<DocumentPrintController> print(const QVariant& fileList) {
    auto c = DocumentPrintController::create();
    c->setUrlArray(fileList);
    c->showDownloadingWindow();
    return c;
  }

  QList<QStringList> printed() const { return word.printRequests(); }

  QStringList storedNames() const { return QDir(tmp).entryList(QDir::Files, QDir::Name); }
  QString inTmp(const QString& name) const { return tmp + "/" + name; }

  QString tmp;
  FakeDocumentServer server;
  FakeWordProcessor word;
  StderrCapture err;
};

TEST_F(DocumentPrint, ListIsPrintedInCompletionOrderOnceEveryDocumentIsStored) {
  serve("/docs/first.docx", 1.2);
  serve("/docs/second.docx", 2.4);
  serve("/docs/third.docx", 0.1);
  ASSERT_TRUE(server.start());
  auto c = print(QStringList{server.url("/docs/first.docx"), server.url("/docs/second.docx"),
                             server.url("/docs/third.docx")});
  QProgressBar* bar = c->progressIndicator();
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 3);
  EXPECT_EQ(bar->value(), 0);
  QWidget* w = c->window();
  EXPECT_EQ(w->windowTitle(), "Downloading...");
  EXPECT_TRUE(w->isVisible());
  EXPECT_FALSE(w->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(w->windowFlags() & Qt::WindowStaysOnTopHint);
  const QPoint offCentre = w->frameGeometry().center() - w->screen()->availableGeometry().center();
  EXPECT_LE(offCentre.manhattanLength(), 2);
  QList<QImage> frames{c->window()->grab().toImage()};

  const QStringList order{"third.docx", "first.docx", "second.docx"};
  for (int n = 1; n <= 3; ++n) {
    SCOPED_TRACE(n);
    ASSERT_TRUE(waitUntil([&] { return bar->value() == n; }));
    ASSERT_EQ(c->urlArraytoPrint().size(), n);
    EXPECT_EQ(c->urlArraytoPrint().back(), QUrl::fromLocalFile(inTmp(order[n - 1])));
    if (n < 3) {
      EXPECT_TRUE(c->window()->isVisible());
      EXPECT_TRUE(printed().isEmpty());
      frames << c->window()->grab().toImage();
    }
  }
  // Each step draws a fuller bar.
  for (int i = 1; i < frames.size(); ++i) EXPECT_NE(frames[i], frames[i - 1]) << i;

  ASSERT_TRUE(waitUntil([&] { return !printed().isEmpty(); }));
  EXPECT_EQ(printed(), (QList<QStringList>{{inTmp("third.docx"), inTmp("first.docx"), inTmp("second.docx")}}));
  EXPECT_FALSE(c->window()->isVisible());
  EXPECT_EQ(readFile(inTmp("second.docx")), "/docs/second.docx body");
  EXPECT_EQ(server.requests().size(), 3);
  EXPECT_TRUE(err.lines(kErrorLine).isEmpty());
}

TEST_F(DocumentPrint, OneDocumentIsPrintedAndTheWindowCloses) {
  serve("/one/Letter.docx", 0, "attachment; filename=\"Brief 1.docx\"");
  ASSERT_TRUE(server.start());
  auto c = print(QVariantList{server.url("/one/Letter.docx?v=2")});
  ASSERT_TRUE(waitUntil([&] { return !printed().isEmpty(); }));
  EXPECT_EQ(printed(), (QList<QStringList>{{inTmp("Brief 1.docx")}}));
  EXPECT_EQ(c->progressIndicator()->value(), 1);
  EXPECT_EQ(c->progressIndicator()->maximum(), 1);
  EXPECT_FALSE(c->window()->isVisible());
}

TEST_F(DocumentPrint, NoListLeavesTheWindowOpenAndPrintsNothing) {
  ASSERT_TRUE(server.start());
  for (const QVariant& list : {QVariant(QVariantList{}), QVariant()}) {
    SCOPED_TRACE(list.isValid() ? "empty list" : "no file_path");
    auto c = print(list);
    spin(std::chrono::milliseconds(500));
    EXPECT_TRUE(c->window()->isVisible());
    EXPECT_EQ(c->progressIndicator()->value(), 0);
    EXPECT_TRUE(c->urlArraytoPrint().isEmpty());
  }
  EXPECT_TRUE(printed().isEmpty());
  EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(DocumentPrint, FailedDownloadsAreLoggedAndNothingIsPrinted) {
  zuvo::setupLog(zuvo::paths::logsFolder(), QStringLiteral("com.roza.zuvoeditor"), QStringLiteral("ZuvoEditor"));
  serve("/f/a.docx", 0);
  serve("/f/c.docx", 0);
  server.route("/f/missing.docx", FakeReply{.status = 404, .body = "not here"});
  ASSERT_TRUE(server.start());

  struct Case {
    const char* what;
    QVariantList list;
    int stored;
  } cases[] = {
      {"one 404 in three", {server.url("/f/a.docx"), server.url("/f/missing.docx"), server.url("/f/c.docx")}, 2},
      {"elements that are no http(s) URL",
       {42, QVariantList{server.url("/f/a.docx")}, "ftp://127.0.0.1/x.docx", "not a url", "file:///etc/passwd",
        server.url("/f/c.docx")},
       1},
  };
  int expectedLines = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const QString& f : storedNames()) QFile::remove(inTmp(f));
    expectedLines += int(c.list.size()) - c.stored;
    auto p = print(c.list);
    ASSERT_TRUE(waitUntil([&] {
      return p->urlArraytoPrint().size() == c.stored && err.lines(kErrorLine).size() == expectedLines;
    })) << err.lines(kErrorLine).join('\n').constData();
    spin(std::chrono::milliseconds(300));
    EXPECT_EQ(p->progressIndicator()->value(), c.stored);
    EXPECT_EQ(p->progressIndicator()->maximum(), c.list.size());
    EXPECT_TRUE(p->window()->isVisible());
    EXPECT_EQ(storedNames().size(), c.stored);
  }
  EXPECT_TRUE(printed().isEmpty());
  EXPECT_EQ(err.lines(kErrorLine).size(), expectedLines);
  EXPECT_TRUE(err.lines(kErrorLine).value(0).contains("404"));  // the error's own text
  EXPECT_FALSE(QFile::exists(inTmp("missing.docx")));  // an error page is no document to keep

  // The system log only: the editor's own log file never sees these lines.
  zuvo::logInfo(QStringLiteral("file log marker"));
  zuvo::flushLog();
  QByteArray fileLog;
  for (const QFileInfo& f : QDir(zuvo::paths::dataFolder() + "/Logs").entryInfoList(QDir::Files))
    fileLog += readFile(f.filePath());
  EXPECT_TRUE(fileLog.contains("file log marker"));
  EXPECT_FALSE(fileLog.contains("Error while downloading"));
}

TEST_F(DocumentPrint, ServerChosenNamesStayInsideTheFolderAndEqualNamesAreAllPrinted) {
  serve("/n/1", 0, "attachment; filename=\"../../escape.docx\"");
  serve("/n/2", 0.5, "attachment; filename*=UTF-8''..%2F..%2Fsame.docx");
  serve("/n/3", 1.0, "attachment; filename=\"same.docx\"");
  serve("/n/4", 1.5, "attachment; filename=\"..\"");
  ASSERT_TRUE(server.start());
  auto c = print(QStringList{server.url("/n/1"), server.url("/n/2"), server.url("/n/3"), server.url("/n/4")});
  ASSERT_TRUE(waitUntil([&] { return !printed().isEmpty(); }, std::chrono::seconds(20)));

  const QStringList paths = printed().value(0);
  ASSERT_EQ(paths.size(), 4);
  EXPECT_EQ(paths[0], inTmp("escape.docx"));
  EXPECT_TRUE(paths[1] == inTmp("same.docx")) << paths[1].toStdString();
  EXPECT_TRUE(paths[2] == inTmp("same-1.docx")) << paths[2].toStdString();
  EXPECT_TRUE(paths[3] == inTmp("4")) << paths[3].toStdString();
  EXPECT_EQ(readFile(paths[1]), "/n/2 body");
  EXPECT_EQ(readFile(paths[2]), "/n/3 body");
  // Nothing landed anywhere but in the folder itself.
  QStringList everything;
  QDirIterator it(GlobalData::sharedGlobalData().applicationSupportDirectory(), QDir::Files | QDir::Hidden,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString f = it.next();
    if (!f.endsWith(".desktop")) everything << f;  // the fake word processor's entry
  }
  everything.sort();
  QStringList expected = paths;
  expected.sort();
  EXPECT_EQ(everything, expected);
}

}  // namespace

// The browser window under Xvfb, read and used from outside through AT-SPI: the pages list
// with its names, extents and selection, a click at a page, the controls by their texts.
#include "../images/ImageFixtures.h"
#include "support/GuiSession.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace test = zuvo::test;

namespace {

struct Started {
  std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
  ~Started() {
    if (process->state() == QProcess::NotRunning) return;
    process->terminate();  // by its own id
    if (!process->waitForFinished(5000)) {
      process->kill();
      process->waitForFinished(5000);
    }
  }
};

}  // namespace

TEST(AtspiBrowserTest, PagesAreReadSelectedAndGroupedThroughAssistiveTechnology) {
  const QString folder = test::makeTempDir(QStringLiteral("atspi")) + QStringLiteral("/Documents");
  ASSERT_TRUE(QDir().mkpath(folder));
  for (const char* name : {"Scan 0.jpeg", "Scan 2.jpeg", "Scan 10.jpeg"})
    ASSERT_TRUE(test::writeTestImage(folder + QLatin1Char('/') + name, QSize(400, 566)));

  test::GuiSession gui;
  ASSERT_TRUE(gui.start()) << gui.error().toStdString();
  const QProcessEnvironment env = gui.programEnvironment();

  Started host;
  host.process->setProcessEnvironment(env);
  host.process->setProcessChannelMode(QProcess::ForwardedChannels);
  host.process->start(QStringLiteral(ZUVO_BROWSER_HOST), {folder});
  ASSERT_TRUE(host.process->waitForStarted(5000));

  QByteArray out, err;
  QProcess script;
  script.setProcessEnvironment(env);
  script.start(QStringLiteral("/usr/bin/python3"),
               {test::sourcePath("tests/scanner/browser/atspi_browser.py"), QFileInfo(QStringLiteral(ZUVO_BROWSER_HOST)).fileName(),
                "Scan 0.jpeg,Scan 2.jpeg,Scan 10.jpeg"});
  ASSERT_TRUE(script.waitForStarted(5000));
  const bool finished = script.waitForFinished(120000);
  out = script.readAllStandardOutput();
  err = script.readAllStandardError();
  if (!finished) script.kill();
  EXPECT_TRUE(finished);
  EXPECT_EQ(script.exitCode(), 0) << out.toStdString() << err.toStdString();
  EXPECT_TRUE(out.contains("ok\n")) << out.toStdString() << err.toStdString();
  EXPECT_EQ(host.process->state(), QProcess::Running);  // no crash on any of it
}

// The real question sheet on a display: only its "Delete" deletes; Escape answers Cancel.
TEST(AtspiBrowserTest, DeleteSheetLeftWithEscapeRemovesNothing) {
  test::GuiSession gui;
  ASSERT_TRUE(gui.start()) << gui.error().toStdString();
  const QString folder = test::makeTempDir(QStringLiteral("atspi")) + QStringLiteral("/Documents");
  ASSERT_TRUE(QDir().mkpath(folder));
  for (const char* name : {"Scan 0.jpeg", "Scan 1.jpeg"})
    ASSERT_TRUE(test::writeTestImage(folder + QLatin1Char('/') + name, QSize(400, 566)));

  Started host;
  QProcessEnvironment env = gui.programEnvironment();
  env.remove(QStringLiteral("ZUVO_ALERT_LOG"));  // the sheet itself, not its record
  host.process->setProcessEnvironment(env);
  host.process->setProcessChannelMode(QProcess::ForwardedChannels);
  host.process->start(QStringLiteral(ZUVO_BROWSER_HOST), {folder});
  ASSERT_TRUE(host.process->waitForStarted(5000));
  const QString app = QFileInfo(QStringLiteral(ZUVO_BROWSER_HOST)).fileName();
  const auto drive = [&](const QStringList& args) {
    EXPECT_EQ(gui.drive(args), 0) << args.join(' ').toStdString() << ": " << gui.error().toStdString();
  };
  drive({"click-row", app, "Pages", "Scan 1.jpeg"});
  drive({"wait", app, "1 items selected"});
  drive({"press", app, "Delete"});
  drive({"key", app, "Delete document?", "Escape"});
  // The sheet goes away and the page stays.
  EXPECT_TRUE(test::waitUntil(
      [&] { return gui.drive({"wait", app, "Delete document?"}, nullptr, std::chrono::seconds(2)) != 0; },
      std::chrono::seconds(20)));
  EXPECT_TRUE(QFileInfo::exists(folder + "/Scan 1.jpeg"));
  EXPECT_EQ(host.process->state(), QProcess::Running);
}

// The browser window alone on a folder, for the tests that drive it from outside the
// process (AT-SPI under Xvfb): browser_host <folder>.
#include "scanner/ImageBrowser/Controller/AAPLBrowserWindowController.h"

#include <QApplication>
#include <QUrl>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: browser_host <folder>\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  int qargc = 1;  // the folder is ours, not Qt's
  QApplication app(qargc, argv);
  AAPLBrowserWindowController controller(QUrl::fromLocalFile(folder));
  controller.window()->resize(1300, 800);
  controller.showWindow();
  return app.exec();
}

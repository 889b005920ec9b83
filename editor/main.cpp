#include "editor/AppDelegate.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv) {
  // The editor takes no arguments: Qt gets only the program name, so that no option can
  // change how it loads.
  (void)argc;
  int qargc = 1;
  char* qargv[] = {argv[0], nullptr};
  QApplication app(qargc, qargv);
  // Resident: runs without windows and keeps running when its last window closes.
  app.setQuitOnLastWindowClosed(false);
  AppDelegate delegate;
  QTimer::singleShot(0, &app, [&delegate] { delegate.applicationDidFinishLaunching(); });
  return app.exec();
}

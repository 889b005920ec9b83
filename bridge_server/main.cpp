#include "bridge_server/AppDelegate.h"
#include "platform/process/TerminationSignals.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv) {
  // The program takes no arguments: Qt gets none to interpret either.
  (void)argc;
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  app.setQuitOnLastWindowClosed(false);
  zuvo::quitOnTerminationSignals();

  AppDelegate delegate;
  QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, [&] { delegate.applicationWillTerminate(); });
  QTimer::singleShot(0, &delegate, [&] { delegate.applicationDidFinishLaunching(); });
  return app.exec();
}

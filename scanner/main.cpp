#include "platform/process/TerminationSignals.h"
#include "scanner/AppDelegate.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv) {
  // The launch arguments come from a web page: they are read here, as data, and Qt gets
  // only the program name, so that none of them can act as a Qt option.
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
  static char fallbackName[] = "ZuvoScanner";
  char* qtArgv[] = {argc > 0 && argv[0] ? argv[0] : fallbackName, nullptr};
  int qtArgc = 1;
  QApplication app(qtArgc, qtArgv);

  AppDelegate delegate(arguments);
  zuvo::quitOnTerminationSignals([&] { delegate.quitOnTerminationSignal(); });
  app.setQuitOnLastWindowClosed(delegate.applicationShouldTerminateAfterLastWindowClosed());
  QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, [&] { delegate.applicationWillTerminate(); });
  QTimer::singleShot(0, &delegate, [&] { delegate.applicationDidFinishLaunching(); });
  return app.exec();
}

#include "installer/AppDelegate.h"

#include <QApplication>

int main(int, char** argv) {
  // The installer takes no arguments of its own: Qt gets only the program name.
  int qargc = 1;
  QApplication app(qargc, argv);
  zuvo::installer::AppDelegate delegate;
  QObject::connect(&delegate, &zuvo::installer::AppDelegate::terminateRequested, &app, &QApplication::quit,
                   Qt::QueuedConnection);
  delegate.applicationDidFinishLaunching();
  return app.exec();
}

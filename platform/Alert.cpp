#include "platform/Alert.h"

#include "platform/ErrorReport.h"
#include "platform/TestHooks.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace zuvo {
namespace {

bool appendToAlertLog(const QString& file, const QString& message, const QString& informative,
                      const QStringList& buttons) {
  QJsonObject o{{"message", message},
                {"informative", informative},
                {"buttons", QJsonArray::fromStringList(buttons)}};
  const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
  // One write on an O_APPEND descriptor keeps lines of several processes whole.
  const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = ::write(fd, line.constData(), size_t(line.size())) == line.size();
  ::close(fd);
  return ok;
}

// On the main thread events go on meanwhile, as under a modal alert.
void waitAsAPersonWould(std::chrono::milliseconds delay) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app && QThread::currentThread() == app->thread()) {
    QEventLoop loop;
    QTimer::singleShot(delay, &loop, &QEventLoop::quit);
    loop.exec();
  } else {
    QThread::msleep(static_cast<unsigned long>(delay.count()));
  }
}

int runOnMainThread(const QString& message, const QString& informative, const QStringList& buttons,
                    QWidget* sheetParent) {
  const bool haveDisplay = qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr &&
                           QGuiApplication::platformName() != QLatin1String("offscreen") &&
                           QGuiApplication::platformName() != QLatin1String("minimal");
  if (!haveDisplay) {
    reportError(QStringLiteral("Alert: %1 %2").arg(message, informative));
    return 0;
  }
  QMessageBox box(sheetParent);
  box.setText(message);
  box.setInformativeText(informative);
  QList<QAbstractButton*> added;
  for (const QString& b : buttons) added.append(box.addButton(b, QMessageBox::AcceptRole));
  if (sheetParent) box.setWindowModality(Qt::WindowModal);
  box.exec();
  const int index = int(added.indexOf(box.clickedButton()));
  return index < 0 ? 0 : index;
}

}  // namespace

int showAlert(const QString& message, const QString& informative, const QStringList& buttons,
              QWidget* sheetParent) {
  const QString logFile = testhooks::alertLogFile();
  if (!logFile.isEmpty()) {
    if (!appendToAlertLog(logFile, message, informative, buttons))
      reportError(QStringLiteral("Could not record alert in %1").arg(logFile));
    if (const auto delay = testhooks::alertDelay()) waitAsAPersonWould(*delay);
    return 0;
  }
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread())
    return runOnMainThread(message, informative, buttons, sheetParent);
  int result = 0;
  QPointer<QWidget> parent(sheetParent);
  QMetaObject::invokeMethod(
      app, [&] { result = runOnMainThread(message, informative, buttons, parent.data()); },
      Qt::BlockingQueuedConnection);
  return result;
}

void showAlertLater(const QString& message, const QString& informative, const QStringList& buttons) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) {
    showAlert(message, informative, buttons);
    return;
  }
  QMetaObject::invokeMethod(
      app, [message, informative, buttons] { showAlert(message, informative, buttons); }, Qt::QueuedConnection);
}

}  // namespace zuvo

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
#include <QEventLoop>
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

bool haveDisplay() {
  return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr &&
         QGuiApplication::platformName() != QLatin1String("offscreen") &&
         QGuiApplication::platformName() != QLatin1String("minimal");
}

// Logged for the tests; false when the alert log is not in use.
bool logged(const QString& message, const QString& informative, const QStringList& buttons) {
  const QString logFile = testhooks::alertLogFile();
  if (logFile.isEmpty()) return false;
  if (!appendToAlertLog(logFile, message, informative, buttons))
    reportError(QStringLiteral("Could not record alert in %1").arg(logFile));
  return true;
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
  if (!haveDisplay()) {
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
  if (logged(message, informative, buttons)) {
    if (testhooks::holdAlerts()) {
      // Never answered: whoever called waits here, as behind an alert left on screen.
      QEventLoop open;
      open.exec();
    }
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
  auto show = [message, informative, buttons] {
    if (logged(message, informative, buttons)) {
      // The main thread is taken as long as a person would take; callers are not.
      if (const auto delay = testhooks::alertDelay()) waitAsAPersonWould(*delay);
      return;
    }
    if (!haveDisplay()) {
      reportError(QStringLiteral("Alert: %1 %2").arg(message, informative));
      return;
    }
    auto* box = new QMessageBox();
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setText(message);
    box->setInformativeText(informative);
    for (const QString& b : buttons) box->addButton(b, QMessageBox::AcceptRole);
    box->setModal(false);
    box->show();
    box->raise();
  };
  if (!app) {
    show();
    return;
  }
  QMetaObject::invokeMethod(app, show, Qt::QueuedConnection);
}

}  // namespace zuvo

#include "platform/Alert.h"

#include "platform/ErrorReport.h"
#include "platform/TestHooks.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPointer>
#include <QThread>

#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace zuvo {
namespace {

bool appendToAlertLog(const QString& file, const QString& message, const QString& informative,
                      const QStringList& buttons, AlertStyle style) {
  QJsonObject o{{"message", message},
                {"informative", informative},
                {"buttons", QJsonArray::fromStringList(buttons)}};
  if (style == AlertStyle::Warning) o.insert("style", "warning");
  const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
  // One write on an O_APPEND descriptor keeps lines of several processes whole.
  const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = ::write(fd, line.constData(), size_t(line.size())) == line.size();
  ::close(fd);
  return ok;
}

// What the alert returns when no button was chosen.
int unanswered(bool styled) { return styled ? -1 : 0; }

int runOnMainThread(const QString& message, const QString& informative, const QStringList& buttons,
                    QWidget* sheetParent, AlertStyle style, bool styled) {
  const bool haveDisplay = qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr &&
                           QGuiApplication::platformName() != QLatin1String("offscreen") &&
                           QGuiApplication::platformName() != QLatin1String("minimal");
  if (!haveDisplay) {
    reportError(QStringLiteral("Alert: %1 %2").arg(message, informative));
    return unanswered(styled);
  }
  QMessageBox box(sheetParent);
  box.setText(message);
  box.setInformativeText(informative);
  if (style == AlertStyle::Warning) box.setIcon(QMessageBox::Warning);
  QList<QAbstractButton*> added;
  for (const QString& b : buttons) {
    const bool cancel = styled && b == QLatin1String("Cancel");
    added.append(box.addButton(b, cancel ? QMessageBox::RejectRole : QMessageBox::AcceptRole));
    if (cancel) box.setEscapeButton(added.last());
  }
  if (sheetParent) box.setWindowModality(Qt::WindowModal);
  box.exec();
  const int index = int(added.indexOf(box.clickedButton()));
  return index < 0 ? unanswered(styled) : index;
}

int show(const QString& message, const QString& informative, const QStringList& buttons, QWidget* sheetParent,
         AlertStyle style, bool styled) {
  const QString logFile = testhooks::alertLogFile();
  if (!logFile.isEmpty()) {
    if (!appendToAlertLog(logFile, message, informative, buttons, style))
      reportError(QStringLiteral("Could not record alert in %1").arg(logFile));
    const QString wanted = testhooks::alertAnswer();
    const qsizetype answer = wanted.isEmpty() ? -1 : buttons.indexOf(wanted);
    return answer < 0 ? 0 : int(answer);
  }
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread())
    return runOnMainThread(message, informative, buttons, sheetParent, style, styled);
  int result = 0;
  QPointer<QWidget> parent(sheetParent);
  QMetaObject::invokeMethod(
      app, [&] { result = runOnMainThread(message, informative, buttons, parent.data(), style, styled); },
      Qt::BlockingQueuedConnection);
  return result;
}

}  // namespace

int showAlert(const QString& message, const QString& informative, const QStringList& buttons,
              QWidget* sheetParent) {
  return show(message, informative, buttons, sheetParent, AlertStyle::Informational, false);
}

int showAlert(const QString& message, const QString& informative, const QStringList& buttons,
              QWidget* sheetParent, AlertStyle style) {
  return show(message, informative, buttons, sheetParent, style, true);
}

}  // namespace zuvo

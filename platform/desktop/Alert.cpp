#include "platform/desktop/Alert.h"

#include "platform/core/ErrorReport.h"
#include "platform/core/TestHooks.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

namespace zuvo {
namespace {

bool haveDisplay() {
  return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr &&
         QGuiApplication::platformName() != QLatin1String("offscreen") &&
         QGuiApplication::platformName() != QLatin1String("minimal");
}

// What the alert returns when no button was chosen.
int unanswered(bool styled) { return styled ? -1 : 0; }

#ifdef ZUVO_TEST_HOOKS
// The alert log of the test seams (platform/core/TestHooks.h); a deployment build has none.

bool appendToAlertLog(const QString& file, const QJsonObject& o) {
  const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
  // One write on an O_APPEND descriptor keeps lines of several processes whole.
  const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = ::write(fd, line.constData(), size_t(line.size())) == line.size();
  ::close(fd);
  return ok;
}

// Logged for the tests; false when the alert log is not in use. extra goes into the line too.
bool logged(const QString& message, const QString& informative, const QStringList& buttons, AlertStyle style,
            const QJsonObject& extra = {}) {
  const QString logFile = testhooks::alertLogFile();
  if (logFile.isEmpty()) return false;
  QJsonObject o{{"message", message},
                {"informative", informative},
                {"buttons", QJsonArray::fromStringList(buttons)}};
  if (style == AlertStyle::Warning) o.insert("style", "warning");
  for (auto i = extra.begin(); i != extra.end(); ++i) o.insert(i.key(), i.value());
  if (!appendToAlertLog(logFile, o))
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

// The answer the alert log gives: the button the answer hook names, else the first one. A
// warning is a question before a step that cannot be undone: a test that names none of its
// buttons gets its "Cancel" (or no button), never the step; the line says so ("answer").
std::optional<int> answerFromAlertLog(const QString& message, const QString& informative, const QStringList& buttons,
                                      AlertStyle style, bool styled) {
  const QString wanted = testhooks::alertAnswer();
  const qsizetype named = wanted.isEmpty() ? -1 : buttons.indexOf(wanted);
  const bool hold = testhooks::holdAlerts();
  int answer = named < 0 ? 0 : int(named);
  QJsonObject extra;
  if (named < 0 && style == AlertStyle::Warning && !hold) {
    const qsizetype cancel = buttons.indexOf(QStringLiteral("Cancel"));
    answer = cancel < 0 ? unanswered(styled) : int(cancel);
    extra.insert("answer", cancel < 0 ? QJsonValue() : QJsonValue(buttons[cancel]));
  }
  if (!logged(message, informative, buttons, style, extra)) return std::nullopt;
  if (!extra.isEmpty())
    reportError(QStringLiteral("Alert log: no answer named for the warning \"%1\" (ZUVO_ALERT_ANSWER); answered %2")
                    .arg(message, answer < 0 ? QStringLiteral("with no button") : buttons[answer]));
  if (hold) {
    // Never answered: whoever called waits here, as behind an alert left on screen.
    QEventLoop open;
    open.exec();
  }
  if (const auto delay = testhooks::alertDelay()) waitAsAPersonWould(*delay);
  return answer;
}
#endif

int runOnMainThread(const QString& message, const QString& informative, const QStringList& buttons,
                    QWidget* sheetParent, AlertStyle style, bool styled) {
  if (!haveDisplay()) {
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
#ifdef ZUVO_TEST_HOOKS
  if (const auto answer = answerFromAlertLog(message, informative, buttons, style, styled)) return *answer;
#endif
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

void showAlertLater(const QString& message, const QString& informative, const QStringList& buttons) {
  QCoreApplication* app = QCoreApplication::instance();
  auto show = [message, informative, buttons] {
#ifdef ZUVO_TEST_HOOKS
    if (logged(message, informative, buttons, AlertStyle::Informational)) {
      // The main thread is taken as long as a person would take; callers are not.
      if (const auto delay = testhooks::alertDelay()) waitAsAPersonWould(*delay);
      return;
    }
#endif
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

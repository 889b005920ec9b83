#include "support/GuiSession.h"

#include "support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>

namespace zuvo::test {
namespace {

void stopProcess(QProcess& p) {
  if (p.state() == QProcess::NotRunning) return;
  p.terminate();
  if (!p.waitForFinished(5000)) {
    p.kill();
    p.waitForFinished();
  }
}

}  // namespace

GuiSession::GuiSession() = default;

GuiSession::~GuiSession() {
  QDBusConnection::disconnectFromBus(QStringLiteral("zuvo-test-a11y"));
  stopProcess(atspi_);
  stopProcess(xvfb_);
}

bool GuiSession::start(std::chrono::milliseconds timeout) {
  // Xvfb picks a free display itself and writes its number to descriptor 3 once it accepts
  // connections; the shell hands that descriptor to a file and then becomes Xvfb. Without
  // -noreset it starts over whenever its last client leaves (the accessibility launcher does,
  // early), and a program connecting just then finds no display.
  const QString displayFile = makeTempDir(QStringLiteral("xvfb")) + QStringLiteral("/display");
  xvfb_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  xvfb_.start(QStringLiteral("/bin/sh"),
              {QStringLiteral("-c"),
               QStringLiteral("exec Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 3>\"$0\""), displayFile});
  if (!xvfb_.waitForStarted()) {
    error_ = QStringLiteral("Xvfb cannot be started (package xvfb)");
    return false;
  }
  if (!waitUntil([&] { return readFile(displayFile).endsWith('\n') || xvfb_.state() != QProcess::Running; },
                 timeout) ||
      xvfb_.state() != QProcess::Running) {
    error_ = QStringLiteral("Xvfb did not start a display");
    return false;
  }
  display_ = QStringLiteral(":") + QString::fromLatin1(readFile(displayFile).trimmed());

  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("DISPLAY"), display_);
  atspi_.setProcessEnvironment(env);
  atspi_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  atspi_.setStandardOutputFile(QProcess::nullDevice());
  atspi_.start(QStringLiteral("/usr/libexec/at-spi-bus-launcher"), {QStringLiteral("--launch-immediately")});
  if (!atspi_.waitForStarted()) {
    error_ = QStringLiteral("at-spi-bus-launcher cannot be started (package at-spi2-core)");
    return false;
  }
  QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
  if (!bus || !waitUntil([&] { return bus->isServiceRegistered(QStringLiteral("org.a11y.Bus")).value(); }, timeout)) {
    error_ = QStringLiteral("The accessibility bus did not appear on the session bus");
    return false;
  }
  // The registry starts on demand; a program that starts first while the machine is loaded
  // can miss it and is then never listed. Start it here and wait until it owns its name.
  const QDBusMessage address = QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
      QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"), QStringLiteral("org.a11y.Bus"),
      QStringLiteral("GetAddress")));
  if (address.type() != QDBusMessage::ReplyMessage || address.arguments().isEmpty()) {
    error_ = QStringLiteral("The accessibility bus gave no address");
    return false;
  }
  QDBusConnection a11y = QDBusConnection::connectToBus(address.arguments().first().toString(),
                                                       QStringLiteral("zuvo-test-a11y"));
  QDBusConnectionInterface* a11yBus = a11y.isConnected() ? a11y.interface() : nullptr;
  const QString registry = QStringLiteral("org.a11y.atspi.Registry");
  if (!a11yBus || !a11yBus->startService(registry).isValid() ||
      !waitUntil([&] { return a11yBus->isServiceRegistered(registry).value(); }, timeout)) {
    error_ = QStringLiteral("The accessibility registry did not start");
    return false;
  }
  return true;
}

QProcessEnvironment GuiSession::programEnvironment() const {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("DISPLAY"), display_);
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  env.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
  env.remove(QStringLiteral("WAYLAND_DISPLAY"));
  env.remove(QStringLiteral("XAUTHORITY"));
  return env;
}

int GuiSession::drive(const QStringList& arguments, QString* out, std::chrono::milliseconds timeout) {
  QProcess driver;
  driver.setProcessEnvironment(programEnvironment());
  driver.start(QStringLiteral("/usr/bin/python3"),
               QStringList{sourcePath(QStringLiteral("tests/fixtures/atspi_driver.py"))} + arguments);
  if (!driver.waitForStarted()) {
    error_ = QStringLiteral("/usr/bin/python3 cannot be started");
    return -1;
  }
  // The event loop keeps running meanwhile, so that an in-process window stays responsive.
  if (!waitUntil([&] { return driver.state() == QProcess::NotRunning; }, timeout)) {
    driver.kill();
    driver.waitForFinished();
    error_ = QStringLiteral("atspi_driver %1: no answer in time").arg(arguments.join(QLatin1Char(' ')));
    return -1;
  }
  if (out) *out = QString::fromUtf8(driver.readAllStandardOutput()).trimmed();
  error_ = QString::fromUtf8(driver.readAllStandardError()).trimmed();
  return driver.exitStatus() == QProcess::NormalExit ? driver.exitCode() : -1;
}

}  // namespace zuvo::test

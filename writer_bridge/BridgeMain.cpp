#include "writer_bridge/BridgeMain.h"

#include "platform/process/TerminationSignals.h"
#include "platform/core/TestHooks.h"
#include "platform/desktop/WordProcessor.h"
#include "writer_bridge/Bridge.h"
#include "writer_bridge/OfficePipe.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>

namespace zuvo::writer {
namespace {

void report(const QString& text) { std::fprintf(stderr, "ZuvoWriterBridge: %s\n", qPrintable(text)); }

int usage() {
  std::fprintf(stderr, "usage: ZuvoWriterBridge [FILE...]\n       ZuvoWriterBridge --print FILE...\n");
  return 2;
}

// The user's default destination as CUPS names it (lpoptions, LPDEST and PRINTER count).
QString defaultPrinter() {
  QProcess lpstat;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
  lpstat.setProcessEnvironment(env);
  lpstat.start(QStringLiteral("lpstat"), {QStringLiteral("-d")});
  if (!lpstat.waitForFinished(5'000)) {
    lpstat.kill();
    lpstat.waitForFinished(1'000);
    return {};
  }
  const QString out = QString::fromLocal8Bit(lpstat.readAllStandardOutput()).trimmed();
  const QString prefix = QStringLiteral("system default destination: ");
  return out.startsWith(prefix) ? out.mid(prefix.size()).trimmed() : QString();
}

int printFiles(const QStringList& paths) {
  const QString printer = defaultPrinter();
  // A LibreOffice started only to print shows no window and is ended afterwards.
  Office office(OfficeOptions{officeProgram(), pipeName(), true, startTimeout(), {}});
  Worker worker;
  // Each step bounded; a LibreOffice that hangs ends this program, not the caller's wait.
  auto bounded = [&](std::function<void()> step) -> std::optional<QString> {
    auto result = std::make_shared<std::promise<std::optional<QString>>>();
    std::future<std::optional<QString>> future = result->get_future();
    worker.post([result, step = std::move(step)] {
      try {
        step();
        result->set_value(std::nullopt);
      } catch (const std::exception& e) {
        result->set_value(QString::fromStdString(e.what()));
      }
    });
    if (future.wait_for(requestTimeout()) != std::future_status::ready) {
      report(QStringLiteral("LibreOffice did not answer in time"));
      std::fflush(stderr);
      std::_Exit(1);
    }
    return future.get();
  };
  if (const auto error = bounded([&] { office.connect(); })) {
    report(*error);
    return 1;
  }
  int rc = 0;
  for (const QString& path : paths) {
    if (const auto error = bounded([&] { office.print(path, printer); })) {
      report(QStringLiteral("%1 was not printed: %2").arg(path, *error));
      rc = 1;
    }
  }
  if (office.startedByUs()) bounded([&] { office.terminateIfIdle(); });
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(rc);
}

// Another instance serves the name: it opens the files.
enum class HandOverResult { Done, Failed, NoOwner };
HandOverResult handOver(QDBusConnection& bus, const QStringList& paths) {
  if (paths.isEmpty()) return HandOverResult::Done;
  QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(wordprocessor::kScriptService),
                                                     QString::fromLatin1(kHandOverPath),
                                                     QString::fromLatin1(kHandOverInterface), QStringLiteral("Open"));
  call << paths;
  const QDBusMessage reply = bus.call(call, QDBus::Block, int(requestTimeout().count()) + 5'000);
  if (reply.type() == QDBusMessage::ReplyMessage) return HandOverResult::Done;
  if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
      reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
    return HandOverResult::NoOwner;
  report(QStringLiteral("the running bridge could not open the files: %1").arg(reply.errorMessage()));
  return HandOverResult::Failed;
}

int serve(QCoreApplication& app, const QStringList& paths) {
  quitOnTerminationSignals();
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    report(QStringLiteral("no session bus"));
    return 1;
  }
  Bridge bridge(bus, OfficeOptions{officeProgram(), pipeName(), testhooks::officeHeadless(), startTimeout(), {}});
  ScriptTarget target(&bridge);
  HandOver handOverTarget(&bridge);
  // The objects are there before the name: whoever sees the name can call them.
  if (!bus.registerObject(QString::fromLatin1(wordprocessor::kScriptPath), &target, QDBusConnection::ExportAllSlots) ||
      !bus.registerObject(QString::fromLatin1(kHandOverPath), &handOverTarget, QDBusConnection::ExportAllSlots)) {
    report(QStringLiteral("could not offer the bridge's objects on the bus"));
    return 1;
  }
  bool owner = false;
  for (int attempt = 0; attempt < 5 && !owner; ++attempt) {
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> r = bus.interface()->registerService(
        QString::fromLatin1(wordprocessor::kScriptService), QDBusConnectionInterface::DontQueueService,
        QDBusConnectionInterface::DontAllowReplacement);
    if (r.isValid() && r.value() == QDBusConnectionInterface::ServiceRegistered) {
      owner = true;
      break;
    }
    switch (handOver(bus, paths)) {
      case HandOverResult::Done: return 0;
      case HandOverResult::Failed: return 1;
      case HandOverResult::NoOwner: break;  // it ended meanwhile: take the name
    }
  }
  if (!owner) {
    report(QStringLiteral("could not take the name %1").arg(QString::fromLatin1(wordprocessor::kScriptService)));
    return 1;
  }
  QObject::connect(&bridge, &Bridge::finished, &app, [&app](int code) { app.exit(code); });
  // The session ends: nobody can call any more.
  QTimer busWatch;
  QObject::connect(&busWatch, &QTimer::timeout, &app, [&app, &bus] {
    if (!bus.isConnected()) app.exit(0);
  });
  busWatch.start(1'000);
  if (paths.isEmpty()) {
    bridge.post([](Office& office) { office.connect(); });
  } else {
    for (const QString& p : paths) bridge.post([p](Office& office) { office.open(p); });
  }
  const int rc = app.exec();
  bus.unregisterService(QString::fromLatin1(wordprocessor::kScriptService));
  // A call into a LibreOffice that never answered may still hold a thread: end without
  // waiting for it (nothing here needs tearing down).
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(rc);
}

}  // namespace

int bridgeMain(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("ZuvoWriterBridge"));
  QStringList args = QCoreApplication::arguments().mid(1);
  bool print = false;
  if (!args.isEmpty() && args.first() == QLatin1String("--print")) {
    print = true;
    args.removeFirst();
  }
  QStringList paths;
  for (const QString& a : args) {
    if (a.startsWith(QLatin1Char('-'))) return usage();
    paths << QDir::cleanPath(QFileInfo(a).absoluteFilePath());
  }
  if (print) return paths.isEmpty() ? usage() : printFiles(paths);
  return serve(app, paths);
}

}  // namespace zuvo::writer

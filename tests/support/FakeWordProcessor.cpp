#include "support/FakeWordProcessor.h"

#include "support/JsonLines.h"
#include "support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

namespace zuvo::test {
namespace {

const QString kService = QStringLiteral("com.microsoft.Word");
const QString kPath = QStringLiteral("/com/microsoft/Word");
const QString kControl = QStringLiteral("com.roza.FakeWord");

}  // namespace

QString FakeWordProcessor::scriptPath() { return sourcePath(QStringLiteral("tests/fixtures/fake_word_processor.py")); }

FakeWordProcessor::FakeWordProcessor(Options options) : options_(std::move(options)) {
  journalPath_ = makeTempDir(QStringLiteral("fakeword")) + QStringLiteral("/journal.jsonl");
  QStringList args{scriptPath(), QStringLiteral("install"), QStringLiteral("--journal"), journalPath_,
                   QStringLiteral("--lock"), options_.lock};
  if (options_.notifications) args << QStringLiteral("--notifications");
  QByteArray out;
  if (runProgram(QStringLiteral("/usr/bin/python3"), args, &out) == 0) entryPath_ = QString::fromUtf8(out.trimmed());
}

FakeWordProcessor::~FakeWordProcessor() {
  if (isRunning()) quit();
  if (process_) {
    if (!process_->waitForFinished(5'000)) {
      process_->kill();
      process_->waitForFinished(2'000);
    }
  } else {
    QDeadlineTimer deadline(5'000);
    while (isRunning() && !deadline.hasExpired()) QThread::msleep(20);
  }
}

bool FakeWordProcessor::start() {
  process_ = std::make_unique<QProcess>();
  QStringList args{scriptPath(), QStringLiteral("open"), QStringLiteral("--journal"), journalPath_,
                   QStringLiteral("--lock"), options_.lock};
  if (options_.notifications) args << QStringLiteral("--notifications");
  process_->setProcessChannelMode(QProcess::ForwardedChannels);
  process_->start(QStringLiteral("/usr/bin/python3"), args);
  return process_->waitForStarted() && waitRunning();
}

bool FakeWordProcessor::isRunning() const {
  QDBusMessage m = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                  QStringLiteral("/org/freedesktop/DBus"),
                                                  QStringLiteral("org.freedesktop.DBus"),
                                                  QStringLiteral("NameHasOwner"));
  m << kService;
  const QDBusMessage r = QDBusConnection::sessionBus().call(m, QDBus::Block, 5'000);
  return r.type() == QDBusMessage::ReplyMessage && !r.arguments().isEmpty() && r.arguments().first().toBool();
}

bool FakeWordProcessor::waitRunning(int ms) const {
  QDeadlineTimer deadline(ms);
  while (!isRunning()) {
    if (deadline.hasExpired()) return false;
    QThread::msleep(20);
  }
  return true;
}

QVariant FakeWordProcessor::call(const QString& method, const QVariantList& args) {
  QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kControl, method);
  m.setArguments(args);
  const QDBusMessage r = QDBusConnection::sessionBus().call(m, QDBus::Block, 30'000);
  if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty()) return {};
  return r.arguments().first();
}

bool FakeWordProcessor::save(const QString& path, const QString& mode) { return call("Save", {path, mode}).toBool(); }
bool FakeWordProcessor::close(const QString& path) { return call("Close", {path}).toBool(); }
bool FakeWordProcessor::saveAndClose(const QString& path, const QString& mode) {
  return call("SaveAndClose", {path, mode}).toBool();
}
void FakeWordProcessor::setFailScripts(bool fail) { call("SetFailScripts", {fail}); }
bool FakeWordProcessor::setSelection(const QString& path, int start, int end) {
  return call("SetSelection", {path, start, end}).toBool();
}
QString FakeWordProcessor::text(const QString& path) { return call("Text", {path}).toString(); }
QStringList FakeWordProcessor::documents() { return call("Documents", {}).toStringList(); }
void FakeWordProcessor::quit() { call("Quit", {}); }

QList<QJsonObject> FakeWordProcessor::journal(const QString& op) const {
  QList<QJsonObject> out;
  for (const QJsonObject& o : readJsonLines(journalPath_))
    if (op.isEmpty() || o.value("op").toString() == op) out << o;
  return out;
}

QList<QStringList> FakeWordProcessor::printRequests() const {
  QList<QStringList> out;
  for (const QJsonObject& o : journal(QStringLiteral("print"))) {
    QStringList paths;
    for (const QJsonValue& v : o.value("paths").toArray()) paths << v.toString();
    out << paths;
  }
  return out;
}

QStringList FakeWordProcessor::scripts() const {
  QStringList out;
  for (const QJsonObject& o : journal(QStringLiteral("script"))) out << o.value("source").toString();
  return out;
}

}  // namespace zuvo::test

#include "writer_bridge/Bridge.h"

#include "platform/core/TestHooks.h"
#include "writer_bridge/Scripts.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <cstdio>

namespace zuvo::writer {
namespace {

const QString kErrorPrefix = QStringLiteral("com.roza.ScriptTarget.Error.");

void logLine(const QString& text) { std::fprintf(stderr, "ZuvoWriterBridge: %s\n", qPrintable(text)); }

}  // namespace

std::chrono::milliseconds requestTimeout() {
  return testhooks::officeTimeout().value_or(std::chrono::milliseconds(100'000));
}

std::chrono::milliseconds startTimeout() {
  // Inside the request's own bound, so that a LibreOffice this bridge started and that never
  // answered is ended before the request gives up.
  const auto request = requestTimeout();
  return std::min(request - std::max(request / 5, std::chrono::milliseconds(500)), std::chrono::milliseconds(45'000));
}

Bridge::Bridge(QDBusConnection bus, OfficeOptions options) : bus_(std::move(bus)) {
  QPointer<Bridge> self(this);
  options.onTermination = [self] {
    // LibreOffice is ending: the bridge ends with it (the next script starts both again).
    QMetaObject::invokeMethod(qApp, [self] {
      if (self) emit self->finished(0);
    }, Qt::QueuedConnection);
  };
  office_ = std::make_unique<Office>(std::move(options));
}

Bridge::~Bridge() = default;

void Bridge::submit(const QDBusMessage& request, std::function<QString(Office&)> job) {
  struct Pending {
    QDBusMessage request;
    bool answered = false;
  };
  auto pending = std::make_shared<Pending>(Pending{request});
  ++unanswered_;
  QTimer::singleShot(requestTimeout(), this, [this, pending] {
    if (pending->answered) return;
    pending->answered = true;
    logLine(QStringLiteral("a request timed out"));
    bus_.send(pending->request.createErrorReply(kErrorPrefix + QStringLiteral("TimedOut"),
                                                QStringLiteral("LibreOffice did not answer in time")));
    settle(true, true);
  });
  ++pending_;
  QPointer<Bridge> self(this);
  Office* office = office_.get();
  worker_.post([self, office, pending, job = std::move(job)] {
    QString result, error;
    bool failed = false;
    try {
      result = job(*office);
    } catch (const OfficeError& e) {
      failed = true;
      error = QString::fromStdString(e.what());
    } catch (const std::exception& e) {
      failed = true;
      error = QString::fromStdString(e.what());
    }
    const bool connected = office->connected();
    QMetaObject::invokeMethod(qApp, [self, pending, result, error, failed, connected] {
      if (!self) return;
      if (!pending->answered) {
        pending->answered = true;
        if (failed) logLine(error);
        self->bus_.send(failed ? pending->request.createErrorReply(kErrorPrefix + QStringLiteral("Failed"), error)
                               : pending->request.createReply(result));
        self->settle(true, false);
      }
      self->jobEnded(connected);
    }, Qt::QueuedConnection);
  });
}

void Bridge::post(std::function<void(Office&)> job) {
  ++pending_;
  auto done = std::make_shared<bool>(false);
  QTimer::singleShot(requestTimeout(), this, [this, done] {
    if (*done) return;
    logLine(QStringLiteral("LibreOffice did not answer in time"));
    settle(false, true);
  });
  QPointer<Bridge> self(this);
  Office* office = office_.get();
  worker_.post([self, office, done, job = std::move(job)] {
    try {
      job(*office);
    } catch (const std::exception& e) {
      logLine(QString::fromStdString(e.what()));
    }
    const bool connected = office->connected();
    QMetaObject::invokeMethod(qApp, [self, done, connected] {
      *done = true;
      if (self) self->jobEnded(connected);
    }, Qt::QueuedConnection);
  });
}

void Bridge::settle(bool request, bool timedOut) {
  if (request) --unanswered_;
  if (timedOut) hung_ = true;
  // A LibreOffice that holds a call past its time does not come back: once every caller has
  // its answer the bridge ends (the next script starts it again).
  if (hung_ && unanswered_ == 0) emit finished(1);
}

void Bridge::jobEnded(bool connected) {
  --pending_;
  // Without a LibreOffice and with nobody waiting the bridge does not linger; a later script
  // starts it again.
  if (!connected && pending_ == 0) emit finished(1);
}

QString ScriptTarget::DoScript(const QString& source) {
  const Script script = parseScript(source);
  if (const auto* unknown = std::get_if<UnknownScript>(&script)) {
    sendErrorReply(kErrorPrefix + QStringLiteral("Unsupported"), unknown->reason);
    return {};
  }
  setDelayedReply(true);
  if (const auto* fill = std::get_if<FillPlaceholder>(&script)) {
    bridge_->submit(message(), [f = *fill](Office& office) {
      office.fill(f.path, f.tag, f.value);
      return QString();
    });
  } else if (const auto* insert = std::get_if<InsertAtSelection>(&script)) {
    bridge_->submit(message(), [text = insert->text](Office& office) {
      office.typeAtSelection(text);
      return QString();
    });
  }
  return {};
}

QString HandOver::Open(const QStringList& paths) {
  setDelayedReply(true);
  bridge_->submit(message(), [paths](Office& office) {
    QStringList failures;
    for (const QString& p : paths) {
      try {
        office.open(p);
      } catch (const OfficeError& e) {
        failures << QString::fromStdString(e.what());
      }
    }
    if (!failures.isEmpty()) throw OfficeError(failures.join(QStringLiteral("; ")).toStdString());
    return QString();
  });
  return {};
}

}  // namespace zuvo::writer

// The word processor on the session bus: com.microsoft.Word, whose DoScript runs the
// editor's two script shapes in LibreOffice, and the hand-over of files from a second start.
#pragma once

#include "writer_bridge/Office.h"
#include "writer_bridge/Worker.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>

namespace zuvo::writer {

inline constexpr const char* kHandOverPath = "/com/roza/WriterBridge";
inline constexpr const char* kHandOverInterface = "com.roza.WriterBridge";

// Bounds of the bridge's own waits: starting and reaching LibreOffice, and each request as
// a whole (under the editor's own 120 s for a script).
std::chrono::milliseconds requestTimeout();
std::chrono::milliseconds startTimeout();

class Bridge : public QObject {
  Q_OBJECT
 public:
  Bridge(QDBusConnection bus, OfficeOptions options);
  ~Bridge() override;

  // Runs on the worker; its text is the reply, an OfficeError becomes an error reply. The
  // reply goes out when the job ends or the request's time is up, whichever comes first.
  void submit(const QDBusMessage& request, std::function<QString(Office&)> job);
  // Work without a caller (the files of the command line, the first connection).
  void post(std::function<void(Office&)> job);

  // The worker is idle (the process may end normally).
  bool idle() { return worker_.busy() == false; }

 signals:
  // LibreOffice is gone and nothing waits for it: the bridge has nothing left to serve.
  void finished(int code);

 private:
  void jobEnded(bool connected);
  void settle(bool request, bool timedOut);

  QDBusConnection bus_;
  std::unique_ptr<Office> office_;
  int pending_ = 0;     // jobs not yet ended
  int unanswered_ = 0;  // callers still waiting
  bool hung_ = false;   // a job outlived its time
  Worker worker_;  // last: it goes first, before the office it uses
};

// com.roza.ScriptTarget at /com/microsoft/Word.
class ScriptTarget : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.roza.ScriptTarget")
 public:
  explicit ScriptTarget(Bridge* bridge) : bridge_(bridge) {}
 public slots:
  QString DoScript(const QString& source);

 private:
  Bridge* bridge_;
};

// com.roza.WriterBridge at /com/roza/WriterBridge: Open(as paths) -> s, from a second start.
class HandOver : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.roza.WriterBridge")
 public:
  explicit HandOver(Bridge* bridge) : bridge_(bridge) {}
 public slots:
  QString Open(const QStringList& paths);

 private:
  Bridge* bridge_;
};

}  // namespace zuvo::writer

// The EditorNotification's sender when the session bus goes away and comes back.
#include "common/EditorNotification.h"
#include "platform/core/ErrorReport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QProcess>

#include <mutex>

using namespace std::chrono_literals;

namespace {

class Receiver : public QObject {
  Q_OBJECT
 public:
  int received = 0;
 public slots:
  void onSignal(const QDBusMessage&) { ++received; }
};

std::mutex g_mutex;
QStringList g_reports;
void collect(const QString& message) {
  std::lock_guard lock(g_mutex);
  g_reports << message;
}

// A bus daemon of the test's own at a fixed socket, so that it can be stopped and started
// again at the same address.
class Bus {
 public:
  explicit Bus(const QString& socket) : socket_(socket) {}
  ~Bus() { stop(); }
  QString address() const { return "unix:path=" + socket_; }
  bool start() {
    QFile::remove(socket_);
    daemon_.start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--address=" + address()});
    return zuvo::test::waitUntil([&] { return QFile::exists(socket_); });
  }
  void stop() {
    daemon_.kill();
    daemon_.waitForFinished();
  }

 private:
  QString socket_;
  QProcess daemon_;
};

// Posts until the receiver has one more notification (the sender may notice a dead
// connection only when it uses it).
bool postUntilReceived(Receiver& receiver) {
  const int before = receiver.received;
  return zuvo::test::waitUntil([&] {
    zuvo::postEditorNotification({{"action", QJsonValue("PrintDoc")}});
    zuvo::test::spin(50ms);
    return receiver.received > before;
  });
}

bool listen(const QString& address, const QString& name, Receiver& receiver) {
  QDBusConnection c = QDBusConnection::connectToBus(address, name);
  return c.connect(QString(), zuvo::kEditorNotificationPath, zuvo::kEditorNotificationInterface,
                   zuvo::kEditorNotificationName, &receiver, SLOT(onSignal(QDBusMessage)));
}

}  // namespace

TEST(EditorNotification, ALostBusConnectionIsMadeAgainAndReported) {
  Bus bus(zuvo::test::testRoot() + "/bus");
  ASSERT_TRUE(bus.start());
  qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address().toUtf8());
  zuvo::setErrorReporter(collect);

  Receiver receiver;
  ASSERT_TRUE(listen(bus.address(), "first", receiver));
  ASSERT_TRUE(postUntilReceived(receiver));

  bus.stop();
  ASSERT_TRUE(bus.start());
  ASSERT_TRUE(listen(bus.address(), "second", receiver));
  EXPECT_TRUE(postUntilReceived(receiver));
  zuvo::setErrorReporter(nullptr);
  std::lock_guard lock(g_mutex);
  EXPECT_TRUE(g_reports.contains("The connection to the session bus was lost; connected again")) << g_reports.join('\n').toStdString();
}

#include "EditorNotificationTest.moc"

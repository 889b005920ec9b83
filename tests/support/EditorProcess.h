// Runs the real ZuvoEditor for a test, under the test's own home and session bus, and
// posts editor notifications to it the way the bridge does.
//
//   zuvo::test::EditorProcess editor;
//   ASSERT_TRUE(editor.start());              // returns once the editor receives notifications
//   editor.post({{"action", "DownloadDoc"}, {"download_url", url}});
//   EXPECT_TRUE(editor.waitForOutput("x.docx : Downloading document started"));
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QVariantMap>
#include <chrono>

namespace zuvo::test {

class EditorProcess {
 public:
  EditorProcess();
  ~EditorProcess();  // stops the editor

  // Extra environment for the editor (ZUVO_ALERT_LOG, PATH of fakes, ...); before start().
  QProcessEnvironment& environment() { return env_; }
  // The editor's alerts, one JSON line each (ZUVO_ALERT_LOG, set unless the test sets it).
  QString alertLogPath() const;
  // Starts the editor and waits until its notification registration is in effect.
  bool start(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void stop();
  bool isRunning() const;
  qint64 pid() const;

  // Posts the notification (signal /com/roza/zuvoeditor com.roza.zuvoeditor.zuvoeditor).
  static void post(const QVariantMap& userInfo,
                   const QString& object = QStringLiteral("com.roza.zuvoeditor"));

  // Everything the editor wrote to stderr (its console log) so far.
  QString output();
  bool waitForOutput(const QString& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Until the text stands in the output `times` times.
  bool waitForOutput(const QString& text, int times,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  QProcess process_;
  QProcessEnvironment env_;
  QByteArray stderr_;
};

// Whether the editor of this pid (started by the test or by a program it ran) has its
// notification registration in effect on the session bus.
bool receivesNotifications(qint64 pid);

// The editor's folders under the test's home.
QString editorDataFolder();  // <DataFolder>/Data

}  // namespace zuvo::test

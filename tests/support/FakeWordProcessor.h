// Drives tests/fixtures/fake_word_processor.py from a test: installs its desktop entry into
// this test's $XDG_DATA_HOME, starts it (or lets the program under test start it), talks to
// its control interface on the session bus and reads its journal.
#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

namespace zuvo::test {

class FakeWordProcessor {
 public:
  struct Options {
    QString lock = QStringLiteral("word");  // "word": "~$name", "office": ".~lock.name#"
    bool notifications = false;             // also serve org.freedesktop.Notifications
  };
  // Writes the desktop entry; nothing runs yet.
  explicit FakeWordProcessor(Options options);
  FakeWordProcessor() : FakeWordProcessor(Options{}) {}
  // Quits the instance (whoever started it).
  ~FakeWordProcessor();

  // Starts an instance and waits until it owns its bus name.
  bool start();
  bool isRunning() const;
  bool waitRunning(int ms = 20'000) const;

  // Control calls (com.roza.FakeWord); an empty path means the front document.
  bool save(const QString& path, const QString& mode = QStringLiteral("in-place"));
  bool close(const QString& path);
  bool saveAndClose(const QString& path, const QString& mode = QStringLiteral("in-place"));
  void setFailScripts(bool fail);
  bool setSelection(const QString& path, int start, int end);
  QString text(const QString& path);
  QStringList documents();
  void quit();

  // Journal lines, optionally only those with this "op".
  QList<QJsonObject> journal(const QString& op = QString()) const;
  QStringList scripts() const;  // the "source" of every script line, in order
  QList<QStringList> printRequests() const;  // the paths of every print line, in order

  QString journalPath() const { return journalPath_; }
  QString desktopEntryPath() const { return entryPath_; }
  static QString scriptPath();

 private:
  QVariant call(const QString& method, const QVariantList& args);

  QString journalPath_;
  QString entryPath_;
  Options options_;
  std::unique_ptr<QProcess> process_;
};

}  // namespace zuvo::test

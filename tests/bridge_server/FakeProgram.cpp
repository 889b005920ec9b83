// Stand-in for ZuvoScanner and ZuvoRecorder. Copied to <DataFolder>/<Name>.app/Contents/MacOS/<Name>.
// Appends its arguments as one JSON array line to $ZUVO_TEST_ROOT/<Name>.starts, owns
// com.roza.<name> on the session bus and records each Activate call as a line in
// $ZUVO_TEST_ROOT/<Name>.activations. It stays while $ZUVO_TEST_ROOT/<Name>.stay exists.
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QVariantMap>

namespace {
void appendLine(const QString& path, const QByteArray& line) {
  QFile f(path);
  if (f.open(QIODevice::Append)) f.write(line + '\n');
}
}  // namespace

class Application : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
 public:
  QString record;
 public slots:
  void Activate(const QVariantMap&) { appendLine(record, "activate"); }
};

int main(int argc, char** argv) {
  QStringList args;
  for (int i = 1; i < argc; ++i) args << QString::fromUtf8(argv[i]);
  int qargc = 1;
  QCoreApplication app(qargc, argv);
  const QString name = QFileInfo(QString::fromLocal8Bit(argv[0])).fileName();
  const QString root = qEnvironmentVariable("ZUVO_TEST_ROOT");
  appendLine(root + "/" + name + ".starts", QJsonDocument(QJsonArray::fromStringList(args)).toJson(QJsonDocument::Compact));

  Application object;
  object.record = root + "/" + name + ".activations";
  const QString lower = name.toLower();
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.registerObject("/com/roza/" + lower, &object, QDBusConnection::ExportAllSlots);
  bus.registerService("com.roza." + lower);

  const QString stay = root + "/" + name + ".stay";
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (!QFile::exists(stay)) app.quit();
  });
  timer.start(50);
  return app.exec();
}

#include "FakeProgram.moc"

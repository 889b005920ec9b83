// The sources of the programs that read test seams, compiled as a deployment build compiles
// them (see CMakeLists.txt): not one seam is left in them, and its variables change nothing.
#include "platform/desktop/Alert.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>

#ifdef ZUVO_TEST_HOOKS
#error "this test must be built without the test seams"
#endif

namespace {

const char* const kSeams[] = {
    "ZUVO_ALERT_LOG",        "ZUVO_ALERT_ANSWER",    "ZUVO_ALERT_HOLD",
    "ZUVO_ALERT_DELAY_MS",   "ZUVO_HTTP_TIMEOUT_MS", "ZUVO_HTTP_REQUEST_TIMEOUT_MS",
    "ZUVO_STARTUP_RETRY_MS", "ZUVO_WATCHER_BACKEND", "ZUVO_TEST_CA_FILE",
};

QByteArray readAll(const char* path) {
  QFile f(QString::fromUtf8(path));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// As `strings` would find it: in 8-bit or in UTF-16 text (QStringLiteral).
bool holds(const QByteArray& binary, const char* name) {
  const QString text = QString::fromLatin1(name);
  const QByteArray utf16(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
  return binary.contains(name) || binary.contains(utf16);
}

}  // namespace

TEST(DeploymentBuild, NoSeamNameIsLeftInTheSourcesThatReadThem) {
  const QByteArray on = readAll(SEAMS_ON_ARCHIVE);
  const QByteArray off = readAll(SEAMS_OFF_ARCHIVE);
  ASSERT_TRUE(off.contains("showAlert") && off.contains("AppDelegate")) << "not the programs' sources";
  for (const char* seam : kSeams) {
    SCOPED_TRACE(seam);
    EXPECT_TRUE(holds(on, seam)) << "the test build reads it";
    EXPECT_FALSE(holds(off, seam));
  }
}

// With the seams, these variables would log the alerts and answer the question "Delete".
TEST(DeploymentBuild, AlertLogVariablesChangeNothing) {
  const auto ask = [] {
    return QList<int>{zuvo::showAlert("Delete document?", "", {"Delete", "Cancel"}, nullptr, zuvo::AlertStyle::Warning),
                      zuvo::showAlert("Saved", "", {"Ok", "Close"})};
  };
  const QList<int> plain = ask();
  EXPECT_EQ(plain, (QList<int>{-1, 0})) << "no display: the question unanswered, the notice with its button";

  QTemporaryDir dir;
  const QString log = dir.filePath("alerts.jsonl");
  setenv("ZUVO_ALERT_LOG", QFile::encodeName(log).constData(), 1);
  setenv("ZUVO_ALERT_ANSWER", "Delete", 1);
  EXPECT_EQ(ask(), plain);
  zuvo::showAlertLater("Later");
  QCoreApplication::processEvents();
  unsetenv("ZUVO_ALERT_LOG");
  unsetenv("ZUVO_ALERT_ANSWER");
  EXPECT_FALSE(QFile::exists(log));
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int qargc = 1;
  QApplication app(qargc, argv);
  return RUN_ALL_TESTS();
}

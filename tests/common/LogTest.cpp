#include "common/Log.h"

#include "platform/fs/Paths.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace zuvo;

namespace {

QStringList logFiles(const QString& prefix = QString()) {
  QStringList names = QDir(paths::logsFolder()).entryList(QDir::Files, QDir::Name);
  if (!prefix.isEmpty()) names = names.filter(QRegularExpression("^" + QRegularExpression::escape(prefix) + " "));
  return names;
}

QByteArray onlyLogFile() {
  const QStringList names = logFiles();
  EXPECT_EQ(names.size(), 1) << names.join(", ").toStdString();
  return names.isEmpty() ? QByteArray() : test::readFile(paths::logsFolder() + "/" + names.front());
}

// The message texts of the file's lines, in order.
QStringList messages(const QByteArray& data) {
  QStringList out;
  for (const QByteArray& line : data.split('\n')) {
    if (line.isEmpty()) continue;
    const QList<QByteArray> parts = line.split('|');
    EXPECT_GE(parts.size(), 3) << line.toStdString();
    out << QString::fromUtf8(line.mid(line.indexOf(" | ", line.indexOf(" | ") + 3) + 3));
  }
  return out;
}

unsigned modeOf(const QString& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.toLocal8Bit().constData(), &st), 0) << path.toStdString();
  return st.st_mode & 0777;
}

// Sends fd 2 into a file for the scope.
struct StderrCapture {
  QString path = test::makeTempDir() + "/stderr";
  int saved = dup(2);
  StderrCapture() {
    const int fd = open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() { restore(); }
  void restore() {
    if (saved >= 0) dup2(saved, 2), close(saved), saved = -1;
  }
};

// For the tests that log thousands of lines: keep them out of the user's journal.
LogOptions withoutSystemLog() {
  LogOptions options;
  options.systemLog = false;
  return options;
}

}  // namespace

TEST(Log, FoldersAndFilesAreOwnerOnlyWhateverTheUmask) {
  umask(0);
  setupLog(paths::logsFolder(), "com.roza.zuvoeditor", "ZuvoEditor");
  logError("first");
  EXPECT_EQ(modeOf(paths::dataFolder()), 0700u);
  EXPECT_EQ(modeOf(paths::logsFolder()), 0700u);
  ASSERT_EQ(logFiles().size(), 1);
  EXPECT_EQ(modeOf(paths::logsFolder() + "/" + logFiles().front()), 0600u);
  EXPECT_TRUE(logFiles().front().startsWith("com.roza.zuvoeditor 20"));
}

TEST(Log, AnExistingWideLogsFolderIsTightened) {
  ASSERT_TRUE(QDir().mkpath(paths::logsFolder()));
  ASSERT_EQ(chmod(paths::logsFolder().toLocal8Bit().constData(), 0755), 0);
  setupLog(paths::logsFolder(), "com.roza.zuvoscanner", "ZuvoScanner");
  EXPECT_EQ(modeOf(paths::logsFolder()), 0700u);
}

TEST(Log, ErrorIsOnDiskWithEverythingBeforeItWhenTheCallReturns) {
  setupLog(paths::logsFolder(), "com.roza.zuvolocalserver", "ZuvoLocalServer", withoutSystemLog());
  QStringList expected;
  for (int i = 0; i < 2000; ++i) {
    expected << QStringLiteral("info %1").arg(i);
    logInfo(expected.back());
  }
  const QString error = QStringLiteral("Request received for {} %s %n {0} %@");
  expected << error;
  logError(error);
  // No flushLog: the error call itself must have written it.
  const QByteArray data = onlyLogFile();
  EXPECT_EQ(messages(data), expected);
  EXPECT_TRUE(data.endsWith(" | Error   | Request received for {} %s %n {0} %@\n"));
}

TEST(Log, MessagesAreDataNotFormats) {
  StderrCapture capture;
  setupLog(paths::logsFolder(), "com.roza.zuvoeditor", "ZuvoEditor");
  const QString texts[] = {"{}", "%s", "{", "}", "{:d} {0}", "%n%n%n", "%1 %2", "", "two\nlines"};
  QByteArray console, file;
  for (const QString& text : texts) {
    logInfo(text);
    logError(text);
    console += text.toUtf8() + "\n" + text.toUtf8() + "\n";
    file += " | Info    | " + text.toUtf8() + "\n";
    file += " | Error   | " + text.toUtf8() + "\n";
  }
  logInfo(std::string_view("bytes {} %s"));
  console += "bytes {} %s\n";
  flushLog();
  capture.restore();
  EXPECT_EQ(test::readFile(capture.path), console);  // the console has the bare messages
  QString stampless = QString::fromUtf8(onlyLogFile());
  stampless.replace(QRegularExpression("(^|\n)\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}"), "\\1");
  EXPECT_EQ(stampless, QString::fromUtf8(file + " | Info    | bytes {} %s\n"));
}

TEST(Log, SystemMessagesGoToTheConsoleButNotTheFile) {
  StderrCapture capture;
  setupLog(paths::logsFolder(), "com.roza.zuvoeditor", "ZuvoEditor");
  logInfo(QStringLiteral("to the file"));
  logSystem(QStringLiteral("Error while downloading document : x.docx"));
  flushLog();
  capture.restore();
  EXPECT_EQ(test::readFile(capture.path), "to the file\nError while downloading document : x.docx\n");
  EXPECT_EQ(messages(onlyLogFile()), QStringList({"to the file"}));
}

TEST(Log, LinesKeepTheirOrderWhateverTheirKind) {
  setupLog(paths::logsFolder(), "com.roza.zuvoeditor", "ZuvoEditor", withoutSystemLog());
  constexpr int kThreads = 4, kLines = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        const QString text = QStringLiteral("t%1 %2").arg(QString::number(t), QString::number(i));
        i % 3 == 0 ? logError(text) : logInfo(text);
      }
    });
  for (auto& thread : threads) thread.join();
  flushLog();
  std::map<QString, int> next;
  for (const QString& m : messages(onlyLogFile())) {
    const QStringList parts = m.split(' ');
    ASSERT_EQ(parts.size(), 2) << m.toStdString();
    EXPECT_EQ(parts[1].toInt(), next[parts[0]]++) << m.toStdString();
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[QStringLiteral("t%1").arg(t)], kLines);
}

TEST(Log, TwoProgramsAtOnceKeepTheirOwnFiles) {
  constexpr int kLines = 3000;
  const struct {
    QString bundle, program;
  } programs[] = {{"com.roza.zuvoeditor", "ZuvoEditor"}, {"com.roza.zuvolocalserver", "ZuvoLocalServer"}};
  std::vector<std::unique_ptr<QProcess>> running;
  for (const auto& p : programs) {
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedOutputChannel);
    process->setStandardErrorFile(QProcess::nullDevice());
    // Small files, so both roll and delete their old files while the other writes.
    process->start(test::binaryPath("tests/common/log_writer"),
                   {p.bundle, p.program, "4096", QString::number(kLines)});
    running.push_back(std::move(process));
  }
  for (auto& process : running) {
    ASSERT_TRUE(process->waitForFinished(120000));
    EXPECT_EQ(process->exitCode(), 0);
  }
  for (const auto& p : programs) {
    const QStringList names = logFiles(p.bundle);
    EXPECT_GT(names.size(), 1) << p.bundle.toStdString();
    EXPECT_LE(names.size(), 15) << p.bundle.toStdString();
    std::vector<int> numbers;
    for (const QString& name : names) {
      int previous = -1;
      for (const QString& m : messages(test::readFile(paths::logsFolder() + "/" + name))) {
        const QStringList parts = m.split(' ');
        ASSERT_EQ(parts.size(), 2);
        ASSERT_EQ(parts[0], p.program) << name.toStdString();
        const int n = parts[1].toInt();
        EXPECT_GT(n, previous);
        previous = n;
        numbers.push_back(n);
      }
    }
    // What is left is the newest lines, none missing.
    std::sort(numbers.begin(), numbers.end());
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.back(), kLines - 1);
    EXPECT_EQ(numbers.back() - numbers.front() + 1, static_cast<int>(numbers.size()));
    EXPECT_GT(numbers.front(), 0);  // old files were deleted on the way
  }
}

TEST(Log, OutsideValuesAreEscapedAndCut) {
  const QString e = QString::fromUtf8("é");  // two bytes in UTF-8
  const std::pair<QString, QString> cases[] = {
      {"plain text", "plain text"},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {QString("nul") + QChar(0) + "\x1b[31m" + QChar(0x7f) + QChar(0x85) + QChar(0x2028), "nul\\u0000\\u001b[31m\\u007f\\u0085\\u2028"},
      {"back\\slash", "back\\slash"},
      {QString(1024, 'x'), QString(1024, 'x')},
      {QString(1025, 'x'), QString(1024, 'x') + "... (1 more bytes)"},
      {QString(1000, 'x') + QString(30, '\n'), QString(1000, 'x') + QString("\\n").repeated(12) + "... (36 more bytes)"},
      // Never cut inside a character.
      {QString(1023, 'x') + e + e, QString(1023, 'x') + "... (4 more bytes)"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(zuvo::loggableValue(value), expected) << value.left(40).toStdString();
}

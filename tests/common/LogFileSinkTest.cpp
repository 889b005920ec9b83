#include "common/LogFileSink.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace zuvo;
using namespace std::chrono;

namespace {

const std::string kEditor = "com.roza.zuvoeditor";
const std::string kScanner = "com.roza.zuvoscanner";
// 2026-12-09 11:21:06.042 UTC
const system_clock::time_point kT0{milliseconds(1796815266042LL)};

struct FakeClock {
  std::shared_ptr<system_clock::time_point> now = std::make_shared<system_clock::time_point>(kT0);
  LogFileOptions options() const {
    LogFileOptions o;
    o.clock = [n = now] { return *n; };
    return o;
  }
};

void write(LogFileSink& sink, const std::string& text) {
  const spdlog::details::log_msg msg(kT0, {}, "test", spdlog::level::info, text);
  sink.log(msg);
  sink.flush();
}

QStringList files(const QString& dir) { return QDir(dir).entryList(QDir::Files, QDir::Name); }

QString name(const std::string& bundle, system_clock::time_point t, int attempt = 1) {
  return QString::fromStdString(LogFileSink::logFileName(bundle, t, attempt));
}

// A log file left by an earlier run: the given size and mode.
void makeOld(const QString& dir, const QString& fileName, off_t size = 10, mode_t mode = 0600) {
  const QByteArray path = (dir + "/" + fileName).toLocal8Bit();
  ASSERT_TRUE(test::writeFile(dir + "/" + fileName, QByteArray("old\n")));
  ASSERT_EQ(truncate(path.constData(), size), 0);
  ASSERT_EQ(chmod(path.constData(), mode), 0);
}

int countLines(const QByteArray& data) { return static_cast<int>(data.count('\n')); }

}  // namespace

TEST(LogFileSink, NamesInGmtWithAttemptWhenTaken) {
  setenv("TZ", "JST-9", 1);
  tzset();
  const QString dir = test::makeTempDir() + "/Logs";
  FakeClock clock;
  LogFileOptions options = clock.options();
  options.maximumFileSize = 1;  // every line rolls; the clock stands still
  {
    LogFileSink sink(dir.toStdString(), kEditor, options);
    for (const char* text : {"one", "two", "three"}) write(sink, text);
  }
  const QString base = "com.roza.zuvoeditor 2026-12-09--11-21-06-042";
  EXPECT_EQ(name(kEditor, kT0), base + ".log");
  EXPECT_EQ(files(dir), QStringList({base + " 2.log", base + " 3.log", base + " 4.log", base + ".log"}));
  EXPECT_TRUE(test::readFile(dir + "/" + base + ".log").endsWith(" | Info    | one\n"));
  EXPECT_TRUE(test::readFile(dir + "/" + base + " 2.log").endsWith(" | Info    | two\n"));
  EXPECT_TRUE(test::readFile(dir + "/" + base + " 3.log").endsWith(" | Info    | three\n"));
  EXPECT_EQ(test::readFile(dir + "/" + base + " 4.log"), QByteArray());
}

TEST(LogFileSink, RollsOnceAFileIsPastTheMaximumSize) {
  const QString dir = test::makeTempDir() + "/Logs";
  FakeClock clock;
  LogFileOptions options = clock.options();
  options.maximumFileSize = 1000;
  {
    LogFileSink sink(dir.toStdString(), kEditor, options);
    for (int i = 0; i < 12; ++i) write(sink, std::string(100, 'a' + i));
  }
  // Same clock, so the second file carries the attempt number.
  const QStringList names = files(dir);
  ASSERT_EQ(names, QStringList({name(kEditor, kT0, 2), name(kEditor, kT0)}));
  const QByteArray first = test::readFile(dir + "/" + names[1]);
  const QByteArray second = test::readFile(dir + "/" + names[0]);
  const qsizetype lastLine = first.lastIndexOf('\n', first.size() - 2) + 1;
  EXPECT_GE(first.size(), 1000);
  EXPECT_LT(lastLine, 1000);  // rolled right after the line that crossed the limit
  EXPECT_EQ(countLines(first) + countLines(second), 12);
  EXPECT_TRUE(second.endsWith(std::string(100, 'a' + 11).append("\n").c_str()));
}

TEST(LogFileSink, RollsAfterSevenDays) {
  const QString dir = test::makeTempDir() + "/Logs";
  FakeClock clock;
  LogFileSink sink(dir.toStdString(), kEditor, clock.options());
  write(sink, "a");
  *clock.now += seconds(604799);
  write(sink, "b");
  EXPECT_EQ(files(dir), QStringList({name(kEditor, kT0)}));
  *clock.now += seconds(1);
  write(sink, "c");
  EXPECT_EQ(files(dir), QStringList({name(kEditor, kT0), name(kEditor, kT0 + seconds(604800))}));
  EXPECT_EQ(countLines(test::readFile(dir + "/" + name(kEditor, kT0))), 2);
  EXPECT_TRUE(test::readFile(dir + "/" + name(kEditor, kT0 + seconds(604800))).endsWith(" | c\n"));
}

TEST(LogFileSink, ReusesTheNewestOwnFileWhileUnderBothLimits) {
  const struct {
    seconds age;
    off_t size;
    bool reused;
  } cases[] = {
      {hours(24), 10, true},
      {seconds(604799), 10, true},
      {seconds(604800), 10, false},
      {hours(1), 1024 * 1024 - 100, true},
      {hours(1), 1024 * 1024, false},
  };
  for (const auto& c : cases) {
    const QString dir = test::makeTempDir() + "/Logs";
    ASSERT_TRUE(QDir().mkpath(dir));
    const QString newest = name(kEditor, kT0 - c.age);
    makeOld(dir, name(kEditor, kT0 - c.age - hours(1)));
    makeOld(dir, newest, c.size, 0644);
    makeOld(dir, name(kScanner, kT0));  // another program's newer file is not ours to reuse
    FakeClock clock;
    {
      LogFileSink sink(dir.toStdString(), kEditor, clock.options());
      write(sink, "x");
    }
    const QByteArray data = test::readFile(dir + "/" + newest);
    EXPECT_EQ(data.endsWith(" | x\n"), c.reused) << c.age.count() << " " << c.size;
    EXPECT_EQ(files(dir).size(), c.reused ? 3 : 4) << c.age.count() << " " << c.size;
    if (c.reused) {
      struct stat st {};
      ASSERT_EQ(stat((dir + "/" + newest).toLocal8Bit().constData(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u);  // tightened when reused
    }
  }
}

TEST(LogFileSink, SixteenthFileRemovesOnlyTheProgramsOldest) {
  const QString dir = test::makeTempDir() + "/Logs";
  ASSERT_TRUE(QDir().mkpath(dir));
  QStringList own;
  for (int day = 14; day >= 1; --day) {  // oldest first; all too old to be reused
    own << name(kEditor, kT0 - days(7) - days(day));
    makeOld(dir, own.back());
  }
  const QStringList others = {
      name(kScanner, kT0 - days(400)), name("com.roza.zuvolocalserver", kT0 - days(300)),
      "com.roza.zuvoeditorbeta 2020-01-01--00-00-00-000.log",  // no blank after the id
      "com.roza.zuvoeditor.log",
  };
  for (const QString& other : others) makeOld(dir, other);

  FakeClock clock;
  LogFileOptions options = clock.options();
  options.maximumFileSize = 200;
  LogFileSink sink(dir.toStdString(), kEditor, options);
  // The fifteenth file: nothing is deleted yet.
  EXPECT_EQ(files(dir).size(), 15 + others.size());
  EXPECT_TRUE(QFile::exists(dir + "/" + own.front()));

  *clock.now += milliseconds(1);
  write(sink, std::string(300, 'x'));  // rolls: the sixteenth file
  QStringList expected = own.mid(1) + others;
  expected << name(kEditor, kT0) << name(kEditor, kT0 + milliseconds(1));
  expected.sort();
  EXPECT_EQ(files(dir), expected);
}

TEST(LogFileSink, KeepsTheProgramsFilesUnderTheDiskQuota) {
  const QString dir = test::makeTempDir() + "/Logs";
  ASSERT_TRUE(QDir().mkpath(dir));
  const off_t eightMiB = 8 * 1024 * 1024;
  for (int day = 3; day >= 1; --day) makeOld(dir, name(kEditor, kT0 - days(7) - days(day)), eightMiB);
  makeOld(dir, name(kScanner, kT0 - days(30)), eightMiB);
  FakeClock clock;
  LogFileSink sink(dir.toStdString(), kEditor, clock.options());
  // New file + 8 + 8 MiB fit into 20 MiB, the third 8 MiB file does not.
  QStringList expected = {name(kEditor, kT0 - days(9)), name(kEditor, kT0 - days(8)), name(kEditor, kT0),
                          name(kScanner, kT0 - days(30))};
  expected.sort();
  EXPECT_EQ(files(dir), expected);
}

TEST(LogFileSink, StartsANewFileWhenItsFileIsDeleted) {
  const QString root = test::makeTempDir();
  const QString dir = root + "/ZuvoDocV30/Logs";
  FakeClock clock;
  LogFileSink sink(dir.toStdString(), kEditor, clock.options());
  write(sink, "before");
  ASSERT_TRUE(QDir(root + "/ZuvoDocV30").removeRecursively());
  *clock.now += milliseconds(5);
  write(sink, "after");
  EXPECT_EQ(files(dir), QStringList({name(kEditor, kT0 + milliseconds(5))}));
  EXPECT_TRUE(test::readFile(dir + "/" + files(dir).value(0)).endsWith(" | after\n"));
}

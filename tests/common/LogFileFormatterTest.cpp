#include "common/LogFileFormatter.h"

#include <gtest/gtest.h>

#include <QLocale>
#include <cstdlib>
#include <ctime>

using namespace zuvo;
using namespace std::chrono;

namespace {

struct ZoneGuard {
  explicit ZoneGuard(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ZoneGuard() {
    unsetenv("TZ");
    tzset();
  }
};

system_clock::time_point atMs(long long ms) { return system_clock::time_point(milliseconds(ms)); }

// 2026-12-09 11:21:06.042 UTC
constexpr long long kDec9 = 1796815266042LL;

}  // namespace

TEST(LogFileFormatter, LevelWordByFlag) {
  ZoneGuard zone("UTC0");
  const struct {
    int flag;
    const char* word;
  } cases[] = {{1, "Error  "}, {2, "Warning"}, {4, "Info   "}, {8, "Debug  "},
               {16, "Verbose"}, {3, "Verbose"}, {0, "Verbose"}};
  for (const auto& c : cases) {
    EXPECT_EQ(LogFileFormatter::formatLogMessage(c.flag, atMs(kDec9), "text"),
              std::string("2026/12/09 11:21:06:042 | ") + c.word + " | text\n")
        << c.flag;
  }
}

TEST(LogFileFormatter, TimeStampInTheUsersZoneWhateverTheLocale) {
  // Locale-aware formatting would bring other digits, calendars or a 12-hour clock.
  QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
  std::setlocale(LC_ALL, "");
  const struct {
    const char* tz;
    long long ms;
    const char* stamp;
  } cases[] = {
      {"UTC0", kDec9, "2026/12/09 11:21:06:042"},
      {"JST-9", kDec9 - 9 * 3600000LL, "2026/12/09 11:21:06:042"},
      {"EST5EDT,M3.2.0,M11.1.0", kDec9 + 5 * 3600000LL, "2026/12/09 11:21:06:042"},
      {"IST-5:30", kDec9 - 5 * 3600000LL - 30 * 60000LL, "2026/12/09 11:21:06:042"},
      {"UTC0", kDec9 + 12 * 3600000LL - 6000, "2026/12/09 23:21:00:042"},
      {"UTC0", kDec9 - 11 * 3600000LL - 21 * 60000LL - 6042, "2026/12/09 00:00:00:000"},
      {"UTC0", -1, "1969/12/31 23:59:59:999"},
  };
  for (const auto& c : cases) {
    ZoneGuard zone(c.tz);
    EXPECT_EQ(LogFileFormatter::formatLogMessage(LogFlagError, atMs(c.ms), "text"),
              std::string(c.stamp) + " | Error   | text\n")
        << c.tz << " " << c.ms;
  }
  QLocale::setDefault(QLocale::c());
}

TEST(LogFileFormatter, TextIsKeptAsItIs) {
  ZoneGuard zone("UTC0");
  for (const char* text : {"{}", "%s %d %n %@", "{0} {:>10} {", "two\nlines\n", "", "Pr\xC3\xBC" "fung.docx : Upload started"}) {
    EXPECT_EQ(LogFileFormatter::formatLogMessage(LogFlagInfo, atMs(kDec9), text),
              std::string("2026/12/09 11:21:06:042 | Info    | ") + text + "\n")
        << text;
  }
}

#include "bridge_server/RefusalLog.h"

#include <gtest/gtest.h>

#include <QStringList>

using zuvo::bridge::RefusalLog;
using namespace std::chrono_literals;

// A burst is written whole, then lines are held back and counted; the count is written once a
// line may be written again, by the timer when no further refusal comes, or before the next
// line that is let through.
TEST(RefusalLog, BurstThenOneLinePerRefillAndTheCountOfTheRest) {
  QStringList written;
  RefusalLog::Clock::time_point now{};
  std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> timers;
  RefusalLog log({[&](const QString& line) { written << line; }, [&] { return now; },
                  [&](std::chrono::milliseconds delay, std::function<void()> fn) { timers.emplace_back(delay, fn); }});
  const auto refuse = [&](int n) {
    for (int i = 0; i < n; ++i) log.refused(QString("line %1").arg(i));
  };

  refuse(RefusalLog::kBurst + 30);
  ASSERT_EQ(written.size(), RefusalLog::kBurst);
  EXPECT_EQ(written.last(), QString("line %1").arg(RefusalLog::kBurst - 1));
  ASSERT_EQ(timers.size(), 1u) << "one timer for a whole flood";
  EXPECT_EQ(timers[0].first, RefusalLog::kRefill);

  // Too early (the timer fired before its time): nothing yet, and it is set again.
  now += 1s;
  timers[0].second();
  EXPECT_EQ(written.size(), RefusalLog::kBurst);
  ASSERT_EQ(timers.size(), 2u);
  EXPECT_EQ(timers[1].first, RefusalLog::kRefill - 1s);
  now += RefusalLog::kRefill;
  timers[1].second();
  EXPECT_EQ(written.mid(RefusalLog::kBurst), QStringList{RefusalLog::heldBackLine(30)});
  EXPECT_EQ(RefusalLog::heldBackLine(30),
            "Refused requests not logged since the last such line: 30 (at most 20 lines at once, then one every 5 s)");

  // Still in the flood: held back again, then the count goes out before the next line let through.
  refuse(5);
  EXPECT_EQ(written.size(), RefusalLog::kBurst + 1);
  now += RefusalLog::kRefill;
  log.refused("after the pause");
  EXPECT_EQ(written.mid(RefusalLog::kBurst + 1), (QStringList{RefusalLog::heldBackLine(5), "after the pause"}));
  for (std::size_t i = 2; i < timers.size(); ++i) timers[i].second();  // nothing left to say
  EXPECT_EQ(written.size(), RefusalLog::kBurst + 3);

  // A quiet spell fills the burst again, no further.
  now += RefusalLog::kRefill * 100;
  written.clear();
  refuse(RefusalLog::kBurst + 1);
  EXPECT_EQ(written.size(), RefusalLog::kBurst);
}

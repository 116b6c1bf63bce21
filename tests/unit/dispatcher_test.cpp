#include "spool/dispatcher.h"

#include <gtest/gtest.h>

#include <vector>

namespace druvo {
namespace {

// Runs the dispatcher against a fake clock: how many cycles in [from, to).
int CyclesBetween(CycleDispatcher& d, long long from, long long to, long long step = 10) {
  int cycles = 0;
  for (long long t = from; t < to; t += step) {
    if (d.Due(t)) ++cycles;
  }
  return cycles;
}

TEST(CycleDispatcher, RunsAtStartOnChangesAndOnTheTimerWhileItRuns) {
  CycleDispatcher d(200);
  d.NoWatch();
  EXPECT_TRUE(d.Due(0));  // at start, at once
  EXPECT_FALSE(d.Due(0));
  EXPECT_EQ(d.WaitMs(50), 150);
  EXPECT_EQ(CyclesBetween(d, 10, 1000), 4);  // 200, 400, 600, 800
  // A change is due at once; one seen during a cycle brings one more.
  d.Changed();
  EXPECT_EQ(d.WaitMs(1000), 0);
  ASSERT_TRUE(d.Due(1000));
  d.StopTimer();  // the cycle prints
  d.Changed();
  d.StartTimer(5000, 200);  // ...for four seconds
  EXPECT_TRUE(d.Due(5000));
  EXPECT_FALSE(d.Due(5000));
  // A stopped timer is never due, and the caller still wakes up now and then.
  d.StopTimer();
  EXPECT_EQ(CyclesBetween(d, 5000, 20000), 0);
  EXPECT_GT(d.WaitMs(20000), 0);
}

TEST(CycleDispatcher, RelaxesOnlyWhileWatchedAndQuietAndNeverBelowThePeriod) {
  CycleDispatcher d(200);
  d.ArmTried(0, true);
  ASSERT_TRUE(d.Due(0));
  d.Quiet(true);
  EXPECT_EQ(CyclesBetween(d, 10, 10000), 4);  // every 2 s
  d.Quiet(false);  // something waits: the period again
  EXPECT_EQ(CyclesBetween(d, 10000, 12000), 10);
  d.Watched(false);  // nobody listens: polling at the period, however quiet
  d.Quiet(true);
  EXPECT_EQ(CyclesBetween(d, 12000, 14000), 10);

  CycleDispatcher slow(5000);
  slow.ArmTried(0, true);
  slow.Due(0);
  slow.Quiet(true);
  EXPECT_EQ(CyclesBetween(slow, 10, 20000), 3);
}

TEST(CycleDispatcher, TriesTheWatchAgainBackingOffAndRescansWhenItIsBack) {
  CycleDispatcher d(200);
  ASSERT_TRUE(d.ArmDue(0));
  d.ArmTried(0, false);
  d.Due(0);
  long long t = 0;
  long long last = 0;
  std::vector<long long> gaps;
  while (t < 30000) {
    t += 10;
    if (!d.ArmDue(t)) continue;
    gaps.push_back(t - last);
    last = t;
    d.ArmTried(t, false);
  }
  ASSERT_GE(gaps.size(), 5u);
  EXPECT_EQ(gaps[0], 200);
  EXPECT_EQ(gaps[1], 400);
  EXPECT_EQ(gaps.back(), CycleDispatcher::kMaxArmBackOffMs);
  // Never waits past the next try.
  EXPECT_LE(d.WaitMs(t), CycleDispatcher::kMaxArmBackOffMs);
  d.Due(t);
  d.ArmTried(t, true);
  EXPECT_FALSE(d.ArmDue(t + 100000));
  EXPECT_TRUE(d.Due(t));  // what changed while nobody listened
  d.Watched(false);  // the folder went away
  d.ArmTried(t, false);
  EXPECT_EQ(d.WaitMs(t), 200);  // the back-off starts anew
}

}  // namespace
}  // namespace druvo

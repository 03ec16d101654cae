#include <gtest/gtest.h>

#include <cmath>

#include "player/Clock.h"
#include "player/Globals.h"

TEST(FrameClock, FrameNIsAtNOverSixtyWithoutDrift) {
  EXPECT_EQ(frameTime(0), 0.0f);
  EXPECT_EQ(frameTime(60), 1.0f);
  EXPECT_EQ(frameTime(3), 0.05f);
  EXPECT_EQ(frameTime(216000), 3600.0f);  // one hour in, still exact
  float accumulated = 0.0f;
  int worse = 0;
  for (int32_t n = 1; n <= 100000; ++n) {
    accumulated += 1.0f / 60.0f;
    ASSERT_EQ(frameTime(n), float(double(n) / 60.0)) << n;
    if (std::abs(accumulated - double(n) / 60.0) > std::abs(frameTime(n) - double(n) / 60.0)) ++worse;
  }
  EXPECT_GT(worse, 0);  // summing would have drifted
}

TEST(WallClock, UpdatesUseTheRawDeltaAndClampTheReportedOne) {
  secondsPerTick = 1e-9;
  lastTick = 1'000'000'000;
  wallClockTime = 0.0;
  updateClockAt(1'500'000'000);
  EXPECT_DOUBLE_EQ(wallClockTime, 0.5);
  EXPECT_DOUBLE_EQ(wallClockDelta, 0.5);
  // A tick that goes backwards moves the time back but reports no negative delta.
  updateClockAt(1'250'000'000);
  EXPECT_DOUBLE_EQ(wallClockTime, 0.25);
  EXPECT_EQ(wallClockDelta, 0.0);
  updateClockAt(1'250'000'000);
  EXPECT_EQ(wallClockDelta, 0.0);

  resetClock();
  EXPECT_EQ(wallClockTime, 0.0);
  int64_t before = lastTick;
  updateClock();
  EXPECT_GE(lastTick, before);
  EXPECT_GE(wallClockTime, 0.0);
}

#include <gtest/gtest.h>

#include <cmath>

#include "player/Clock.h"
#include "player/Globals.h"

TEST(FrameClock, FrameTimesAreTheSinglePrecisionProductWithoutDrift) {
  EXPECT_EQ(frameTime(0), 0.0f);
  EXPECT_EQ(frameTime(30), 0.5f);
  EXPECT_EQ(frameTime(9), 0.15f);
  // Where the single-precision product rounds above the quotient, the frame is there: the
  // timeline compares these very values with the span bounds.
  EXPECT_EQ(frameTime(3), std::nextafter(0.05f, 1.0f));
  EXPECT_EQ(frameTime(90), std::nextafter(1.5f, 2.0f));
  EXPECT_EQ(frameTime(720), 12.000001f);
  EXPECT_EQ(frameTime(216000), std::nextafter(3600.0f, 4000.0f));  // an hour in: one unit off, no drift
  EXPECT_LT(std::abs(frameTime(100000) - 100000.0 / 60.0), 0.001);
  // Other rates: frame n at n × (1 / fps).
  EXPECT_EQ(frameTime(12, 24), 0.5f);
  EXPECT_EQ(frameTime(25, 25), 1.0f);
}

TEST(FrameClock, OfflineTheRealTimeClockStepsOneFramePerFrameWhateverTheWallClock) {
  setOfflineClock(60);
  resetClock();
  wallClockTime = 123.0;  // whatever the wall clock did, the frame number decides
  updateClock();          // the loading bar's update leaves an offline clock alone
  EXPECT_EQ(wallClockTime, 123.0);
  advanceClockForFrame(0);
  EXPECT_DOUBLE_EQ(wallClockTime, 1.0 / 60.0);
  EXPECT_DOUBLE_EQ(wallClockDelta, 1.0 / 60.0);
  advanceClockForFrame(599);
  EXPECT_DOUBLE_EQ(wallClockTime, 10.0);
  EXPECT_DOUBLE_EQ(wallClockDelta, 1.0 / 60.0);
  setOfflineClock(25);
  advanceClockForFrame(49);
  EXPECT_DOUBLE_EQ(wallClockTime, 2.0);
  EXPECT_DOUBLE_EQ(wallClockDelta, 0.04);
  // Live again: the wall clock.
  setOfflineClock(0);
  secondsPerTick = 1e-9;
  lastTick = 0;
  wallClockTime = 0.0;
  updateClockAt(250'000'000);
  EXPECT_DOUBLE_EQ(wallClockTime, 0.25);
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

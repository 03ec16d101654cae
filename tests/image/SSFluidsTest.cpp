// How many fixed solver steps a frame runs, from the production time alone.
#include <gtest/gtest.h>

#include <cmath>

#include "image/SSFluids.h"

TEST(FluidSteps, FollowTheElapsedTimeAtTheirRateAndCarryTheRest) {
  FluidSolver s(nullptr);
  EXPECT_EQ(s.stepsDue(0.0f, 250.0f), 1u) << "the first frame takes one step";
  EXPECT_EQ(s.stepsDue(1.0f / 60.0f, 250.0f), 4u);  // 4.17 steps due
  EXPECT_EQ(s.stepsDue(2.0f / 60.0f, 250.0f), 4u);  // 4.33
  EXPECT_EQ(s.stepsDue(3.0f / 60.0f, 250.0f), 4u);  // 4.5
  EXPECT_EQ(s.stepsDue(4.0f / 60.0f, 250.0f), 4u);  // 4.67
  EXPECT_EQ(s.stepsDue(5.0f / 60.0f, 250.0f), 4u);  // 4.83
  EXPECT_EQ(s.stepsDue(6.0f / 60.0f, 250.0f), 5u) << "the leftovers add up";
}

TEST(FluidSteps, HoldWhenTimeStandsOrRunsBackAndAreCappedAfterAJump) {
  FluidSolver s(nullptr);
  s.stepsDue(5.0f, 250.0f);
  EXPECT_EQ(s.stepsDue(5.0f, 250.0f), 0u) << "evaluated twice in a frame";
  EXPECT_EQ(s.stepsDue(4.0f, 250.0f), 0u) << "time ran backwards";
  EXPECT_EQ(s.stepsDue(14.0f, 250.0f), FluidSolver::kMaxStepsPerFrame);
  EXPECT_EQ(s.stepsDue(15.0f, 0.0f), 0u);
  EXPECT_EQ(s.stepsDue(16.0f, -3.0f), 0u);
  EXPECT_EQ(s.stepsDue(17.0f, NAN), 0u);
}

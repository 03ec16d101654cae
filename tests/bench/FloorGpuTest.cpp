// The floor program must really draw what it claims (k bilinear fetches of the picture, each
// weighted), or every ratio measured against it is meaningless; and the budget table must
// price passes by their fetch counts and areas.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "bench/floor/BudgetTable.h"
#include "bench/floor/FloorPasses.h"

namespace {

// The picture the floor program uploads, one channel, and its bilinear filtering with the
// edge clamped, as the sampler does it.
float pictureRed(int x, int y) { return 0.5f + 0.4f * std::sin(float(x) * 0.07f) * std::cos(float(y) * 0.05f); }

float bilinearRed(float u, float v, int w, int h) {
  const float px = u * w - 0.5f, py = v * h - 0.5f;
  const int x0 = int(std::floor(px)), y0 = int(std::floor(py));
  const float fx = px - x0, fy = py - y0;
  auto at = [&](int x, int y) { return pictureRed(std::clamp(x, 0, w - 1), std::clamp(y, 0, h - 1)); };
  return (at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx) * (1 - fy) + (at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx) * fy;
}

// What a floor pass with k fetches writes at the target's centre.
float expectedCentre(int fetches, int w, int h) {
  const float u = (w / 2 + 0.5f) / w, v = (h / 2 + 0.5f) / h;
  float sum = 0;
  for (int i = 0; i < fetches; ++i) {
    const float ox = (float(i % 6) - 2.5f) * 1.5f / w, oy = (float(i / 6) - 2.5f) * 1.5f / h;
    sum = sum * 0.96f + bilinearRed(u + ox, v + oy, w, h) * (0.5f + 0.01f * float(i));
  }
  return sum / 25.0f;
}

TEST(FloorPasses, EachFetchCountDrawsItsWeightedSumOfTheFilteredPicture) {
  floorpass::FloorRig rig(64, 48);
  ASSERT_TRUE(rig.error().empty()) << rig.error();
  for (int k : {1, 4, 16, 32}) {
    const floorpass::FloorTiming t = rig.run(k, 3);
    ASSERT_TRUE(rig.error().empty()) << rig.error();
    EXPECT_GT(t.wallMsPerPass, 0.0);
    if (rig.timestampsSupported()) {
      EXPECT_GT(t.gpuMsPerPass, 0.0) << k;
    }
    const float expected = expectedCentre(k, 64, 48);
    // Half-float picture and target: about three significant digits.
    EXPECT_NEAR(rig.centreRed(), expected, std::fabs(expected) * 4e-3 + 1e-4) << "fetches " << k;
  }
}

TEST(FloorPasses, FloorsAreInterpolatedBetweenMeasuredFetchCountsAndScaledByArea) {
  const std::map<int, double> floors{{1, 2.0}, {4, 5.0}, {16, 17.0}, {32, 33.0}};
  EXPECT_DOUBLE_EQ(floorpass::interpolateFloor(floors, 4), 5.0);
  EXPECT_DOUBLE_EQ(floorpass::interpolateFloor(floors, 10), 11.0);
  EXPECT_DOUBLE_EQ(floorpass::interpolateFloor(floors, 18), 19.0);
  EXPECT_DOUBLE_EQ(floorpass::interpolateFloor(floors, 48), 49.0);  // beyond the last: its slope
  EXPECT_DOUBLE_EQ(floorpass::interpolateFloor(floors, 17, 0.25), 18.0 * 0.25);
  EXPECT_DOUBLE_EQ(floorpass::interpolateFloor({{1, 3.0}}, 8), 3.0);
  EXPECT_DOUBLE_EQ(floorpass::interpolateFloor({}, 8), 0.0);
}

TEST(BudgetTable, RatiosUseEachEffectsPassesAndPartsOfTheLitFrameSubtractTheirBase) {
  const std::map<int, double> floors{{1, 2.0}, {4, 5.0}, {16, 17.0}, {32, 33.0}};
  std::map<std::string, double> times;
  times["BM_Effect/GaussBlur/min_time:1.000/real_time"] = 72.0;  // two passes of 17: floor 36
  times["BM_LitFrame/lights:0/real_time"] = 30.0;
  times["BM_LitFrame/lights:1/real_time"] = 42.0;  // the light costs 12 over a floor of 6
  times["BM_Other"] = 1.5;
  const std::string table = budget::formatTable(floors, times);
  EXPECT_NE(table.find("| GaussBlur | 72.00 | 36.00 | 2.00 |"), std::string::npos) << table;
  EXPECT_NE(table.find("| directional light | 12.00 | 6.00 | 2.00 |"), std::string::npos) << table;
  EXPECT_NE(table.find("| BM_Other | 1.500 | - | - |"), std::string::npos) << table;
  // A part whose base frame was not run is left out rather than priced as a whole frame.
  times.erase("BM_LitFrame/lights:0/real_time");
  EXPECT_EQ(budget::formatTable(floors, times).find("directional light"), std::string::npos);
}

}  // namespace

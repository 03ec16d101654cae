// The profile must charge each operator with its own time only (an operator evaluates its
// inputs inside its own evaluation), on the CPU and on the GPU, and sum frames fairly.
#include <gtest/gtest.h>

#include "engine/FrameProfile.h"

namespace {

ProfileKey op(int id, const char* type, const char* name = "") { return ProfileKey{1, id, type, name}; }

const ProfileRow* row(const std::vector<ProfileRow>& rows, int id) {
  for (const ProfileRow& r : rows)
    if (r.key.id == id) return &r;
  return nullptr;
}

TEST(FrameProfile, NestedOperatorsAreChargedTheirOwnCpuAndGpuTimeOnly) {
  FrameProfile p;
  for (int frame = 0; frame < 2; ++frame) {
    // A (0-10 ms) evaluates B (2-6) and C (6-9); C has no GPU span but D inside it has one.
    p.enter(op(1, "Bloom"), 0.0, 0);
    p.enter(op(2, "SSAO"), 2.0, 1);
    p.leave(6.0);
    p.enter(op(3, "Group"), 6.0, -1);
    p.enter(op(4, "Cube"), 7.0, 2);
    p.leave(8.0);
    p.leave(9.0);
    p.leave(10.0);
    // GPU: A's span 8 ms holds B's 5 and D's 1 (through C).
    p.endFrame(12.0, {8.0, 5.0, 1.0});
  }
  const std::vector<ProfileRow> rows = p.table();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_DOUBLE_EQ(row(rows, 1)->cpuMsPerFrame, 3.0);
  EXPECT_DOUBLE_EQ(row(rows, 2)->cpuMsPerFrame, 4.0);
  EXPECT_DOUBLE_EQ(row(rows, 3)->cpuMsPerFrame, 2.0);
  EXPECT_DOUBLE_EQ(row(rows, 4)->cpuMsPerFrame, 1.0);
  EXPECT_DOUBLE_EQ(row(rows, 1)->gpuMsPerFrame, 2.0);
  EXPECT_DOUBLE_EQ(row(rows, 2)->gpuMsPerFrame, 5.0);
  EXPECT_DOUBLE_EQ(row(rows, 3)->gpuMsPerFrame, 0.0);
  EXPECT_DOUBLE_EQ(row(rows, 4)->gpuMsPerFrame, 1.0);
  EXPECT_DOUBLE_EQ(row(rows, 1)->callsPerFrame, 1.0);
  // Most expensive first: SSAO (5 GPU ms) then Bloom (3 CPU ms).
  EXPECT_EQ(rows[0].key.id, 2);
  EXPECT_EQ(rows[1].key.id, 1);
  EXPECT_TRUE(p.hasGpuTimes());
}

TEST(FrameProfile, FrameTimesGiveMeanNearestRankPercentileAndWorst) {
  FrameProfile p;
  for (int i = 20; i >= 1; --i) p.endFrame(double(i));
  const FrameTimeStats s = p.frameTimes();
  EXPECT_EQ(s.frames, 20u);
  EXPECT_DOUBLE_EQ(s.mean, 10.5);
  EXPECT_DOUBLE_EQ(s.p95, 19.0);
  EXPECT_DOUBLE_EQ(s.worst, 20.0);
  EXPECT_EQ(FrameProfile().frameTimes().frames, 0u);
}

TEST(FrameProfile, WithoutTimestampsTheTableSaysSoAndCsvQuotesNames) {
  FrameProfile p;
  p.leave(1.0);  // a leave without an enter changes nothing
  p.enter(op(7, "Image", "sky, \"warm\""), 0.0);
  p.leave(2.5);
  p.endFrame(3.0);
  EXPECT_FALSE(p.hasGpuTimes());
  EXPECT_NE(p.text().find("no timestamp queries"), std::string::npos) << p.text();
  EXPECT_NE(p.csv().find("1,7,Image,\"sky, \"\"warm\"\"\",1.0000,2.5000,0.0000\n"), std::string::npos) << p.csv();
}

TEST(FrameProfile, LongNamesKeepTheNumbersInTheirColumns) {
  // The sample names operators "G-buffer for fog and reflections": a fixed-width name
  // column pushed that row's numbers out of line with the others.
  FrameProfile p;
  p.enter(op(1, "LightPass", "G-buffer for fog and reflections"), 0.0);
  p.leave(1.0);
  p.enter(op(2, "Bloom", "glow"), 1.0);
  p.leave(3.0);
  p.enter(op(3, "AVeryLongOperatorTypeName"), 3.0);
  p.leave(3.5);
  p.endFrame(4.0);
  std::vector<size_t> widths;
  const std::string text = p.text();
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    if (line.rfind("frames", 0) != 0 && line.rfind("*", 0) != 0) widths.push_back(line.size());
    at = end + 1;
  }
  ASSERT_EQ(widths.size(), 4u) << text;  // the header and three rows end at the same column
  for (size_t w : widths) EXPECT_EQ(w, widths[0]) << text;
}

}  // namespace

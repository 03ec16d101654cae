// Reading depth recordings: frames found by their markers whatever lies between them, byte
// order, stored lengths that lie, frame numbers that make no sense, raw frames.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>

#include "tests/image/DepthRecordingTestSupport.h"

using depthtest::raw;
using depthtest::xed;

namespace {

uint16_t framePattern(int frame, uint32_t pixel) { return uint16_t(frame * 1000 + pixel % 977); }

}  // namespace

TEST(XedRecording, FindsFramesByTheirMarkersWithOtherDataBetween) {
  for (uint32_t gap : {0u, 4u, 1000u, 307200u}) {
    SCOPED_TRACE(::testing::Message() << "gap " << gap);
    XedRecording r;
    r.assign(xed(3, gap, framePattern));
    std::vector<uint16_t> out(kDepthFramePixels);
    for (int f = 0; f < 3; ++f) {
      ASSERT_TRUE(r.decode(f, out.data())) << f;
      for (uint32_t i : {0u, 1u, 639u, 640u, 307199u}) ASSERT_EQ(out[i], framePattern(f, i)) << f << " " << i;
    }
    EXPECT_FALSE(r.decode(3, out.data()));
    EXPECT_EQ(r.framePosition(0), int64_t(24 + gap));
  }
}

TEST(XedRecording, SwapsTheBytesOfEachValue) {
  std::string s = xed(1, 0, [](int, uint32_t) { return uint16_t(0); });
  s[28] = 0x12;  // the first value, right after the marker at 24
  s[29] = 0x34;
  XedRecording r;
  r.assign(s);
  std::vector<uint16_t> out(kDepthFramePixels);
  ASSERT_TRUE(r.decode(0, out.data()));
  EXPECT_EQ(out[0], 0x1234);
}

TEST(XedRecording, TheNextMarkerIsLookedForFromHalfAFrameOn) {
  // Markers 307200 bytes apart, the third 8 bytes later still: every one is a frame.
  std::string s(24, '\0');
  std::vector<int64_t> markers;
  for (uint32_t frame = 0; frame < 3; ++frame) {
    s.resize(frame == 2 ? s.size() + 8 : s.size(), '\x55');
    markers.push_back(int64_t(s.size()));
    depthtest::put32(s, kXedFrameMarker);
    const uint16_t value = uint16_t(frame + 1);
    for (uint32_t i = 0; i < (frame == 2 ? kDepthFramePixels : kDepthFramePixels / 2 - 2); ++i) {
      s.push_back(char(value >> 8));
      s.push_back(char(value & 0xFF));
    }
  }
  depthtest::setLength(s, s.size());
  XedRecording r;
  r.assign(s);
  for (int f = 0; f < 3; ++f) EXPECT_EQ(r.framePosition(f), markers[size_t(f)]) << f;
  std::vector<uint16_t> out(kDepthFramePixels);
  ASSERT_TRUE(r.decode(1, out.data()));
  EXPECT_EQ(out[0], 2);
  EXPECT_FALSE(r.decode(3, out.data()));

  // Depth 0x0280 then 0x01E0 at an aligned place reads as a marker in file order: within the
  // first 307200 bytes after a marker it is never looked at.
  auto value = [](int f, uint32_t i) -> uint16_t {
    if (f == 0 && i == 100000) return 0x0280;
    if (f == 0 && i == 100001) return 0x01E0;
    return uint16_t(f + 1);
  };
  r.assign(xed(2, 0, value));
  ASSERT_TRUE(r.decode(1, out.data()));
  EXPECT_EQ(out[5], 2);
}

TEST(XedRecording, StoredLengthsThatLieNeverLeadPastTheData) {
  const std::string good = xed(2, 8, framePattern);
  std::vector<uint16_t> out(kDepthFramePixels);
  {
    // Longer than the file (the last frame cut short by the file's end): bounded by the file.
    std::string cut = xed(2, 8, framePattern, 0x7FFFFFFF);
    cut.resize(cut.size() - 2);
    XedRecording r;
    r.assign(cut);
    EXPECT_EQ(r.length, int64_t(cut.size()));
    EXPECT_TRUE(r.decode(0, out.data()));
    EXPECT_FALSE(r.decode(1, out.data()));
  }
  for (int64_t stored : {int64_t(-1), int64_t(-614404), int64_t(0x80000000u)}) {
    // A negative length (the 32-bit value is signed): no frames at all.
    std::string s = good;
    for (int i = 0; i < 4; ++i) s[size_t(16 + i)] = char((uint64_t(stored) >> (8 * i)) & 0xFF);
    XedRecording r;
    r.assign(s);
    EXPECT_FALSE(r.decode(0, out.data())) << stored;
  }
  {
    // A length ending one to three bytes before a frame's end leaves that frame out.
    for (int shortBy = 1; shortBy <= 3; ++shortBy) {
      XedRecording r;
      r.assign(xed(2, 8, framePattern, int64_t(good.size()) - shortBy));
      EXPECT_TRUE(r.decode(0, out.data()));
      EXPECT_FALSE(r.decode(1, out.data())) << shortBy;
    }
  }
  {
    // Too short to hold a length, or nothing at all.
    XedRecording r;
    r.assign(std::string(12, '\0'));
    EXPECT_FALSE(r.decode(0, out.data()));
    r.assign(std::string());
    EXPECT_FALSE(r.decode(0, out.data()));
    EXPECT_TRUE(r.empty());
  }
}

TEST(DepthFrameNumber, TruncatesSensibleValuesAndRefusesTheRest) {
  int32_t n = -7;
  EXPECT_TRUE(depthFrameNumber(2.9f, n));
  EXPECT_EQ(n, 2);
  EXPECT_TRUE(depthFrameNumber(0.0f, n));
  EXPECT_EQ(n, 0);
  for (float bad : {-0.5f, -3.0f, 3e9f, INFINITY, NAN}) EXPECT_FALSE(depthFrameNumber(bad, n)) << bad;
}

TEST(RawDepthFrames, AFrameIsUsedOnlyWhenTheFileHoldsAllOfIt) {
  const std::string data = raw(2, 100, [](int f, uint32_t i) { return uint8_t(f * 100 + i % 50); });
  std::vector<uint8_t> out(kDepthFramePixels);
  ASSERT_TRUE(decodeRawDepthFrame(data, 1, out.data()));
  EXPECT_EQ(out[7], 107);
  EXPECT_FALSE(decodeRawDepthFrame(data, 2, out.data())) << "a partial frame";
  EXPECT_FALSE(decodeRawDepthFrame(data, 2000000000, out.data())) << "no overflow of the offset";
  EXPECT_TRUE(decodeRawDepthFrame(data.substr(0, kDepthFramePixels), 0, out.data())) << "exactly one frame";
  EXPECT_FALSE(decodeRawDepthFrame(data.substr(0, kDepthFramePixels - 1), 0, out.data()));
}

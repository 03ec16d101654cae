// Region constants and pool bookkeeping that need no device.
#include <gtest/gtest.h>

#include "gfx/RenderTargets.h"

namespace {

TEST(RegionConstants, ScaleAndOffsetAreRelativeToTheSourceSize) {
  RegionConstants c = regionConstants(1920, 1080, PixelRect{0, 0, 960, 540});
  EXPECT_FLOAT_EQ(c.scale[0], 0.5f);
  EXPECT_FLOAT_EQ(c.scale[1], 0.5f);
  EXPECT_FLOAT_EQ(c.offset[0], 0.0f);
  EXPECT_FLOAT_EQ(c.offset[1], 0.0f);

  c = regionConstants(1920, 1080, PixelRect{480, 270, 1440, 1080});
  EXPECT_FLOAT_EQ(c.scale[0], 0.5f);
  EXPECT_FLOAT_EQ(c.scale[1], 0.75f);
  EXPECT_FLOAT_EQ(c.offset[0], 0.25f);
  EXPECT_FLOAT_EQ(c.offset[1], 0.25f);

  // A region larger than the source reads past its edge (the sampler decides what comes).
  c = regionConstants(640, 360, PixelRect{0, 0, 1280, 720});
  EXPECT_FLOAT_EQ(c.scale[0], 2.0f);
  EXPECT_FLOAT_EQ(c.scale[1], 2.0f);
}

TEST(RegionConstants, WithoutASourceOrDeviceTheyAreNeutral) {
  // No division by zero for an empty source; no device (tools) gives the identity mapping.
  RegionConstants c = regionConstants(0, 1080, PixelRect{0, 0, 960, 540});
  EXPECT_EQ(c.scale[0], 1.0f);
  EXPECT_EQ(c.offset[1], 0.0f);
  ASSERT_EQ(gDevice, nullptr);
  Texture fake;
  fake.desc.width = 100;
  fake.desc.height = 100;
  c = regionConstants(&fake, PixelRect{10, 10, 60, 60});
  EXPECT_EQ(c.scale[0], 1.0f);
  EXPECT_EQ(c.scale[1], 1.0f);
  EXPECT_EQ(c.offset[0], 0.0f);
  c = regionConstants(nullptr, PixelRect{10, 10, 60, 60});
  EXPECT_EQ(c.scale[1], 1.0f);
}

TEST(RenderTargetPools, FullSizeRequestsWithoutAScreenSizeGiveNothing) {
  // No Screen and no size to fall back on: every acquisition reports and returns null
  // instead of creating zero-sized textures.
  TargetPools t;
  EXPECT_EQ(acquireColourTarget(t, 0, 0, kSizeFull, format::RGBA16F), nullptr);
  EXPECT_EQ(acquireColourTarget(t, 0, 0, 0, format::RGBA16F), nullptr);
  EXPECT_EQ(acquireDepthTarget(t, 0, 0, true), nullptr);
  EXPECT_EQ(acquireRing(t, 0, 0, true), nullptr);
  EXPECT_TRUE(t.colourPool.empty());
  EXPECT_TRUE(t.depthPool.empty());
  EXPECT_TRUE(t.ringPool.empty());
}

}  // namespace

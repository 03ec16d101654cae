// The frame setup's bookkeeping that needs no device.
#include <gtest/gtest.h>

#include "scene/FrameSetup.h"

namespace {

TEST(FrameSetup, WithoutAScreenSizeTheFrameFieldsStayEmpty) {
  // No Screen and no size to fall back on: no G-buffer set is made, and beginFrame leaves
  // the frame fields empty rather than dangling.
  ContextTargets t;
  EXPECT_EQ(acquireGBufferSet(t, 0, 0, true), nullptr);
  EXPECT_TRUE(t.gbufferPool.empty());

  Context ctx;
  ctx.targets = &t;
  beginFrame(ctx, 0, 0, true, true);
  EXPECT_EQ(ctx.frameDepthTarget, nullptr);
  EXPECT_EQ(ctx.scenePass, nullptr);
  EXPECT_EQ(ctx.gbuffer[0], nullptr);
  EXPECT_EQ(nextRingTarget(ctx), nullptr);
  EXPECT_TRUE(t.colourPool.empty() && t.depthPool.empty() && t.ringPool.empty());
  ctx.targets = nullptr;
}

}  // namespace

// The Context's frame setup on the device: what beginFrame takes from the pools, the
// G-buffer preparation, the defaults it resets, and steady frames.

#include "scene/FrameSetup.h"
#include "tests/gfx/support/GpuTestSupport.h"

namespace {

class FrameSetupGpuTest : public ScreenGpuTest {
 protected:
  void SetUp() override {
    ScreenGpuTest::SetUp();
    ctx.viewport = Viewport{0, 0, 16, 16};
    initContextTargets(ctx, device(), screen());
  }
  void TearDown() override {
    releaseContextTargets(ctx);
    ScreenGpuTest::TearDown();
  }
  Context ctx;
};

TEST_F(FrameSetupGpuTest, OnlyAReleasingBeginFrameFreesThePools) {
  ContextTargets& t = *ctx.targets;
  Texture* a = acquireColourTarget(t, 0, 0, kSizeFull, format::RGBA16F);
  Texture* b = acquireColourTarget(t, 0, 0, kSizeFull, format::RGBA16F);
  GBufferSet* set = t.gbuffer;
  // A beginFrame that does not release keeps them taken; the frame step's one frees them.
  beginFrame(ctx, 16, 16, true, false);
  Texture* c = acquireColourTarget(t, 0, 0, kSizeFull, format::RGBA16F);
  EXPECT_TRUE(c != a && c != b);
  EXPECT_NE(t.gbuffer, set);
  beginFrame(ctx, 16, 16, true, true);
  EXPECT_EQ(acquireColourTarget(t, 0, 0, kSizeFull, format::RGBA16F), a);
  EXPECT_EQ(t.gbuffer, set);
  EXPECT_EQ(t.colourPool.size(), 3u);
  // releaseAllTargets frees the G-buffer sets with the rest.
  releaseAllTargets(ctx);
  EXPECT_EQ(acquireGBufferSet(t, 0, 0, true), set);
}

TEST_F(FrameSetupGpuTest, FrameObjectsHaveTheirFormatsAndNestedFramesGetTheirOwn) {
  ContextTargets& t = *ctx.targets;
  ASSERT_NE(t.gbuffer, nullptr);
  ASSERT_NE(t.ring, nullptr);
  ASSERT_NE(ctx.frameDepthTarget, nullptr);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(ctx.gbuffer[i], t.gbuffer->textures[i]);
    EXPECT_EQ(ctx.gbuffer[i]->flags(), kPooledColourFlags);
    EXPECT_EQ(ctx.gbuffer[i]->format(), i == 4 ? format::RG16F : format::RGBA16F);
  }
  for (Texture* slot : t.ring->slots) {
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->flags(), kRingFlags);
    EXPECT_EQ(slot->format(), format::RGBA16F);
  }
  EXPECT_EQ(ctx.frameDepthTarget->flags(), kDepthTargetFlags);
  EXPECT_EQ(ctx.frameDepthTarget->format(), kDefaultDepthFormat);
  ASSERT_NE(ctx.scenePass, nullptr);
  EXPECT_EQ(ctx.scenePass->depthTarget, ctx.frameDepthTarget);
  EXPECT_EQ(ctx.scenePass->colourTargets[4], ctx.gbuffer[4]);
  EXPECT_EQ(ctx.scenePass->rect[2], 16);
  EXPECT_EQ(ctx.scenePass->width, 16u);

  // A sub-image frame at another size, without releasing: fresh objects of that size, and
  // the outer frame's pass record stays as it was (operators restore it afterwards). The
  // region is still the outer one here; the pass keeps it inside the smaller targets.
  RenderPass* outerPass = ctx.scenePass;
  Texture* outerDepth = ctx.frameDepthTarget;
  PostProcessRing* outerRing = t.ring;
  beginFrame(ctx, 8, 4, false, false);
  EXPECT_NE(ctx.scenePass, outerPass);
  EXPECT_EQ(outerPass->depthTarget, outerDepth);
  EXPECT_EQ(outerPass->rect[2], 16);
  EXPECT_NE(t.ring, outerRing);
  EXPECT_EQ(ctx.gbuffer[0]->width(), 8u);
  EXPECT_EQ(ctx.gbuffer[0]->height(), 4u);
  EXPECT_EQ(ctx.frameDepthTarget->width(), 8u);
  EXPECT_EQ(ctx.scenePass->width, 8u);
  EXPECT_EQ(ctx.scenePass->rect[2], 8);
  EXPECT_EQ(ctx.scenePass->rect[3], 4);
}

TEST_F(FrameSetupGpuTest, BeginFrameClearsTheGBufferAndDepth) {
  const float paint[4] = {1, 1, 0, 1};
  for (Texture* g : ctx.gbuffer) clearTexture(device(), g, paint);
  const float nearDepth[4] = {0.25f, 0, 0, 0};
  clearTexture(device(), ctx.frameDepthTarget, nearDepth);

  beginFrame(ctx, 16, 16, true, true);
  // Shown through the 8-bit back buffer: 65504 saturates to 255.
  EXPECT_EQ(showOnBackBuffer(ctx.gbuffer[0])[0], packRgba(0, 0, 0, 0));
  EXPECT_EQ(showOnBackBuffer(ctx.gbuffer[1])[17], packRgba(0, 0, 0, 255));
  EXPECT_EQ(showOnBackBuffer(ctx.gbuffer[2])[200], packRgba(255, 255, 255, 0));
  EXPECT_EQ(showOnBackBuffer(ctx.gbuffer[3])[255], packRgba(0, 0, 0, 0));
  EXPECT_EQ(showOnBackBuffer(ctx.gbuffer[4])[3] & 0xFFFFFFu, 0u);
  EXPECT_EQ(showOnBackBuffer(ctx.frameDepthTarget)[40], packRgba(255, 255, 255, 255));
}

int gListClears = 0;
void countListClear() { ++gListClears; }

TEST_F(FrameSetupGpuTest, BeginFrameResetsCameraDefaultsAndEmptiesPerFrameLists) {
  gListClears = 0;
  registerPerFrameList(countListClear);
  registerPerFrameList(countListClear);  // once is enough
  ctx.camera.at(3, 0) = 5.0f;
  ctx.worldPrev.at(0, 0) = 2.0f;
  ctx.projection.at(2, 3) = 1.0f;  // the frame step's projection is not beginFrame's business
  ctx.zNear = 3.0f;
  ctx.zFar = 10.0f;
  ctx.fov = 90.0f;

  ctx.beginFrame(16, 16, true, true);  // through the hooks, as the timeline calls it
  EXPECT_EQ(gListClears, 1);
  EXPECT_EQ(ctx.camera.at(3, 0), 0.0f);
  EXPECT_EQ(ctx.worldPrev.at(0, 0), 1.0f);
  EXPECT_EQ(ctx.projection.at(2, 3), 1.0f);
  EXPECT_EQ(ctx.zNear, 0.1f);
  EXPECT_EQ(ctx.zFar, 1000.0f);
  EXPECT_EQ(ctx.fov, 45.0f);
  EXPECT_EQ(ctx.screenWidth(), 16u);
  unregisterPerFrameList(countListClear);
  ctx.beginFrame(16, 16, true, true);
  EXPECT_EQ(gListClears, 1);
}

TEST_F(FrameSetupGpuTest, TheNextFrameAfterAResizeFindsTheSameObjects) {
  ContextTargets& t = *ctx.targets;
  Texture* depth = ctx.frameDepthTarget;
  Texture* g4 = ctx.gbuffer[4];
  Texture* ring0 = t.ring->slots[0];

  screen()->resize(41, 23);
  EXPECT_EQ(depth->width(), 41u);
  EXPECT_EQ(g4->height(), 23u);

  ctx.viewport = Viewport{0, 0, 41, 23};
  beginFrame(ctx, 41, 23, true, true);
  EXPECT_EQ(ctx.frameDepthTarget, depth);
  EXPECT_EQ(ctx.gbuffer[4], g4);
  EXPECT_EQ(t.ring->slots[0], ring0);
  EXPECT_EQ(ctx.scenePass->width, 41u);
  EXPECT_EQ(t.screenDepth, screen()->depthBuffer);  // the Screen remade it
}

TEST_F(FrameSetupGpuTest, SteadyFramesCreateNoGpuObjectsAndNoPoolEntries) {
  ContextTargets& t = *ctx.targets;
  const Viewport whole{0, 0, 16, 16};
  auto frame = [&] {
    ctx.viewport = whole;
    beginFrame(ctx, 16, 16, true, true);
    ctx.imageResult = nextRingTarget(ctx);
    Texture* a = acquireColourTarget(t, 0, 0, kSizeFull, format::RGBA16F);
    Texture* b = acquireColourTarget(t, 0, 0, kSizeHalf, 0x10204);
    copyPass(a, ctx.imageResult, whole, opaque(), true);
    copyPass(b, a, Viewport{0, 0, 8, 8}, opaque(), false);
    beginFrame(ctx, 8, 8, false, false);  // a sub-image frame inside
    copyPass(screen()->backBuffer, b, whole, opaque(), true);
    screen()->present();
  };
  for (int i = 0; i < 4; ++i) frame();
  device()->waitIdle();
  const uint64_t created = device()->counters().total();
  const size_t pools = t.colourPool.size() + t.depthPool.size() + t.gbufferPool.size() + t.ringPool.size();
  for (int i = 0; i < 5; ++i) frame();
  device()->waitIdle();
  EXPECT_EQ(device()->counters().total(), created);
  EXPECT_EQ(t.colourPool.size() + t.depthPool.size() + t.gbufferPool.size() + t.ringPool.size(), pools);
}

}  // namespace

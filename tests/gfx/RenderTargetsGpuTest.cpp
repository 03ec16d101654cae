// The Context's target pools on the device: the reuse rule, resizes, beginFrame's
// G-buffer preparation and defaults.
#include <set>
#include <vector>

#include "tests/gfx/support/GpuTestSupport.h"

namespace {

class RenderTargetsGpuTest : public ScreenGpuTest {
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

TEST_F(RenderTargetsGpuTest, ColourPoolHandsOutFreeEntriesAgainAfterRelease) {
  ContextTargets& t = *ctx.targets;
  Texture* a = acquireColourTarget(t, 0, 0, kSizeFull, kRgba16fFormat);
  Texture* b = acquireColourTarget(t, 0, 0, kSizeFull, kRgba16fFormat);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->flags(), kPooledColourFlags);
  EXPECT_EQ(a->width(), 16u);
  EXPECT_EQ(a->sizeClass(), uint32_t(kSizeFull));

  // Other keys never match: another format, or an exact-size request of the same size.
  Texture* rgba8 = acquireColourTarget(t, 0, 0, kSizeFull, 0x10204);
  Texture* exact = acquireColourTarget(t, 16, 16, 0, kRgba16fFormat);
  std::set<Texture*> all{a, b, rgba8, exact};
  EXPECT_EQ(all.size(), 4u);

  releaseAllTargets(t);
  EXPECT_EQ(acquireColourTarget(t, 0, 0, kSizeFull, kRgba16fFormat), a);
  EXPECT_EQ(acquireColourTarget(t, 0, 0, kSizeFull, kRgba16fFormat), b);
  EXPECT_EQ(acquireColourTarget(t, 16, 16, 0, kRgba16fFormat), exact);

  // A beginFrame that does not release keeps them taken; the frame step's one frees them.
  beginFrame(ctx, 16, 16, true, false);
  Texture* c = acquireColourTarget(t, 0, 0, kSizeFull, kRgba16fFormat);
  EXPECT_TRUE(c != a && c != b);
  beginFrame(ctx, 16, 16, true, true);
  EXPECT_EQ(acquireColourTarget(t, 0, 0, kSizeFull, kRgba16fFormat), a);
  EXPECT_EQ(t.colourPool.size(), 5u);
}

TEST_F(RenderTargetsGpuTest, FrameObjectsHaveTheirFormatsAndNestedFramesGetTheirOwn) {
  ContextTargets& t = *ctx.targets;
  ASSERT_NE(t.gbuffer, nullptr);
  ASSERT_NE(t.ring, nullptr);
  ASSERT_NE(ctx.frameDepthTarget, nullptr);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(ctx.gbuffer[i], t.gbuffer->textures[i]);
    EXPECT_EQ(ctx.gbuffer[i]->flags(), kPooledColourFlags);
    EXPECT_EQ(ctx.gbuffer[i]->format(), i == 4 ? kRg16fFormat : kRgba16fFormat);
  }
  for (Texture* slot : t.ring->slots) {
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->flags(), kRingFlags);
    EXPECT_EQ(slot->format(), kRgba16fFormat);
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

TEST_F(RenderTargetsGpuTest, BeginFrameClearsTheGBufferAndDepth) {
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

TEST_F(RenderTargetsGpuTest, BeginFrameResetsCameraDefaultsAndEmptiesPerFrameLists) {
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

TEST_F(RenderTargetsGpuTest, SizedTargetsFollowResizesWithoutBeingRecreated) {
  ContextTargets& t = *ctx.targets;
  Texture* full = acquireColourTarget(t, 0, 0, kSizeFull, kRgba16fFormat);
  Texture* half = acquireColourTarget(t, 0, 0, kSizeHalf, kRgba16fFormat);
  Texture* quarter = acquireColourTarget(t, 0, 0, kSizeQuarter, kRgba16fFormat);
  Texture* exact = acquireColourTarget(t, 12, 12, 0, kRgba16fFormat);
  EXPECT_EQ(half->width(), 8u);
  EXPECT_EQ(quarter->height(), 4u);
  Texture* depth = ctx.frameDepthTarget;
  Texture* g4 = ctx.gbuffer[4];
  Texture* ring0 = t.ring->slots[0];

  screen()->resize(41, 23);  // rounding down: half 20 x 11, quarter 10 x 5
  EXPECT_EQ(full->width(), 41u);
  EXPECT_EQ(full->height(), 23u);
  EXPECT_EQ(half->width(), 20u);
  EXPECT_EQ(half->height(), 11u);
  EXPECT_EQ(quarter->width(), 10u);
  EXPECT_EQ(quarter->height(), 5u);
  EXPECT_EQ(exact->width(), 12u);
  EXPECT_EQ(depth->width(), 41u);
  EXPECT_EQ(g4->height(), 23u);
  EXPECT_EQ(ring0->width(), 41u);

  // The next frame finds the same objects, at the new size.
  ctx.viewport = Viewport{0, 0, 41, 23};
  beginFrame(ctx, 41, 23, true, true);
  EXPECT_EQ(ctx.frameDepthTarget, depth);
  EXPECT_EQ(ctx.gbuffer[4], g4);
  EXPECT_EQ(t.ring->slots[0], ring0);
  EXPECT_EQ(acquireColourTarget(t, 0, 0, kSizeHalf, kRgba16fFormat), half);
  EXPECT_EQ(ctx.scenePass->width, 41u);
  EXPECT_EQ(t.screenDepth, screen()->depthBuffer);  // the Screen remade it
  // New full-size objects are made at the new size too.
  acquireColourTarget(t, 0, 0, kSizeFull, kRgba16fFormat);
  Texture* fresh = acquireColourTarget(t, 0, 0, kSizeFull, kRgba16fFormat);
  EXPECT_EQ(fresh->width(), 41u);
  EXPECT_EQ(fresh->height(), 23u);
}

TEST_F(RenderTargetsGpuTest, RingSkipsEmptySlotsAndKeepsItsIndex) {
  Texture* s2 = ctx.targets->ring->slots[2];
  PostProcessRing sparse;
  sparse.slots[2] = s2;
  EXPECT_EQ(sparse.next(), s2);
  EXPECT_EQ(sparse.index, 0u);  // advanced past slot 2, back to the start
  EXPECT_EQ(sparse.next(), s2);
  PostProcessRing empty;
  EXPECT_EQ(empty.next(), nullptr);
}

}  // namespace

namespace {

TEST_F(RenderTargetsGpuTest, SteadyFramesCreateNoGpuObjectsAndNoPoolEntries) {
  ContextTargets& t = *ctx.targets;
  const Viewport whole{0, 0, 16, 16};
  auto frame = [&] {
    ctx.viewport = whole;
    beginFrame(ctx, 16, 16, true, true);
    ctx.imageResult = nextRingTarget(ctx);
    Texture* a = acquireColourTarget(t, 0, 0, kSizeFull, kRgba16fFormat);
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

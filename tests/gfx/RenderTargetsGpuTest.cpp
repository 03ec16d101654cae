// The target pools on the device: the reuse rule, resizes and the ring.
#include <memory>
#include <set>

#include "tests/gfx/support/GpuTestSupport.h"

namespace {

class RenderTargetsGpuTest : public ScreenGpuTest {
 protected:
  void SetUp() override {
    ScreenGpuTest::SetUp();
    pools = std::make_unique<TargetPools>();
    pools->device = device();
    pools->screen = screen();
    if (screen()->depthFormat) pools->depthFormat = screen()->depthFormat;
  }
  void TearDown() override {
    pools.reset();
    releaseCopyPass();
    ScreenGpuTest::TearDown();
  }
  std::unique_ptr<TargetPools> pools;
};

TEST_F(RenderTargetsGpuTest, ColourPoolHandsOutFreeEntriesAgainAfterRelease) {
  TargetPools& t = *pools;
  Texture* a = acquireColourTarget(t, 0, 0, kSizeFull, format::RGBA16F);
  Texture* b = acquireColourTarget(t, 0, 0, kSizeFull, format::RGBA16F);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->flags(), kPooledColourFlags);
  EXPECT_EQ(a->width(), 16u);
  EXPECT_EQ(a->sizeClass(), uint32_t(kSizeFull));

  // Other keys never match: another format, or an exact-size request of the same size.
  Texture* rgba8 = acquireColourTarget(t, 0, 0, kSizeFull, 0x10204);
  Texture* exact = acquireColourTarget(t, 16, 16, 0, format::RGBA16F);
  std::set<Texture*> all{a, b, rgba8, exact};
  EXPECT_EQ(all.size(), 4u);

  releaseAllTargets(t);
  EXPECT_EQ(acquireColourTarget(t, 0, 0, kSizeFull, format::RGBA16F), a);
  EXPECT_EQ(acquireColourTarget(t, 0, 0, kSizeFull, format::RGBA16F), b);
  EXPECT_EQ(acquireColourTarget(t, 16, 16, 0, format::RGBA16F), exact);
  EXPECT_EQ(t.colourPool.size(), 4u);
}

TEST_F(RenderTargetsGpuTest, DepthTargetsAndRingsHaveTheirFormats) {
  TargetPools& t = *pools;
  Texture* depth = acquireDepthTarget(t, 0, 0, true);
  ASSERT_NE(depth, nullptr);
  EXPECT_EQ(depth->flags(), kDepthTargetFlags);
  EXPECT_EQ(depth->format(), kDefaultDepthFormat);
  EXPECT_EQ(depth->width(), 16u);
  PostProcessRing* ring = acquireRing(t, 0, 0, true);
  ASSERT_NE(ring, nullptr);
  for (Texture* slot : ring->slots) {
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->flags(), kRingFlags);
    EXPECT_EQ(slot->format(), format::RGBA16F);
  }
  // Taken ones are not handed out twice; an exact size gets its own.
  EXPECT_NE(acquireRing(t, 0, 0, true), ring);
  Texture* small = acquireDepthTarget(t, 8, 4, false);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(small->width(), 8u);
  EXPECT_EQ(small->height(), 4u);
  releaseAllTargets(t);
  EXPECT_EQ(acquireDepthTarget(t, 0, 0, true), depth);
  EXPECT_EQ(acquireRing(t, 0, 0, true), ring);
}

TEST_F(RenderTargetsGpuTest, SizedTargetsFollowResizesWithoutBeingRecreated) {
  TargetPools& t = *pools;
  Texture* full = acquireColourTarget(t, 0, 0, kSizeFull, format::RGBA16F);
  Texture* half = acquireColourTarget(t, 0, 0, kSizeHalf, format::RGBA16F);
  Texture* quarter = acquireColourTarget(t, 0, 0, kSizeQuarter, format::RGBA16F);
  Texture* exact = acquireColourTarget(t, 12, 12, 0, format::RGBA16F);
  EXPECT_EQ(half->width(), 8u);
  EXPECT_EQ(quarter->height(), 4u);
  Texture* depth = acquireDepthTarget(t, 0, 0, true);
  Texture* ring0 = acquireRing(t, 0, 0, true)->slots[0];

  screen()->resize(41, 23);  // rounding down: half 20 x 11, quarter 10 x 5
  EXPECT_EQ(full->width(), 41u);
  EXPECT_EQ(full->height(), 23u);
  EXPECT_EQ(half->width(), 20u);
  EXPECT_EQ(half->height(), 11u);
  EXPECT_EQ(quarter->width(), 10u);
  EXPECT_EQ(quarter->height(), 5u);
  EXPECT_EQ(exact->width(), 12u);
  EXPECT_EQ(depth->width(), 41u);
  EXPECT_EQ(ring0->width(), 41u);

  // The next frame finds the same objects, at the new size.
  releaseAllTargets(t);
  EXPECT_EQ(acquireColourTarget(t, 0, 0, kSizeFull, format::RGBA16F), full);
  EXPECT_EQ(acquireColourTarget(t, 0, 0, kSizeHalf, format::RGBA16F), half);
  EXPECT_EQ(acquireDepthTarget(t, 0, 0, true), depth);
  EXPECT_EQ(acquireRing(t, 0, 0, true)->slots[0], ring0);
  // New full-size objects are made at the new size too.
  Texture* fresh = acquireColourTarget(t, 0, 0, kSizeFull, format::RGBA16F);
  EXPECT_EQ(fresh->width(), 41u);
  EXPECT_EQ(fresh->height(), 23u);
}

TEST_F(RenderTargetsGpuTest, RingSkipsEmptySlotsAndKeepsItsIndex) {
  Texture* s2 = acquireRing(*pools, 0, 0, true)->slots[2];
  PostProcessRing sparse;
  sparse.slots[2] = s2;
  EXPECT_EQ(sparse.next(), s2);
  EXPECT_EQ(sparse.index, 0u);  // advanced past slot 2, back to the start
  EXPECT_EQ(sparse.next(), s2);
  PostProcessRing empty;
  EXPECT_EQ(empty.next(), nullptr);
}

}  // namespace

// Where the target operators put pictures, on a device with tiny targets: Image's pooled
// targets, sizes and regions, its clears; SlotIn/SlotOut across frames; GBuffer and
// SplitGBuffer.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>

#include "image/SlotTable.h"
#include "image/Targets.h"
#include "scene/FrameSetup.h"
#include "tests/gfx/support/GpuTestSupport.h"
#include "tests/image/ImageTestSupport.h"

using namespace imagetest;

namespace {

float halfToFloat(uint16_t h) {
  const int e = (h >> 10) & 31, m = h & 1023;
  const float v = e == 0 ? std::ldexp(float(m), -24) : std::ldexp(float(m + 1024), e - 25);
  return (h & 0x8000) ? -v : v;
}

class ImageTargetsGpuTest : public ScreenGpuTest {
 protected:
  void SetUp() override {
    ScreenGpuTest::SetUp();
    SlotTable::instance().clear();
    initContextTargets(g.ctx, device(), screen());
  }
  void TearDown() override {
    g.graph.reset();  // SlotIn functions drop their targets while the device is there
    releaseContextTargets(g.ctx);
    SlotTable::instance().clear();
    ScreenGpuTest::TearDown();
  }
  void newFrame() {
    g.ctx.viewport = Viewport{0, 0, int32_t(screenWidth), int32_t(screenHeight)};
    beginFrame(g.ctx, screenWidth, screenHeight, true, true);
  }
  // Texel (x, y) of an RGBA16F texture as four floats.
  std::array<float, 4> texel16f(Texture* t, uint32_t x, uint32_t y) {
    const std::vector<uint8_t> bytes = readBack(t);
    std::array<float, 4> out{};
    for (int c = 0; c < 4; ++c) {
      uint16_t h;
      std::memcpy(&h, bytes.data() + (size_t(y) * t->width() + x) * 8 + size_t(c) * 2, 2);
      out[size_t(c)] = halfToFloat(h);
    }
    return out;
  }
  Texture* imageOf(Operator& op, float t = 0.0f) {
    g.ctx.imageResult = nullptr;
    g.eval(op, t);
    return g.ctx.imageResult;
  }

  ImageGraph g;
};

TEST_F(ImageTargetsGpuTest, ImageTakesPooledTargetsAgainEveryFrame) {
  Operator& a = g.op("Image");
  Operator& b = g.op("Image");
  newFrame();
  Texture* ta = imageOf(a);
  Texture* tb = imageOf(b);
  ASSERT_NE(ta, nullptr);
  ASSERT_NE(tb, nullptr);
  EXPECT_NE(ta, tb);
  EXPECT_EQ(ta->width(), screenWidth);
  EXPECT_EQ(ta->format(), format::RGBA16F);
  EXPECT_EQ(ta->sizeClass(), uint32_t(kSizeFull));
  newFrame();
  EXPECT_EQ(imageOf(a), ta);
  EXPECT_EQ(imageOf(b), tb);

  // "Format": 1 is 8 bits a channel, anything else 16-bit float.
  for (auto [format, code] : {std::pair{1.0f, format::RGBA8}, {1.9f, format::RGBA8}, {2.0f, format::RGBA16F},
                              {-1.0f, format::RGBA16F}}) {
    setParam(a, "Format", format);
    EXPECT_EQ(imageOf(a)->format(), code) << format;
  }
}

TEST_F(ImageTargetsGpuTest, ImageSizesAndRegions) {
  Operator& img = g.op("Image");
  ImageProbe& probe = g.probe();
  g.feed(probe, img);
  newFrame();
  const Viewport caller{2, 3, 12, 13};

  // A given size: the input draws over the whole target; the caller's region comes back.
  setParam(img, "Size.X", 8), setParam(img, "Size.Y", 4);
  g.ctx.viewport = caller;
  Texture* t = imageOf(img);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->width(), 8u);
  EXPECT_EQ(t->height(), 4u);
  EXPECT_EQ(t->sizeClass(), 0u);
  EXPECT_EQ(probe.seen.back().viewport, (Viewport{0, 0, 8, 4}));
  EXPECT_EQ(probe.seen.back().imageResult, t);
  EXPECT_EQ(g.ctx.viewport, caller);

  // SetRegionToCurrentSize leaves the target's size as the region.
  setParam(img, "SetRegionToCurrentSize", 1);
  imageOf(img);
  EXPECT_EQ(g.ctx.viewport, (Viewport{0, 0, 8, 4}));
  setParam(img, "SetRegionToCurrentSize", 0);

  // Screen-sized: the caller's region is kept while the input draws.
  setParam(img, "Size.X", 0), setParam(img, "Size.Y", 0);
  g.ctx.viewport = caller;
  imageOf(img);
  EXPECT_EQ(probe.seen.back().viewport, caller);
  EXPECT_EQ(g.ctx.viewport, caller);

  // One side given: that side as asked, the other the window's.
  setParam(img, "Size.X", 5);
  t = imageOf(img);
  EXPECT_EQ(t->width(), 5u);
  EXPECT_EQ(t->height(), screenHeight);
  EXPECT_EQ(probe.seen.back().viewport, (Viewport{0, 0, 5, int32_t(screenHeight)}));
  setParam(img, "Size.X", -7), setParam(img, "Size.Y", 6);
  t = imageOf(img);
  EXPECT_EQ(t->width(), screenWidth);
  EXPECT_EQ(t->height(), 6u);
}

TEST_F(ImageTargetsGpuTest, ImageClearsItsTargetAndOnRequestTheGBufferAfterwards) {
  Operator& img = g.op("Image");
  ImageProbe& probe = g.probe();
  g.feed(probe, img);
  setParam(img, "Format", 1);
  setParam(img, "Size.X", 4), setParam(img, "Size.Y", 4);
  setParam(img, "Clear.R", 1), setParam(img, "Clear.G", 0.5f), setParam(img, "Clear.A", 1);
  setParam(img, "ClearGBufferAfter", 1);
  newFrame();
  // The input draws into the G-buffer; afterwards it reads as "nothing drawn" again.
  probe.draw = [&](Context& c) {
    const float ones[4] = {1, 1, 1, 1};
    for (Texture* gb : c.gbuffer) clearTexture(device(), gb, ones);
  };
  Texture* t = imageOf(img);
  ASSERT_NE(t, nullptr);
  const std::vector<uint8_t> px = readBack(t);
  EXPECT_TRUE(nearRgba(rgba(px, 4, 3, 2), packRgba(255, 128, 0, 255))) << std::hex << rgba(px, 4, 3, 2);
  for (int i = 0; i < 4; ++i) {  // the two-channel velocity target below
    const std::array<float, 4> v = texel16f(g.ctx.gbuffer[i], 1, 1);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(v[size_t(c)], kGBufferClearValues[i][c]) << "target " << i << " channel " << c;
  }
  const std::vector<uint8_t> velocity = readBack(g.ctx.gbuffer[4]);
  EXPECT_EQ(velocity[0] | velocity[1] | velocity[2] | velocity[3], 0);
}

TEST_F(ImageTargetsGpuTest, SlotInKeepsItsPictureAcrossFramesForSlotOut) {
  Operator& slotIn = g.op("SlotIn");
  Operator& slotOut = g.op("SlotOut");
  ImageProbe& effect = g.probe();
  g.feed(effect, slotIn);
  setParam(slotIn, "ID", 3), setParam(slotOut, "ID", 3);
  setParam(slotIn, "Size.X", 8), setParam(slotIn, "Size.Y", 8);
  // The input ends in an effect: its picture is a ring target of the slot's fresh frame.
  float shade = 0.25f;
  effect.draw = [&](Context& c) {
    Texture* ring = nextRingTarget(c);
    const float colour[4] = {shade, 0, 0, 1};
    clearTexture(device(), ring, colour);
    c.imageResult = ring;
  };

  newFrame();
  Texture* before = g.ctx.imageResult;
  g.eval(slotOut, 0.0f);  // nothing written yet: the picture stays
  EXPECT_EQ(g.ctx.imageResult, before);
  Texture* slot = imageOf(slotIn);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->width(), 8u);
  EXPECT_EQ(g.ctx.viewport, (Viewport{0, 0, 8, 8}));
  EXPECT_EQ(effect.seen.back().viewport, (Viewport{0, 0, 8, 8}));
  EXPECT_EQ(g.ctx.gbuffer[0]->width(), 8u);  // the input had a G-buffer of the slot's size
  EXPECT_EQ(SlotTable::instance().find(3), slot);

  // Next frame the ring is reused for something else; the slot still shows the copy.
  newFrame();
  for (int i = 0; i < 3; ++i) {
    const float black[4] = {0, 0, 0, 0};
    clearTexture(device(), nextRingTarget(g.ctx), black);
  }
  EXPECT_EQ(imageOf(slotOut), slot);
  EXPECT_NEAR(texel16f(slot, 7, 7)[0], 0.25f, 1e-3f);

  // The same slot size keeps the target; another size remakes it and the table follows.
  shade = 0.5f;
  EXPECT_EQ(imageOf(slotIn), slot);
  EXPECT_NEAR(texel16f(slot, 0, 0)[0], 0.5f, 1e-3f);
  setParam(slotIn, "Size.X", 4);
  Texture* remade = imageOf(slotIn);
  ASSERT_NE(remade, nullptr);
  EXPECT_EQ(remade->width(), 4u);
  EXPECT_EQ(SlotTable::instance().find(3), remade);
  // A request for the same pixels keeps the target: a fraction more, or a NaN side (the
  // window's) frame after frame.
  setParam(slotIn, "Size.X", 4.7f);
  EXPECT_EQ(imageOf(slotIn), remade);
  setParam(slotIn, "Size.X", NAN);
  Texture* windowWide = imageOf(slotIn);
  ASSERT_NE(windowWide, nullptr);
  EXPECT_EQ(windowWide->width(), screenWidth);
  EXPECT_EQ(imageOf(slotIn), windowWide);

  // A SlotIn that goes (its production unloaded) leaves no entry behind.
  g.graph.reset();
  EXPECT_EQ(SlotTable::instance().find(3), nullptr);
}

TEST_F(ImageTargetsGpuTest, SlotInWithASideUnsetKeepsAWindowSizedTarget) {
  Operator& slotIn = g.op("SlotIn");
  ImageProbe& probe = g.probe();
  g.feed(probe, slotIn);
  setParam(slotIn, "Size.X", 5), setParam(slotIn, "Size.Y", 0);
  newFrame();
  Texture* t = imageOf(slotIn);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->width(), screenWidth);
  EXPECT_EQ(t->height(), screenHeight);
  EXPECT_EQ(t->sizeClass(), uint32_t(kSizeFull));
  // The input still draws over the side that was given, with a G-buffer of that size.
  EXPECT_EQ(probe.seen.back().viewport, (Viewport{0, 0, 5, int32_t(screenHeight)}));
  EXPECT_EQ(g.ctx.gbuffer[0]->width(), 5u);
  setParam(slotIn, "Size.X", 0.7f), setParam(slotIn, "Size.Y", 6);
  EXPECT_EQ(imageOf(slotIn), t);
  EXPECT_EQ(probe.seen.back().viewport, (Viewport{0, 0, int32_t(screenWidth), 6}));

  // Both sides given: a target of just that size.
  setParam(slotIn, "Size.X", 5);
  Texture* fixed = imageOf(slotIn);
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->width(), 5u);
  EXPECT_EQ(fixed->height(), 6u);
  EXPECT_EQ(fixed->sizeClass(), 0u);

  // A given side wider than the window: the input's picture is kept as far as it fits.
  setParam(slotIn, "Size.X", float(screenWidth * 2)), setParam(slotIn, "Size.Y", 0);
  probe.draw = [&](Context& c) {
    Texture* ring = nextRingTarget(c);
    const float colour[4] = {0.75f, 0, 0, 1};
    clearTexture(device(), ring, colour);
    c.imageResult = ring;
  };
  Texture* wide = imageOf(slotIn);
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(wide->width(), screenWidth);
  EXPECT_NEAR(texel16f(wide, screenWidth - 1, screenHeight - 1)[0], 0.75f, 1e-3f);
}

TEST_F(ImageTargetsGpuTest, GBufferGivesItsInputAFreshGBufferAndSplitGBufferShowsItsTextures) {
  Operator& gbuffer = g.op("GBuffer");
  Operator& split = g.op("SplitGBuffer");
  ImageProbe& probe = g.probe();
  g.feed(probe, gbuffer);
  g.feed(gbuffer, split);
  newFrame();
  Texture* first[5];
  std::memcpy(first, g.ctx.gbuffer, sizeof first);
  const float ones[4] = {1, 1, 1, 1};
  for (Texture* t : first) clearTexture(device(), t, ones);

  probe.result = marker(9);
  g.eval(gbuffer, 0.0f);
  EXPECT_EQ(g.ctx.imageResult, marker(9));  // the output is what the input left
  for (int i = 0; i < 5; ++i) EXPECT_NE(g.ctx.gbuffer[i], first[i]);
  EXPECT_EQ(texel16f(g.ctx.gbuffer[1], 2, 2)[3], 65504.0f);
  EXPECT_EQ(g.ctx.gbuffer[0]->sizeClass(), uint32_t(kSizeFull));

  for (uint32_t out = 0; out < 4; ++out) {
    g.ctx.imageResult = nullptr;
    g.eval(split, 0.0f, out);
    EXPECT_EQ(g.ctx.imageResult, g.ctx.gbuffer[out]) << split.outputs[out].name;
  }
  EXPECT_EQ(split.outputs[3].name, "Emissive");
}

}  // namespace

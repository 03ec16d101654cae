// "Blend", "MaskImage" and "Sprite" on small pictures, against the formulas computed here.
#include <algorithm>
#include <cmath>

#include "image/Compositing.h"
#include "tests/image/ImageOpTestSupport.h"

namespace {

using posttest::fromHalf;
using posttest::Pixel;
using posttest::toHalf;

float q(float v) { return fromHalf(toHalf(v)); }
Pixel q(Pixel p) { return Pixel{q(p.r), q(p.g), q(p.b), q(p.a)}; }

std::vector<Pixel> noise(uint32_t count, uint32_t seed, bool randomAlpha) {
  std::vector<Pixel> out(count);
  uint32_t s = seed * 2654435761u + 7;
  auto next = [&s] {
    s = s * 1664525u + 1013904223u;
    return float(s >> 8) / 16777216.0f;
  };
  for (Pixel& p : out) p = Pixel{next(), next(), next(), randomAlpha ? next() : 1.0f};
  return out;
}

float luminance(const Pixel& p) { return 0.2126f * p.r + 0.7152f * p.g + 0.0722f * p.b; }

// What the blend modes mean (see data/shaders/blend.hlsl).
Pixel blendCpu(Pixel a, Pixel b, float m, int colourMode, int alphaMode) {
  auto mix = [&](float x, float y) {
    switch (colourMode) {
      case 1: return x + y;
      case 2: return x * y;
      case 3: return std::fabs(x - y);
      default: return y;
    }
  };
  const float k = std::clamp(alphaMode == 2 || alphaMode == 3 ? m : b.a * m, 0.0f, 1.0f);
  float alpha;
  switch (alphaMode) {
    case 1: alpha = a.a; break;
    case 2: alpha = b.a; break;
    case 3: alpha = 1.0f; break;
    default: alpha = a.a + k * (1.0f - a.a); break;
  }
  auto lerp = [k](float x, float y) { return x + (y - x) * k; };
  return Pixel{lerp(a.r, mix(a.r, b.r)), lerp(a.g, mix(a.g, b.g)), lerp(a.b, mix(a.b, b.b)), alpha};
}

::testing::AssertionResult near(const Pixel& got, const Pixel& want, float tolerance) {
  const float d = std::max({std::fabs(got.r - want.r), std::fabs(got.g - want.g), std::fabs(got.b - want.b),
                            std::fabs(got.a - want.a)});
  if (d <= tolerance) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got (" << got.r << ", " << got.g << ", " << got.b << ", " << got.a
                                       << ") want (" << want.r << ", " << want.g << ", " << want.b << ", " << want.a
                                       << ")";
}

}  // namespace

class CompositingGpuTest : public ImageOpGpuTest {};

TEST_F(CompositingGpuTest, BlendCombinesByEachColourAndAlphaModeThroughTheMask) {
  const uint32_t n = size() * size();
  const std::vector<Pixel> a = noise(n, 1, true), b = noise(n, 2, true), m = noise(n, 3, false);
  Texture* ta = picture(a);
  Texture* tb = picture(b);
  Texture* tm = picture(m);
  Texture* destination = uniform({0.3f, 0.3f, 0.3f, 1});
  std::vector<std::vector<Pixel>> results;
  for (int withMask = 0; withMask < 2; ++withMask)
    for (int colourMode = 0; colourMode < 4; ++colourMode)
      for (int alphaMode = 0; alphaMode < 4; ++alphaMode) {
        SCOPED_TRACE(::testing::Message() << "colour " << colourMode << " alpha " << alphaMode << " mask " << withMask);
        Operator& blend = effect("Blend");
        feed(pictureOp(ta), blend, "ImageA");
        feed(pictureOp(tb), blend, "ImageB");
        if (withMask) feed(pictureOp(tm), blend, "ImageMask");
        setParam(blend, "Color", float(colourMode));
        setParam(blend, "Alpha", float(alphaMode));
        ASSERT_EQ(runOn(blend, destination), destination) << "the result is the picture current at the start";
        const std::vector<Pixel> out = pixels(destination);
        for (uint32_t i = 0; i < n; ++i) {
          const float weight = withMask ? std::clamp(luminance(q(m[i])), 0.0f, 1.0f) : 1.0f;
          ASSERT_TRUE(near(out[i], blendCpu(q(a[i]), q(b[i]), weight, colourMode, alphaMode), 4e-3f)) << "pixel " << i;
        }
        results.push_back(out);
      }
  // Every mode draws something of its own.
  for (size_t i = 0; i < 16; ++i)
    for (size_t j = i + 1; j < 16; ++j) {
      bool differ = false;
      for (uint32_t p = 0; p < n && !differ; ++p)
        differ = !near(results[i][p], results[j][p], 1e-2f);
      EXPECT_TRUE(differ) << "modes " << i << " and " << j << " draw the same";
    }
}

TEST_F(CompositingGpuTest, BlendAndMaskImageWithoutTheirPicturesDrawNothing) {
  Texture* destination = uniform({0.3f, 0.3f, 0.3f, 1});
  Texture* a = uniform({1, 0, 0, 1});
  Operator& blend = effect("Blend");
  feed(pictureOp(a), blend, "ImageA");
  EXPECT_EQ(runOn(blend, destination), a) << "the result is what the inputs left";
  EXPECT_TRUE(near(pixels(destination)[0], Pixel{0.3f, 0.3f, 0.3f, 1}, 1e-3f));

  // Nothing current to draw into: the result is that nothing, not one of the inputs.
  Texture* b = uniform({0, 1, 0, 1});
  Operator& both = effect("Blend");
  feed(pictureOp(a), both, "ImageA");
  feed(pictureOp(b), both, "ImageB");
  EXPECT_EQ(runOn(both, nullptr), nullptr);
  EXPECT_EQ(runOn(both, destination), destination);

  Operator& masked = effect("MaskImage");
  feed(pictureOp(a), masked, "ImageIn");
  feed(pictureOp(nullptr), masked, "Mask");
  EXPECT_EQ(runOn(masked, destination), nullptr) << "an empty mask: what the inputs left";
  Operator& maskedOnto = effect("MaskImage");
  feed(pictureOp(a), maskedOnto, "ImageIn");
  feed(pictureOp(b), maskedOnto, "Mask");
  EXPECT_EQ(runOn(maskedOnto, nullptr), nullptr);
  EXPECT_EQ(runOn(maskedOnto, destination), destination);
}

TEST_F(CompositingGpuTest, BlendIntoOneOfItsOwnInputsReadsTheInputAsItWas) {
  // "ImageA" is the picture being drawn into: it is read from a copy, not while written.
  const uint32_t n = size() * size();
  const std::vector<Pixel> values = noise(n, 9, true);
  Texture* destination = picture(values);
  Operator& blend = effect("Blend");
  feed(pictureOp(destination), blend, "ImageA");
  feed(pictureOp(uniform({0.5f, 0.25f, 1.0f, 0.5f})), blend, "ImageB");
  setParam(blend, "Color", 1);  // Add
  ASSERT_EQ(runOn(blend, destination), destination);
  const std::vector<Pixel> out = pixels(destination);
  for (uint32_t i = 0; i < n; ++i)
    ASSERT_TRUE(near(out[i], blendCpu(q(values[i]), Pixel{0.5f, 0.25f, 1.0f, 0.5f}, 1.0f, 1, 0), 4e-3f)) << i;
}

TEST_F(CompositingGpuTest, MaskImageKeepsWhatEachChannelMaskPassesAndInvertSwaps) {
  const uint32_t n = size() * size();
  const std::vector<Pixel> image = noise(n, 4, true), mask = noise(n, 5, true);
  Texture* ti = picture(image);
  Texture* tk = picture(mask);
  Texture* destination = uniform({0.3f, 0.3f, 0.3f, 1});
  const float channelMasks[5][4] = {{0, 0, 0, 1}, {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {1, 1, 1, 0}};
  for (const auto& cm : channelMasks)
    for (float threshold : {0.5f, 0.3f})
      for (int invert = 0; invert < 2; ++invert) {
        SCOPED_TRACE(::testing::Message() << "mask " << cm[0] << cm[1] << cm[2] << cm[3] << " threshold " << threshold
                                          << " invert " << invert);
        Operator& op = effect("MaskImage");
        feed(pictureOp(ti), op, "ImageIn");
        feed(pictureOp(tk), op, "Mask");
        setParam(op, "ChannelMask.R", cm[0]);
        setParam(op, "ChannelMask.G", cm[1]);
        setParam(op, "ChannelMask.B", cm[2]);
        setParam(op, "ChannelMask.A", cm[3]);
        setParam(op, "Threshold", threshold);
        setParam(op, "Invert", float(invert));
        ASSERT_EQ(runOn(op, destination), destination);
        const std::vector<Pixel> out = pixels(destination);
        uint32_t kept = 0;
        for (uint32_t i = 0; i < n; ++i) {
          const Pixel k = q(mask[i]);
          const float value = (k.r * cm[0] + k.g * cm[1] + k.b * cm[2] + k.a * cm[3]) / (cm[0] + cm[1] + cm[2] + cm[3]);
          if (std::fabs(value - threshold) < 1e-3f) continue;  // too close to call
          const bool keep = (value >= threshold) != (invert == 1);
          kept += keep;
          ASSERT_TRUE(near(out[i], keep ? q(image[i]) : Pixel{}, 1e-3f)) << "pixel " << i;
        }
        EXPECT_GT(kept, 0u);
        EXPECT_LT(kept, n);
      }
}

// ---------------------------------------------------------------- Sprite

class SpriteGpuTest : public ImageOpGpuTest {
 protected:
  SpriteGpuTest() : ImageOpGpuTest(96) {}

  // A sprite of `texture` over a black opaque 96 x 96 picture, in the viewport given.
  Operator& sprite(Texture* texture, Texture* backdrop) {
    Operator& op = effect("Sprite");
    feed(pictureOp(backdrop), op, "ImageIn");
    if (texture) feed(pictureOp(texture), op, "Texture");
    return op;
  }
};

TEST_F(SpriteGpuTest, CoversTheRectangleOfEachPivot) {
  // A 96 x 54 viewport is a 1920 x 1080 frame at a twentieth: Scale 10 draws a 40 x 20
  // texture at half a pixel per texel, 20 x 10 pixels.
  const Viewport vp{0, 21, 96, 75};
  Texture* texture = picture(std::vector<Pixel>(40 * 20, Pixel{0.25f, 0.5f, 0.75f, 1.0f}), 40, 20);
  for (int pivot = 0; pivot < 10; ++pivot) {
    SCOPED_TRACE(::testing::Message() << "pivot " << pivot);
    Texture* backdrop = uniform({0, 0, 0, 1});
    Operator& op = sprite(texture, backdrop);
    setParam(op, "Position.X", 0.25f);
    setParam(op, "Position.Y", -0.25f);
    setParam(op, "Scale.X", 10);
    setParam(op, "Scale.Y", 10);
    setParam(op, "Pivot", float(pivot));
    context.viewport = vp;
    ASSERT_EQ(runOn(op, nullptr), backdrop) << "the sprite is drawn onto the picture it received";
    const SpriteRect r = spriteRect(96, 54, 40, 20, 0.25f, -0.25f, 10, 10, pivot);
    ASSERT_FLOAT_EQ(r.w, 20.0f);
    ASSERT_FLOAT_EQ(r.h, 10.0f);
    const std::vector<Pixel> out = pixels(backdrop);
    uint32_t covered = 0;
    for (uint32_t y = 0; y < 96; ++y)
      for (uint32_t x = 0; x < 96; ++x) {
        const float cx = float(x) + 0.5f, cy = float(y) + 0.5f - float(vp.top);
        const bool inside = cy >= 0 && cy < 54 && cx >= r.x0 && cx < r.x0 + r.w && cy >= r.y0 - r.h && cy < r.y0;
        const Pixel p = at(out, 96, x, y);
        covered += inside;
        ASSERT_TRUE(near(p, inside ? Pixel{0.25f, 0.5f, 0.75f, 2.0f} : Pixel{0, 0, 0, 1}, 2e-3f))
            << x << "," << y << " rect x " << r.x0 << " y " << r.y0;
      }
    EXPECT_EQ(covered, 200u);
  }
}

TEST_F(SpriteGpuTest, BlendsItsColourByItsAlphaAndShowsTheTextureUpright) {
  // Top half red, bottom half green, drawn one texel per pixel (Scale 1 on a frame of
  // 1080 lines; here 96 lines at Scale 1080 / 96).
  std::vector<Pixel> texels(8 * 8);
  for (uint32_t y = 0; y < 8; ++y)
    for (uint32_t x = 0; x < 8; ++x) texels[y * 8 + x] = y < 4 ? Pixel{1, 0, 0, 1} : Pixel{0, 1, 0, 1};
  Texture* backdrop = uniform({0, 0, 1, 0.25f});
  Operator& op = sprite(picture(texels, 8, 8), backdrop);
  setParam(op, "Scale.X", 1080.0f / 96.0f);
  setParam(op, "Scale.Y", 1080.0f / 96.0f);
  setParam(op, "Color.R", 0.5f);
  setParam(op, "Color.A", 0.5f);
  runOn(op, nullptr);
  const std::vector<Pixel> out = pixels(backdrop);
  // Centred: texels land on pixels 44..51 both ways.
  // colour = texel * (0.5, 1, 1, 0.5) * 0.5 + backdrop * 0.5; alpha = 0.5 + 0.25.
  EXPECT_TRUE(near(at(out, 96, 45, 45), Pixel{0.25f, 0.0f, 0.5f, 0.75f}, 2e-3f));
  EXPECT_TRUE(near(at(out, 96, 45, 50), Pixel{0.0f, 0.5f, 0.5f, 0.75f}, 2e-3f));
  EXPECT_TRUE(near(at(out, 96, 43, 45), Pixel{0, 0, 1, 0.25f}, 1e-3f));
  EXPECT_TRUE(near(at(out, 96, 52, 45), Pixel{0, 0, 1, 0.25f}, 1e-3f));
}

TEST_F(SpriteGpuTest, DrawsNothingWithoutAlphaOrAreaAndWithoutTextureUsesWhite) {
  auto untouched = [&](Texture* backdrop) {
    for (const Pixel& p : pixels(backdrop))
      if (!near(p, Pixel{0, 0, 0, 1}, 0)) return false;
    return true;
  };
  Texture* texture = uniform({1, 1, 1, 1});
  {
    Texture* backdrop = uniform({0, 0, 0, 1});
    Operator& op = sprite(texture, backdrop);
    setParam(op, "Color.A", 0);
    Texture* before = uniform({0, 0, 0, 0});
    EXPECT_EQ(runOn(op, before), backdrop) << "the picture from ImageIn stays the result";
    EXPECT_TRUE(untouched(backdrop));
  }
  {
    // A viewport without height, a scale of zero, an input that leaves no texture.
    Texture* backdrop = uniform({0, 0, 0, 1});
    Operator& op = sprite(texture, backdrop);
    context.viewport = Viewport{0, 10, 96, 10};
    runOn(op, nullptr);
    context.viewport = Viewport{0, 0, 96, 96};
    setParam(op, "Scale.Y", 0);
    runOn(op, nullptr);
    EXPECT_TRUE(untouched(backdrop));
    Operator& none = sprite(nullptr, backdrop);
    feed(pictureOp(nullptr), none, "Texture");
    runOn(none, nullptr);
    EXPECT_TRUE(untouched(backdrop));
  }
  {
    // No "Texture" connection: the 2 x 2 white texture, 5 pixels a texel.
    Texture* backdrop = uniform({0, 0, 0, 1});
    Operator& op = sprite(nullptr, backdrop);
    setParam(op, "Color.G", 0.5f);
    setParam(op, "Scale.X", 1080.0f / 96.0f * 5.0f);
    setParam(op, "Scale.Y", 1080.0f / 96.0f * 5.0f);
    runOn(op, nullptr);
    const std::vector<Pixel> out = pixels(backdrop);
    uint32_t covered = 0;
    for (const Pixel& p : out) covered += p.r > 0.5f;
    EXPECT_EQ(covered, 100u);
    EXPECT_TRUE(near(at(out, 96, 48, 48), Pixel{1, 0.5f, 1, 2}, 2e-3f));
  }
}

TEST_F(CompositingGpuTest, BlendTakesAnAlphaAboveOneAsFullCover) {
  // Additive passes (reflections laid over a picture) leave alphas above 1.
  Texture* destination = uniform({0, 0, 0, 0});
  Operator& blend = effect("Blend");
  feed(pictureOp(uniform({0.2f, 0.4f, 0.6f, 1})), blend, "ImageA");
  feed(pictureOp(uniform({1.0f, 0.5f, 0.25f, 1.5f})), blend, "ImageB");
  runOn(blend, destination);
  EXPECT_TRUE(near(pixels(destination)[0], Pixel{1.0f, 0.5f, 0.25f, 1.0f}, 1e-3f));
}

// "Radial", "Gradient", "ImageShader", "Engraver" and "Fog" on small pictures: ramps against
// their formulas, the shader-file operators' loading rules, the engraving's ink against the
// picture's brightness, and the fog against its formula from a hand-made G-buffer.
#include <algorithm>
#include <cmath>

#include "engine/Globals.h"
#include "image/Generators.h"
#include "image/ScreenSpace.h"
#include "tests/image/ImageOpTestSupport.h"

namespace {

using posttest::fromHalf;
using posttest::Pixel;
using posttest::toHalf;

float q(float v) { return fromHalf(toHalf(v)); }

Pixel lerp(Pixel a, Pixel b, float t) {
  return Pixel{a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t, a.a + (b.a - a.a) * t};
}

float maxDiff(Pixel a, Pixel b) {
  return std::max({std::fabs(a.r - b.r), std::fabs(a.g - b.g), std::fabs(a.b - b.b), std::fabs(a.a - b.a)});
}

}  // namespace

class GeneratorsGpuTest : public ImageOpGpuTest {
 protected:
  GeneratorsGpuTest() : ImageOpGpuTest(32) {}

  // Generator space of pixel (x, y) in a W x H viewport at (left, top): [-1, 1] across, y down.
  static Float2 point(uint32_t x, uint32_t y, const Viewport& vp) {
    const float w = float(vp.right - vp.left), h = float(vp.bottom - vp.top);
    return Float2{(float(x - vp.left) + 0.5f) / w * 2.0f - 1.0f, (float(y - vp.top) + 0.5f) / h * 2.0f - 1.0f};
  }

  // Runs a ramp over a 32 x 16 viewport and compares it with `ramp(point)` laid over `input`.
  template <typename Ramp>
  void checkRamp(Operator& op, const Pixel* input, Ramp ramp) {
    const Viewport vp{0, 8, 32, 24};
    context.viewport = vp;
    const uint32_t before = ringIndex();
    Texture* out = runOn(op, nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out, ringSlot(before)) << "drawn into the next ring image";
    const std::vector<Pixel> got = pixels(out);
    for (uint32_t y = uint32_t(vp.top); y < uint32_t(vp.bottom); ++y)
      for (uint32_t x = 0; x < 32; ++x) {
        Pixel want = ramp(point(x, y, vp));
        if (input) want = lerp(*input, want, want.a);
        ASSERT_LT(maxDiff(at(got, 32, x, y), want), 4e-3f) << x << "," << y;
      }
  }
};

TEST_F(GeneratorsGpuTest, RadialMatchesItsRampRoundOnAWideViewport) {
  const Pixel c1{1, 0.2f, 0, 1}, c2{0, 0.4f, 1, 0.5f};
  auto ramp = [&](Float2 p) {
    const float dx = (p.x - 0.25f) * 2.0f, dy = p.y + 0.5f;  // x scaled by the aspect 2
    const float d = std::sqrt(dx * dx + dy * dy);
    return lerp(c1, c2, std::clamp((d - 0.2f) / 0.7f, 0.0f, 1.0f));
  };
  auto make = [&] {
    Operator& op = effect("Radial");
    const float values[] = {c1.r, c1.g, c1.b, c1.a, c2.r, c2.g, c2.b, c2.a};
    const char* names[] = {"Color 1 R", "Color 1 G", "Color 1 B", "Color 1 A",
                           "Color 2 R", "Color 2 G", "Color 2 B", "Color 2 A"};
    for (int i = 0; i < 8; ++i) setParam(op, names[i], values[i]);
    setParam(op, "Position X", 0.25f);
    setParam(op, "Position Y", -0.5f);
    setParam(op, "Radius Inner", 0.2f);
    setParam(op, "Radius Outer", 0.9f);
    return std::ref(op);
  };
  {
    SCOPED_TRACE("nothing connected: the ramp alone");
    checkRamp(make(), nullptr, ramp);
  }
  {
    SCOPED_TRACE("over a picture by the ramp's alpha");
    Operator& op = make();
    const Pixel green{0.1f, 0.9f, 0.3f, 1};
    feed(pictureOp(uniform(green)), op);
    checkRamp(op, &green, ramp);
  }
}

TEST_F(GeneratorsGpuTest, GradientMatchesItsRampAlongTheAxis) {
  Operator& op = effect("Gradient");
  setParam(op, "Color 2 A", 0.25f);
  setParam(op, "Position 1 X", -0.5f);
  setParam(op, "Position 1 Y", -1.0f);
  setParam(op, "Position 2 X", 0.5f);
  setParam(op, "Position 2 Y", 1.0f);
  const Pixel white{1, 1, 1, 1}, clear{0, 0, 0, 0.25f};
  auto ramp = [&](Float2 p) {
    const Float2 axis{1.0f * 2.0f, 2.0f};  // (P2 - P1) with x scaled by the aspect 2
    const Float2 rel{(p.x + 0.5f) * 2.0f, p.y + 1.0f};
    const float t = (rel.x * axis.x + rel.y * axis.y) / (axis.x * axis.x + axis.y * axis.y);
    return lerp(white, clear, std::clamp(t, 0.0f, 1.0f));
  };
  checkRamp(op, nullptr, ramp);

  // Two equal positions: colour 1 everywhere, no division by zero.
  Operator& flat = effect("Gradient");
  setParam(flat, "Position 1 Y", 0.0f);
  setParam(flat, "Position 2 Y", 0.0f);
  checkRamp(flat, nullptr, [&](Float2) { return white; });
}

TEST_F(GeneratorsGpuTest, ImageShaderLooksForAPathUntilGivenOneThenKeepsItsProgram) {
  Texture* canvas = uniform({0, 0, 0, 1});
  Operator& op = effect("ImageShader");
  auto* fn = dynamic_cast<ImageShaderOp::ImageShaderFunction*>(op.outputs[0].source.get());
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(runOn(op, canvas), canvas);
  EXPECT_EQ(fn->notLoaded, 1) << "an empty path is read again next time";
  EXPECT_LT(maxDiff(pixels(canvas)[0], Pixel{0, 0, 0, 1}), 1e-6f) << "nothing drawn";

  setText(op, "Filepath", "data/shaders/imageShaders/plasma.hlsl");
  EXPECT_EQ(runOn(op, canvas, 1.0f), canvas) << "drawn into the picture current at the start";
  EXPECT_EQ(fn->notLoaded, 0);
  ShaderProgram* program = fn->program.get();
  ASSERT_NE(program, nullptr);
  const std::vector<Pixel> plasma = pixels(canvas);
  float spread = 0;
  for (const Pixel& p : plasma) spread = std::max(spread, maxDiff(p, plasma[0]));
  EXPECT_GT(spread, 0.05f) << "the plasma varies over the picture";

  // A later path is never read; a file that fails leaves the operator inert.
  setText(op, "Filepath", "data/shaders/imageShaders/tunnel.hlsl");
  runOn(op, canvas, 1.0f);
  EXPECT_EQ(fn->program.get(), program);
  Operator& broken = effect("ImageShader");
  setText(broken, "Filepath", "data/shaders/imageShaders/missing.hlsl");
  Texture* other = uniform({0, 0, 0, 1});
  EXPECT_EQ(runOn(broken, other), other);
  EXPECT_LT(maxDiff(pixels(other)[0], Pixel{0, 0, 0, 1}), 1e-6f);
}

TEST_F(GeneratorsGpuTest, ImageShaderFilesReadTheirInputPicture) {
  // The tunnel's far end shows the input; with the opening wide the centre is the input.
  Texture* canvas = uniform({0, 0, 0, 1});
  Operator& op = effect("ImageShader");
  setText(op, "Filepath", "data/shaders/imageShaders/tunnel.hlsl");
  setParam(op, "Param3.X", 4.0f);
  feed(pictureOp(uniform({0.2f, 0.8f, 0.4f, 1})), op);
  runOn(op, canvas, 0.5f);
  EXPECT_LT(maxDiff(at(pixels(canvas), 32, 16, 16), Pixel{0.2f, 0.8f, 0.4f, 1}), 2e-3f);
}

TEST_F(GeneratorsGpuTest, EngraverInksDarkPartsAndLeavesBrightOnes) {
  auto engrave = [&](float grey) {
    Texture* canvas = uniform({0, 0, 0, 0});
    Operator& op = effect("Engraver");
    feed(pictureOp(uniform({grey, grey, grey, 1})), op);
    setParam(op, "Scale", 2.0f);  // lines every 4 pixels
    setParam(op, "Rotation", 0.0f);
    runOn(op, canvas);
    double ink = 0;
    for (const Pixel& p : pixels(canvas)) ink += 1.0 - p.r / grey;
    return ink / (32.0 * 32.0);
  };
  EXPECT_NEAR(engrave(1.0f), 0.0, 1e-3) << "white paper stays clear";
  EXPECT_NEAR(engrave(0.5f), 0.5, 0.1) << "mid grey is half ink";
  EXPECT_NEAR(engrave(0.25f), 0.75, 0.1);
}

TEST_F(GeneratorsGpuTest, FogFollowsDepthAndHeightAndPassesThroughWhenOff) {
  // Camera at height 2 looking along +Z; the depth target holds the far plane everywhere.
  context.camera = mat::translation({0, 2, 0});
  context.projection = mat::perspectiveFovDegrees(60.0f, 1.0f, 0.5f, 100.0f);
  clearGBuffer(context);
  std::vector<Pixel> normals(32 * 32, Pixel{0, 0, 0, 65504});
  std::vector<Pixel> material(32 * 32, Pixel{65504, 65504, 65504, 0});
  for (uint32_t i = 0; i < 32 * 32; ++i)
    if (i % 3 != 0) {
      normals[i] = Pixel{0, 0, -1, 2.0f + float(i % 29) * 3.0f};
      material[i] = Pixel{0.5f, 0, 1, 1};
    }
  upload(context.gbuffer[1], normals);
  upload(context.gbuffer[2], material);
  std::vector<Pixel> colours(32 * 32);
  for (uint32_t i = 0; i < colours.size(); ++i) colours[i] = Pixel{float(i % 7) / 7.0f, 0.5f, float(i % 5) / 5.0f, 1};
  Texture* input = picture(colours);

  Operator& off = effect("Fog");
  feed(pictureOp(input), off);
  setParam(off, "Enabled", 0);
  const uint32_t ring = ringIndex();
  EXPECT_EQ(runOn(off, nullptr), input);
  EXPECT_EQ(ringIndex(), ring) << "passing through takes no ring image";

  Operator& fog = effect("Fog");
  feed(pictureOp(input), fog);
  setParam(fog, "MaxDistance", 80.0f);
  const Pixel fogColour{0.4f, 0.6f, 0.7f, 0};
  Texture* out = runOn(fog, nullptr);
  ASSERT_NE(out, input);
  const std::vector<Pixel> got = pixels(out);
  const Float4x4 inv = mat::inverse(mat::rigidInverse(context.camera) * context.projection);
  for (uint32_t y = 0; y < 32; ++y)
    for (uint32_t x = 0; x < 32; ++x) {
      const uint32_t i = y * 32 + x;
      float amount = 1.0f;
      if (i % 3 != 0) {
        const Float4 ndc{(x + 0.5f) / 16.0f - 1.0f, 1.0f - (y + 0.5f) / 16.0f, 1.0f, 1.0f};
        const Float4 world = mat::transform(ndc, inv);
        const float height = world.y / world.w;
        amount = std::min(q(normals[i].a) / 80.0f, 1.0f) * std::exp(-std::max(height, 0.0f) * 0.05f);
      }
      Pixel want = lerp(Pixel{q(colours[i].r), 0.5f, q(colours[i].b), 1}, fogColour, amount);
      want.a = 1;
      ASSERT_LT(maxDiff(at(got, 32, x, y), want), 4e-3f) << x << "," << y << " amount " << amount;
    }
}

// The defining property of each effect, on small synthetic pictures, against a CPU
// computation where the effect has one.
#include <algorithm>
#include <cmath>

#include "tests/image/PostTestSupport.h"

namespace {

using posttest::fromHalf;
using posttest::Pixel;
using posttest::toHalf;

float quantised(float v) { return fromHalf(toHalf(v)); }

// Deterministic values in [0, 1).
std::vector<Pixel> noise(uint32_t count, uint32_t seed) {
  std::vector<Pixel> out(count);
  uint32_t s = seed * 2654435761u + 1;
  auto next = [&s] {
    s = s * 1664525u + 1013904223u;
    return float(s >> 8) / 16777216.0f;
  };
  for (Pixel& p : out) p = Pixel{next(), next(), next(), 1.0f};
  return out;
}

double mean(const std::vector<Pixel>& p) {
  double sum = 0;
  for (const Pixel& x : p) sum += x.r;
  return sum / double(p.size());
}

double variance(const std::vector<Pixel>& p) {
  const double m = mean(p);
  double sum = 0;
  for (const Pixel& x : p) sum += (x.r - m) * (x.r - m);
  return sum / double(p.size());
}

float acesFilm(float x) {
  x = std::max(x, 0.0f);
  return std::clamp((x * (2.51f * x + 0.03f)) / (x * (2.43f * x + 0.59f) + 0.14f), 0.0f, 1.0f);
}

float srgb(float c) {
  c = std::clamp(c, 0.0f, 1.0f);
  return c <= 0.0031308f ? c * 12.92f : 1.055f * std::pow(c, 1.0f / 2.4f) - 0.055f;
}

}  // namespace

class EffectsGpuTest : public PostGpuTest {
 protected:
  Pixel at(const std::vector<Pixel>& p, uint32_t x, uint32_t y) const { return p[size_t(y) * size() + x]; }
};

TEST_F(EffectsGpuTest, InvertTurnsTheViewportOverAndLeavesTheRestEmpty) {
  const std::vector<Pixel> values = noise(32 * 32, 1);
  Texture* source = picture(values);
  context.viewport = Viewport{8, 4, 24, 20};
  Operator& op = effect("Invert");
  const std::vector<Pixel> out = pixels(apply(op, source));
  for (uint32_t y = 0; y < 32; ++y)
    for (uint32_t x = 0; x < 32; ++x) {
      const Pixel o = at(out, x, y), s = at(values, x, y);
      if (x >= 8 && x < 24 && y >= 4 && y < 20) {
        ASSERT_NEAR(o.r, 1.0f - quantised(s.r), 1e-3f) << x << "," << y;
        ASSERT_NEAR(o.b, 1.0f - quantised(s.b), 1e-3f) << x << "," << y;
        ASSERT_EQ(o.a, 1.0f);
      } else {
        ASSERT_EQ(o.r + o.g + o.b + o.a, 0.0f) << x << "," << y;
      }
    }
}

TEST_F(EffectsGpuTest, InvertFollowsItsMaskWhenAskedTo) {
  std::vector<Pixel> maskValues(32 * 32);
  for (uint32_t i = 0; i < maskValues.size(); ++i) maskValues[i] = (i % 32) < 16 ? Pixel{1, 1, 1, 1} : Pixel{};
  Operator& op = effect("Invert");
  setParam(op, "UseMaskImage", 0.3f);  // above 0 counts
  feed(pictureOp(picture(maskValues)), op, "MaskIn");
  const std::vector<Pixel> out = pixels(apply(op, uniform({0.25f, 0.25f, 0.25f, 1})));
  EXPECT_NEAR(at(out, 3, 9).r, 0.75f, 1e-3f);
  EXPECT_NEAR(at(out, 20, 9).r, 0.25f, 1e-3f);
}

TEST_F(EffectsGpuTest, ToneMappingIsAMonotonicFilmicCurveThatExposureScales) {
  std::vector<Pixel> ramp(32 * 32), doubled(32 * 32);
  for (uint32_t i = 0; i < ramp.size(); ++i) {
    const float v = quantised(float(i) / 256.0f);  // 0 .. 4, HDR
    ramp[i] = Pixel{v, v * 0.5f, v * 0.25f, 1};
    doubled[i] = Pixel{2 * v, v, v * 0.5f, 1};
  }
  Operator& plain = effect("ToneMapping");
  const std::vector<Pixel> a = pixels(apply(plain, picture(ramp)));
  Operator& exposed = effect("ToneMapping");
  setParam(exposed, "Exposure", 2.0f);
  const std::vector<Pixel> b = pixels(apply(exposed, picture(ramp)));
  const std::vector<Pixel> c = pixels(apply(plain, picture(doubled)));
  for (size_t i = 0; i < ramp.size(); ++i) {
    ASSERT_NEAR(a[i].r, srgb(acesFilm(quantised(ramp[i].r))), 2e-3f) << i;
    ASSERT_NEAR(a[i].b, srgb(acesFilm(quantised(ramp[i].b))), 2e-3f) << i;
    if (i > 0) {
      ASSERT_GE(a[i].r, a[i - 1].r) << i;
    }
    ASSERT_NEAR(b[i].r, c[i].r, 1e-3f) << i;  // exposure 2 on x is exposure 1 on 2x
  }
  EXPECT_NEAR(a.back().r, 1.0f, 0.02f);
}

TEST_F(EffectsGpuTest, BloomSpreadsABrightSpotAndLeavesADarkPictureDark) {
  std::vector<Pixel> spot(32 * 32, Pixel{0.05f, 0.05f, 0.05f, 1});
  for (uint32_t y = 14; y < 18; ++y)
    for (uint32_t x = 14; x < 18; ++x) spot[y * 32 + x] = Pixel{8, 8, 8, 1};
  Operator& op = effect("Bloom");
  setParam(op, "ExtractThreshold", 1.0f);
  setParam(op, "RadiusX", 200.0f);
  setParam(op, "RadiusY", 200.0f);
  const std::vector<Pixel> out = pixels(apply(op, picture(spot)));
  EXPECT_GT(at(out, 21, 15).r, 0.1f);  // four pixels from the spot: glow
  EXPECT_GT(at(out, 15, 10).g, 0.1f);
  EXPECT_GT(at(out, 21, 15).r, at(out, 26, 15).r);  // falling off with distance
  double before = 0, after = 0;
  for (size_t i = 0; i < spot.size(); ++i) before += spot[i].r, after += out[i].r;
  EXPECT_GT(after - before, 40.0);  // about half the extracted energy of the spot

  const std::vector<Pixel> dark = noise(32 * 32, 2);  // all below 1
  Operator& again = effect("Bloom");
  setParam(again, "ExtractThreshold", 1.0f);
  const std::vector<Pixel> unchanged = pixels(apply(again, picture(dark)));
  for (size_t i = 0; i < dark.size(); ++i) ASSERT_NEAR(unchanged[i].r, quantised(dark[i].r), 1e-3f) << i;
}

TEST_F(EffectsGpuTest, BloomInASmallerViewportTouchesOnlyTheViewport) {
  std::vector<Pixel> spot(32 * 32, Pixel{0.05f, 0.05f, 0.05f, 1});
  for (uint32_t y = 6; y < 10; ++y)
    for (uint32_t x = 6; x < 10; ++x) spot[y * 32 + x] = Pixel{8, 8, 8, 1};
  context.viewport = Viewport{0, 0, 16, 16};
  Operator& op = effect("Bloom");
  setParam(op, "ExtractThreshold", 1.0f);
  setParam(op, "RadiusX", 200.0f);
  setParam(op, "RadiusY", 200.0f);
  const std::vector<Pixel> out = pixels(apply(op, picture(spot)));
  EXPECT_GT(at(out, 12, 8).r, 0.1f);
  for (uint32_t y = 0; y < 32; ++y)
    for (uint32_t x = 0; x < 32; ++x)
      if (x >= 16 || y >= 16) {
        ASSERT_EQ(at(out, x, y).r + at(out, x, y).a, 0.0f) << x << "," << y;
      }
}

TEST_F(EffectsGpuTest, GaussBlurKeepsTheMeanAndLowersTheVarianceAsTheRadiusGrows) {
  const std::vector<Pixel> values = noise(32 * 32, 3);
  Texture* source = picture(values);
  const double sourceMean = mean(values);
  double lastVariance = 1e9;
  for (float radius : {0.0f, 60.0f, 150.0f, 400.0f}) {  // 0, about 2, 4 and 12 pixels here
    Operator& op = effect("GaussBlur");
    setParam(op, "Radius", radius);
    const std::vector<Pixel> out = pixels(apply(op, source));
    EXPECT_NEAR(mean(out), sourceMean, 0.015) << radius;
    const double v = variance(out);
    if (radius == 0.0f) {
      EXPECT_NEAR(v, variance(values), 1e-3);
    }
    EXPECT_LT(v, lastVariance * 0.8) << radius;
    lastVariance = v;
  }
  // Intensity scales the blurred picture.
  Operator& bright = effect("GaussBlur");
  setParam(bright, "Radius", 150.0f);
  setParam(bright, "Intensity", 2.0f);
  EXPECT_NEAR(mean(pixels(apply(bright, source))), 2 * sourceMean, 0.03);
}

TEST_F(EffectsGpuTest, RadialBlurSmearsTowardsItsCentre) {
  std::vector<Pixel> dot(32 * 32, Pixel{0, 0, 0, 1});
  dot[16 * 32 + 24] = Pixel{1, 1, 1, 1};  // right of the middle
  Operator& op = effect("RadialBlur");
  setParam(op, "Radius", 100.0f);  // half-way to the centre
  const std::vector<Pixel> out = pixels(apply(op, picture(dot)));
  EXPECT_GT(at(out, 28, 16).r, 0.01f);  // outside the dot on its ray: its samples reach it
  EXPECT_EQ(at(out, 20, 16).r, 0.0f);   // between dot and centre: samples go the other way
  EXPECT_EQ(at(out, 24, 20).r, 0.0f);   // off the ray
}

TEST_F(EffectsGpuTest, GrainAddsChangingNoiseAroundTheSameMean) {
  Operator& op = effect("Grain");
  setParam(op, "Strength", 5.0f);
  Texture* grey = uniform({0.5f, 0.5f, 0.5f, 1});
  const std::vector<Pixel> a = pixels(apply(op, grey, 1.0f));
  const std::vector<Pixel> b = pixels(run(op, 2.0f));
  EXPECT_NEAR(mean(a), 0.5, 0.01);
  EXPECT_GT(std::sqrt(variance(a)), 0.01);
  size_t differ = 0;
  for (size_t i = 0; i < a.size(); ++i) differ += a[i].r != b[i].r;
  EXPECT_GT(differ, a.size() / 2);
}

TEST_F(EffectsGpuTest, FXAASoftensAStaircaseEdgeAndLeavesFlatAreasAlone) {
  std::vector<Pixel> edge(32 * 32);
  for (uint32_t y = 0; y < 32; ++y)
    for (uint32_t x = 0; x < 32; ++x) edge[y * 32 + x] = (x * 2 > y + 8) ? Pixel{1, 1, 1, 1} : Pixel{0, 0, 0, 1};
  Operator& op = effect("FXAA");
  const std::vector<Pixel> out = pixels(apply(op, picture(edge)));
  int softened = 0;
  for (uint32_t y = 0; y < 32; ++y)
    for (uint32_t x = 0; x < 32; ++x) {
      const float v = at(out, x, y).r;
      if (v > 0.05f && v < 0.95f) ++softened;
      const int d = int(x * 2) - int(y + 8);
      if (d > 6 || d < -6) {
        ASSERT_EQ(v, edge[y * 32 + x].r) << x << "," << y;  // far from the edge
      }
    }
  EXPECT_GT(softened, 16);
}

TEST_F(EffectsGpuTest, FeedbackShowsNoHistoryFirstAndSharesOneHistory) {
  Texture* dim = uniform({0.2f, 0.2f, 0.2f, 1});
  Texture* bright = uniform({0.6f, 0.6f, 0.6f, 1});
  Operator& first = effect("Feedback");
  setParam(first, "Influence", 1.0f);
  EXPECT_NEAR(pixels(apply(first, dim))[0].r, 0.2f, 1e-3f);  // the first frame: no history at all

  context.beginFrame(32, 32, true, true);
  Operator& second = effect("Feedback");
  setParam(second, "Influence", 0.5f);
  EXPECT_NEAR(pixels(apply(second, bright))[100].r, 0.4f, 1e-3f);  // lerp(0.6, 0.2, 0.5)

  // Two in one frame: the second blends with the first one's result.
  context.beginFrame(32, 32, true, true);
  Operator& a = effect("Feedback");
  Operator& b = effect("Feedback");
  for (Operator* op : {&a, &b}) setParam(*op, "Influence", 0.5f);
  setParam(b, "Intensity", 2.0f);
  EXPECT_NEAR(pixels(apply(a, dim))[7].r, 0.3f, 1e-3f);     // lerp(0.2, 0.4, 0.5)
  EXPECT_NEAR(pixels(apply(b, bright))[7].r, 0.75f, 2e-3f);  // lerp(0.6 * 2, 0.3, 0.5)
}

TEST_F(EffectsGpuTest, FeedbackInASmallerViewportKeepsThePictureInPlace) {
  context.viewport = Viewport{8, 8, 24, 24};
  Operator& op = effect("Feedback");
  const std::vector<Pixel> out = pixels(apply(op, uniform({0.5f, 0.5f, 0.5f, 1})));
  EXPECT_NEAR(at(out, 8, 8).r, 0.5f, 1e-3f);
  EXPECT_NEAR(at(out, 23, 23).r, 0.5f, 1e-3f);
  EXPECT_EQ(at(out, 7, 7).r, 0.0f);
  EXPECT_EQ(at(out, 24, 24).r, 0.0f);
}

TEST_F(EffectsGpuTest, MotionBlurSmearsWhatMovesAlongItsVelocityAndLeavesStillThingsAlone) {
  std::vector<Pixel> dots(32 * 32, Pixel{0, 0, 0, 1});
  dots[16 * 32 + 5] = Pixel{1, 1, 1, 1};   // moving
  dots[16 * 32 + 26] = Pixel{1, 1, 1, 1};  // still
  std::vector<Pixel> velocity(32 * 32);
  for (uint32_t y = 0; y < 32; ++y)
    for (uint32_t x = 0; x < 12; ++x) velocity[y * 32 + x] = Pixel{0.02f, 0, 0, 0};  // uv per ms
  upload(context.gbuffer[4], velocity);
  manager->buildVelocityTiles(*context.targets->gbuffer, context.viewport);  // as the lighting pass does after drawing

  Texture* tiles = context.targets->gbuffer->velocityTiles;
  ASSERT_NE(tiles, nullptr);
  EXPECT_EQ(tiles->width(), 8u);
  const std::vector<Pixel> t = pixels(tiles);
  EXPECT_NEAR(t[4 * 8 + 1].r, 0.02f, 1e-4f);
  EXPECT_EQ(t[4 * 8 + 6].r, 0.0f);

  Operator& op = effect("MotionBlur");  // strength 10: 0.2 of the width, about 6 pixels
  const std::vector<Pixel> out = pixels(apply(op, picture(dots)));
  EXPECT_GT(at(out, 3, 16).r, 0.02f);
  EXPECT_GT(at(out, 7, 16).r, 0.02f);
  EXPECT_LT(at(out, 5, 16).r, 0.5f);
  EXPECT_EQ(at(out, 5, 15).r, 0.0f);  // along the velocity only
  for (uint32_t y = 12; y < 20; ++y)
    for (uint32_t x = 20; x < 32; ++x) ASSERT_EQ(at(out, x, y).r, at(dots, x, y).r) << x << "," << y;
}

TEST_F(EffectsGpuTest, MotionBlurWithoutVelocityTilesChangesNothing) {
  const std::vector<Pixel> values = noise(32 * 32, 4);
  Operator& op = effect("MotionBlur");
  const std::vector<Pixel> out = pixels(apply(op, picture(values)));
  for (size_t i = 0; i < values.size(); ++i) ASSERT_NEAR(out[i].g, quantised(values[i].g), 1e-6f) << i;
}

// Normal and linear depth of a surface seen by a 45-degree camera: a plane facing it, or a
// valley whose two walls meet in a crease down the middle of the picture.
std::vector<Pixel> normalDepth(uint32_t size, float slope) {
  const float t = std::tan(22.5f * kDegToRad);
  std::vector<Pixel> out(size * size);
  for (uint32_t y = 0; y < size; ++y)
    for (uint32_t x = 0; x < size; ++x) {
      const float ndcX = (float(x) + 0.5f) / float(size) * 2.0f - 1.0f;
      const float z = 3.0f / (1.0f + slope * t * std::fabs(ndcX));
      const float side = ndcX < 0 ? 1.0f : -1.0f;
      const float len = std::sqrt(1.0f + slope * slope);
      out[y * size + x] = Pixel{side * slope / len, 0.0f, -1.0f / len, z};
    }
  return out;
}

TEST_F(EffectsGpuTest, SSAODarkensACreaseAndLeavesAFlatPlaneOpen) {
  context.projection = mat::perspectiveFovDegrees(45.0f, 1.0f, 0.1f, 100.0f);
  context.fov = 45.0f;
  context.zFar = 100.0f;
  Texture* white = uniform({1, 1, 1, 1});
  auto occlusion = [&](float slope) {
    upload(context.gbuffer[1], normalDepth(32, slope));
    Operator& op = effect("SSAO");
    setParam(op, "Radius", 1.0f);
    setParam(op, "SurfaceEpsilon", 0.05f);
    return pixels(apply(op, white));
  };
  for (const Pixel& p : occlusion(0.0f)) ASSERT_GT(p.r, 0.98f);
  const std::vector<Pixel> valley = occlusion(1.5f);
  EXPECT_LT(at(valley, 16, 16).r, 0.85f);
  EXPECT_LT(at(valley, 15, 10).r, 0.88f);  // made at half size, blurred over twice the pixels
  EXPECT_GT(at(valley, 1, 16).r, 0.95f);
  EXPECT_GT(at(valley, 30, 20).r, 0.95f);
}

TEST_F(EffectsGpuTest, SSAORebuildsPositionsFromTheFieldOfViewAndFarPlaneNotTheProjection) {
  // The picture was rendered through a 90-degree projection, while the Context's field of
  // view says 10 degrees (as after a camera blend): a far wall over the left 12 columns, a
  // nearer one (depth 2) over the rest. Positions come from the 10-degree frustum corner, so
  // they crowd around the view axis; their samples, projected with the 90-degree projection,
  // land near the middle of the picture, on the nearer wall: the far wall is occluded up to
  // its left edge. Positions from the projection would leave that edge open.
  context.projection = mat::perspectiveFovDegrees(90.0f, 1.0f, 0.1f, 100.0f);
  context.fov = 10.0f;
  context.zFar = 100.0f;
  std::vector<Pixel> walls(32 * 32);
  for (uint32_t y = 0; y < 32; ++y)
    for (uint32_t x = 0; x < 32; ++x) walls[y * 32 + x] = Pixel{0.0f, 0.0f, -1.0f, x < 12 ? 3.0f : 2.0f};
  upload(context.gbuffer[1], walls);
  Operator& op = effect("SSAO");
  setParam(op, "Radius", 1.0f);
  setParam(op, "SurfaceEpsilon", 0.05f);
  const std::vector<Pixel> out = pixels(apply(op, uniform({1, 1, 1, 1})));
  for (uint32_t y : {4u, 16u, 28u}) {
    EXPECT_LT(at(out, 1, y).r, 0.7f) << y;
    EXPECT_LT(at(out, 6, y).r, 0.7f) << y;
    EXPECT_GT(at(out, 28, y).r, 0.9f) << y;
  }
}

// Depth of field needs pictures large enough for a circle of several pixels.
class DOFGpuTest : public PostGpuTest {
 protected:
  DOFGpuTest() : PostGpuTest(128) {}
};

TEST_F(DOFGpuTest, KeepsTheFocalPlaneSharpAndBlursWhatLiesBeyond) {
  std::vector<Pixel> checks(128 * 128);
  for (uint32_t y = 0; y < 128; ++y)
    for (uint32_t x = 0; x < 128; ++x) checks[y * 128 + x] = ((x / 2 + y / 2) & 1) ? Pixel{1, 1, 1, 1} : Pixel{0, 0, 0, 1};
  Texture* source = picture(checks);
  context.zNear = 0.1f;
  context.zFar = 100.0f;
  auto dof = [&](float depth) {
    const float value[4] = {depth, 0, 0, 0};
    clearTexture(device(), context.frameDepthTarget, value);
    Operator& op = effect("DOF");
    setParam(op, "Apreture", 2.0f);
    return pixels(apply(op, source));
  };
  // The focal plane (distance 1) in the depth buffer: (F / (F - n)) (1 - n / z).
  const std::vector<Pixel> sharp = dof(100.0f / 99.9f * 0.9f);
  for (size_t i = 0; i < checks.size(); ++i) ASSERT_NEAR(sharp[i].r, checks[i].r, 2e-3f) << i;
  const std::vector<Pixel> far = dof(1.0f);
  EXPECT_LT(variance(far), 0.25 * variance(checks));
  EXPECT_NEAR(mean(far), mean(checks), 0.05);
}

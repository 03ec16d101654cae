// "SSR" on a G-buffer made here by ray casting a mirror floor under a ball: the reflection
// lands where the mirror image of the ball's silhouette does. The agreement is coarse by
// nature (the march sees only what the camera sees, in pixel steps): at least 75% of the
// floor pixels whose mirrored view ray hits the ball show the ball, and under 5% of the
// floor pixels more than two pixels away from that silhouette do.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "engine/Math.h"
#include "tests/image/DepthRecordingTestSupport.h"
#include "tests/image/ImageOpTestSupport.h"
#include "tests/image/SsrReferenceShaders.h"

namespace {

using posttest::Pixel;

struct Hit {
  float t;
  Float3 normal;
  bool ball;  // a rough object: the ball or a pillar
  bool pillar = false;
};

const Float3 kBallCentre{0.0f, 0.9f, 4.0f};
const float kBallRadius = 0.8f;

// Two pillars (axis-aligned boxes) beside the ball, for the scene of the quality check.
struct Box {
  Float3 lo, hi;
};
const Box kPillars[] = {{{-2.2f, 0.0f, 5.0f}, {-1.4f, 2.5f, 5.8f}}, {{1.0f, 0.0f, 6.5f}, {1.8f, 3.0f, 7.3f}}};

std::optional<Hit> castRay(Float3 o, Float3 d, bool withFloor = true, bool withPillars = false) {
  std::optional<Hit> best;
  const Float3 oc = o - kBallCentre;
  const float b = dot(oc, d), c = dot(oc, oc) - kBallRadius * kBallRadius, disc = b * b - c;
  if (disc >= 0) {
    const float t = -b - std::sqrt(disc);
    if (t > 1e-4f) best = Hit{t, normalize(o + d * t - kBallCentre), true};
  }
  if (withFloor && d.y < 0) {
    const float t = -o.y / d.y;
    if (t > 1e-4f && (!best || t < best->t)) best = Hit{t, {0, 1, 0}, false};
  }
  for (const Box& box : kPillars) {
    if (!withPillars) break;
    const float oo[3] = {o.x, o.y, o.z}, dd[3] = {d.x, d.y, d.z}, lo[3] = {box.lo.x, box.lo.y, box.lo.z},
                hi[3] = {box.hi.x, box.hi.y, box.hi.z};
    float enter = -1e30f, leave = 1e30f;
    int axis = 0;
    for (int a = 0; a < 3; ++a) {
      if (std::fabs(dd[a]) < 1e-9f) {
        if (oo[a] < lo[a] || oo[a] > hi[a]) enter = 1e30f;
        continue;
      }
      float t0 = (lo[a] - oo[a]) / dd[a], t1 = (hi[a] - oo[a]) / dd[a];
      if (t0 > t1) std::swap(t0, t1);
      if (t0 > enter) enter = t0, axis = a;
      leave = std::min(leave, t1);
    }
    if (enter > leave || enter <= 1e-4f || (best && best->t <= enter)) continue;
    Float3 n{0, 0, 0};
    (axis == 0 ? n.x : axis == 1 ? n.y : n.z) = dd[axis] > 0 ? -1.0f : 1.0f;
    best = Hit{enter, n, true, true};
  }
  return best;
}

}  // namespace

// A G-buffer cast by rays over a viewport of the target's width and three quarters of its
// height (so the G-buffer's region is not the whole target).
class CastSceneGpuTest : public ImageOpGpuTest {
 protected:
  explicit CastSceneGpuTest(uint32_t n) : ImageOpGpuTest(n), n_(n), rows_(n * 3 / 4) {}

  // Camera at (0, 1.2, 0) looking slightly down the +Z axis; fills the G-buffer and returns
  // the lit picture: red ball (and orange pillars), grey floor, dark blue sky. kind is 0 for
  // the sky, 1 for the floor, 2 for the rest.
  Texture* castScene(std::vector<int>& kind, std::vector<Float3>& points, std::vector<Float3>& rays,
                     bool withPillars = false) {
    const uint32_t n = n_, rows = rows_;
    const Float3 eye{0, 1.2f, 0};
    const Float3 f = normalize(Float3{0, -0.2f, 1});
    const Float3 r = normalize(cross({0, 1, 0}, f));
    const Float3 u = cross(f, r);
    Float4x4 camera;
    camera.setRow(0, r, 0);
    camera.setRow(1, u, 0);
    camera.setRow(2, f, 0);
    camera.setRow(3, eye, 1);
    context.camera = camera;
    context.projection = mat::perspectiveFovDegrees(60.0f, float(n) / float(rows), 0.1f, 100.0f);
    context.viewport = Viewport{0, 0, int32_t(n), int32_t(rows)};
    const Float4x4 view = mat::rigidInverse(camera);
    std::vector<Pixel> albedo(n * n), normal(n * n, Pixel{0, 0, 0, 65504}),
        material(n * n, Pixel{65504, 65504, 65504, 0}), colour(n * n, Pixel{0, 0, 0.3f, 1});
    kind.assign(n * n, 0);
    points.assign(n * n, {});
    rays.assign(n * n, {});
    for (uint32_t y = 0; y < rows; ++y)
      for (uint32_t x = 0; x < n; ++x) {
        const size_t i = size_t(y) * n + x;
        const float nx = (x + 0.5f) / float(n) * 2 - 1, ny = 1 - (y + 0.5f) / float(rows) * 2;
        const Float3 viewDir{nx / context.projection.at(0, 0), ny / context.projection.at(1, 1), 1.0f};
        const Float3 d = normalize(mat::transformVector(viewDir, camera));
        rays[i] = d;
        const std::optional<Hit> h = castRay(eye, d, true, withPillars);
        if (!h) continue;
        const Float3 p = eye + d * h->t;
        points[i] = p;
        kind[i] = h->ball ? 2 : 1;
        const Float3 vn = mat::transformVector(h->normal, view);
        normal[i] = Pixel{vn.x, vn.y, vn.z, dot(p - eye, f)};
        albedo[i] = Pixel{1, 1, 1, 1};
        material[i] = h->ball ? Pixel{1, 0, 0.5f, 1} : Pixel{0, 1, 1, 1};  // the floor is a mirror
        colour[i] = !h->ball ? Pixel{0.1f, 0.1f, 0.1f, 1} : h->pillar ? Pixel{1, 0.5f, 0.2f, 1} : Pixel{1, 0, 0, 1};
      }
    upload(context.gbuffer[0], albedo);
    upload(context.gbuffer[1], normal);
    upload(context.gbuffer[2], material);
    return picture(colour);
  }
  uint32_t n_, rows_;
};

class ScreenSpaceGpuTest : public CastSceneGpuTest {
 protected:
  ScreenSpaceGpuTest() : CastSceneGpuTest(64) {}
};

TEST_F(ScreenSpaceGpuTest, SsrShowsTheBallWhereItsMirrorImageLands) {
  std::vector<int> kind;
  std::vector<Float3> points, rays;
  Texture* lit = castScene(kind, points, rays);
  Operator& ssr = effect("SSR");
  feed(pictureOp(lit), ssr, "InImage");
  setParam(ssr, "BlurRadius", 1.0f);
  Texture* out = runOn(ssr, nullptr);
  ASSERT_NE(out, nullptr);
  ASSERT_NE(out, lit);
  const std::vector<Pixel> got = pixels(out);

  // Where the mirrored view ray of a floor pixel meets the ball.
  std::vector<int> mirrored(64 * 64, 0);
  for (size_t i = 0; i < kind.size(); ++i)
    if (kind[i] == 1) {
      const Float3 d{rays[i].x, -rays[i].y, rays[i].z};
      mirrored[i] = castRay(points[i], d, false).has_value();
    }
  auto nearSilhouette = [&](int x, int y) {
    for (int dy = -2; dy <= 2; ++dy)
      for (int dx = -2; dx <= 2; ++dx) {
        const int xx = x + dx, yy = y + dy;
        if (xx >= 0 && xx < 64 && yy >= 0 && yy < 48 && mirrored[size_t(yy) * 64 + size_t(xx)]) return true;
      }
    return false;
  };
  int predicted = 0, shown = 0, far = 0, strayed = 0;
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      const size_t i = size_t(y) * 64 + size_t(x);
      if (kind[i] != 1) continue;
      const Pixel p = got[i];
      const bool red = p.r > 0.4f && p.r > p.g + 0.25f;
      if (mirrored[i]) {
        ++predicted;
        shown += red;
      } else if (!nearSilhouette(x, y)) {
        ++far;
        strayed += red;
      }
    }
  ASSERT_GT(predicted, 40) << "the scene puts a reflection on screen";
  EXPECT_GE(shown, predicted * 3 / 4) << shown << " of " << predicted;
  EXPECT_LT(strayed, far / 20 + 1) << strayed << " of " << far;

  // The ball itself is rough: it reflects nothing and keeps its colour.
  for (size_t i = 0; i < kind.size(); ++i)
    if (kind[i] == 2) {
      ASSERT_NEAR(got[i].r, 1.0f, 2e-3f) << i;
    }
  // Below the viewport the result is empty: only the viewport was copied and blended.
  for (uint32_t i = 48 * 64; i < 64 * 64; ++i) ASSERT_EQ(got[i].r + got[i].g + got[i].b + got[i].a, 0.0f) << i;
}

TEST_F(ScreenSpaceGpuTest, SsrWithoutAPictureDrawsNothingAndLeavesTheResult) {
  Operator& ssr = effect("SSR");
  Texture* current = uniform({0.2f, 0.2f, 0.2f, 1});
  const uint32_t ring = ringIndex();
  EXPECT_EQ(runOn(ssr, current), current);
  EXPECT_EQ(ringIndex(), ring);
}

// The march crosses open space a block at a time, the blur stops where no tap holds a
// reflection, and both blurs and the composite draw only the blocks near a reflection; they
// must give what the pixel walk, the full blurs and the whole copy they replaced give. Both
// run on the same cast scene (mirror floor, ball and pillars in front of it, sky) over a
// 160 x 120 viewport, and the pictures must agree to 45 dB or better (the march may end a
// pixel apart from the walk where a step lands on a pixel's edge).
class SsrQualityGpuTest : public CastSceneGpuTest {
 protected:
  SsrQualityGpuTest() : CastSceneGpuTest(160) {}

  std::vector<Pixel> reflect(Texture* lit, const std::string& shader, const std::string& blurShader,
                             float blurRadius = 3.0f) {
    Operator& ssr = effect("SSR");
    if (!shader.empty()) setText(ssr, "Shader", shader);
    if (!blurShader.empty()) setText(ssr, "BlurShader", blurShader);
    setParam(ssr, "MaxSteps", 120.0f);
    setParam(ssr, "BlurRadius", blurRadius);
    feed(pictureOp(lit), ssr, "InImage");
    Texture* out = runOn(ssr, nullptr);
    EXPECT_NE(out, nullptr);
    EXPECT_NE(out, lit);
    return out && out != lit ? pixels(out) : std::vector<Pixel>{};
  }

  // A shader text with its includes named from the repository root.
  static std::string rooted(std::string text) {
    for (size_t at = 0; (at = text.find("#include \"common/", at)) != std::string::npos; at += 10)
      text.replace(at, 10, "#include \"data/shaders/");
    return text;
  }
};

TEST_F(SsrQualityGpuTest, TheBlockMarchAndTheBlurOverBlocksGiveWhatThePixelWalkAndTheFullBlurGive) {
  std::vector<int> kind;
  std::vector<Float3> points, rays;
  Texture* lit = castScene(kind, points, rays, true);

  // The old passes from files of their own, their includes named from the repository root;
  // the old reflection file gets a block pass that writes nothing it reads.
  depthtest::TempFile walk("ssrPixelWalk.hlsl"), blur("ssrFullBlur.hlsl");
  walk.write(rooted(ssrtest::kPixelWalkReflection) + "\nfloat TilePS(FullscreenVertex i) : SV_TARGET { return 0.0; }\n");
  blur.write(rooted(ssrtest::kBlurReadingEveryTap));

  const std::vector<Pixel> before = reflect(lit, walk.path, blur.path);
  const std::vector<Pixel> now = reflect(lit, {}, {});
  ASSERT_EQ(before.size(), now.size());
  int reflected = 0, floorPixels = 0;

  for (uint32_t y = 0; y < rows_; ++y)
    for (uint32_t x = 0; x < n_; ++x) {
      const size_t i = size_t(y) * n_ + x;
      if (kind[i] != 1) continue;
      ++floorPixels;
      // The floor (0.1 grey) shows a reflection of the ball or a pillar: red well above it.
      reflected += now[i].r > 0.3f && before[i].r > 0.3f ? 1 : 0;
    }
  EXPECT_GE(posttest::psnr(before, now), 45.0);
  // The scene reflects: a good part of the floor shows the objects in front of it.
  EXPECT_GT(reflected, floorPixels / 20) << reflected << " of " << floorPixels;
}

// The blocks alone: the same march, then the old blur file (no block entries: every pixel,
// and the whole copy) against the blurs and the composite over the blocks near a reflection. With blur steps of
// whole pixels every read lands on a texel's centre, so the two agree to the last bits but
// for rounding; a block left out where a blurred reflection reaches (two blocks away for the
// long blur) shows as a difference there.
TEST_F(SsrQualityGpuTest, TheBlursOverBlocksNearAReflectionGiveWhatTheyGiveOverEveryPixel) {
  std::vector<int> kind;
  std::vector<Float3> points, rays;
  Texture* lit = castScene(kind, points, rays, true);
  depthtest::TempFile blur("ssrFullBlur.hlsl");
  blur.write(rooted(ssrtest::kBlurReadingEveryTap));
  for (float radius : {4.0f, 24.0f}) {
    const std::vector<Pixel> everyPixel = reflect(lit, {}, blur.path, radius);
    const std::vector<Pixel> blocks = reflect(lit, {}, {}, radius);
    ASSERT_EQ(everyPixel.size(), blocks.size());
    int differing = 0, reflecting = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
      const Pixel &a = everyPixel[i], &b = blocks[i];
      const float d = std::max({std::fabs(a.r - b.r), std::fabs(a.g - b.g), std::fabs(a.b - b.b)});
      differing += d > 1e-3f ? 1 : 0;
      reflecting += kind[i] == 1 && b.r > 0.15f ? 1 : 0;
    }
    EXPECT_EQ(differing, 0) << "blur radius " << radius;
    EXPECT_GT(reflecting, 100) << "blur radius " << radius;
  }
}

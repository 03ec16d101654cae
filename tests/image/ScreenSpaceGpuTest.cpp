// "SSR" on a G-buffer made here by ray casting a mirror floor under a ball: the reflection
// lands where the mirror image of the ball's silhouette does. The agreement is coarse by
// nature (the march sees only what the camera sees, in pixel steps): at least 75% of the
// floor pixels whose mirrored view ray hits the ball show the ball, and under 5% of the
// floor pixels more than two pixels away from that silhouette do.
#include <algorithm>
#include <cmath>
#include <optional>

#include "engine/Math.h"
#include "tests/image/ImageOpTestSupport.h"

namespace {

using posttest::Pixel;

struct Hit {
  float t;
  Float3 normal;
  bool ball;
};

const Float3 kBallCentre{0.0f, 0.9f, 4.0f};
const float kBallRadius = 0.8f;

std::optional<Hit> castRay(Float3 o, Float3 d, bool withFloor = true) {
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
  return best;
}

}  // namespace

class ScreenSpaceGpuTest : public ImageOpGpuTest {
 protected:
  ScreenSpaceGpuTest() : ImageOpGpuTest(64) {}

  // Camera at (0, 1.2, 0) looking slightly down the +Z axis over a 64 x 48 viewport; fills
  // the G-buffer and returns the lit picture: red ball, grey floor, dark blue sky.
  Texture* castScene(std::vector<int>& kind, std::vector<Float3>& points, std::vector<Float3>& rays) {
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
    context.projection = mat::perspectiveFovDegrees(60.0f, 64.0f / 48.0f, 0.1f, 100.0f);
    context.viewport = Viewport{0, 0, 64, 48};
    const Float4x4 view = mat::rigidInverse(camera);
    std::vector<Pixel> albedo(64 * 64), normal(64 * 64, Pixel{0, 0, 0, 65504}),
        material(64 * 64, Pixel{65504, 65504, 65504, 0}), colour(64 * 64, Pixel{0, 0, 0.3f, 1});
    kind.assign(64 * 64, 0);
    points.assign(64 * 64, {});
    rays.assign(64 * 64, {});
    for (uint32_t y = 0; y < 48; ++y)
      for (uint32_t x = 0; x < 64; ++x) {
        const size_t i = y * 64 + x;
        const float nx = (x + 0.5f) / 64.0f * 2 - 1, ny = 1 - (y + 0.5f) / 48.0f * 2;
        const Float3 viewDir{nx / context.projection.at(0, 0), ny / context.projection.at(1, 1), 1.0f};
        const Float3 d = normalize(mat::transformVector(viewDir, camera));
        rays[i] = d;
        const std::optional<Hit> h = castRay(eye, d);
        if (!h) continue;
        const Float3 p = eye + d * h->t;
        points[i] = p;
        kind[i] = h->ball ? 2 : 1;
        const Float3 n = mat::transformVector(h->normal, view);
        normal[i] = Pixel{n.x, n.y, n.z, dot(p - eye, f)};
        albedo[i] = Pixel{1, 1, 1, 1};
        material[i] = h->ball ? Pixel{1, 0, 0.5f, 1} : Pixel{0, 1, 1, 1};  // the floor is a mirror
        colour[i] = h->ball ? Pixel{1, 0, 0, 1} : Pixel{0.1f, 0.1f, 0.1f, 1};
      }
    upload(context.gbuffer[0], albedo);
    upload(context.gbuffer[1], normal);
    upload(context.gbuffer[2], material);
    return picture(colour);
  }
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

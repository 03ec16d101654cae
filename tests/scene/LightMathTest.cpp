// The lighting's matrices: what each maps where, and that no input (vertical or zero
// directions, spot angles of 0 or 180 degrees and more, empty cascade slices) yields a
// matrix with NaN or infinity.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "scene/LightMath.h"
#include "scene/MeshBuilder.h"

namespace {

Float4 apply(Float3 p, const Float4x4& m) { return mat::transform({p.x, p.y, p.z, 1.0f}, m); }

float det3(const Float4x4& m) { return dot(cross(m.row3(0), m.row3(1)), m.row3(2)); }

void expectNear3(Float3 a, Float3 b, float eps, const char* what) {
  EXPECT_NEAR(a.x, b.x, eps) << what;
  EXPECT_NEAR(a.y, b.y, eps) << what;
  EXPECT_NEAR(a.z, b.z, eps) << what;
}

// A camera matrix looking from eye towards target (rows right, up, forward, position).
Float4x4 cameraLookingAt(Float3 eye, Float3 target) {
  Float3 z = normalize(target - eye);
  Float3 x = normalize(cross({0, 1, 0}, z));
  Float3 y = cross(z, x);
  Float4x4 c;
  c.setRow(0, x, 0);
  c.setRow(1, y, 0);
  c.setRow(2, z, 0);
  c.setRow(3, eye, 1);
  return c;
}

const std::vector<Float3> kDirections = {
    {1, 1, 1}, {0, 1, 0}, {0, -1, 0}, {0, 0, 0}, {1e-30f, 0, 0}, {0.001f, -1, 0}, {-3, 0.5f, 2}, {NAN, 1, 0}};

TEST(DirectionalLightMath, BasisIsOrthonormalFacingAlongTheLightForEveryDirection) {
  for (Float3 d : kDirections) {
    Float4x4 b = directionalLightBasis(d);
    ASSERT_TRUE(mat::isFinite(b));
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(length(b.row3(i)), 1.0f, 1e-5f);
      for (int j = i + 1; j < 3; ++j) EXPECT_NEAR(dot(b.row3(i), b.row3(j)), 0.0f, 1e-5f);
    }
    EXPECT_NEAR(det3(b), 1.0f, 1e-5f);  // keeps the handedness
    if (length(d) > 1e-6f && std::isfinite(d.x)) expectNear3(b.row3(2), normalize(-d), 1e-5f, "forward");
  }
  // The usual case keeps the (0, 1, 0) hint: right is horizontal.
  EXPECT_NEAR(directionalLightBasis({1, 1, 1}).row3(0).y, 0.0f, 1e-6f);
  // Light view: a point towards the light lies at negative depth, one beyond at positive.
  Float4x4 v = directionalLightView({0, 1, 0});
  EXPECT_LT(apply({0, 10, 0}, v).z, 0.0f);
  EXPECT_GT(apply({0, -10, 0}, v).z, 0.0f);
}

TEST(DirectionalLightMath, CascadeBoxesHoldTheirSliceTightly) {
  const Float4x4 camera = cameraLookingAt({2, 3, -8}, {0, 0, 0});
  const float fov = 50.0f, aspect = 16.0f / 9.0f;
  const Float4x4 view = directionalLightView({0.3f, 1.0f, -0.5f});
  for (CascadeSlice slice : kCascadeSlices) {
    Float4x4 proj = cascadeProjection(camera, view, fov, aspect, slice);
    ASSERT_TRUE(mat::isFinite(proj));
    const Float4x4 m = camera * view * proj;
    float lo[3] = {1e9f, 1e9f, 1e9f}, hi[3] = {-1e9f, -1e9f, -1e9f};
    const float t = std::tan(fov * 0.5f * kDegToRad);
    for (float d : {slice.nearDepth, slice.farDepth})
      for (float sx : {-1.0f, 1.0f})
        for (float sy : {-1.0f, 1.0f}) {
          Float4 p = apply({sx * t * aspect * d, sy * t * d, d}, m);
          EXPECT_FLOAT_EQ(p.w, 1.0f);
          float c[3] = {p.x, p.y, p.z};
          for (int i = 0; i < 3; ++i) lo[i] = std::min(lo[i], c[i]), hi[i] = std::max(hi[i], c[i]);
        }
    // Every corner inside, and the box touches each face: x, y in [-1, 1], z in [0, 1].
    EXPECT_NEAR(lo[0], -1, 1e-4f);
    EXPECT_NEAR(hi[0], 1, 1e-4f);
    EXPECT_NEAR(lo[1], -1, 1e-4f);
    EXPECT_NEAR(hi[1], 1, 1e-4f);
    EXPECT_NEAR(lo[2], 0, 1e-4f);
    EXPECT_NEAR(hi[2], 1, 1e-4f);
  }
}

TEST(DirectionalLightMath, DegenerateSlicesStayFinite) {
  const Float4x4 camera = cameraLookingAt({0, 0, -5}, {0, 0, 0});
  // No field of view and a light along the view axis: the box has no width or height.
  const Float4x4 along = directionalLightView({0, 0, -1});
  EXPECT_TRUE(mat::isFinite(cascadeProjection(camera, along, 0.0f, 1.0f, {1.0f, 9.0f})));
  // An empty slice, a zero aspect, a field of view of 180 degrees and more.
  const Float4x4 view = directionalLightView({1, 1, 1});
  EXPECT_TRUE(mat::isFinite(cascadeProjection(camera, view, 45.0f, 1.0f, {20.0f, 20.0f})));
  EXPECT_TRUE(mat::isFinite(cascadeProjection(camera, view, 45.0f, 0.0f, {1.0f, 9.0f})));
  EXPECT_TRUE(mat::isFinite(cascadeProjection(camera, view, 400.0f, 1.0f, {1.0f, 9.0f})));
  EXPECT_TRUE(mat::isFinite(cascadeProjection(camera, view, NAN, NAN, {1.0f, 9.0f})));
}

TEST(DirectionalLightMath, SplitDepthsAreWhereTheCascadesEndOnScreen) {
  const Float4x4 proj = mat::perspectiveFovDegrees(45.0f, 1.5f, 0.1f, 1000.0f);
  Float2 z = cascadeSplitDepths(proj);
  auto depthAt = [&](float d) {
    Float4 p = mat::transform({0, 0, d, 1}, proj);
    return p.z / p.w;
  };
  EXPECT_FLOAT_EQ(z.x, depthAt(20.0f));
  EXPECT_FLOAT_EQ(z.y, depthAt(60.0f));
  EXPECT_LT(z.x, z.y);
  EXPECT_LT(z.y, 1.0f);
}

TEST(SpotLightMath, ShadowViewAndProjectionFrameTheCone) {
  const Float3 pos{1, 6, -2};
  for (Float3 dir : {Float3{0, -1, 0}, Float3{0, 1, 0}, normalize(Float3{1, -2, 0.5f}), Float3{0.0005f, -1, 0}}) {
    Float4x4 view = spotLightView(pos, dir);
    ASSERT_TRUE(mat::isFinite(view));
    expectNear3({apply(pos, view).x, apply(pos, view).y, apply(pos, view).z}, {0, 0, 0}, 1e-4f, "apex");
    Float4 ahead = apply(pos + dir * 4.0f, view);
    expectNear3({ahead.x, ahead.y, ahead.z}, {0, 0, 4}, 1e-4f, "axis");
    EXPECT_NEAR(det3(view), 1.0f, 1e-4f);
  }
  const float angle = 60.0f, far = 12.0f;
  Float4x4 proj = spotLightProjection(angle, far);
  auto ndc = [&](Float3 viewPos) {
    Float4 c = mat::transform({viewPos.x, viewPos.y, viewPos.z, 1}, proj);
    return Float3{c.x / c.w, c.y / c.w, c.z / c.w};
  };
  const float edge = std::tan(angle * 0.5f * kDegToRad);
  EXPECT_NEAR(ndc({edge * 5, 0, 5}).x, 1.0f, 1e-5f);   // the cone's edge is the map's edge
  EXPECT_NEAR(ndc({0, -edge * 3, 3}).y, -1.0f, 1e-5f);
  EXPECT_NEAR(ndc({0, 0, kSpotShadowNear}).z, 0.0f, 1e-6f);
  EXPECT_NEAR(ndc({0, 0, far}).z, 1.0f, 1e-5f);
}

TEST(SpotLightMath, AnglesAndFarPlanesOutsideTheirRangeStayFinite) {
  for (float angle : {0.0f, -10.0f, 180.0f, 200.0f, 360.0f, NAN, INFINITY})
    for (float far : {10.0f, 1.0f, 0.5f, 0.0f, -3.0f, NAN}) {
      EXPECT_TRUE(mat::isFinite(spotLightProjection(angle, far))) << angle << " " << far;
      EXPECT_TRUE(mat::isFinite(spotLightVolume({0, 1, 0}, {0, -1, 0}, angle, far))) << angle << " " << far;
    }
  EXPECT_TRUE(mat::isFinite(spotLightView({0, 0, 0}, {0, 0, 0})));
  EXPECT_TRUE(mat::isFinite(spotLightVolume({0, 0, 0}, {0, 0, 0}, 45.0f, 10.0f)));
}

TEST(SpotLightMath, ConeVolumeEnclosesTheLitConeWithTheApexAtTheLight) {
  const Float3 pos{-1, 4, 2};
  const Float3 dir = normalize(Float3{0.3f, -1, 0.2f});
  const float angle = 50.0f, far = 8.0f;
  Float4x4 w = spotLightVolume(pos, dir, angle, far);
  EXPECT_GT(det3(w), 0.0f);  // faces keep their winding
  Float4 apex = apply({0, 0, 0}, w);
  expectNear3({apex.x, apex.y, apex.z}, pos, 1e-5f, "apex");
  Float4 base = apply({0, 0, -1}, w);
  expectNear3({base.x, base.y, base.z}, pos + dir * far, 1e-4f, "base centre");
  // Points the light reaches (within the half angle, nearer than the far plane) are inside
  // the drawn cone: in its local space -1 <= z <= 0 and the radius within the circle that
  // the ring's polygon of kSpotConeSegments sides encloses.
  const Float4x4 inv = mat::inverse(w);
  Float3 x = normalize(cross({0, 1, 0}, dir)), y = cross(dir, x);
  const float half = angle * 0.5f * kDegToRad * 0.999f;
  for (float d : {0.5f, 3.0f, far * 0.999f})
    for (float a : {0.0f, 1.3f, 2.9f, 4.4f}) {
      Float3 off = (x * std::cos(a) + y * std::sin(a)) * std::sin(half);
      Float3 p = pos + (dir * std::cos(half) + off) * d;
      Float4 l = apply(p, inv);
      EXPECT_LE(l.z, 1e-5f);
      EXPECT_GE(l.z, -1.0f - 1e-5f);
      EXPECT_LE(std::sqrt(l.x * l.x + l.y * l.y), -l.z * std::cos(3.14159265f / kSpotConeSegments) + 1e-4f);
    }
}

TEST(SpotLightMath, FrontFacesAreCulledOnlyWhenTheEyeIsWithinTheCone) {
  const Float3 pos{0, 5, 0}, down{0, -1, 0};
  EXPECT_TRUE(spotCullsFrontFaces(pos, down, {0, 1, 0}, 40.0f));    // under the light
  EXPECT_TRUE(spotCullsFrontFaces(pos, down, pos, 40.0f));          // at the apex
  EXPECT_FALSE(spotCullsFrontFaces(pos, down, {0, 8, 0}, 40.0f));   // behind the light
  EXPECT_FALSE(spotCullsFrontFaces(pos, down, {10, 4, 0}, 40.0f));  // off to the side
  EXPECT_TRUE(spotCullsFrontFaces(pos, {0, 0, 0}, {0, 1, 0}, 40.0f));  // no direction: straight down
}

TEST(PointLightMath, TheDrawnSphereHoldsEverythingTheLightReaches) {
  // Every face of the drawn mesh, through the volume's transform, lies outside the lit
  // sphere around the light (and the volume is centred on the light).
  const Float3 light{1, 2, 3};
  const float radius = 4.0f;
  const Float4x4 w = pointLightVolume(light, radius);
  MeshBuilder b;
  b.addSphere({}, kPointSphereDetail, false);
  float nearest = 1e9f;
  for (size_t i = 0; i + 2 < b.indices.size(); i += 3) {
    Float3 c[3];
    for (int k = 0; k < 3; ++k) {
      const Float4& v = b.positions[b.indices[i + k]];
      const Float4 p = apply({v.x, v.y, v.z}, w);
      c[k] = Float3{p.x, p.y, p.z} - light;
    }
    const Float3 n = cross(c[1] - c[0], c[2] - c[0]);
    if (length(n) < 1e-9f) continue;  // the poles' folded triangles
    nearest = std::min(nearest, std::fabs(dot(normalize(n), c[0])));
  }
  EXPECT_GE(nearest, radius);
  EXPECT_LT(nearest, radius * 1.02f);  // and not much more than that
  EXPECT_TRUE(mat::isFinite(pointLightVolume({0, 0, 0}, NAN)));
}

}  // namespace

// Shadows on a device: a box above a plane, lit by a shadowed directional light (once inside
// each cascade) and by a shadowed spot light. Each plane pixel's shadow is predicted on the
// CPU by casting the ray from its surface point towards the light against the box; the
// rendered picture must agree on at least 97% of the plane's pixels (the filter softens the
// shadow's edge over about two shadow-map texels, so pixels along the edge may go either way).
// The generated boxes of "ProcMesh" cast their shadows as well.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "gfx/InputLayout.h"
#include "tests/scene/LightingGpuSupport.h"

namespace {

using lightref::HalfImage;

struct Box {
  Float3 lo, hi;
};

// Whether the segment from p along dir (length `length`) passes through the box.
bool hitsBox(const Box& b, Float3 p, Float3 dir, float length) {
  float t0 = 0.0f, t1 = length;
  const float o[3] = {p.x, p.y, p.z}, d[3] = {dir.x, dir.y, dir.z};
  const float lo[3] = {b.lo.x, b.lo.y, b.lo.z}, hi[3] = {b.hi.x, b.hi.y, b.hi.z};
  for (int i = 0; i < 3; ++i) {
    if (std::fabs(d[i]) < 1e-9f) {
      if (o[i] < lo[i] || o[i] > hi[i]) return false;
      continue;
    }
    float a = (lo[i] - o[i]) / d[i], c = (hi[i] - o[i]) / d[i];
    t0 = std::max(t0, std::min(a, c));
    t1 = std::min(t1, std::max(a, c));
  }
  return t0 <= t1;
}

class ShadowGpuTest : public LightingGpuTest {
 protected:
  // Draws the plane and the box (both cast), lights them and compares every plane pixel:
  // `towardsLight` gives the direction and distance from a point to the light, `lit` the
  // light the point would get without the box.
  struct Outcome {
    int plane = 0, agree = 0, predictedShadow = 0, shadowFound = 0;
    std::vector<int> blockerPredicted, blockerFound;  // per blocker: its shadow, and how much of it is dark
    float minDepth = 1e9f, maxDepth = 0;
  };
  // `casters` (when given) adds casters of its own; `blockers` are then the boxes they fill.
  template <class Towards, class Unshadowed>
  Outcome shade(Float3 planeSize, const Box& box, Towards towardsLight, Unshadowed lit,
                std::function<void()> casters = {}, std::vector<Box> blockers = {}) {
    const Mesh* quad = quadMesh();
    const Mesh* cube = boxMesh();
    Material m;
    m.roughness = 0.8f;
    const Float3 centre = (box.lo + box.hi) * 0.5f, size = box.hi - box.lo;
    if (blockers.empty()) blockers.push_back(box);
    Operator& pass = lightPass([&] {
      draw(quad, mat::scaling(planeSize), m);
      if (casters)
        casters();
      else
        draw(cube, mat::scaling(size) * mat::translation(centre), m);
    });
    HalfImage out = light(pass);
    std::vector<Surfel> g = surfels();
    const Float4x4 view = mat::rigidInverse(ctx.camera);
    Outcome o;
    for (uint32_t i = 0; i < kSize * kSize; ++i) {
      const Surfel& s = g[i];
      if (!s.geometry || std::fabs(s.position.y) > 0.02f || s.normal.y < 0.99f) continue;  // the plane only
      Float3 dir;
      float distance;
      towardsLight(s.position, dir, distance);
      const float full = lit(s);
      if (full < 0.05f) continue;  // too dim to tell shadow from light
      ++o.plane;
      bool predicted = false;
      o.blockerPredicted.resize(blockers.size());
      o.blockerFound.resize(blockers.size());
      for (size_t k = 0; k < blockers.size(); ++k) {
        const bool behind = hitsBox(blockers[k], s.position, dir, distance);
        predicted = predicted || behind;
        o.blockerPredicted[k] += behind ? 1 : 0;
      }
      const bool dark = out.at(i % kSize, i / kSize).y < 0.5f * full;
      o.predictedShadow += predicted ? 1 : 0;
      o.agree += predicted == dark ? 1 : 0;
      o.shadowFound += predicted && dark ? 1 : 0;
      for (size_t k = 0; k < blockers.size(); ++k)
        o.blockerFound[k] += dark && hitsBox(blockers[k], s.position, dir, distance) ? 1 : 0;
      const float depth = mat::transformPoint(s.position, view).z;
      o.minDepth = std::min(o.minDepth, depth);
      o.maxDepth = std::max(o.maxDepth, depth);
    }
    return o;
  }
};

TEST_F(ShadowGpuTest, EachCascadeDarkensWhereTheBoxBlocksTheSun) {
  const Float3 towards{0.6f, 1.0f, 0.3f};
  const Float3 L = normalize(towards);
  struct Setup {
    Float3 eye, target;
    float fov;
    Float3 plane;
    Box box;
    float nearDepth, farDepth;  // where the plane must lie to be in the cascade
  };
  const Setup setups[2] = {
      {{0, 7, -7}, {0, 0, 1}, 55.0f, {20, 1, 20}, {{-1.2f, 0.8f, -1.0f}, {1.2f, 2.2f, 1.2f}}, 0.0f, 20.0f},
      {{0, 26, -30}, {0, 0, 0}, 22.0f, {60, 1, 60}, {{-2.0f, 1.5f, -1.5f}, {1.5f, 5.0f, 2.0f}}, 20.0f, 60.0f},
  };
  for (int c = 0; c < 2; ++c) {
    newFrame();
    setCamera(setups[c].eye, setups[c].target, setups[c].fov);
    dirLights().push_back(dirLight(towards, {1, 1, 1}, true));
    Outcome o = shade(
        setups[c].plane, setups[c].box,
        [&](Float3, Float3& dir, float& distance) {
          dir = L;
          distance = 1e6f;
        },
        [&](const Surfel& s) { return lightref::brdfLight(s.normal, s.toEye, L, s.surface, {1, 1, 1}).y; });
    EXPECT_GE(o.minDepth, setups[c].nearDepth) << "cascade " << c;
    EXPECT_LE(o.maxDepth, setups[c].farDepth) << "cascade " << c;
    EXPECT_GT(o.plane, 800) << "cascade " << c;
    EXPECT_GT(o.predictedShadow, 40) << "cascade " << c;
    EXPECT_GE(o.agree, o.plane * 97 / 100) << "cascade " << c << ": " << o.agree << " of " << o.plane;
    EXPECT_GE(o.shadowFound, o.predictedShadow * 9 / 10) << "cascade " << c;
  }
}

TEST_F(ShadowGpuTest, TheSpotShadowFallsWhereTheBoxBlocksTheSpot) {
  setCamera({0, 7, -7}, {0, 0, 1}, 55.0f);
  const Float3 lightPos{0.5f, 8.0f, 0.3f};
  const float angle = 80.0f, farPlane = 20.0f;
  SpotLightRecord r;
  r.position = {lightPos.x, lightPos.y, lightPos.z, 1};
  r.direction = {0, -1, 0, 0};
  r.colour = {30, 30, 30, 0};
  r.angle = angle;
  r.farPlane = farPlane;
  r.castsShadows = 1;
  r.scattering = {0.1f, 0, 1, 0};
  r.scatteringSteps = 8;
  spotLights().push_back(r);
  const Box box{{-0.5f, 2.0f, -0.4f}, {1.0f, 3.2f, 1.1f}};
  Outcome o = shade(
      {20, 1, 20}, box,
      [&](Float3 p, Float3& dir, float& distance) {
        Float3 d = lightPos - p;
        distance = length(d);
        dir = d * (1.0f / distance);
      },
      [&](const Surfel& s) {
        Float3 L;
        float f = lightref::spotFactor(s.position, lightPos, {0, -1, 0}, angle, farPlane, L);
        return lightref::brdfLight(s.normal, s.toEye, L, s.surface, {30 * f, 30 * f, 30 * f}).y;
      });
  EXPECT_GT(o.plane, 500);
  EXPECT_GT(o.predictedShadow, 40);
  EXPECT_GE(o.agree, o.plane * 97 / 100) << o.agree << " of " << o.plane;
  EXPECT_GE(o.shadowFound, o.predictedShadow * 9 / 10);
}

TEST_F(ShadowGpuTest, InstancedAndClothCastersShadowLikeTheirGeometry) {
  // Two instances of a unit box through their own matrices (kind 3), and a cloth square whose
  // four corners come from a position texture, drawn from an index buffer alone (kind 1).
  MeshBuilder b;
  b.addBox({0, 0, 0}, {1, 1, 1});
  std::vector<float> vertices = b.compactVertices();
  const uint32_t codes[] = {1, 2, 16, 24 | 1u << 8 | 1u << 20, 25 | 1u << 8 | 1u << 20, 26 | 1u << 8 | 1u << 20,
                            27 | 1u << 8 | 1u << 20, 0};
  std::unique_ptr<InputLayout> layout(device()->inputLayout(codes));
  ASSERT_NE(layout, nullptr);
  const Mesh* instanced = keep(createMesh(device(), vertices.data(), b.vertexCount(), 32, b.indices.data(),
                                          uint32_t(b.indices.size()), layout.get(), D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST));
  ASSERT_NE(instanced, nullptr);
  const Float4x4 instances[2] = {mat::translation({-2.5f, 2.0f, 0.0f}), mat::translation({0.0f, 2.0f, 2.5f})};
  const_cast<Mesh*>(instanced)->vertexBuffers[1] = buffer(kMeshVertexBufferFlags, sizeof instances, 64, instances);
  const_cast<Mesh*>(instanced)->strides[1] = 64;

  const float corners[4][4] = {{1.5f, 1.8f, -1.5f, 1}, {3.0f, 1.8f, -1.5f, 1}, {1.5f, 1.8f, 0.0f, 1}, {3.0f, 1.8f, 0.0f, 1}};
  Texture* positions = texture(0x50404, 2, 2, 0x10101, corners);
  const uint16_t indices[6] = {0, 1, 2, 2, 1, 3};
  auto cloth = std::make_unique<Mesh>();
  cloth->indexBuffer = buffer(kMeshIndexBufferFlags, sizeof indices, 2, indices);
  cloth->indexFormat = DXGI_FORMAT_R16_UINT;
  cloth->indexCount = 6;
  cloth->indexed = true;
  cloth->vertexBuffers[0] = positions;
  const Mesh* clothMesh = keep(std::move(cloth));

  const std::vector<Box> blockers = {{{-3.0f, 1.5f, -0.5f}, {-2.0f, 2.5f, 0.5f}},
                                     {{-0.5f, 1.5f, 2.0f}, {0.5f, 2.5f, 3.0f}},
                                     {{1.5f, 1.79f, -1.5f}, {3.0f, 1.81f, 0.0f}}};
  auto casters = [&] {
    AddShadowCaster(instanced, Float4x4::identity(), kCasterInstanced, 2);
    AddShadowCaster(clothMesh, Float4x4::identity(), kCasterCloth, 0);
  };
  setCamera({0, 8, -7}, {0, 0, 0.5f}, 60.0f);
  const Float3 towards{0.3f, 1.0f, -0.4f};
  const Float3 L = normalize(towards);
  dirLights().push_back(dirLight(towards, {1, 1, 1}, true));
  Outcome sun = shade(
      {20, 1, 20}, blockers[0],
      [&](Float3, Float3& dir, float& distance) {
        dir = L;
        distance = 1e6f;
      },
      [&](const Surfel& s) { return lightref::brdfLight(s.normal, s.toEye, L, s.surface, {1, 1, 1}).y; }, casters,
      blockers);
  for (size_t k = 0; k < blockers.size(); ++k) {
    EXPECT_GT(sun.blockerPredicted[k], 5) << "caster " << k;
    EXPECT_GE(sun.blockerFound[k], sun.blockerPredicted[k] * 8 / 10) << "caster " << k;
  }
  EXPECT_GE(sun.agree, sun.plane * 97 / 100) << sun.agree << " of " << sun.plane;
  EXPECT_GE(sun.shadowFound, sun.predictedShadow * 9 / 10);

  newFrame();
  const Float3 lightPos{0.0f, 9.0f, 0.5f};
  SpotLightRecord r;
  r.position = {lightPos.x, lightPos.y, lightPos.z, 1};
  r.direction = {0, -1, 0, 0};
  r.colour = {40, 40, 40, 0};
  r.angle = 90.0f;
  r.farPlane = 20.0f;
  r.castsShadows = 1;
  r.scatteringSteps = 8;
  spotLights().push_back(r);
  Outcome spot = shade(
      {20, 1, 20}, blockers[0],
      [&](Float3 p, Float3& dir, float& distance) {
        Float3 d = lightPos - p;
        distance = length(d);
        dir = d * (1.0f / distance);
      },
      [&](const Surfel& s) {
        Float3 Ls;
        float f = lightref::spotFactor(s.position, lightPos, {0, -1, 0}, 90.0f, 20.0f, Ls);
        return lightref::brdfLight(s.normal, s.toEye, Ls, s.surface, {40 * f, 40 * f, 40 * f}).y;
      },
      casters, blockers);
  for (size_t k = 0; k < blockers.size(); ++k) {
    EXPECT_GT(spot.blockerPredicted[k], 5) << "caster " << k;
    EXPECT_GE(spot.blockerFound[k], spot.blockerPredicted[k] * 8 / 10) << "caster " << k;
  }
  EXPECT_GE(spot.agree, spot.plane * 97 / 100) << spot.agree << " of " << spot.plane;
  EXPECT_GE(spot.shadowFound, spot.predictedShadow * 9 / 10);
}

TEST_F(ShadowGpuTest, TheBoxesAProcMeshGeneratesCastShadows) {
  // One generated box: the point at the operator's origin (a sphere of radius ~0), half size
  // 0.5, turned about an axis of the shader's choosing; placed 1.5 above the plane. Whatever
  // its turn, it holds the ball of radius 0.5 about its centre and lies within the ball of
  // radius 0.5 * sqrt(3).
  const Float3 centre{0.0f, 1.5f, 0.0f};
  const float half = 0.5f;
  Operator& proc = makeOp(*graph, "ProcMesh");
  setParam(proc, "Points", 1.0f);
  setParam(proc, "Param 0", 1e-4f);
  setParam(proc, "Param 3", half);
  // The light from the right, the eye above the right: the box hides none of its shadow.
  setCamera({3, 6, -4}, {-0.5f, 0, 0}, 55.0f);
  const Float3 towards{1.0f, 1.0f, 0.2f};
  const Float3 L = normalize(towards);
  dirLights().push_back(dirLight(towards, {1, 1, 1}, true));
  const Mesh* quad = quadMesh();
  Material m;
  m.roughness = 0.8f;
  Operator& pass = lightPass([&] {
    draw(quad, mat::scaling({20, 1, 20}), m);
    ctx.world = ctx.worldPrev = mat::translation(centre);
    proc.outputs[0].evaluate(0.0f, ctx);
    ctx.world = ctx.worldPrev = Float4x4::identity();
  });
  HalfImage out = light(pass);
  const std::vector<Surfel> g = surfels();
  int inShadow = 0, inLight = 0;
  for (uint32_t i = 0; i < kSize * kSize; ++i) {
    const Surfel& s = g[i];
    if (!s.geometry || std::fabs(s.position.y) > 0.02f || s.normal.y < 0.99f) continue;  // the plane only
    const float full = lightref::brdfLight(s.normal, s.toEye, L, s.surface, {1, 1, 1}).y;
    if (full < 0.05f) continue;
    // How far the ray from the surface towards the light passes from the box's centre.
    const Float3 rel = centre - s.position;
    const float along = dot(rel, L);
    const float miss = std::sqrt(std::max(dot(rel, rel) - along * along, 0.0f));
    const bool dark = out.at(i % kSize, i / kSize).y < 0.5f * full;
    if (miss < 0.8f * half) {
      ++inShadow;
      EXPECT_TRUE(dark) << i % kSize << "," << i / kSize;
    } else if (miss > 1.2f * half * std::sqrt(3.0f)) {
      ++inLight;
      EXPECT_FALSE(dark) << i % kSize << "," << i / kSize;
    }
  }
  EXPECT_GT(inShadow, 8);
  EXPECT_GT(inLight, 500);
}

}  // namespace

// The CPU halves of the simulations: the cloth's sub-step clock, group counts, plane and
// mesh topologies and stable stiffness; the particles' emission clock and update step; the
// smoke's sort axis and light.
#include <gtest/gtest.h>

#include <cmath>

#include "scene/Lights.h"
#include "scene/ModelReader.h"
#include "sim/Cloth.h"
#include "sim/Particles.h"

namespace {

using namespace sim;

TEST(ClothClock, SubStepsFollowTheRateAndCarryTheLeftover) {
  ClothClock clock;
  clock.restart(0.0f);
  // 100 sub-steps a second at 60 frames a second: 5 steps every 3 frames, never lost.
  uint32_t total = 0;
  float t = 0.0f;
  for (int frame = 1; frame <= 600; ++frame) {
    t = float(frame) / 60.0f;
    const uint32_t steps = clock.advance(t, 100.0f);
    EXPECT_LE(steps, 2u);
    total += steps;
    EXPECT_NEAR(double(total), std::floor(double(t) * 100.0), 1.0) << "frame " << frame;
    EXPECT_LT(clock.leftover(), 0.01 + 1e-9);
  }
  // The default rate runs ten a frame.
  ClothClock fine;
  fine.restart(0.0f);
  uint32_t sum = 0;
  for (int frame = 1; frame <= 60; ++frame) sum += fine.advance(float(frame) / 60.0f, 600.0f);
  EXPECT_NEAR(double(sum), 600.0, 1.0);
}

TEST(ClothClock, AFrameCountsATenthOfASecondAtMostAndTimeGoingBackNothing) {
  ClothClock clock;
  clock.restart(0.0f);
  EXPECT_EQ(clock.advance(5.0f, 600.0f), 60u);  // a stall: 0.1 s of sub-steps
  EXPECT_EQ(clock.advance(4.0f, 600.0f), 0u);
  EXPECT_EQ(clock.advance(4.0f, 600.0f), 0u);
  // Rates below 1 count as 1; absurd rates are held to 10,000 a second.
  clock.restart(0.0f);
  EXPECT_EQ(clock.advance(0.1f, 0.001f), 0u);
  EXPECT_NEAR(clock.leftover(), 0.1, 1e-6);
  clock.restart(0.0f);
  EXPECT_EQ(clock.advance(0.1f, 1.0e12f), 1000u);
  EXPECT_EQ(ClothClock::stepLength(std::nanf("")), 1.0f);
}

TEST(ClothGroups, CountsDoubleInTurnUntilTheVerticesAreCovered) {
  uint32_t x, y;
  clothGroupCounts(4096, x, y);  // the default 64 x 64 plane
  EXPECT_EQ(x, 4u);
  EXPECT_EQ(y, 4u);
  clothGroupCounts(100, x, y);
  EXPECT_EQ(x, 2u);
  EXPECT_EQ(y, 2u);
  clothGroupCounts(1025, x, y);
  EXPECT_EQ(x, 4u);
  EXPECT_EQ(y, 2u);
  clothGroupCounts(65536, x, y);
  EXPECT_EQ(x, 16u);
  EXPECT_EQ(y, 16u);
  clothGroupCounts(1u << 22, x, y);  // past what a dispatch can hold: capped at 64
  EXPECT_EQ(x, 64u);
  EXPECT_EQ(y, 64u);
}

TEST(ClothPlane, GridSpringsAndWindingFollowThePlane) {
  EXPECT_EQ(planeVerticesPerSide(62.0f), 64u);
  EXPECT_EQ(planeVerticesPerSide(-3.0f), 2u);
  EXPECT_EQ(planeVerticesPerSide(std::nanf("")), 2u);
  EXPECT_EQ(planeVerticesPerSide(1e9f), 256u);

  const Float3 normal = normalize(Float3{0.3f, 1.0f, -0.2f});
  const ClothGeometry g = buildPlaneCloth({1, 2, 3}, normal, 4.0f, 2.0f, 5, 3);
  ASSERT_EQ(g.simCount(), 15u);
  EXPECT_EQ(g.renderCount(), 15u);
  EXPECT_EQ(g.triangles.size(), 4u * 2 * 2 * 3);
  // Every vertex lies in the plane, the corners span its size.
  for (const Float3& p : g.positions) EXPECT_NEAR(dot(p - Float3{1, 2, 3}, normal), 0.0f, 1e-5f);
  EXPECT_NEAR(length(g.positions[4] - g.positions[0]), 4.0f, 1e-4f);
  EXPECT_NEAR(length(g.positions[10] - g.positions[0]), 2.0f, 1e-4f);
  // Triangles face the plane's normal (clockwise seen from that side).
  for (size_t t = 0; t < g.triangles.size(); t += 3) {
    const Float3 a = g.positions[g.triangles[t]], b = g.positions[g.triangles[t + 1]], c = g.positions[g.triangles[t + 2]];
    EXPECT_GT(dot(cross(b - a, c - a), normal), 0.0f);
  }
  // Springs: rest lengths as built, each listed at both ends, the right neighbours per kind.
  uint32_t kinds[4] = {};
  for (uint32_t v = 0; v < g.simCount(); ++v) {
    const uint32_t first = g.springRanges[v * 2], count = g.springRanges[v * 2 + 1];
    for (uint32_t k = first; k < first + count; ++k) {
      const ClothSpring& s = g.springs[k];
      EXPECT_NEAR(s.rest, length(g.positions[v] - g.positions[s.other]), 1e-5f);
      ++kinds[s.kind];
      bool back = false;
      const uint32_t of = g.springRanges[s.other * 2], oc = g.springRanges[s.other * 2 + 1];
      for (uint32_t m = of; m < of + oc; ++m) back = back || (g.springs[m].other == v && g.springs[m].kind == s.kind);
      EXPECT_TRUE(back);
    }
  }
  EXPECT_EQ(kinds[kSpringStretch], 2u * (4 * 3 + 5 * 2));
  EXPECT_EQ(kinds[kSpringShear], 2u * (2 * 4 * 2));
  EXPECT_EQ(kinds[kSpringBend], 2u * (3 * 3 + 5 * 1));
  EXPECT_EQ(g.mostSprings[kSpringStretch], 4u);
  // Faces around a vertex: the corner has one or two, an inner vertex six.
  EXPECT_EQ(g.faceRanges[7 * 2 + 1], 6u);
}

// A cube as a file gives it: 24 vertices (each face its own normals), welded to 8.
std::vector<MeshVertex> cubeVertices(std::vector<uint32_t>& indices) {
  std::vector<MeshVertex> v;
  const Float3 normals[6] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
  for (const Float3& n : normals) {
    const Float3 u = std::fabs(n.y) > 0.5f ? Float3{1, 0, 0} : Float3{0, 1, 0};
    const Float3 w = cross(n, u);
    const uint32_t base = uint32_t(v.size());
    for (int k = 0; k < 4; ++k) {
      const float su = (k & 1) ? 1.0f : -1.0f, sw = (k & 2) ? 1.0f : -1.0f;
      MeshVertex m;
      m.position = n + u * su + w * sw;
      m.normal = n;
      m.tangent = u;
      m.uv = {su * 0.5f + 0.5f, sw * 0.5f + 0.5f};
      v.push_back(m);
    }
    indices.insert(indices.end(), {base, base + 1, base + 2, base + 1, base + 3, base + 2});
  }
  return v;
}

TEST(ClothMeshTopology, SeamsAreWeldedEdgesBecomeSpringsAndAnchorsHoldEveryVertex) {
  std::vector<uint32_t> indices;
  const std::vector<MeshVertex> cube = cubeVertices(indices);
  const ClothGeometry plain = buildMeshCloth(cube, indices, mat::translation({0, 3, 0}), false, kAuxNone, false);
  EXPECT_EQ(plain.simCount(), 8u);
  EXPECT_EQ(plain.renderCount(), 24u);
  EXPECT_EQ(plain.anchors, 0u);
  for (const ClothSpring& s : plain.springs) EXPECT_EQ(s.kind, uint32_t(kSpringStretch));
  EXPECT_EQ(plain.springs.size(), 2u * 18);  // 12 cube edges and 6 face diagonals, both ends
  for (uint32_t r = 0; r < 24; ++r) {
    const Float3 p = plain.positions[plain.remap[r]];
    EXPECT_NEAR(p.y, cube[r].position.y + 3.0f, 1e-6f);
  }

  const ClothGeometry boxed = buildMeshCloth(cube, indices, Float4x4{}, false, kAuxCenterBox, true);
  ASSERT_EQ(boxed.anchors, 9u);
  ASSERT_EQ(boxed.simCount(), 17u);
  for (uint32_t a = 8; a < 17; ++a) {
    EXPECT_EQ(boxed.inverseMass[a], 0.0f);  // frozen
    EXPECT_EQ(boxed.springRanges[a * 2 + 1], 8u);
  }
  EXPECT_EQ(boxed.mostSprings[kSpringAux], 9u);
  const ClothGeometry loose = buildMeshCloth(cube, indices, Float4x4{}, false, kAuxBoxBottom, false);
  EXPECT_EQ(loose.anchors, 4u);
  for (uint32_t a = 8; a < 12; ++a) {
    EXPECT_NEAR(loose.positions[a].y, -1.0f, 1e-6f);
    EXPECT_NEAR(loose.inverseMass[a], 1.0f / 8.0f, 1e-7f);
  }
  // Empty and broken input builds nothing instead of failing later.
  EXPECT_EQ(buildMeshCloth({}, {}, Float4x4{}, true, kAuxBox, false).simCount(), 0u);
  std::vector<uint32_t> wild = {0, 1, 99};
  EXPECT_TRUE(buildMeshCloth(cube, wild, Float4x4{}, true, kAuxNone, false).triangles.empty());
}

TEST(ClothStiffness, HeldBelowWhatTheSubStepCanIntegrate) {
  const float h = 1.0f / 600.0f;
  EXPECT_EQ(stableStiffness(15000.0f, h, 4), 15000.0f);  // the defaults are untouched
  // Stiffer than the sub-step integrates: held at one finite ceiling, whatever was asked.
  const float held = stableStiffness(1.0e30f, h, 4);
  EXPECT_TRUE(std::isfinite(held));
  EXPECT_GT(held, 15000.0f);
  EXPECT_LT(held, 1.0e30f);
  EXPECT_EQ(stableStiffness(INFINITY, h, 4), held);
  EXPECT_EQ(stableStiffness(held * 0.5f, h, 4), held * 0.5f);  // below the ceiling: untouched
  // More springs pulling at one vertex, or a longer sub-step, lower the ceiling.
  EXPECT_LT(stableStiffness(1.0e30f, h, 8), held);
  EXPECT_LT(stableStiffness(1.0e30f, 2.0f * h, 4), held);
  EXPECT_GT(stableStiffness(1.0e30f, h, 0), 0.0f);  // a vertex without springs divides by nothing
  EXPECT_EQ(stableStiffness(-5.0f, h, 4), 0.0f);
  EXPECT_EQ(stableStiffness(std::nanf(""), h, 4), 0.0f);
}

TEST(EmissionClock, CarriesTheFractionOfAParticleNotTheFractionOfASecond) {
  EmissionClock clock;
  uint32_t total = 0;
  for (int frame = 1; frame <= 120; ++frame) total += clock.take(float(frame) / 60.0f, 90);
  EXPECT_NEAR(double(total), 180.0, 1.0);
  EXPECT_EQ(clock.take(10.0f, 90), 45u);  // at most half a second counts
  EXPECT_EQ(clock.take(10.0f, -1), kParticleCount);
  EXPECT_EQ(clock.take(20.0f, 2000000000), kParticleCount);
  EmissionClock once;
  EXPECT_TRUE(once.mayEmit(false));
  once.markEmitted();
  EXPECT_FALSE(once.mayEmit(false));
  EXPECT_TRUE(once.mayEmit(true));
  once.reset();
  EXPECT_TRUE(once.mayEmit(false));
}

TEST(ParticleStep, ATenthOfASecondAtMostAndNothingWhenTimeStands) {
  EXPECT_FLOAT_EQ(particleStep(1.3f, 1.0f), 0.1f);
  EXPECT_NEAR(particleStep(1.05f, 1.0f), 0.05f, 1e-6f);
  EXPECT_EQ(particleStep(1.0f, 1.0f), 0.0f);
  EXPECT_EQ(particleStep(0.5f, 1.0f), 0.0f);
}

TEST(SmokeAxis, HalfWayBetweenTheLightAndTheViewerAndNeverDegenerate) {
  const Float3 view{0, 0, 1}, light = normalize(Float3{1, -1, 0});
  const Float3 s = smokeSortAxis(view, light);
  EXPECT_NEAR(length(s), 1.0f, 1e-5f);
  EXPECT_GT(dot(s, -view), 0.0f);  // later slices are nearer the viewer
  EXPECT_GT(dot(s, light), 0.0f);  // and farther along the light
  EXPECT_NEAR(dot(s, -view), dot(s, light), 1e-5f);
  const Float3 same = smokeSortAxis(view, view);  // light from straight behind the viewer
  EXPECT_NEAR(dot(same, -view), 1.0f, 1e-5f);
}

TEST(SmokeLight, TheFirstEnabledDirectionalLightShinesThroughTheSmoke) {
  clearLightLists();
  Context ctx;
  const SmokeLight fallback = smokeLight(ctx);
  EXPECT_LT(fallback.direction.y, 0.0f);  // from above
  DirLightRecord off;
  off.direction = {1, 0, 0, 0};
  off.enabled = 0;
  DirLightRecord sun;
  sun.direction = {0, 2, 0, 0};  // towards the light: straight up
  sun.colour = {2, 1, 0.5f, 0};
  dirLights().push_back(off);
  dirLights().push_back(sun);
  const SmokeLight l = smokeLight(ctx);
  EXPECT_NEAR(l.direction.y, -1.0f, 1e-6f);  // the light travels down
  EXPECT_EQ(l.colour.x, 2.0f);
  EXPECT_EQ(l.colour.z, 0.5f);
  clearLightLists();
}

}  // namespace

// Layouts of the instanced meshes against an independent computation of the formulas.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "scene/InstanceLayout.h"

namespace {

Float3 apply(Float3 p, const Float4x4& m) {
  return {p.x * m.at(0, 0) + p.y * m.at(1, 0) + p.z * m.at(2, 0) + m.at(3, 0),
          p.x * m.at(0, 1) + p.y * m.at(1, 1) + p.z * m.at(2, 1) + m.at(3, 1),
          p.x * m.at(0, 2) + p.y * m.at(1, 2) + p.z * m.at(2, 2) + m.at(3, 2)};
}

void expectNear(Float3 a, Float3 b, float eps = 1e-5f) {
  EXPECT_NEAR(a.x, b.x, eps);
  EXPECT_NEAR(a.y, b.y, eps);
  EXPECT_NEAR(a.z, b.z, eps);
}

TEST(RepeatInstLayout, ProgressionOfScaleRotationAndTranslation) {
  EXPECT_EQ(repeatStep(0, {3, 4, 5}, {10, 20, 30}, {2, 2, 2}), Float4x4::identity());
  for (int i = 0; i < 3; ++i) expectNear(apply({0, 0, 0}, repeatStep(i, {2, 0, 0}, {}, {1, 1, 1})), {2.0f * i, 0, 0});
  // Copy 2 with scale step 1.5 and 45 degrees about Y: the point (1, 0, 0) is scaled by 2,
  // turned by 90 degrees about Y (row vectors: +X goes to -Z), then moved by 2 * (0, 1, 0).
  const Float4x4 m = repeatStep(2, {0, 1, 0}, {0, 45, 0}, {1.5f, 1.5f, 1.5f});
  expectNear(apply({1, 0, 0}, m), {0, 2, -2});
  expectNear(apply({0, 1, 0}, m), {0, 4, 0});
}

struct Draws {
  explicit Draws(uint32_t seed) : mt(seed) {}
  float operator()(float a, float b) { return a + (b - a) * (float(uint32_t(mt())) / 4294967296.0f); }
  std::mt19937 mt;
};

TEST(ReplicateInstLayout, RingFacesOutward) {
  ReplicateSettings s;
  s.count = 4;
  s.radius = 2;
  std::vector<Float4x4> m(4);
  replicateInstances(s, Float4x4::identity(), m.data());
  const Float3 at[4] = {{2, 0, 0}, {0, 0, 2}, {-2, 0, 0}, {0, 0, -2}};
  for (int i = 0; i < 4; ++i) {
    expectNear(apply({0, 0, 0}, m[i]), at[i]);
    // Local -Z points away from the centre; local +Y stays up.
    expectNear(apply({0, 0, -1}, m[i]) - at[i], at[i] * 0.5f);
    expectNear(apply({0, 1, 0}, m[i]) - at[i], {0, 1, 0});
  }
  s.orientation = kOrientFixed;
  replicateInstances(s, Float4x4::identity(), m.data());
  for (int i = 0; i < 4; ++i) expectNear(apply({0, 0, -1}, m[i]) - at[i], {0, 0, 1});
}

TEST(ReplicateInstLayout, DrawOrderPerModeMatchesAnIndependentGenerator) {
  for (int mode : {kReplicatePoint, kReplicateDisc, kReplicateSpherical}) {
    ReplicateSettings s;
    s.count = 5;
    s.radius = 3;
    s.mode = mode;
    s.seed = 1234;
    s.offset = {10, 0, 0};
    s.offsetRandom = {1, 2, 3};
    s.sizeRandom = 0.5f;
    s.rotateRandom = {0, 0, 0};
    s.orientation = kOrientFixed;
    std::vector<Float4x4> m(5);
    replicateInstances(s, Float4x4::identity(), m.data());
    Draws u(1234);
    for (int i = 0; i < 5; ++i) {
      Float3 p;
      if (mode == kReplicatePoint) {
        const float u1 = u(-1, 1), u2 = u(-1, 1), u3 = u(-1, 1);
        p = Float3{u3, u2, u1} * 3.0f;
      } else if (mode == kReplicateDisc) {
        const float u1 = u(-1, 1), u2 = u(-1, 1);
        p = Float3{u2, 0, u1} * 3.0f;
      } else {
        const float r = u(0, 1), th = u(0, 3.14159265f), ph = u(0, 6.2831853f);
        p = Float3{std::cos(th) * std::sin(ph), std::sin(th) * std::sin(ph), std::cos(ph)} * (r * 3.0f);
      }
      const float d1 = u(-0.5f, 0.5f), d2 = u(-0.5f, 0.5f), d3 = u(-0.5f, 0.5f);
      const float size = 1 + u(0, 0.5f);
      u(0, 1), u(0, 1), u(0, 1);  // rotation draws
      const Float3 q = p + Float3{10, 0, 0} + Float3{d3 * 1, d2 * 2, d1 * 3};
      expectNear(apply({0, 0, 0}, m[i]), q, 1e-4f);
      EXPECT_NEAR(length(apply({1, 0, 0}, m[i]) - q), size, 1e-4f) << "mode " << mode << " copy " << i;
    }
  }
}

TEST(ReplicateInstLayout, WrapAndDegenerateCopies) {
  ReplicateSettings s;
  s.count = 8;
  s.mode = kReplicateRing;
  s.radius = 7;
  s.wrap = 3;
  std::vector<Float4x4> m(8);
  replicateInstances(s, Float4x4::identity(), m.data());
  for (const Float4x4& x : m) {
    EXPECT_LT(std::fabs(x.at(3, 0)), 3.0f);
    EXPECT_EQ(std::signbit(x.at(3, 0)), std::signbit(std::fmod(x.at(3, 0), 3.0f)));
  }
  // Radius 0 puts every copy at the centre, facing +Z with a full frame, not collapsed.
  s.radius = 0;
  s.wrap = 0;
  replicateInstances(s, Float4x4::identity(), m.data());
  for (const Float4x4& x : m) {
    EXPECT_FALSE(std::isnan(x.at(0, 0)));
    expectNear(apply({0, 0, -1}, x), {0, 0, 1});
    expectNear(apply({1, 0, 0}, x), {-1, 0, 0});
  }
}

TEST(ReplicateInstLayout, SphericalStaysInsideAndCrowdsTheCentre) {
  ReplicateSettings s;
  s.count = 2000;
  s.radius = 4;
  s.mode = kReplicateSpherical;
  s.seed = 77;
  std::vector<Float4x4> m(2000);
  replicateInstances(s, Float4x4::identity(), m.data());
  std::vector<float> d;
  for (const Float4x4& x : m) d.push_back(length(apply({0, 0, 0}, x)));
  EXPECT_LE(*std::max_element(d.begin(), d.end()), 4.0f + 1e-4f);
  std::nth_element(d.begin(), d.begin() + 1000, d.end());
  // Uniform radius: the median distance is about half the radius (a uniform volume would
  // put it at 0.79 of it).
  EXPECT_NEAR(d[1000] / 4.0f, 0.5f, 0.05f);
}

}  // namespace

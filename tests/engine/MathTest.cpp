#include <gtest/gtest.h>

#include <cmath>

#include "engine/Math.h"

namespace {

void expectNear(const Float4x4& a, const Float4x4& b, float tol = 1e-5f) {
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(a.m[i], b.m[i], tol) << "element " << i;
}

TEST(Matrices, EulerRotationAppliesXThenYThenZToARowVector) {
  // 90 degrees about X takes +Y to +Z, then 90 about Y takes +Z to +X, then 90 about Z takes +X to +Y.
  const Float3 p = mat::transformVector({0, 1, 0}, mat::rotationEulerDegrees({90, 90, 90}));
  EXPECT_NEAR(p.x, 0.0f, 1e-5f);
  EXPECT_NEAR(p.y, 1.0f, 1e-5f);
  EXPECT_NEAR(p.z, 0.0f, 1e-5f);
  // Left-handed: +90 about Y turns +Z towards +X.
  const Float3 q = mat::transformVector({0, 0, 1}, mat::rotationY(1.5707963f));
  EXPECT_NEAR(q.x, 1.0f, 1e-5f);
  EXPECT_NEAR(q.z, 0.0f, 1e-5f);
}

TEST(Matrices, InversesUndoTheirMatrixAndSingularOnesStayFinite) {
  const Float4x4 m = mat::scaleRotateTranslate({2, 3, 0.5f}, {10, -40, 75}, {1, -2, 3});
  expectNear(m * mat::inverse(m), Float4x4::identity());
  const Float4x4 rigid = mat::rotationEulerDegrees({30, 60, -20}) * mat::translation({4, 5, 6});
  expectNear(mat::rigidInverse(rigid), mat::inverse(rigid));
  const Float4x4 flat = mat::scaling({1, 0, 1});
  EXPECT_TRUE(mat::isFinite(mat::inverse(flat)));
  EXPECT_EQ(normalize(Float3{}).x, 0.0f);
}

TEST(Matrices, PerspectiveMapsNearAndFarToDepthZeroAndOne) {
  const Float4x4 p = mat::perspectiveFovDegrees(90, 2.0f, 0.5f, 100.0f);
  EXPECT_NEAR(mat::transformPoint({0, 0, 0.5f}, p).z, 0.0f, 1e-6f);
  EXPECT_NEAR(mat::transformPoint({0, 0, 100.0f}, p).z, 1.0f, 1e-5f);
  // 90 degrees vertically: a point at 45 degrees up lands on the top edge; x is halved by aspect.
  const Float3 edge = mat::transformPoint({1, 1, 1}, p);
  EXPECT_NEAR(edge.y, 1.0f, 1e-5f);
  EXPECT_NEAR(edge.x, 0.5f, 1e-5f);
  const Float4x4 o = mat::orthographic(4, 2, 1, 11);
  const Float3 c = mat::transformPoint({2, -1, 11}, o);
  EXPECT_NEAR(c.x, 1.0f, 1e-6f);
  EXPECT_NEAR(c.y, -1.0f, 1e-6f);
  EXPECT_NEAR(c.z, 1.0f, 1e-6f);
  EXPECT_NEAR(mat::transformPoint({0, 0, 1}, o).z, 0.0f, 1e-6f);
}

}  // namespace

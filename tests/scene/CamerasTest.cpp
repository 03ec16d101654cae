// Camera bases and projections worked out by hand, what a camera leaves in the Context, the
// previous camera from t - 0.001, and bases that stay finite where the up axis is no help.
#include <gtest/gtest.h>

#include <cmath>

#include "scene/Cameras.h"
#include "tests/scene/TraversalTestSupport.h"

using namespace scenetest;

namespace {

void expectNear(Float3 actual, Float3 expected, float tol = 1e-5f) {
  EXPECT_NEAR(actual.x, expected.x, tol);
  EXPECT_NEAR(actual.y, expected.y, tol);
  EXPECT_NEAR(actual.z, expected.z, tol);
}

// Right, up, forward unit length and pairwise perpendicular, left-handed (right x up = forward).
void expectOrthonormal(const Float4x4& m) {
  ASSERT_TRUE(mat::isFinite(m));
  const Float3 r = m.row3(0), u = m.row3(1), f = m.row3(2);
  EXPECT_NEAR(length(r), 1.0f, 1e-5f);
  EXPECT_NEAR(length(u), 1.0f, 1e-5f);
  EXPECT_NEAR(length(f), 1.0f, 1e-5f);
  EXPECT_NEAR(dot(r, u), 0.0f, 1e-5f);
  EXPECT_NEAR(dot(r, f), 0.0f, 1e-5f);
  EXPECT_NEAR(dot(u, f), 0.0f, 1e-5f);
  expectNear(cross(u, f), r);
  EXPECT_EQ(m.at(0, 3), 0.0f);
  EXPECT_EQ(m.at(3, 3), 1.0f);
}

TEST(Camera, DefaultsLookFromFourFourFourTowardTheOrigin) {
  SceneGraph s;
  Operator& cam = s.op("Camera");
  ProbeOp& probe = s.probe();
  s.feed(probe, cam);
  s.ctx.viewport = {0, 0, 200, 100};
  s.eval(cam, 1.0f);

  const float k = 1.0f / std::sqrt(3.0f);
  expectOrthonormal(s.ctx.camera);
  expectNear(s.ctx.camera.row3(2), {-k, -k, -k});
  expectNear(s.ctx.camera.row3(3), {4, 4, 4});
  // The right axis is horizontal: no roll.
  EXPECT_NEAR(s.ctx.camera.at(0, 1), 0.0f, 1e-6f);
  // The origin lies straight ahead of the eye.
  const Float3 inView = mat::transformPoint({0, 0, 0}, mat::rigidInverse(s.ctx.camera));
  expectNear(inView, {0, 0, std::sqrt(48.0f)}, 1e-4f);

  // Projection of a 2:1 viewport: yScale = cot(22.5 degrees), xScale half of it.
  const float ys = 1.0f / std::tan(22.5f * 3.14159265f / 180.0f);
  const Float4x4& p = s.ctx.projection;
  EXPECT_NEAR(p.at(1, 1), ys, 1e-5f);
  EXPECT_NEAR(p.at(0, 0), ys * 0.5f, 1e-5f);
  EXPECT_NEAR(p.at(2, 2), 2048.0f / (2048.0f - 0.1f), 1e-6f);
  EXPECT_EQ(p.at(2, 3), 1.0f);
  EXPECT_NEAR(p.at(3, 2), -0.1f * 2048.0f / (2048.0f - 0.1f), 1e-6f);
  EXPECT_EQ(p.at(3, 3), 0.0f);
  EXPECT_EQ(s.ctx.fov, 45.0f);
  EXPECT_EQ(s.ctx.zNear, 0.1f);
  EXPECT_EQ(s.ctx.zFar, 2048.0f);

  // The scene below saw the camera, and the camera stays set after the operator returns.
  ASSERT_EQ(probe.visits.size(), 1u);
  EXPECT_TRUE(sameBits(probe.visits[0].camera, s.ctx.camera));
  EXPECT_TRUE(sameBits(probe.visits[0].projection, s.ctx.projection));
}

TEST(Camera, PositionOffsetMovesAlongTheCamerasOwnAxes) {
  SceneGraph s;
  Operator& cam = s.op("Camera");
  setParam(cam, "Position.X", 0), setParam(cam, "Position.Y", 0), setParam(cam, "Position.Z", 0);
  setParam(cam, "Direction.X", 1), setParam(cam, "Direction.Y", 0), setParam(cam, "Direction.Z", 0);
  setParam(cam, "PositionOffset.X", 1), setParam(cam, "PositionOffset.Y", 2), setParam(cam, "PositionOffset.Z", 3);
  s.eval(cam, 0.0f);
  // Looking along +X: right is -Z, up +Y, forward +X.
  expectNear(s.ctx.camera.row3(0), {0, 0, -1});
  expectNear(s.ctx.camera.row3(1), {0, 1, 0});
  expectNear(s.ctx.camera.row3(3), {3, 2, -1});
}

TEST(Camera, ThePreviousCameraComesFromParametersAMillisecondEarlier) {
  SceneGraph s;
  Operator& cam = s.op("Camera");
  Operator& time = s.op("Time");
  s.connect(time, "FloatOut", cam, "Position.X");
  s.eval(cam, 2.0f);
  EXPECT_EQ(s.ctx.camera.at(3, 0), 2.0f);
  EXPECT_EQ(s.ctx.cameraPrev.at(3, 0), 2.0f - 0.001f);
  EXPECT_EQ(s.ctx.cameraPrev.at(3, 1), 4.0f);
}

TEST(Camera, DirectionsAlongTheUpAxisStillGiveAnOrthonormalBasis) {
  SceneGraph s;
  Operator& cam = s.op("Camera");
  for (Float3 d : {Float3{0, -1, 0}, Float3{0, 1, 0}, Float3{0, -5, 0}, Float3{0, 0, 0}}) {
    SCOPED_TRACE(testing::Message() << d.x << " " << d.y << " " << d.z);
    setParam(cam, "Direction.X", d.x), setParam(cam, "Direction.Y", d.y), setParam(cam, "Direction.Z", d.z);
    s.eval(cam, 0.0f);
    expectOrthonormal(s.ctx.camera);
    expectOrthonormal(s.ctx.cameraPrev);
    if (d.y != 0) expectNear(s.ctx.camera.row3(2), {0, d.y > 0 ? 1.0f : -1.0f, 0});
    EXPECT_TRUE(mat::isFinite(mat::rigidInverse(s.ctx.camera)));
  }
  // Looking straight down is the limit of looking down slightly toward +Z.
  const Float4x4 down = camera::lookAlong({0, 0, 0}, {0, -1, 0}, {0, 0, 0});
  const Float4x4 almost = camera::lookAlong({0, 0, 0}, {0, -1, 1e-3f}, {0, 0, 0});
  expectNear(down.row3(0), almost.row3(0), 1e-3f);
  expectNear(down.row3(1), almost.row3(1), 1e-3f);
}

TEST(TargetCamera, DefaultsLookFromBehindTheTargetAlongZ) {
  SceneGraph s;
  Operator& cam = s.op("TargetCamera");
  s.ctx.viewport = {0, 0, 64, 64};
  s.eval(cam, 0.0f);
  expectNear(s.ctx.camera.row3(0), {1, 0, 0});
  expectNear(s.ctx.camera.row3(1), {0, 1, 0});
  expectNear(s.ctx.camera.row3(2), {0, 0, 1});
  expectNear(s.ctx.camera.row3(3), {0, 0, -1});
  EXPECT_NEAR(s.ctx.projection.at(0, 0), s.ctx.projection.at(1, 1), 1e-6f);
}

TEST(TargetCamera, YawPitchAndRollTurnTheEyeAroundTheTarget) {
  SceneGraph s;
  Operator& cam = s.op("TargetCamera");
  setParam(cam, "Position.X", 1), setParam(cam, "Position.Y", 2), setParam(cam, "Position.Z", 3);
  setParam(cam, "CamOffset.Z", -2);
  setParam(cam, "Yaw", 90);
  s.eval(cam, 0.0f);
  // (0, 0, -2) turned 90 degrees about Y lies along -X: the eye looks along +X at the target.
  expectNear(s.ctx.camera.row3(3), {-1, 2, 3});
  expectNear(s.ctx.camera.row3(2), {1, 0, 0});
  expectNear(s.ctx.camera.row3(0), {0, 0, -1});

  setParam(cam, "Yaw", 0);
  setParam(cam, "Pitch", 30);
  s.eval(cam, 0.0f);
  // Pitch raises the eye: (0, 0, -2) * Rx(30) = (0, 2 sin 30, -2 cos 30).
  expectNear(s.ctx.camera.row3(3), {1, 2 + 1.0f, 3 - 2 * std::cos(30 * kDegToRad)});
  expectOrthonormal(s.ctx.camera);

  setParam(cam, "Pitch", 0);
  setParam(cam, "CamOffset.Z", -1);
  setParam(cam, "Roll", 90);
  s.eval(cam, 0.0f);
  expectNear(s.ctx.camera.row3(0), {0, 1, 0});   // right' = up
  expectNear(s.ctx.camera.row3(1), {-1, 0, 0});  // up' = -right
}

TEST(TargetCamera, AnEyeAboveOrOnTheTargetStillGivesAnOrthonormalBasis) {
  for (float yaw : {0.0f, 30.0f, -120.0f}) {
    SCOPED_TRACE(yaw);
    // Straight above: the same basis as a hair below 90 degrees of pitch.
    const Float4x4 above = camera::orbit({0, 0, 0}, {0, 0, -1}, yaw, 90, 0);
    const Float4x4 almost = camera::orbit({0, 0, 0}, {0, 0, -1}, yaw, 89.9f, 0);
    expectOrthonormal(above);
    for (int row = 0; row < 3; ++row) expectNear(above.row3(row), almost.row3(row), 3e-3f);
    // On the target: it looks the way the default offset would.
    const Float4x4 on = camera::orbit({1, 1, 1}, {0, 0, 0}, yaw, 20, 0);
    const Float4x4 usual = camera::orbit({1, 1, 1}, {0, 0, -1}, yaw, 20, 0);
    expectOrthonormal(on);
    expectNear(on.row3(3), {1, 1, 1});
    for (int row = 0; row < 3; ++row) expectNear(on.row3(row), usual.row3(row), 1e-5f);
  }
  SceneGraph s;
  Operator& cam = s.op("TargetCamera");
  setParam(cam, "CamOffset.Z", 0);
  s.eval(cam, 0.0f);
  expectOrthonormal(s.ctx.camera);
  expectOrthonormal(s.ctx.cameraPrev);
}

TEST(Projections, OrthographicSpansTheHeightAndKeepsTheViewportsAspect) {
  const Float4x4 p = camera::orthographic(4.0f, 0.01f, 1024.0f, Viewport{0, 0, 32, 16});
  // A point at half height 4 and half width 8 lands on the corner, depth 0 at zNear, 1 at zFar.
  const Float4 corner = mat::transform({8, 4, 0.01f, 1}, p);
  EXPECT_NEAR(corner.x, 1.0f, 1e-6f);
  EXPECT_NEAR(corner.y, 1.0f, 1e-6f);
  EXPECT_NEAR(corner.z, 0.0f, 1e-6f);
  EXPECT_EQ(corner.w, 1.0f);
  EXPECT_NEAR(mat::transform({0, 0, 1024, 1}, p).z, 1.0f, 1e-6f);
  // Perspective depth: 0 at zNear, 1 at zFar.
  const Float4x4 q = camera::perspective(60, 0.5f, 100.0f, Viewport{10, 10, 42, 26});
  EXPECT_NEAR(mat::transformPoint({0, 0, 0.5f}, q).z, 0.0f, 1e-6f);
  EXPECT_NEAR(mat::transformPoint({0, 0, 100.0f}, q).z, 1.0f, 1e-6f);
  EXPECT_NEAR(q.at(0, 0) * 2.0f, q.at(1, 1), 1e-6f);
  // An empty viewport counts as square instead of dividing by zero.
  EXPECT_TRUE(mat::isFinite(camera::perspective(45, 0.1f, 10, Viewport{})));
  EXPECT_TRUE(mat::isFinite(camera::orthographic(2, 0.1f, 10, Viewport{})));
}

}  // namespace

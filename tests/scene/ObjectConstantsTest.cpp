// The per-object constants against a computation that does not go through the matrices:
// points are taken into camera space with the camera's axes and projected by the formula.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/Context.h"
#include "scene/GBufferRenderer.h"

namespace {

// Camera-to-world matrix of a camera at `eye` with yaw and pitch (degrees).
Float4x4 cameraMatrix(Float3 eye, float yawDegrees, float pitchDegrees) {
  Float4x4 m = mat::rotationEulerDegrees({pitchDegrees, yawDegrees, 0}) * mat::translation(eye);
  return m;
}

// Screen position (normalised device x, y and depth) of a world point, by hand: camera
// axes from the rows of the camera matrix, then the left-handed perspective formula.
Float3 projectByHand(Float3 world, const Float4x4& camera, float fovDeg, float aspect, float zn, float zf) {
  const Float3 right = camera.row3(0), up = camera.row3(1), forward = camera.row3(2), eye = camera.row3(3);
  const Float3 d = world - eye;
  const float x = dot(d, right), y = dot(d, up), z = dot(d, forward);
  const float ys = 1.0f / std::tan(fovDeg * 0.5f * 3.14159265f / 180.0f);
  const float xs = ys / aspect;
  return {x * xs / z, y * ys / z, (z - zn) * zf / ((zf - zn) * z)};
}

Float3 clipToNdc(Float4 c) { return {c.x / c.w, c.y / c.w, c.z / c.w}; }

}  // namespace

TEST(ObjectConstants, MatricesMatchAProjectionByHand) {
  Context ctx;
  ctx.camera = cameraMatrix({1, 2, -8}, 15, -10);
  ctx.cameraPrev = ctx.camera;
  ctx.projection = mat::perspectiveFovDegrees(50, 1.5f, 0.5f, 200);
  ctx.world = mat::scaleRotateTranslate({1, 2, 0.5f}, {0, 30, 10}, {0.5f, 0, 3});
  ctx.worldPrev = ctx.world;
  const ObjectConstants c = computeObjectConstants(ctx);

  const Float3 points[] = {{0, 0, 0}, {1, -1, 2}, {-0.5f, 0.25f, 0.75f}, {2, 3, -1}};
  for (const Float3& p : points) {
    const Float3 world = mat::transformPoint(p, ctx.world);
    const Float3 expected = projectByHand(world, ctx.camera, 50, 1.5f, 0.5f, 200);
    const Float3 got = clipToNdc(mat::transform({p.x, p.y, p.z, 1}, c.worldViewProj));
    EXPECT_NEAR(got.x, expected.x, 1e-4f);
    EXPECT_NEAR(got.y, expected.y, 1e-4f);
    EXPECT_NEAR(got.z, expected.z, 1e-4f);
    // worldView: camera-space position; its z is the depth the G-buffer stores.
    const Float3 view = mat::transformPoint(p, c.worldView);
    EXPECT_NEAR(view.z, dot(world - ctx.camera.row3(3), ctx.camera.row3(2)), 1e-4f);
  }
  // A static object under a static camera: the previous matrix is the same, bit for bit,
  // so the velocity it feeds is exactly zero.
  EXPECT_EQ(c.worldViewProjPrev, c.worldViewProj);
  EXPECT_EQ(c.proj, ctx.projection);
  // gView is the inverse of the camera matrix.
  const Float4x4 id = c.view * ctx.camera;
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(id.m[i], (i % 5 == 0) ? 1.0f : 0.0f, 1e-5f);
}

TEST(ObjectConstants, NormalsStayPerpendicularUnderNonUniformScale) {
  Context ctx;
  ctx.camera = cameraMatrix({0, 0, -5}, -20, 5);
  ctx.world = mat::scaleRotateTranslate({3, 0.5f, 1}, {20, 40, 0}, {1, 1, 1});
  const ObjectConstants c = computeObjectConstants(ctx);
  // A surface direction and its normal in object space.
  const Float3 n{1, 1, 0}, along{1, -1, 0.0f};
  const Float3 nView = mat::transformVector(n, c.invTransWorldView);
  const Float3 alongView = mat::transformVector(along, c.worldView);
  EXPECT_NEAR(dot(nView, alongView), 0.0f, 1e-4f);
  EXPECT_GT(length(nView), 0.0f);
}

TEST(ObjectConstants, PreviousMatricesComeFromThePreviousWorldAndCamera) {
  Context ctx;
  ctx.projection = mat::perspectiveFovDegrees(45, 1, 0.1f, 100);
  ctx.camera = cameraMatrix({0, 0, -10}, 0, 0);
  ctx.cameraPrev = cameraMatrix({0.5f, 0, -10}, 0, 0);
  ctx.world = mat::translation({1, 0, 0});
  ctx.worldPrev = mat::translation({0.75f, 0, 0});
  const ObjectConstants c = computeObjectConstants(ctx);
  const Float3 now = clipToNdc(mat::transform({0, 0, 0, 1}, c.worldViewProj));
  const Float3 before = clipToNdc(mat::transform({0, 0, 0, 1}, c.worldViewProjPrev));
  const Float3 expectNow = projectByHand({1, 0, 0}, ctx.camera, 45, 1, 0.1f, 100);
  const Float3 expectBefore = projectByHand({0.75f, 0, 0}, ctx.cameraPrev, 45, 1, 0.1f, 100);
  EXPECT_NEAR(now.x, expectNow.x, 1e-5f);
  EXPECT_NEAR(before.x, expectBefore.x, 1e-5f);
  EXPECT_NE(now.x, before.x);

  // Material values travel unchanged; without a device the region is the whole target.
  ctx.baseColor = {0.1f, 0.2f, 0.3f, 0.4f};
  ctx.emissive = {1, 2, 3, 0.5f};
  ctx.tileUV = {2, 3};
  ctx.shaderParams[2] = 9;
  const ObjectConstants m = computeObjectConstants(ctx);
  EXPECT_EQ(m.baseColor.z, 0.3f);
  EXPECT_EQ(m.emissive.w, 0.5f);
  EXPECT_EQ(m.tileUV.y, 3.0f);
  EXPECT_EQ(m.params[2], 9.0f);
  EXPECT_EQ(m.region.scale[0], 1.0f);
  EXPECT_EQ(m.region.offset[1], 0.0f);
}

TEST(ObjectConstants, GBufferStateDrawsFrontFacesAndMarksTheStencil) {
  const RenderStateDesc d = gbufferRenderState();
  EXPECT_EQ(d.flags, 0x17u);
  EXPECT_EQ(d.depthFunc, 4u);
  EXPECT_EQ(d.stencilRef, 1);
  EXPECT_EQ(d.stencilReadMask, 0xFF);
  EXPECT_EQ(d.stencilWriteMask, 0xFF);
  // Keep, keep, replace; a comparison that lets the drawn (front) faces pass.
  EXPECT_EQ(d.frontFace[2], 3);
  EXPECT_EQ(d.frontFace[3], 8);
  EXPECT_EQ(d.backFace[3], 8);
}

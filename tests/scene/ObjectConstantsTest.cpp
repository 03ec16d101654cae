// The per-object constants against a computation that does not go through the matrices:
// points are taken into camera space with the camera's axes and projected by the formula.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/Context.h"
#include "gfx/ConstantWriter.h"
#include "gfx/ShaderProgram.h"
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

TEST(ObjectConstants, TheViewFollowsEachDrawsCamera) {
  // Draws of one frame share a camera, and the next frame (or a shadow pass between them)
  // brings another: each draw's view must be its own camera's, never a remembered one.
  const Float4x4 a = cameraMatrix({1, 2, -8}, 15, -10), b = cameraMatrix({-3, 0, -6}, -40, 5);
  Context ctx;
  ctx.projection = mat::perspectiveFovDegrees(50, 1.5f, 0.5f, 200);
  ctx.world = ctx.worldPrev = mat::translation({0.5f, 0, 2});
  const Float4x4 cameras[][2] = {{a, a}, {b, b}, {a, a}, {b, a}, {a, b}, {b, b}};
  for (const auto& cam : cameras) {
    ctx.camera = cam[0];
    ctx.cameraPrev = cam[1];
    const ObjectConstants c = computeObjectConstants(ctx);
    EXPECT_EQ(c.view, mat::rigidInverse(cam[0]));
    EXPECT_EQ(c.worldViewProj, ctx.world * mat::rigidInverse(cam[0]) * ctx.projection);
    EXPECT_EQ(c.worldViewProjPrev, ctx.worldPrev * mat::rigidInverse(cam[1]) * ctx.projection);
  }
}

namespace {

// A b0 of its own memory (no device), declaring the given constants in order from offset 0
// at their sizes, the buffer `size` bytes (0: just large enough).
struct Block {
  struct Declared {
    const char* name;
    uint32_t bytes;
  };
  ShaderProgram program{nullptr};
  std::vector<uint8_t> memory;
  ConstantBuffer* cb = nullptr;

  Block(std::initializer_list<Declared> declared, uint32_t size = 0) {
    uint32_t at = 0;
    for (const Declared& d : declared) at += d.bytes;
    if (!size) size = at;
    program.constants[0] = std::make_unique<ConstantBuffer>(nullptr, 0, size, 1u << hlsl::Vertex);
    cb = program.constants[0].get();
    at = 0;
    for (const Declared& d : declared) {
      cb->addVariable(d.name, at, d.bytes);
      at += d.bytes;
    }
    memory.assign(size, 0xAB);
    cb->mapped = memory.data();
  }
  ~Block() { cb->mapped = nullptr; }
};

ObjectConstants numbered(float start) {
  ObjectConstants c;
  float* matrices[] = {c.worldViewProj.m, c.worldViewProjPrev.m, c.worldView.m, c.invTransWorldView.m, c.proj.m,
                       c.view.m};
  float v = start;
  for (float* m : matrices)
    for (int i = 0; i < 16; ++i) m[i] = v++;
  for (float& f : c.region.scale) f = v++;
  for (float& f : c.region.offset) f = v++;
  c.baseColor = {v, v + 1, v + 2, v + 3};
  c.specularColor = {v + 4, v + 5, v + 6, v + 7};
  c.emissive = {v + 8, v + 9, v + 10, v + 11};
  c.roughness = v + 12;
  c.metalness = v + 13;
  c.tileUV = {v + 14, v + 15};
  for (int i = 0; i < 3; ++i) c.params[i] = v + 16 + float(i);
  return c;
}

}  // namespace

TEST(ObjectConstants, EveryLayoutGetsTheBytesWritingByNameGives) {
  // Buffers of several layouts written one after another, as draws with different programs
  // are: the G-buffer's order, the same names elsewhere (same count and size), and one with
  // constants missing, declared longer or shorter than written, an own constant, and a
  // declaration running past the buffer's end.
  Block gbuffer({{"gWorldViewProj", 64}, {"gWorldViewProjPrev", 64}, {"gWorldView", 64}, {"gInvTransWorldView", 64},
                 {"gProj", 64}, {"gView", 64}, {"gRegionScale", 8}, {"gRegionOffset", 8}, {"gBaseColor", 16},
                 {"gSpecularMapColor", 16}, {"gEmissiveColor", 16}, {"gRoughness", 4}, {"gMetalness", 4},
                 {"gTileUV", 8}});
  Block moved({{"gBaseColor", 16}, {"gView", 64}, {"gRegionOffset", 8}, {"gRegionScale", 8}, {"gProj", 64},
               {"gWorldViewProj", 64}, {"gEmissiveColor", 16}, {"gWorldView", 64}, {"gSpecularMapColor", 16},
               {"gWorldViewProjPrev", 64}, {"gMetalness", 4}, {"gRoughness", 4}, {"gInvTransWorldView", 64},
               {"gTileUV", 8}});
  Block odd({{"gWorldViewProj", 64}, {"gRoughness", 16}, {"gTileUV", 4}, {"gParam2", 4}, {"gMine", 8},
             {"gEmissiveColor", 16}},
            100);
  ASSERT_EQ(gbuffer.memory.size(), moved.memory.size());
  Block* order[] = {&gbuffer, &moved, &gbuffer, &odd, &moved, &odd, &gbuffer};
  float start = 1;
  for (Block* b : order) {
    const ObjectConstants c = numbered(start);
    start += 1000;
    {
      ConstantWriter w(&b->program, "test");
      writeObjectConstants(w, c);
    }
    const std::vector<uint8_t> written = b->memory;
    std::fill(b->memory.begin(), b->memory.end(), uint8_t(0xAB));
    {
      ProgramTrace trace;
      ConstantWriter byName(&b->program, "test", &trace);
      writeObjectConstants(byName, c);
      EXPECT_EQ(trace.constants.size(), 17u);
    }
    EXPECT_EQ(written, b->memory) << "layout " << (b == &gbuffer ? "gbuffer" : b == &moved ? "moved" : "odd");
    float first;
    std::memcpy(&first, written.data(), sizeof first);
    EXPECT_EQ(first, b == &moved ? c.baseColor.x : c.worldViewProj.m[0]);
  }
}

// Scenes drawn into a 32 x 32 G-buffer and compared with the CPU: which pixels a shape
// covers (a ray cast per pixel against the same triangles), the depth and normal it
// leaves, and the screen-space motion of moving objects and cameras.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <string>

#include "engine/Globals.h"
#include "gfx/InputLayout.h"
#include "scene/GBufferRenderer.h"
#include "scene/Mesh.h"
#include "scene/Operators.h"
#include "scene/ShadowCasters.h"
#include "tests/scene/SceneGpuSupport.h"
#include "tests/scene/SceneTestSupport.h"

namespace {

struct ShapeCase {
  const char* type;
  std::function<void(Operator&)> params;
  std::function<void(MeshBuilder&)> shape;  // the same triangles on the CPU, before `local`
  Float4x4 local;                           // what the operator applies itself (Cube's Size)
  Float4x4 world;
};

std::vector<ShapeCase> shapeCases() {
  return {
      {"Cube", [](Operator& op) {
         setParam(op, "Size.X", 1.5f);
         setParam(op, "Size.Y", 0.8f);
       },
       [](MeshBuilder& b) { b.addBox({}, {1, 1, 1}); }, mat::scaling({1.5f, 0.8f, 1.0f}),
       mat::scaleRotateTranslate({1, 1, 1}, {25, 35, 10}, {0.2f, 0, 0})},
      {"Sphere", [](Operator& op) { setParam(op, "Details", 12); },
       [](MeshBuilder& b) { b.addSphere({}, 12, false); }, Float4x4{},
       mat::scaleRotateTranslate({1.2f, 1, 1}, {0, 20, 0}, {0, 0.1f, 0})},
      {"Cone", [](Operator&) {}, [](MeshBuilder& b) { b.addCone({}, 32); }, Float4x4{},
       mat::scaleRotateTranslate({1, 1, 1}, {0, 140, 20}, {0, 0, 0.5f})},
      {"Cylinder", [](Operator&) {}, [](MeshBuilder& b) { b.addCylinder({}); }, Float4x4{},
       mat::scaleRotateTranslate({1, 1.5f, 1}, {30, 0, 15}, {0, 0, 0})},
      {"Prism", [](Operator&) {}, [](MeshBuilder& b) { b.addPrism({}); }, Float4x4{},
       mat::scaleRotateTranslate({1, 1.5f, 1}, {-20, 50, 0}, {0, 0, 0})},
      {"Dome", [](Operator&) {}, [](MeshBuilder& b) { b.addDome({}); }, Float4x4{},
       mat::scaleRotateTranslate({1, 1, 1}, {30, 160, 0}, {0, 0, 0})},
      {"Quad", [](Operator&) {}, [](MeshBuilder& b) { b.addQuad({}); }, Float4x4{},
       mat::scaleRotateTranslate({2, 1, 2}, {-70, 25, 0}, {0, 0, 0})},
  };
}

Float3 viewOf(Float3 world, const Float4x4& camera) {
  const Float3 d = world - camera.row3(3);
  return {dot(d, camera.row3(0)), dot(d, camera.row3(1)), dot(d, camera.row3(2))};
}

// Viewport uv of a world point seen by `camera` (same projection as the fixture's).
Float2 uvOf(Float3 world, const Float4x4& camera, float fovDeg) {
  const Float3 v = viewOf(world, camera);
  const float ys = 1.0f / std::tan(fovDeg * 0.5f * 3.14159265f / 180.0f);
  return {(v.x * ys / v.z) * 0.5f + 0.5f, 0.5f - (v.y * ys / v.z) * 0.5f};
}

}  // namespace

class GBufferGpuTest : public SceneGpuTest {
 protected:
  void SetUp() override {
    SceneGpuTest::SetUp();
    registerSceneOperators();
    wasLoading_ = isLoading;
    isLoading = false;
  }
  void TearDown() override {
    isLoading = wasLoading_;
    clearPerFrameLists();
    SceneGpuTest::TearDown();
  }

  // Settled pixels that agree with the CPU, out of all settled ones; counts covered ones.
  struct Agreement {
    int agree = 0, settled = 0, covered = 0;
  };
  Agreement compareCoverage(const FloatImage& albedo, const MeshBuilder& shape, const Float4x4& world) {
    Agreement a;
    const Viewport& r = context.viewport;
    for (int32_t y = r.top; y < r.bottom; ++y)
      for (int32_t x = r.left; x < r.right; ++x) {
        const int expected = settledCoverage(shape, world, uint32_t(x), uint32_t(y));
        if (expected < 0) continue;
        ++a.settled;
        const bool drawn = albedo.at(uint32_t(x), uint32_t(y), 3) > 0.5f;
        if (drawn == (expected == 1)) ++a.agree;
        if (drawn) ++a.covered;
      }
    return a;
  }

  // The unit box with a per-instance stream of two matrices (rows WORLD0-WORLD3); the layout
  // lives with the fixture.
  static std::array<Float4x4, 2> instanceMatrices() {
    return {mat::scaleRotateTranslate({0.6f, 0.6f, 0.6f}, {0, 30, 0}, {-1, 0.3f, 0}),
            mat::scaleRotateTranslate({0.6f, 1.0f, 0.6f}, {20, 0, 0}, {1, -0.3f, 0})};
  }
  std::unique_ptr<Mesh> instancedBoxes() {
    std::unique_ptr<Mesh> box = buildUnitBoxMesh(device());
    const uint32_t codes[] = {0x1, 0x2, 0x3, 0x10, 0x100118, 0x100119, 0x10011A, 0x10011B, 0};
    instanceLayout_.reset(device()->inputLayout(codes));
    if (!box || !instanceLayout_) return nullptr;
    const std::array<Float4x4, 2> instances = instanceMatrices();
    box->layout = instanceLayout_.get();
    box->vertexBuffers[1] = buffer(kBindVertexBuffer | kUsageImmutable, sizeof instances, 64, instances.data());
    box->strides[1] = instanceLayout_->strides[1];
    return box;
  }

  OperatorGraph g;
  bool wasLoading_ = true;
  std::unique_ptr<InputLayout> instanceLayout_;
};

TEST_F(GBufferGpuTest, PrimitivesCoverThePixelsTheirProjectionPredicts) {
  Operator& material = makeOp(g, "Material");
  setParam(material, "Color.R", 0.25f);
  setParam(material, "Color.G", 0.5f);
  setParam(material, "Color.B", 0.75f);
  setParam(material, "Roughness", 0.3f);
  setParam(material, "Metalness", 0.8f);
  setParam(material, "IBLMul", 0.5f);
  for (const ShapeCase& c : shapeCases()) {
    SCOPED_TRACE(c.type);
    Operator& op = makeOp(g, c.type);
    c.params(op);
    connectOrThrow(g, op, "OutScene", material, "sceneIn");
    newFrame();
    context.world = c.world;
    context.worldPrev = c.world;
    const size_t castersBefore = shadowCasters().size();
    material.outputs[0].evaluate(1.0f, context);
    context.world = context.worldPrev = Float4x4{};

    MeshBuilder shape;
    c.shape(shape);
    const Float4x4 world = c.local * c.world;
    const FloatImage albedo = readTarget(0);
    const FloatImage normal = readTarget(1);
    const FloatImage surface = readTarget(2);
    const Agreement a = compareCoverage(albedo, shape, world);
    EXPECT_GE(a.agree, a.settled * 99 / 100) << a.agree << " of " << a.settled;
    EXPECT_GT(a.covered, 30);

    // Depth, material and (for the flat-shaded box) normals where the CPU sees a surface.
    int checked = 0;
    for (uint32_t y = 0; y < size; ++y)
      for (uint32_t x = 0; x < size; ++x) {
        if (settledCoverage(shape, world, x, y) != 1 || albedo.at(x, y, 3) < 0.5f) continue;
        const RayHit hit = castRay(shape, world, x + 0.5f, y + 0.5f);
        const float depth = viewOf(hit.world, context.camera).z;
        EXPECT_NEAR(normal.at(x, y, 3), depth, 4e-3f * depth);
        EXPECT_NEAR(albedo.at(x, y, 0), 0.25f, 1e-3f);
        EXPECT_NEAR(albedo.at(x, y, 2), 0.75f, 1e-3f);
        EXPECT_NEAR(surface.at(x, y, 0), 0.3f, 1e-3f);
        EXPECT_NEAR(surface.at(x, y, 1), 0.8f, 1e-3f);
        EXPECT_NEAR(surface.at(x, y, 2), 0.01f, 1e-4f);
        EXPECT_NEAR(surface.at(x, y, 3), 0.5f, 1e-3f);
        const Float3 n{normal.at(x, y, 0), normal.at(x, y, 1), normal.at(x, y, 2)};
        EXPECT_NEAR(length(n), 1.0f, 2e-3f);
        if (std::string(c.type) == "Cube") {
          const Float3 expected = normalize(viewOf(context.camera.row3(3) + hit.normal, context.camera));
          EXPECT_GT(dot(n, expected), 0.999f);
        }
        ++checked;
      }
    EXPECT_GT(checked, 20);
    // Dome and prism cast no shadow; the others add themselves with the world they drew with.
    const bool casts = std::string(c.type) != "Dome" && std::string(c.type) != "Prism";
    ASSERT_EQ(shadowCasters().size(), castersBefore + (casts ? 1 : 0));
    if (casts) {
      EXPECT_EQ(shadowCasters().back().world, std::string(c.type) == "Cube" ? world : c.world);
    }
  }
}

TEST_F(GBufferGpuTest, VelocityIsZeroWhenStillAndFollowsObjectAndCameraMotion) {
  Operator& sphere = makeOp(g, "Sphere");
  setParam(sphere, "Details", 16);
  MeshBuilder shape;
  shape.addSphere({}, 16, false);
  const Float4x4 world = mat::scaleRotateTranslate({1.3f, 1.3f, 1.3f}, {0, 10, 0}, {0.2f, 0, 0});

  // Still: exactly zero everywhere.
  newFrame();
  context.world = context.worldPrev = world;
  sphere.outputs[0].evaluate(0.0f, context);
  FloatImage velocity = readTarget(4);
  for (float v : velocity.data) ASSERT_EQ(v, 0.0f);

  struct Motion {
    const char* what;
    Float4x4 worldPrev;
    Float3 eyePrev;
  } motions[] = {
      {"object", mat::scaleRotateTranslate({1.3f, 1.3f, 1.3f}, {0, 4, 0}, {0.05f, -0.08f, 0.1f}), {0, 0, -4}},
      {"camera", world, {-0.15f, 0.1f, -4.3f}},
  };
  for (const Motion& m : motions) {
    SCOPED_TRACE(m.what);
    newFrame();
    context.world = world;
    context.worldPrev = m.worldPrev;
    context.cameraPrev = mat::translation(m.eyePrev);
    sphere.outputs[0].evaluate(0.0f, context);
    const FloatImage albedo = readTarget(0);
    velocity = readTarget(4);
    const Float4x4 toObject = mat::inverse(world);
    int checked = 0;
    for (uint32_t y = 0; y < size; ++y)
      for (uint32_t x = 0; x < size; ++x) {
        if (settledCoverage(shape, world, x, y) != 1 || albedo.at(x, y, 3) < 0.5f) continue;
        const RayHit hit = castRay(shape, world, x + 0.5f, y + 0.5f);
        const Float3 before = mat::transformPoint(mat::transformPoint(hit.world, toObject), m.worldPrev);
        const Float2 uvBefore = uvOf(before, context.cameraPrev, fov);
        const Float2 uvNow{(x + 0.5f) / size, (y + 0.5f) / size};
        EXPECT_NEAR(velocity.at(x, y, 0), uvNow.x - uvBefore.x, 1e-3f) << x << "," << y;
        EXPECT_NEAR(velocity.at(x, y, 1), uvNow.y - uvBefore.y, 1e-3f) << x << "," << y;
        ++checked;
      }
    EXPECT_GT(checked, 100);
    context.cameraPrev = context.camera;
  }
}

TEST_F(GBufferGpuTest, DrawIntoASubRegionStaysInsideAndScalesItsMotion) {
  const Viewport region{8, 4, 24, 20};
  newFrame(region);
  const ObjectConstants constants = computeObjectConstants(context);
  EXPECT_EQ(constants.region.scale[0], 0.5f);
  EXPECT_EQ(constants.region.scale[1], 0.5f);
  EXPECT_EQ(constants.region.offset[0], 0.25f);
  EXPECT_EQ(constants.region.offset[1], 0.125f);

  Operator& sphere = makeOp(g, "Sphere");
  setParam(sphere, "Details", 16);
  MeshBuilder shape;
  shape.addSphere({}, 16, false);
  const Float4x4 world = mat::scaling({1.6f, 1.6f, 1.6f});
  context.world = world;
  context.worldPrev = mat::scaling({1.6f, 1.6f, 1.6f}) * mat::translation({0.1f, 0.05f, 0});
  sphere.outputs[0].evaluate(0.0f, context);
  const FloatImage albedo = readTarget(0);
  const FloatImage normal = readTarget(1);
  const FloatImage velocity = readTarget(4);

  for (uint32_t y = 0; y < size; ++y)
    for (uint32_t x = 0; x < size; ++x) {
      const bool inside = int32_t(x) >= region.left && int32_t(x) < region.right && int32_t(y) >= region.top &&
                          int32_t(y) < region.bottom;
      if (!inside) {
        ASSERT_EQ(albedo.at(x, y, 3), 0.0f) << x << "," << y;
        ASSERT_EQ(normal.at(x, y, 3), 65504.0f) << x << "," << y;
      }
    }
  const Agreement a = compareCoverage(albedo, shape, world);
  EXPECT_GE(a.agree, a.settled * 99 / 100);
  EXPECT_GT(a.covered, 50);

  // Motion in uv units of the whole target: the region's own uv motion times its scale.
  const Float4x4 toObject = mat::inverse(world);
  int checked = 0;
  for (int32_t y = region.top; y < region.bottom; ++y)
    for (int32_t x = region.left; x < region.right; ++x) {
      if (settledCoverage(shape, world, uint32_t(x), uint32_t(y)) != 1) continue;
      const RayHit hit = castRay(shape, world, x + 0.5f, y + 0.5f);
      const Float3 before = mat::transformPoint(mat::transformPoint(hit.world, toObject), context.worldPrev);
      const Float2 uvBefore = uvOf(before, context.camera, fov);
      const Float2 uvNow{(x + 0.5f - region.left) / 16.0f, (y + 0.5f - region.top) / 16.0f};
      EXPECT_NEAR(velocity.at(uint32_t(x), uint32_t(y), 0), (uvNow.x - uvBefore.x) * 0.5f, 1e-3f);
      EXPECT_NEAR(velocity.at(uint32_t(x), uint32_t(y), 1), (uvNow.y - uvBefore.y) * 0.5f, 1e-3f);
      ++checked;
    }
  EXPECT_GT(checked, 50);
}

TEST_F(GBufferGpuTest, EmptyTextureSlotsGetTheDefaultsNotAnEarlierTexture) {
  GBufferRenderer& r = *context.gbufferRenderer;
  // A quad filling the view, facing the camera.
  const Float4x4 facing = mat::scaleRotateTranslate({8, 1, 8}, {-90, 0, 0}, {0, 0, 0});
  const uint8_t red[16] = {255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255};
  Texture* redTexture = texture(0x10204, 2, 2, kTextureFlag | kUsageImmutable | kBindShaderResource, red);
  context.baseColor = {0.5f, 0.5f, 0.5f, 1};
  context.emissive = {0.25f, 0.5f, 1.0f, 1};

  newFrame();
  context.world = context.worldPrev = facing;
  context.albedoTexture = redTexture;
  context.emissiveTexture = redTexture;
  r.DrawMesh(*context.quadMesh, context);
  FloatImage albedo = readTarget(0);
  FloatImage emissive = readTarget(3);
  EXPECT_NEAR(albedo.at(16, 16, 0), 0.5f, 1e-3f);
  EXPECT_EQ(albedo.at(16, 16, 1), 0.0f);
  EXPECT_NEAR(emissive.at(16, 16, 0), 0.25f, 1e-3f);
  EXPECT_EQ(emissive.at(16, 16, 2), 0.0f);

  newFrame();
  context.world = context.worldPrev = facing;
  context.albedoTexture = nullptr;
  context.emissiveTexture = nullptr;
  r.DrawMesh(*context.quadMesh, context);
  albedo = readTarget(0);
  emissive = readTarget(3);
  const FloatImage normal = readTarget(1);
  EXPECT_NEAR(albedo.at(16, 16, 1), 0.5f, 1e-3f);
  EXPECT_NEAR(emissive.at(16, 16, 2), 1.0f, 1e-3f);
  // The flat normal leaves the surface normal as it is: facing the camera.
  EXPECT_NEAR(normal.at(16, 16, 2), -1.0f, 1e-3f);
  EXPECT_NEAR(normal.at(16, 16, 0), 0.0f, 1e-3f);
}

// A material without textures is drawn by a program that reads none: every target must hold
// the bits the textured program leaves over the default white and flat texels, for plain and
// instanced draws, with the state the caller gave the textured program (two-sided here).
TEST_F(GBufferGpuTest, AMaterialWithoutTexturesDrawsTheBitsOfTheDefaultTextures) {
  GBufferRenderer& r = *context.gbufferRenderer;
  ASSERT_NE(r.plainProgram, nullptr);
  ASSERT_NE(r.plainInstanceProgram, nullptr);
  std::unique_ptr<Mesh> sphere = buildSphereMesh(device(), 12);
  std::unique_ptr<Mesh> box = instancedBoxes();
  ASSERT_NE(box, nullptr);

  RenderState* culled = r.gbufferProgram->state;
  RenderStateDesc open = culled->desc;
  open.flags &= ~uint32_t(kCullBack);
  RenderState* twoSided = device()->stateFor(open);
  auto drawAll = [&](bool withDefaults) {
    newFrame();
    context.baseColor = {0.7f, 0.4f, 0.2f, 1};
    context.emissive = {0.1f, 0.2f, 0.3f, 0.6f};
    context.roughness = 0.35f;
    context.metalness = 0.8f;
    context.albedoTexture = context.roughnessTexture = context.metalnessTexture =
        context.emissiveTexture = withDefaults ? r.whiteTexture : nullptr;
    context.normalTexture = withDefaults ? r.flatNormalTexture : nullptr;
    // Moving, so that the motion target holds more than zeros.
    context.world = mat::scaleRotateTranslate({1.3f, 1, 1}, {10, 40, 0}, {0.2f, 0, 1.2f});
    context.worldPrev = mat::scaleRotateTranslate({1.3f, 1, 1}, {10, 35, 0}, {0.1f, 0, 1.2f});
    r.gbufferProgram->state = twoSided;  // as a caller drawing open shells does
    r.DrawMeshKeepTargets(*sphere, context);
    r.gbufferProgram->state = culled;
    context.world = context.worldPrev = mat::translation({0, 0, 0.5f});
    r.DrawMeshInstanced(*box, context, 2);
    std::vector<FloatImage> targets;
    for (int i = 0; i < 5; ++i) targets.push_back(readTarget(i));
    context.albedoTexture = context.roughnessTexture = context.metalnessTexture = context.emissiveTexture =
        context.normalTexture = nullptr;
    return targets;
  };
  const std::vector<FloatImage> textured = drawAll(true);
  const std::vector<FloatImage> plain = drawAll(false);
  int covered = 0;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(plain[size_t(i)].data.size(), textured[size_t(i)].data.size());
    for (size_t k = 0; k < plain[size_t(i)].data.size(); ++k)
      ASSERT_EQ(plain[size_t(i)].data[k], textured[size_t(i)].data[k]) << "target " << i << " value " << k;
  }
  for (size_t k = 3; k < plain[0].data.size(); k += 4) covered += plain[0].data[k] > 0.5f;
  EXPECT_GT(covered, 200);
  EXPECT_EQ(r.plainProgram->state, twoSided) << "the textured program's state comes along";
  EXPECT_EQ(r.plainInstanceProgram->state, culled);
  r.plainProgram->state = culled;
}

TEST_F(GBufferGpuTest, DrawsBackToBackEachGetTheirOwnConstants) {
  // Four quads in one rendering, each with its own place and material, the last one
  // closing the rendering: every quad's middle shows its own values, none an earlier draw's.
  GBufferRenderer& r = *context.gbufferRenderer;
  struct Quad {
    Float3 at;
    Float4 colour;
    float roughness, metalness;
  };
  const Quad quads[] = {{{-0.8f, 0.8f, 0}, {0.9f, 0.1f, 0.2f, 1}, 0.1f, 0.7f},
                        {{0.8f, 0.8f, 0}, {0.2f, 0.8f, 0.3f, 1}, 0.4f, 0.2f},
                        {{-0.8f, -0.8f, 0}, {0.1f, 0.3f, 0.9f, 1}, 0.6f, 0.9f},
                        {{0.8f, -0.8f, 0}, {0.5f, 0.5f, 0.1f, 1}, 0.9f, 0.4f}};
  newFrame();
  for (size_t i = 0; i < 4; ++i) {
    context.world = context.worldPrev = mat::scaleRotateTranslate({1.2f, 1, 1.2f}, {-90, 0, 0}, quads[i].at);
    context.baseColor = quads[i].colour;
    context.roughness = quads[i].roughness;
    context.metalness = quads[i].metalness;
    if (i < 3)
      r.DrawMeshKeepTargets(*context.quadMesh, context);
    else
      r.DrawMesh(*context.quadMesh, context);
  }
  const FloatImage albedo = readTarget(0), surface = readTarget(2);
  for (const Quad& q : quads) {
    const Float2 uv = uvOf(q.at, context.camera, fov);
    const auto x = uint32_t(uv.x * float(size)), y = uint32_t(uv.y * float(size));
    SCOPED_TRACE(testing::Message() << "quad at pixel " << x << ", " << y);
    EXPECT_NEAR(albedo.at(x, y, 0), q.colour.x, 1e-3f);
    EXPECT_NEAR(albedo.at(x, y, 1), q.colour.y, 1e-3f);
    EXPECT_NEAR(albedo.at(x, y, 2), q.colour.z, 1e-3f);
    EXPECT_NEAR(surface.at(x, y, 0), q.roughness, 1e-3f);
    EXPECT_NEAR(surface.at(x, y, 1), q.metalness, 1e-3f);
  }
}

TEST_F(GBufferGpuTest, MeshesBeyond16BitIndicesUse32BitIndices) {
  // 70,000 vertices nobody draws, then a quad whose indices lie above 65,535: wrapped 16-bit
  // indices would point into the unused ones and draw nothing.
  MeshBuilder big;
  for (int i = 0; i < 70000; ++i) big.addVertex({0, 0, 50}, {0, 1, 0}, {0, 0});
  big.addQuad({});
  std::unique_ptr<Mesh> mesh = big.toMesh(device());
  ASSERT_NE(mesh, nullptr);
  EXPECT_EQ(mesh->indexFormat, DXGI_FORMAT_R32_UINT);
  std::unique_ptr<Mesh> small = buildSphereMesh(device(), 100);
  EXPECT_EQ(small->indexFormat, DXGI_FORMAT_R16_UINT);

  newFrame();
  context.world = context.worldPrev = mat::scaleRotateTranslate({2, 1, 2}, {-90, 0, 0}, {0, 0, 0});
  context.gbufferRenderer->DrawMesh(*mesh, context);
  const FloatImage albedo = readTarget(0);
  MeshBuilder quad;
  quad.addQuad({});
  const Agreement a = compareCoverage(albedo, quad, context.world);
  EXPECT_EQ(a.agree, a.settled);
  EXPECT_GT(a.covered, 100);
}

TEST_F(GBufferGpuTest, InstancedDrawPlacesEveryInstance) {
  std::unique_ptr<Mesh> box = instancedBoxes();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->strides[1], 64u);

  newFrame();
  const Float4x4 world = mat::translation({0, 0, 0.5f});
  context.world = context.worldPrev = world;
  context.gbufferRenderer->DrawMeshInstanced(*box, context, 2);
  const FloatImage albedo = readTarget(0);
  const FloatImage velocity = readTarget(4);

  MeshBuilder both;
  for (const Float4x4& m : instanceMatrices()) {
    MeshBuilder one;
    one.addBox({}, {1, 1, 1});
    for (Float4& p : one.positions) {
      const Float3 q = mat::transformPoint({p.x, p.y, p.z}, m);
      p = {q.x, q.y, q.z, 1};
    }
    const uint32_t base = both.vertexCount();
    both.positions.insert(both.positions.end(), one.positions.begin(), one.positions.end());
    both.normals.insert(both.normals.end(), one.normals.begin(), one.normals.end());
    both.tangents.insert(both.tangents.end(), one.tangents.begin(), one.tangents.end());
    both.texcoords.insert(both.texcoords.end(), one.texcoords.begin(), one.texcoords.end());
    for (uint32_t i : one.indices) both.indices.push_back(base + i);
  }
  const Agreement a = compareCoverage(albedo, both, world);
  EXPECT_GE(a.agree, a.settled * 99 / 100);
  EXPECT_GT(a.covered, 60);
  for (float v : velocity.data) ASSERT_EQ(v, 0.0f);
}

TEST_F(GBufferGpuTest, GeneratorsPointsAndCustomMaterialDrawIntoTheGBuffer) {
  auto coverage = [&](Operator& op, float t) {
    newFrame();
    context.world = context.worldPrev = Float4x4{};
    op.outputs[0].evaluate(t, context);
    const FloatImage albedo = readTarget(0);
    int covered = 0;
    for (uint32_t y = 0; y < size; ++y)
      for (uint32_t x = 0; x < size; ++x) covered += albedo.at(x, y, 3) > 0.5f;
    return covered;
  };
  lookFrom({0, 3, -9}, 0, 15);
  Operator& grass = makeOp(g, "PointGrid");
  setParam(grass, "Offset.X", 0.6f);
  setParam(grass, "Offset.Y", 0.6f);
  setParam(grass, "Param1.X", 1.5f);
  setParam(grass, "Param1.Y", 0.2f);
  EXPECT_GT(coverage(grass, 1.0f), 20);

  lookFrom({0, 0, -9});
  EXPECT_GT(coverage(makeOp(g, "Corruption"), 1.0f), 5);
  Operator& proc = makeOp(g, "ProcMesh");
  setParam(proc, "Points", 300);  // two thread groups
  EXPECT_GT(coverage(proc, 1.0f), 20);

  lookFrom({0, 0, -4});
  Operator& points = makeOp(g, "Sphere");
  setParam(points, "PrimitiveType", 1);
  setParam(points, "Details", 20);
  const int dots = coverage(points, 0.0f);
  EXPECT_GT(dots, 10);
  setParam(points, "PrimitiveType", 1.5f);  // a choice is read by truncation: still "Points"
  EXPECT_EQ(coverage(points, 0.0f), dots);

  // The custom material's default program with no ripple covers what the plain program does.
  Operator& plain = makeOp(g, "Sphere");
  Operator& custom = makeOp(g, "CustomMaterial");
  setParam(custom, "Param 2", 0.0f);
  connectOrThrow(g, plain, "OutScene", custom, "sceneIn");
  const int plainCover = coverage(plain, 0.0f);
  const int customCover = coverage(custom, 0.0f);
  EXPECT_GT(plainCover, 100);
  EXPECT_EQ(customCover, plainCover);
  EXPECT_LT(dots, plainCover);
  // With a ripple the surface moves.
  setParam(custom, "Param 2", 0.3f);
  setParam(custom, "Param 3", 3.0f);
  setParam(custom, "Param 1", 1.0f);
  EXPECT_NE(coverage(custom, 0.0f), plainCover);
  EXPECT_EQ(context.shader, context.gbufferRenderer->gbufferProgram.get());
}

TEST_F(GBufferGpuTest, RendererHoldsItsProgramsAndDefaultTextures) {
  GBufferRenderer& r = *context.gbufferRenderer;
  EXPECT_NE(r.gbufferProgram, nullptr);
  EXPECT_NE(r.instanceProgram, nullptr);
  EXPECT_NE(r.copyProgram, nullptr);
  ASSERT_NE(r.depthCopyProgram, nullptr);
  EXPECT_NE(r.depthCopyProgram->shaders[4], r.copyProgram->shaders[4]);
  ASSERT_NE(r.gbufferProgram->state, nullptr);
  EXPECT_EQ(r.gbufferProgram->state, r.instanceProgram->state);
  EXPECT_EQ(r.gbufferProgram->state->desc.flags, 0x17u);
  EXPECT_EQ(context.shader, r.gbufferProgram.get());

  const std::vector<uint8_t> white = readBack(r.whiteTexture);
  ASSERT_EQ(white.size(), 16u);
  for (uint8_t b : white) EXPECT_EQ(b, 0xFF);
  const std::vector<uint8_t> flat = readBack(r.flatNormalTexture);
  ASSERT_EQ(flat.size(), 16u);
  for (size_t i = 0; i < 16; i += 4) {
    EXPECT_EQ(flat[i], 0x80);
    EXPECT_EQ(flat[i + 1], 0x80);
    EXPECT_EQ(flat[i + 2], 0xFF);
    EXPECT_EQ(flat[i + 3], 0x00);
  }
  ASSERT_NE(context.quadMesh, nullptr);
  EXPECT_EQ(context.quadMesh->vertexCount, 4u);
  EXPECT_EQ(context.quadMesh->indexCount, 6u);
  EXPECT_EQ(context.quadMesh->strides[0], 32u);

  // A second initialisation keeps what is there; release clears the Context.
  GBufferRenderer* before = context.gbufferRenderer;
  EXPECT_TRUE(initSceneContext(context, device()));
  EXPECT_EQ(context.gbufferRenderer, before);
  releaseSceneContext(context);
  EXPECT_EQ(context.gbufferRenderer, nullptr);
  EXPECT_EQ(context.quadMesh, nullptr);
  EXPECT_EQ(context.shader, nullptr);
}

// The readers' side of the encoding: a full-screen pass that decodes the G-buffer and
// rebuilds world positions from uv and linear depth (target 1's w) and from the depth
// target, compared with where the CPU's rays meet the surface.
TEST_F(GBufferGpuTest, ReadersRebuildWorldPositionsFromTheGBuffer) {
  const char* kReader = R"(
#include "data/shaders/common/fullscreen.hlsli"
#include "data/shaders/common/gbuffer.hlsli"
cbuffer ReaderConstants : register(b0)
{
    float4x4 gProj;
    float4x4 gInvProj;
    float4x4 gInvView;
    float2 gRegionScale;
    float2 gRegionOffset;
};
Texture2D gAlbedo : register(t0);
Texture2D gNormalDepth : register(t1);
Texture2D gMaterial : register(t2);
Texture2D gEmissive : register(t3);
Texture2D gVelocity : register(t4);
Texture2D gDepth : register(t5);
SamplerState gPoint : register(s0);
struct Out { float4 fromLinear : SV_Target0; float4 fromDevice : SV_Target1; };
FullscreenVertex VS(uint id : SV_VertexID) { return fullscreenTriangle(id); }
Out PS(FullscreenVertex i)
{
    float2 uv = gbufferUv(i.uv, gRegionScale, gRegionOffset);
    GBufferSample s = decodeGBuffer(gAlbedo.Sample(gPoint, uv), gNormalDepth.Sample(gPoint, uv),
                                    gMaterial.Sample(gPoint, uv), gEmissive.Sample(gPoint, uv),
                                    gVelocity.Sample(gPoint, uv).xy);
    Out o;
    o.fromLinear = float4(worldPositionFromLinearDepth(i.uv, s.viewDepth, gProj, gInvView), s.hasGeometry ? 1 : 0);
    float3 view = viewPositionFromDeviceDepth(i.uv, gDepth.Sample(gPoint, uv).r, gInvProj);
    o.fromDevice = float4(worldPositionFromView(view, gInvView), s.roughness);
    return o;
}
)";
  std::unique_ptr<ShaderProgram> reader = std::make_unique<ShaderProgram>(device());
  for (auto [stage, entry] : {std::pair<uint32_t, const char*>{0, "VS"}, {4, "PS"}}) {
    std::unique_ptr<ShaderBlob> blob = compileShader(stage, stage ? "ps_5_0" : "vs_5_0", kReader, entry);
    ASSERT_NE(blob, nullptr) << lastCompileError();
    ASSERT_TRUE(reader->attachStage(stage, *blob, std::string("reader") + entry));
  }

  lookFrom({0.5f, 1.0f, -4}, -8, 12);
  newFrame();
  MeshBuilder shape;
  shape.addCylinder({});
  const Float4x4 world = mat::scaleRotateTranslate({1, 2, 1}, {20, 30, 0}, {0, 0, 0.5f});
  context.world = context.worldPrev = world;
  context.roughness = 0.375f;
  Operator& cylinder = makeOp(g, "Cylinder");
  cylinder.outputs[0].evaluate(0.0f, context);

  ConstantBuffer* cb = reader->constantBuffer(0);
  ASSERT_NE(cb, nullptr);
  ASSERT_TRUE(cb->map());
  const RegionConstants rc = regionConstants(context.gbuffer[0], context.viewport);
  cb->set("gProj", context.projection.transposed().m, 64);
  cb->set("gInvProj", mat::inverse(context.projection).transposed().m, 64);
  cb->set("gInvView", context.camera.transposed().m, 64);
  cb->set("gRegionScale", rc.scale, 8);
  cb->set("gRegionOffset", rc.offset, 8);
  cb->unmap();
  for (uint32_t i = 0; i < 5; ++i) reader->setResource(hlsl::Pixel, i, context.gbuffer[i]);
  reader->setResource(hlsl::Pixel, 5, context.frameDepthTarget);
  reader->setSampler(hlsl::Pixel, 0, device()->samplerFor(SamplerDesc::forMode(0)));
  reader->state = device()->stateFor(RenderStateDesc::zeroed());

  Texture* fromLinear = texture(0x50404, size, size, 0x10009);
  Texture* fromDevice = texture(0x50404, size, size, 0x10009);
  RenderPass pass;
  pass.colourTargets[0] = fromLinear;
  pass.colourTargets[1] = fromDevice;
  pass.clearFlags = kClearColour;
  pass.rect[2] = pass.rect[3] = int32_t(size);
  pass.width = pass.height = size;
  bindRenderPass(device(), pass);
  drawStrip(reader.get(), 3);
  unbindRenderTargets(device());

  auto floats = [&](Texture* t) {
    std::vector<uint8_t> bytes = readBack(t);
    std::vector<float> f(bytes.size() / 4);
    std::memcpy(f.data(), bytes.data(), bytes.size());
    return f;
  };
  const std::vector<float> linear = floats(fromLinear);
  const std::vector<float> deviceDepth = floats(fromDevice);
  int checked = 0;
  for (uint32_t y = 0; y < size; ++y)
    for (uint32_t x = 0; x < size; ++x) {
      const size_t at = (size_t(y) * size + x) * 4;
      const int covered = settledCoverage(shape, world, x, y);
      if (covered == 0) {
        EXPECT_EQ(linear[at + 3], 0.0f);
      }
      if (covered != 1) continue;
      const RayHit hit = castRay(shape, world, x + 0.5f, y + 0.5f);
      ASSERT_EQ(linear[at + 3], 1.0f);
      const float tolerance = 4e-3f * hit.distance;  // 16-bit depth
      EXPECT_NEAR(linear[at], hit.world.x, tolerance) << x << "," << y;
      EXPECT_NEAR(linear[at + 1], hit.world.y, tolerance) << x << "," << y;
      EXPECT_NEAR(linear[at + 2], hit.world.z, tolerance) << x << "," << y;
      EXPECT_NEAR(deviceDepth[at], hit.world.x, 1e-3f) << x << "," << y;
      EXPECT_NEAR(deviceDepth[at + 1], hit.world.y, 1e-3f) << x << "," << y;
      EXPECT_NEAR(deviceDepth[at + 2], hit.world.z, 1e-3f) << x << "," << y;
      EXPECT_NEAR(deviceDepth[at + 3], 0.375f, 1e-3f);
      ++checked;
    }
  EXPECT_GT(checked, 100);
}

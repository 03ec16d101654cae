// Scene operators on the CPU (no device: nothing is drawn, the Context and the per-frame
// lists are what they change).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/Globals.h"
#include "scene/Forces.h"
#include "scene/FrameSetup.h"
#include "scene/Generators.h"
#include "scene/Materials.h"
#include "scene/Operators.h"
#include "scene/Primitives.h"
#include "scene/ShadowCasters.h"
#include "tests/scene/SceneTestSupport.h"

namespace {

// The bytes of the fields that every scene operator but a camera must leave as it found them.
std::vector<uint8_t> worldAndMaterial(const Context& c) {
  std::vector<uint8_t> bytes;
  auto put = [&](const void* p, size_t n) {
    bytes.insert(bytes.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
  };
  put(&c.world, sizeof c.world);
  put(&c.worldPrev, sizeof c.worldPrev);
  put(&c.baseColor, sizeof c.baseColor);
  put(&c.specularColor, sizeof c.specularColor);
  put(&c.emissive, sizeof c.emissive);
  put(&c.roughness, sizeof c.roughness);
  put(&c.metalness, sizeof c.metalness);
  put(&c.tileUV, sizeof c.tileUV);
  Texture* textures[5] = {c.albedoTexture, c.roughnessTexture, c.metalnessTexture, c.emissiveTexture,
                          c.normalTexture};
  put(textures, sizeof textures);
  put(c.shaderParams, sizeof c.shaderParams);
  put(&c.shader, sizeof c.shader);
  put(&c.imageResult, sizeof c.imageResult);
  return bytes;
}

// A Context with an unusual state everywhere an operator could forget to restore.
Context oddContext(Texture* t1, Texture* t2) {
  Context c;
  c.world = mat::scaleRotateTranslate({2, 3, 4}, {10, 20, 30}, {1, -2, 3});
  c.worldPrev = mat::translation({0.5f, 0.25f, -0.125f});
  c.baseColor = {0.1f, 0.2f, 0.3f, 0.4f};
  c.specularColor = {0.5f, 0.6f, 0.7f, 0.8f};
  c.emissive = {0.9f, 1.0f, 1.1f, 1.2f};
  c.roughness = 0.33f;
  c.metalness = 0.66f;
  c.tileUV = {3, 5};
  c.albedoTexture = t1;
  c.normalTexture = t2;
  c.emissiveTexture = t1;
  c.shaderParams[0] = 7;
  c.shader = reinterpret_cast<ShaderProgram*>(0x1234);
  c.imageResult = t2;
  return c;
}

Texture* fakeTexture(uintptr_t n) { return reinterpret_cast<Texture*>(n * 0x100); }

class SceneOperators : public ::testing::Test {
 protected:
  void SetUp() override {
    registerSceneOperators();
    clearPerFrameLists();
  }
  void TearDown() override { clearPerFrameLists(); }
  OperatorGraph g;
};

}  // namespace

TEST_F(SceneOperators, MaterialSetsItsSubtreeAndRestoresEverything) {
  Operator& outer = makeOp(g, "Material");
  Operator& inner = makeOp(g, "Material");
  auto& image = addOp<FakeImageOp>(g, fakeTexture(9));
  std::vector<Context> seen;
  auto& leaf = addOp<ProbeSceneOp>(g, [&](float, Context& ctx) { seen.push_back(ctx); });
  connectOrThrow(g, image, "ImageOut", outer, "AlbedoTex");
  connectOrThrow(g, image, "ImageOut", outer, "NormalTex");
  connectOrThrow(g, inner, "SceneOut", outer, "sceneIn");
  connectOrThrow(g, leaf, "SceneOut", inner, "sceneIn");
  setParam(inner, "Color.R", 0.9f);
  setParam(inner, "Emissive.G", 2.0f);
  setParam(inner, "EmissiveBrightness", 3.0f);
  setParam(inner, "IBLMul", 0.25f);
  setParam(inner, "TileV", 4.0f);

  Context ctx = oddContext(fakeTexture(1), fakeTexture(2));
  const std::vector<uint8_t> before = worldAndMaterial(ctx);
  outer.outputs[0].evaluate(1.0f, ctx);
  EXPECT_EQ(worldAndMaterial(ctx), before);

  ASSERT_EQ(seen.size(), 1u);
  const Context& in = seen[0];
  EXPECT_EQ(in.baseColor.x, 0.9f);
  EXPECT_EQ(in.baseColor.y, 0.2f);
  EXPECT_EQ(in.baseColor.w, 1.0f);
  EXPECT_EQ(in.specularColor.x, 0.01f);
  EXPECT_EQ(in.metalness, 0.5f);
  EXPECT_EQ(in.roughness, 0.6f);
  EXPECT_EQ(in.emissive.x, 0.0f);
  EXPECT_EQ(in.emissive.y, 6.0f);
  EXPECT_EQ(in.emissive.w, 0.25f);
  EXPECT_EQ(in.tileUV.x, 1.0f);
  EXPECT_EQ(in.tileUV.y, 4.0f);
  // The inner material's inputs are not connected: its slots are empty, not the outer's
  // textures and not the textures of the Context it started from.
  EXPECT_EQ(in.albedoTexture, nullptr);
  EXPECT_EQ(in.normalTexture, nullptr);
  EXPECT_EQ(in.emissiveTexture, nullptr);
  // World and the rest pass through untouched.
  EXPECT_EQ(in.world, ctx.world);
  EXPECT_EQ(in.shader, ctx.shader);
  EXPECT_EQ(in.imageResult, ctx.imageResult);
}

TEST_F(SceneOperators, MaterialTexturesComeFromConnectedImages) {
  Operator& material = makeOp(g, "Material");
  auto& a = addOp<FakeImageOp>(g, fakeTexture(5));
  auto& b = addOp<FakeImageOp>(g, fakeTexture(6));
  std::vector<Context> seen;
  auto& leaf = addOp<ProbeSceneOp>(g, [&](float, Context& ctx) { seen.push_back(ctx); });
  connectOrThrow(g, a, "ImageOut", material, "AlbedoTex");
  connectOrThrow(g, b, "ImageOut", material, "RoughnessTex");
  connectOrThrow(g, a, "ImageOut", material, "EmissiveTex");
  connectOrThrow(g, leaf, "SceneOut", material, "sceneIn");
  Context ctx = oddContext(fakeTexture(1), fakeTexture(2));
  const std::vector<uint8_t> before = worldAndMaterial(ctx);
  material.outputs[0].evaluate(0.0f, ctx);
  EXPECT_EQ(worldAndMaterial(ctx), before);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].albedoTexture, fakeTexture(5));
  EXPECT_EQ(seen[0].roughnessTexture, fakeTexture(6));
  EXPECT_EQ(seen[0].emissiveTexture, fakeTexture(5));
  EXPECT_EQ(seen[0].metalnessTexture, nullptr);
  EXPECT_EQ(seen[0].normalTexture, nullptr);
  // Evaluating the images does not leave one of them as the picture of the scene.
  EXPECT_EQ(seen[0].imageResult, fakeTexture(2));
}

TEST_F(SceneOperators, CustomMaterialSetsParametersAndRestores) {
  Operator& custom = makeOp(g, "CustomMaterial");
  std::vector<Context> seen;
  auto& leaf = addOp<ProbeSceneOp>(g, [&](float, Context& ctx) { seen.push_back(ctx); });
  auto& time = addOp<TimeSourceOp>(g);
  connectOrThrow(g, leaf, "SceneOut", custom, "sceneIn");
  connectOrThrow(g, time, "FloatOut", custom, "Param 2");
  // A file that does not load: the subtree keeps the enclosing program.
  setText(custom, "Shader", "data/shaders/no-such-file.hlsl");
  setParam(custom, "Color.B", 0.75f);
  Context ctx = oddContext(fakeTexture(1), fakeTexture(2));
  const std::vector<uint8_t> before = worldAndMaterial(ctx);
  custom.outputs[0].evaluate(2.5f, ctx);
  custom.outputs[0].evaluate(3.5f, ctx);
  EXPECT_EQ(worldAndMaterial(ctx), before);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].shaderParams[0], -3.1415f);
  EXPECT_EQ(seen[0].shaderParams[1], 2.5f);
  EXPECT_EQ(seen[1].shaderParams[1], 3.5f);
  EXPECT_EQ(seen[0].shaderParams[2], 0.0f);
  EXPECT_EQ(seen[0].baseColor.z, 0.75f);
  EXPECT_EQ(seen[0].shader, ctx.shader);
  // Without an IBLMul of its own the enclosing multiplier stays.
  EXPECT_EQ(seen[0].emissive.w, ctx.emissive.w);
  EXPECT_EQ(seen[0].albedoTexture, nullptr);
}

TEST_F(SceneOperators, AttractorRecordsNowAndBeforeInWorldOrGivenSpace) {
  Operator& local = makeOp(g, "Attractor");
  Operator& fixed = makeOp(g, "Attractor");
  auto& time = addOp<TimeSourceOp>(g);
  connectOrThrow(g, time, "FloatOut", local, "Position.x");
  setParam(local, "Radius", 3.0f);
  setParam(local, "Offset.y", 0.5f);
  setParam(local, "Rotation.z", 45.0f);
  setParam(fixed, "Position.y", 2.0f);
  setParam(fixed, "World Position", 1.0f);

  Context ctx;
  ctx.world = mat::translation({10, 0, 0});
  ctx.worldPrev = mat::translation({20, 0, 0});
  const std::vector<uint8_t> before = worldAndMaterial(ctx);
  local.outputs[0].evaluate(1.0f, ctx);
  fixed.outputs[0].evaluate(1.0f, ctx);
  EXPECT_EQ(worldAndMaterial(ctx), before);

  ASSERT_EQ(attractors().size(), 2u);
  const AttractorRecord& a = attractors()[0];
  EXPECT_FLOAT_EQ(a.now.position.x, 11.0f);                // moves with the transform above it
  EXPECT_FLOAT_EQ(a.previous.position.x, 20.0f + 0.999f);  // previous world, parameters at t - 0.001
  EXPECT_EQ(a.now.position.w, 1.0f);
  EXPECT_EQ(a.now.radius, 3.0f);
  EXPECT_EQ(a.now.power, 1.0f);
  EXPECT_EQ(a.now.offset.y, 0.5f);
  EXPECT_EQ(a.now.rotation.z, 45.0f);
  const AttractorRecord& b = attractors()[1];
  EXPECT_EQ(b.now.position.x, 0.0f);  // a world position stays where it is given
  EXPECT_EQ(b.now.position.y, 2.0f);
  EXPECT_EQ(b.previous.position.x, 0.0f);

  clearPerFrameLists();  // what beginFrame does
  EXPECT_TRUE(attractors().empty());
}

TEST_F(SceneOperators, ColliderRecordsItsShapeInWorldSpace) {
  Operator& sphere = makeOp(g, "Collider");
  Operator& box = makeOp(g, "Collider");
  setParam(sphere, "Position.z", 1.0f);
  setParam(box, "Type", 1.0f);
  setParam(box, "Size.y", 2.0f);
  setParam(box, "Rotation.x", 30.0f);
  setParam(box, "World Position", 1.0f);
  Context ctx;
  ctx.world = mat::scaleRotateTranslate({2, 2, 2}, {0, 0, 0}, {0, 5, 0});
  sphere.outputs[0].evaluate(0.0f, ctx);
  box.outputs[0].evaluate(0.0f, ctx);
  ASSERT_EQ(colliders().size(), 2u);
  EXPECT_EQ(colliders()[0].type, kColliderSphere);
  EXPECT_FLOAT_EQ(colliders()[0].position.y, 5.0f);
  EXPECT_FLOAT_EQ(colliders()[0].position.z, 2.0f);
  EXPECT_EQ(colliders()[0].radius, 10.0f);
  EXPECT_EQ(colliders()[1].type, kColliderBox);
  EXPECT_EQ(colliders()[1].position.y, 0.0f);
  EXPECT_EQ(colliders()[1].size.x, 5.0f);
  EXPECT_EQ(colliders()[1].size.y, 2.0f);
  EXPECT_EQ(colliders()[1].rotation.x, 30.0f);
  clearPerFrameLists();
  EXPECT_TRUE(colliders().empty());
}

TEST_F(SceneOperators, PrimitivesLeaveTheContextAsTheyFoundIt) {
  const bool wasLoading = isLoading;
  isLoading = false;
  for (const char* type : {"Cube", "Cone", "Quad", "Cylinder", "Sphere", "Dome", "Prism", "PointGrid",
                           "Corruption", "ProcMesh"}) {
    Operator& op = makeOp(g, type);
    if (std::string(type) == "Cube") setParam(op, "Size.X", 3.0f);
    Context ctx = oddContext(fakeTexture(1), fakeTexture(2));
    ctx.shader = nullptr;
    const std::vector<uint8_t> before = worldAndMaterial(ctx);
    op.outputs[0].evaluate(0.5f, ctx);
    EXPECT_EQ(worldAndMaterial(ctx), before) << type;
  }
  isLoading = wasLoading;
}

TEST(ShadowCasters, ListIsEmptiedWithThePerFrameLists) {
  clearPerFrameLists();
  const Float4x4 w = mat::translation({1, 2, 3});
  AddShadowCaster(reinterpret_cast<const Mesh*>(0x40), w, kCasterInstanced, 12);
  AddShadowCaster(nullptr, Float4x4{}, kCasterMesh, 0);
  ASSERT_EQ(shadowCasters().size(), 2u);
  EXPECT_EQ(shadowCasters()[0].world, w);
  EXPECT_EQ(shadowCasters()[0].kind, kCasterInstanced);
  EXPECT_EQ(shadowCasters()[0].instanceCount, 12u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(&shadowCasters()[1]) % 16, 0u);
  clearPerFrameLists();
  EXPECT_TRUE(shadowCasters().empty());
}

TEST(SceneCounts, SphereDetailPointCountsAndThreadGroups) {
  EXPECT_EQ(SphereOp::detailFrom(32.0f), 32);
  EXPECT_EQ(SphereOp::detailFrom(32.9f), 32);
  EXPECT_EQ(SphereOp::detailFrom(0.0f), 1);
  EXPECT_EQ(SphereOp::detailFrom(-7.0f), 1);
  EXPECT_EQ(SphereOp::detailFrom(500.0f), 100);
  EXPECT_EQ(SphereOp::detailFrom(1e30f), 100);
  EXPECT_EQ(SphereOp::detailFrom(std::nanf("")), 1);

  EXPECT_EQ(generatorPointCount(10.0f * 10.0f), 100u);
  EXPECT_EQ(generatorPointCount(3.7f * 3.0f), 11u);
  EXPECT_EQ(generatorPointCount(0.5f), 0u);
  EXPECT_EQ(generatorPointCount(-4.0f), 0u);
  EXPECT_EQ(generatorPointCount(std::nanf("")), 0u);
  EXPECT_EQ(generatorPointCount(1e12f), kMaxGeneratorPoints);

  struct Case {
    uint32_t points, x, y;
  } cases[] = {{1, 1, 1}, {256, 1, 1}, {257, 2, 1}, {1024, 2, 2}, {2048, 4, 2}, {4096, 4, 4}, {1u << 30, 64, 64}};
  for (const Case& c : cases) {
    uint32_t x = 0, y = 0;
    procMeshThreadGroups(c.points, x, y);
    EXPECT_EQ(x, c.x) << c.points;
    EXPECT_EQ(y, c.y) << c.points;
  }
}

TEST(SceneRegistry, EveryTypeIsRegisteredWithItsPortsInOrder) {
  registerSceneOperators();
  struct Case {
    const char* type;
    const char* firstInput;
    const char* lastInput;
    size_t inputs;
    const char* output;
  } cases[] = {
      {"Cube", "Size.X", "CastShadows", 4, "OutScene"},
      {"Cone", nullptr, nullptr, 0, "OutScene"},
      {"Quad", nullptr, nullptr, 0, "OutScene"},
      {"Cylinder", nullptr, nullptr, 0, "OutScene"},
      {"Sphere", "Invert normals", "Details", 3, "OutScene"},
      {"Dome", nullptr, nullptr, 0, "OutScene"},
      {"Prism", nullptr, nullptr, 0, "OutScene"},
      {"PointGrid", "Shader", "Param1.W", 10, "OutScene"},
      {"Corruption", "Shader", "EndPointOffset", 19, "OutScene"},
      {"ProcMesh", "VSGSPS Filepath", "Param 7", 18, "OutScene"},
      {"Material", "sceneIn", "IBLMul", 22, "SceneOut"},
      {"CustomMaterial", "sceneIn", "Param 3", 25, "SceneOut"},
      {"Attractor", "Position.x", "World Position", 12, "SceneOut"},
      {"Collider", "Type", "World Position", 13, "SceneOut"},
  };
  for (const Case& c : cases) {
    OperatorFactory* f = OperatorRegistry::find(c.type);
    ASSERT_NE(f, nullptr) << c.type;
    std::unique_ptr<Operator> op = f->create();
    ASSERT_EQ(op->inputs.size(), c.inputs) << c.type;
    if (c.inputs) {
      EXPECT_EQ(op->inputs.front().name, c.firstInput) << c.type;
      EXPECT_EQ(op->inputs.back().name, c.lastInput) << c.type;
    }
    ASSERT_EQ(op->outputs.size(), 1u) << c.type;
    EXPECT_EQ(op->outputs[0].name, c.output) << c.type;
    EXPECT_EQ(op->outputs[0].type, PortType::Scene) << c.type;
  }
  // The one multi input: the attractors of a generated mesh.
  std::unique_ptr<Operator> proc = OperatorRegistry::find("ProcMesh")->create();
  Port* attractorsIn = proc->findPort("Attractors");
  ASSERT_NE(attractorsIn, nullptr);
  EXPECT_TRUE(attractorsIn->flags & PortFlagMulti);
  EXPECT_EQ(attractorsIn->type, PortType::Scene);
}

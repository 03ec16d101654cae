// A whole lit frame through the operators, as a production builds it: a scene under a
// shadowed directional light, point lights (one scattering), spot lights (a shadowed one
// with a shadowed shaft, and a plain one), decals and a ray-marched scene, lit by "LightPass" and topped by "Transparency".
// Validation must stay silent, a warmed-up frame must create no GPU object, and everything
// the passes write must exist in their shaders with the size they write.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "gfx/DeviceContext.h"
#include "scene/PassSupport.h"
#include "tests/scene/LightingGpuSupport.h"

namespace {

// Stands in for the post-process manager's velocity tiles: counts the calls the lighting
// makes, and those made while the device context only prepared its draws.
struct CountingVelocityTiles : VelocityTilePass {
  void buildVelocityTiles(GBufferSet& s, const Viewport&) override {
    ++calls;
    set = &s;
    if (context && context->prepareOnly()) ++preparedCalls;
  }
  int calls = 0;
  int preparedCalls = 0;
  DeviceContext* context = nullptr;
  GBufferSet* set = nullptr;
};

class LitFrameGpuTest : public LightingGpuTest {
 protected:
  void SetUp() override {
    LightingGpuTest::SetUp();
    setCamera({1.5f, 4.0f, -6.0f}, {0, 0.8f, 0}, 50.0f);
    const Mesh* quad = quadMesh();
    const Mesh* cube = boxMesh();
    const Mesh* sphere = sphereMesh(24);

    Operator& decal = makeOp(*graph, "Decal");
    Operator& fsdecal = makeOp(*graph, "FSDecal");
    Operator& march = makeOp(*graph, "RayMarching");
    setText(march, "Filepath", "data/shaders/raymarch/blobs.hlsl");
    setParam(march, "Param2.Z", 0.6f);
    auto& scene = addOp<ProbeSceneOp>(*graph, [=, this, &decal, &fsdecal, &march](float t, Context& c) {
      Material floor, metal;
      floor.ibl = 1.0f;
      metal.albedo = {0.9f, 0.7f, 0.4f};
      metal.metalness = 1.0f;
      metal.roughness = 0.25f;
      metal.ibl = 1.0f;
      draw(quad, mat::scaling({20, 1, 20}), floor);
      draw(cube, mat::translation({-1.5f, 0.5f, 0.5f}), floor);
      draw(sphere, mat::scaling({0.8f, 0.8f, 0.8f}) * mat::translation({1.2f, 0.8f, 0}), metal);
      c.world = mat::scaling({2, 2, 2}) * mat::translation({0, 0, -1.5f});
      decal.outputs[0].evaluate(t, c);
      c.world = mat::scaling({1, 1, 1}) * mat::translation({2, 0, -1});
      fsdecal.outputs[0].evaluate(t, c);
      c.world = mat::translation({-3, 0, 2});
      march.outputs[0].evaluate(t, c);
      c.world = Float4x4::identity();
    });
    Operator& sun = makeOp(*graph, "DirLight");
    setParam(sun, "Cast Shadows", 1.0f);
    setParam(sun, "Direction.X", -0.4f);
    Operator& point = makeOp(*graph, "PointLight");
    setParam(point, "Position.Y", 1.0f);
    setParam(point, "Position.Z", -1.5f);
    setParam(point, "ScattMultiplier", 0.5f);
    Operator& spot = makeOp(*graph, "SpotLight");
    setParam(spot, "Position.Y", 5.0f);
    setParam(spot, "ScattMultiplier", 0.3f);
    setParam(spot, "ScattShadows", 1.0f);
    setParam(spot, "ScattSteps", 8.0f);
    // Lights without in-scattering are drawn by their programs' entries without it.
    Operator& plainPoint = makeOp(*graph, "PointLight");
    setParam(plainPoint, "Position.X", -1.0f);
    setParam(plainPoint, "Position.Y", 1.5f);
    Operator& plainSpot = makeOp(*graph, "SpotLight");
    setParam(plainSpot, "Position.X", 1.0f);
    setParam(plainSpot, "Position.Y", 4.0f);
    setParam(plainSpot, "Cast Shadows", 0.0f);
    Operator& pass = makeOp(*graph, "LightPass");
    connectOrThrow(*graph, scene, "SceneOut", sun, "InScene");
    connectOrThrow(*graph, sun, "OutScene", point, "SceneIn");
    connectOrThrow(*graph, point, "OutScene", spot, "SceneIn");
    connectOrThrow(*graph, spot, "OutScene", plainPoint, "SceneIn");
    connectOrThrow(*graph, plainPoint, "OutScene", plainSpot, "SceneIn");
    connectOrThrow(*graph, plainSpot, "OutScene", pass, "SceneIn");
    lightPass = &pass;

    top = &makeOp(*graph, "Transparency");
    setParam(*top, "Screen %", 50.0f);
    auto& glass = addOp<ProbeSceneOp>(*graph, [=](float, Context& c) {
      c.world = mat::translation({0, 1.0f, -1.0f});
      c.baseColor = {0.3f, 0.6f, 1.0f, 0.4f};
      c.gbufferRenderer->DrawMesh(*sphere, c);
      c.world = Float4x4::identity();
    });
    connectOrThrow(*graph, pass, "ImageOut", *top, "ImageIn");
    connectOrThrow(*graph, glass, "SceneOut", *top, "SceneIn");
    picture = texture(0x50304, kSize, kSize, 0x10009);
  }

  void TearDown() override {
    gDeferredLighting->velocityTiles = nullptr;  // the lighting object outlives the test
    LightingGpuTest::TearDown();
  }

  void frame() {
    newFrame();
    setCamera(eye, target, fov);
    ctx.imageResult = picture;
    top->outputs[0].evaluate(0.0f, ctx);
  }

  Operator* top = nullptr;
  Operator* lightPass = nullptr;
  Texture* picture = nullptr;
  CountingVelocityTiles velocity;
};

TEST_F(LitFrameGpuTest, AWarmedUpFrameCreatesNothingAndRunsTheVelocitySequence) {
  gDeferredLighting->velocityTiles = &velocity;
  velocity.context = device()->context();
  // Without a motion blur to read them the tiles are not built, loading or not.
  ASSERT_EQ(velocityTileReaders, 0);
  frame();
  isLoading = true;
  frame();
  isLoading = false;
  EXPECT_EQ(velocity.calls + velocity.preparedCalls, 0);
  struct Reader {
    Reader() { ++velocityTileReaders; }
    ~Reader() { --velocityTileReaders; }
  } reader;
  // Warm-up: every slot of the ring has served as light map once (views are made on first use).
  for (int i = 0; i < 3; ++i) frame();
  device()->waitIdle();
  const GpuCounters before = device()->counters();
  velocity.calls = 0;
  frame();
  frame();
  device()->waitIdle();
  const GpuCounters after = device()->counters();
  EXPECT_EQ(after.total(), before.total()) << "a warmed-up frame created GPU objects: pipelines "
                                           << after.pipelines - before.pipelines << ", views "
                                           << after.imageViews - before.imageViews << ", buffers "
                                           << after.buffers - before.buffers << ", images " << after.images - before.images;
  EXPECT_EQ(velocity.calls, 2);
  EXPECT_EQ(velocity.set, ctx.targets->gbuffer);

  // While loading, the pass draws its scene and only prepares its lighting and the sequence:
  // the picture it would light stays as it was.
  newFrame();
  setCamera(eye, target, fov);
  const float marker[4] = {0.25f, 0.5f, 0.75f, 1.0f};
  clearTexture(device(), picture, marker);
  const std::vector<uint8_t> unlit = readBack(picture);
  isLoading = true;
  velocity.calls = velocity.preparedCalls = 0;
  ctx.imageResult = picture;
  lightPass->outputs[0].evaluate(0.0f, ctx);
  isLoading = false;
  EXPECT_EQ(velocity.calls, 1);
  EXPECT_EQ(velocity.preparedCalls, 1);
  EXPECT_FALSE(device()->context()->prepareOnly());
  EXPECT_EQ(readBack(picture), unlit);
}

// The reflection of the stage of `program` that declares b0 (the first that does).
const hlsl::CBufferInfo* constantsOf(const ShaderProgram* p, const std::string& name, uint32_t& size) {
  for (uint32_t s = 0; s < hlsl::kStageCount; ++s) {
    if (!p->shaders[s]) continue;
    for (const hlsl::CBufferInfo& cb : p->shaders[s]->reflection.cbuffers) {
      if (cb.slot != 0) continue;
      for (const auto& v : cb.variables)
        if (v.name == name) {
          size = v.size;
          return &cb;
        }
    }
  }
  return nullptr;
}

bool declares(const ShaderProgram* p, uint32_t stage, uint32_t reg, bool sampler) {
  if (stage >= hlsl::kStageCount || !p->shaders[stage]) return false;
  for (const auto& r : p->shaders[stage]->reflection.resources)
    if (r.reg == reg && (r.kind == hlsl::ResourceKind::Sampler) == sampler) return true;
  return false;
}

TEST_F(LitFrameGpuTest, EveryConstantTextureAndSamplerThePassesSetExistsInTheirShaders) {
  ProgramTrace trace;
  gPassTrace = &trace;
  frame();
  // Once more with the combine and the image-based term drawn as two passes, as they are
  // without the program that does both.
  std::unique_ptr<ShaderProgram> combined;
  std::swap(sLighting->imageCombinedProgram, combined);
  frame();
  std::swap(sLighting->imageCombinedProgram, combined);
  gPassTrace = nullptr;

  std::set<const ShaderProgram*> drawn(trace.runs.begin(), trace.runs.end());
  // Lights, shadows, combine, image-based term, both decals and the ray marcher.
  EXPECT_GE(drawn.size(), 9u);
  for (const ShaderProgram* p :
       {sLighting->dirProgram.get(), sLighting->pointProgram.get(), sLighting->pointUnscatteredProgram.get(),
        sLighting->spotProgram.get(), sLighting->spotUnscatteredProgram.get(), sLighting->combineProgram.get(),
        sLighting->imageProgram.get(), sLighting->imageCombinedProgram.get(), sLighting->shadowProgram.get()})
    EXPECT_TRUE(drawn.count(p)) << "a lighting program was not drawn";

  for (const auto& c : trace.constants) {
    uint32_t size = 0;
    ASSERT_NE(constantsOf(c.program, c.name, size), nullptr) << c.name << " is not in its shader";
    EXPECT_EQ(size, c.bytes) << c.name;
  }
  for (const auto& t : trace.textures) EXPECT_TRUE(declares(t.program, t.stage, t.slot, false)) << "texture " << t.slot;
  for (const auto& s : trace.samplers) EXPECT_TRUE(declares(s.program, s.stage, s.slot, true)) << "sampler " << s.slot;
  EXPECT_GT(trace.constants.size(), 50u);
}

}  // namespace

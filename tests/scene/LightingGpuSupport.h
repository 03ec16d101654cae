#pragma once
// A device fixture for the lighting tests: an offscreen screen of a tiny size, the Context's
// targets and G-buffer renderer, one lighting object for the suite, and helpers that draw a
// scene into the G-buffer, light it through "LightPass" and read back what came out with
// the surface positions and normals of the G-buffer.
#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "engine/Globals.h"
#include "gfx/TextureLoader.h"
#include "scene/DeferredLighting.h"
#include "scene/FrameSetup.h"
#include "scene/GBufferRenderer.h"
#include "scene/LightMath.h"
#include "scene/LightPasses.h"
#include "scene/Lights.h"
#include "scene/Mesh.h"
#include "scene/MeshBuilder.h"
#include "scene/Operators.h"
#include "scene/SceneContext.h"
#include "scene/ShadowCasters.h"
#include "tests/gfx/support/GpuTestSupport.h"
#include "tests/scene/LightingReference.h"
#include "tests/scene/SceneTestSupport.h"

// What the G-buffer holds under one pixel, in world space.
struct Surfel {
  bool geometry = false;
  Float3 position, normal, toEye;
  lightref::Surface surface;
  float ibl = 0;
};

class LightingGpuTest : public ScreenGpuTest {
 protected:
  static constexpr uint32_t kSize = 48;

  static void TearDownTestSuite() {
    sLighting.reset();
    gDeferredLighting = nullptr;
    clearTextureCache();
    ScreenGpuTest::TearDownTestSuite();
  }

  void SetUp() override {
    screenWidth = kSize;
    screenHeight = kSize;
    ScreenGpuTest::SetUp();
    isLoading = false;
    registerSceneOperators();
    initContextTargets(ctx, device(), screen());
    ASSERT_TRUE(initSceneContext(ctx, device()));
    if (!sLighting) sLighting = DeferredLighting::Create(device());
    ASSERT_NE(sLighting, nullptr);
    gDeferredLighting = sLighting.get();
    graph = std::make_unique<OperatorGraph>();
    newFrame();
  }

  void TearDown() override {
    device()->waitIdle();
    graph.reset();
    meshes.clear();
    clearPerFrameLists();
    releaseSceneContext(ctx);
    releaseContextTargets(ctx);
    ScreenGpuTest::TearDown();
  }

  // A fresh frame: cleared G-buffer and depth, empty lists, the camera set again.
  void newFrame() {
    ctx.viewport = Viewport{0, 0, int32_t(kSize), int32_t(kSize)};
    beginFrame(ctx, kSize, kSize, true, true);
    setCamera(eye, target, fov);
  }

  // A camera at eye looking at target (up hint +Y, or +Z when looking straight up or down).
  void setCamera(Float3 e, Float3 t, float fovDegrees) {
    eye = e;
    target = t;
    fov = fovDegrees;
    Float3 z = normalize(t - e);
    Float3 up = std::fabs(z.y) > 0.99f ? Float3{0, 0, 1} : Float3{0, 1, 0};
    Float3 x = normalize(cross(up, z));
    Float3 y = cross(z, x);
    ctx.camera.setRow(0, x, 0);
    ctx.camera.setRow(1, y, 0);
    ctx.camera.setRow(2, z, 0);
    ctx.camera.setRow(3, e, 1);
    ctx.cameraPrev = ctx.camera;
    ctx.fov = fovDegrees;
    ctx.zNear = 0.1f;
    ctx.zFar = 200.0f;
    ctx.projection = mat::perspectiveFovDegrees(fovDegrees, 1.0f, ctx.zNear, ctx.zFar);
  }

  struct Material {
    Float3 albedo{0.8f, 0.8f, 0.8f};
    float roughness = 0.5f;
    float metalness = 0.0f;
    float specular = 0.5f;    // grey specular colour
    float ibl = 0.0f;         // image-based lighting multiplier (0: direct light alone)
    Float3 emissive{0, 0, 0};
  };

  // Draws a mesh into the G-buffer with a material; a shadow caster unless told otherwise.
  void draw(const Mesh* mesh, const Float4x4& world, const Material& m, bool casts = true) {
    ctx.world = world;
    ctx.worldPrev = world;
    ctx.baseColor = {m.albedo.x, m.albedo.y, m.albedo.z, 1.0f};
    ctx.specularColor = {m.specular, m.specular, m.specular, 1.0f};
    ctx.emissive = {m.emissive.x, m.emissive.y, m.emissive.z, m.ibl};
    ctx.roughness = m.roughness;
    ctx.metalness = m.metalness;
    ctx.gbufferRenderer->DrawMesh(*mesh, ctx);
    if (casts) AddShadowCaster(mesh, world, kCasterMesh, 0);
    ctx.world = Float4x4::identity();
    ctx.worldPrev = ctx.world;
  }

  const Mesh* sphereMesh(int detail = 32) { return keep(buildSphereMesh(device(), detail)); }
  const Mesh* boxMesh() { return keep(buildUnitBoxMesh(device())); }
  const Mesh* quadMesh() {
    MeshBuilder b;
    b.addQuad({0, 0, 0});
    return keep(b.toMesh(device()));
  }
  const Mesh* keep(std::unique_ptr<Mesh> m) {
    meshes.push_back(std::move(m));
    return meshes.back().get();
  }

  // A "LightPass" whose scene is `scene` (drawn when the pass evaluates it), optionally with an
  // image as "EnvMap".
  Operator& lightPass(std::function<void()> scene, Texture* environment = nullptr) {
    Operator& pass = makeOp(*graph, "LightPass");
    auto& probe = addOp<ProbeSceneOp>(*graph, [scene](float, Context&) { scene(); });
    connectOrThrow(*graph, probe, "SceneOut", pass, "SceneIn");
    if (environment) {
      auto& env = addOp<FakeImageOp>(*graph, environment);
      connectOrThrow(*graph, env, "ImageOut", pass, "EnvMap");
    }
    return pass;
  }

  // Evaluates a pass into a fresh RGBA16F picture and reads it back.
  lightref::HalfImage light(Operator& pass) {
    output = texture(0x50304, kSize, kSize, 0x10009);
    ctx.imageResult = output;
    pass.outputs[0].evaluate(0.0f, ctx);
    return lightref::HalfImage(readBack(output), kSize, kSize);
  }

  lightref::HalfImage gbuffer(int i) {
    const uint32_t channels = i == 4 ? 2 : 4;
    return lightref::HalfImage(readBack(ctx.gbuffer[i]), kSize, kSize, channels);
  }

  std::vector<Surfel> surfels() {
    lightref::HalfImage albedo = gbuffer(0), normal = gbuffer(1), material = gbuffer(2);
    std::vector<Surfel> out(kSize * kSize);
    const Float4x4& p = ctx.projection;
    for (uint32_t y = 0; y < kSize; ++y)
      for (uint32_t x = 0; x < kSize; ++x) {
        Surfel& s = out[y * kSize + x];
        Float4 a = albedo.at(x, y), n = normal.at(x, y), m = material.at(x, y);
        s.geometry = a.w > 0.5f;
        if (!s.geometry) continue;
        float u = (x + 0.5f) / kSize, v = (y + 0.5f) / kSize;
        float ndcX = u * 2 - 1, ndcY = 1 - v * 2, z = n.w;
        Float3 viewPos{ndcX * z / p.at(0, 0), ndcY * z / p.at(1, 1), z};
        s.position = mat::transformPoint(viewPos, ctx.camera);
        s.normal = normalize(mat::transformVector({n.x, n.y, n.z}, ctx.camera));
        s.toEye = normalize(eye - s.position);
        s.surface.albedo = {a.x, a.y, a.z};
        s.surface.roughness = m.x;
        s.surface.metalness = m.y;
        s.surface.specular = m.z;
        s.ibl = m.w;
      }
    return out;
  }

  static inline std::unique_ptr<DeferredLighting> sLighting;
  Context ctx;
  std::unique_ptr<OperatorGraph> graph;
  std::vector<std::unique_ptr<Mesh>> meshes;
  Texture* output = nullptr;
  Float3 eye{0, 0, -4}, target{0, 0, 0};
  float fov = 45.0f;
};

inline DirLightRecord dirLight(Float3 towards, Float3 colour, bool shadows = false) {
  DirLightRecord r;
  r.direction = {towards.x, towards.y, towards.z, 0};
  r.colour = {colour.x, colour.y, colour.z, 0};
  r.castsShadows = shadows ? 1 : 0;
  return r;
}

// A lit 1280 x 720 frame: a floor with a dozen objects drawn into the G-buffer, then lit by one
// directional light, 16 point lights and one spot light, with and without their shadow maps,
// plus the combine and the image-based term. The argument picks the lights (bit 0 the
// directional light, 1 the point lights, 2 the spot light, 3 shadows), so the cost of each
// pass is the difference to the frame without it. Run from the repository root.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "bench/floor/ProcessCpu.h"
#include "engine/Context.h"
#include "engine/Globals.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "gfx/TextureLoader.h"
#include "scene/DeferredLighting.h"
#include "scene/FrameSetup.h"
#include "scene/GBufferRenderer.h"
#include "scene/Lights.h"
#include "scene/Mesh.h"
#include "scene/MeshBuilder.h"
#include "scene/SceneContext.h"
#include "scene/ShadowCasters.h"

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 720;

void setCamera(Context& ctx) {
  const Float3 eye{6, 5, -9}, target{0, 0.5f, 0};
  Float3 z = normalize(target - eye);
  Float3 x = normalize(cross({0, 1, 0}, z));
  Float3 y = cross(z, x);
  ctx.camera.setRow(0, x, 0);
  ctx.camera.setRow(1, y, 0);
  ctx.camera.setRow(2, z, 0);
  ctx.camera.setRow(3, eye, 1);
  ctx.cameraPrev = ctx.camera;
  ctx.fov = 50.0f;
  ctx.projection = mat::perspectiveFovDegrees(50.0f, float(kWidth) / float(kHeight), 0.1f, 1000.0f);
}

void BM_LitFrame(benchmark::State& state) {
  const int64_t lights = state.range(0);
  const bool shadows = (lights & 8) != 0;
  isLoading = false;
  ScreenSettings settings;
  settings.width = kWidth;
  settings.height = kHeight;
  auto screen = std::make_unique<Screen>(nullptr, settings);
  Device* device = screen->device;
  Context ctx;
  ctx.viewport = Viewport{0, 0, int32_t(kWidth), int32_t(kHeight)};
  initContextTargets(ctx, device, screen.get());
  initSceneContext(ctx, device);
  std::unique_ptr<DeferredLighting> lighting = DeferredLighting::Create(device);

  std::unique_ptr<Mesh> box = buildUnitBoxMesh(device);
  std::unique_ptr<Mesh> sphere = buildSphereMesh(device, 32);
  MeshBuilder quad;
  quad.addQuad({0, 0, 0});
  std::unique_ptr<Mesh> floor = quad.toMesh(device);
  struct Object {
    const Mesh* mesh;
    Float4x4 world;
  };
  std::vector<Object> objects{{floor.get(), mat::scaling({30, 1, 30})}};
  for (int i = 0; i < 12; ++i) {
    float a = float(i) * 0.5236f, r = 2.0f + float(i % 3) * 1.5f;
    objects.push_back({i % 2 ? box.get() : sphere.get(),
                       mat::scaling({0.8f, 0.8f, 0.8f}) * mat::translation({std::cos(a) * r, 0.5f, std::sin(a) * r})});
  }

  auto frame = [&] {
    ctx.beginFrame(kWidth, kHeight, true, true);
    setCamera(ctx);
    for (const Object& o : objects) {
      ctx.world = o.world;
      ctx.worldPrev = o.world;
      ctx.gbufferRenderer->DrawMesh(*o.mesh, ctx);
      AddShadowCaster(o.mesh, o.world, kCasterMesh, 0);
    }
    ctx.world = Float4x4::identity();
    if (lights & 1) {
      DirLightRecord d;
      d.direction = {0.5f, 1.0f, -0.3f, 0};
      d.colour = {1, 1, 1, 0};
      d.castsShadows = shadows;
      dirLights().push_back(d);
    }
    if (lights & 2)
      for (int i = 0; i < 16; ++i) {
        PointLightRecord p;
        float a = float(i) * 0.3927f;
        p.position = {std::cos(a) * 4.0f, 1.0f, std::sin(a) * 4.0f, 1};
        p.colour = {1, 0.7f, 0.4f, 0};
        p.radius = 3.0f;
        p.brightness = 2.0f;
        p.scattering = {0.1f, 0.0f, 1.0f, 0};
        pointLights().push_back(p);
      }
    if (lights & 4) {
      SpotLightRecord s;
      s.position = {0, 6, 0, 1};
      s.direction = {0, -1, 0, 0};
      s.colour = {10, 10, 10, 0};
      s.angle = 60;
      s.farPlane = 15;
      s.castsShadows = shadows;
      s.scatteringSteps = 32;
      spotLights().push_back(s);
    }
    Texture* output = nextRingTarget(ctx);
    Texture* lightMap = nextRingTarget(ctx);
    lighting->Render(ctx, lightMap, output, nullptr);
  };
  for (int i = 0; i < 4; ++i) frame();
  device->waitIdle();
  const uint64_t createdAfterWarmUp = device->counters().total();
  const double cpuStart = floorpass::processCpuMs();
  for (auto _ : state) {
    frame();
    device->waitIdle();
  }
  state.counters["cpu_ms"] = (floorpass::processCpuMs() - cpuStart) / double(state.iterations());
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["gpu_objects_created_after_warmup"] = double(device->counters().total() - createdAfterWarmUp);

  lighting.reset();
  box.reset();
  sphere.reset();
  floor.reset();
  releaseSceneContext(ctx);
  releaseContextTargets(ctx);
  clearTextureCache();
  screen.reset();
  clearShaderCache();
}
// 15: every light with shadows; 7: the same without shadows; then each part alone.
BENCHMARK(BM_LitFrame)
    ->ArgName("lights")
    ->Arg(15)
    ->Arg(7)
    ->Arg(0)
    ->Arg(1)
    ->Arg(9)
    ->Arg(2)
    ->Arg(4)
    ->Arg(12)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

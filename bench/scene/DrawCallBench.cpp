// What the player spends on the CPU to record 10,000 draws of small meshes into the G-buffer
// of a 1280 x 720 frame: the frame's start, each draw's constants, bindings and draw call,
// up to the submission (which the wait after it does). The GPU's work (the driver rasterising) is waited for outside the
// timed part, so the figure is what a real GPU would leave the player to do. Run from the
// repository root (the G-buffer programs read data/shaders).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

#include "engine/Context.h"
#include "engine/Globals.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "scene/FrameSetup.h"
#include "scene/GBufferRenderer.h"
#include "scene/Mesh.h"
#include "scene/MeshBuilder.h"
#include "scene/SceneContext.h"

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 720;

void BM_GBufferFrameOfSmallMeshes(benchmark::State& state) {
  const int draws = int(state.range(0));
  const bool keepTargets = state.range(1) != 0;  // 1: the draws share one rendering of the targets
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
  std::unique_ptr<Mesh> box = buildUnitBoxMesh(device);

  // A grid of small boxes in front of the camera (at the origin, looking along +Z).
  std::vector<Float4x4> worlds;
  const int side = int(std::ceil(std::sqrt(double(draws))));
  for (int i = 0; i < draws; ++i) {
    const float x = float(i % side) / float(side) * 20.0f - 10.0f, y = float(i / side) / float(side) * 12.0f - 6.0f;
    worlds.push_back(mat::scaling({0.05f, 0.05f, 0.05f}) * mat::translation({x, y, 15.0f}));
  }
  ctx.camera = Float4x4::identity();
  ctx.cameraPrev = ctx.camera;
  ctx.projection = mat::perspectiveFovDegrees(60.0f, float(kWidth) / float(kHeight), 0.1f, 100.0f);

  auto frame = [&] {
    ctx.beginFrame(kWidth, kHeight, true, true);
    for (const Float4x4& w : worlds) {
      ctx.world = w;
      ctx.worldPrev = w;
      if (keepTargets)
        ctx.gbufferRenderer->DrawMeshKeepTargets(*box, ctx);
      else
        ctx.gbufferRenderer->DrawMesh(*box, ctx);
    }
  };
  for (int i = 0; i < 3; ++i) {
    frame();
    device->waitIdle();
  }
  const uint64_t created = device->counters().total();
  const uint64_t submitsBefore = device->counters().submits;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    frame();
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    device->waitIdle();
  }
  state.SetItemsProcessed(state.iterations() * draws);
  // More than one means the frame's uploads outgrew the ring and recording waited for the GPU.
  state.counters["submits_per_frame"] = double(device->counters().submits - submitsBefore) / double(state.iterations());
  state.counters["gpu_objects_created_after_warmup"] = double(device->counters().total() - created);

  box.reset();
  releaseSceneContext(ctx);
  releaseContextTargets(ctx);
  screen.reset();
  clearShaderCache();
}
// Each draw as the scene leaves make it (targets unbound after every draw), and the same
// draws keeping the targets bound between them.
BENCHMARK(BM_GBufferFrameOfSmallMeshes)
    ->ArgNames({"draws", "keep_targets"})
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

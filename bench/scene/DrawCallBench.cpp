// What the player spends on the CPU to record 10,000 draws of small meshes into the G-buffer
// of a 1280 x 720 frame: the frame's start, each draw's constants, bindings and draw call,
// up to the submission (which the wait after it does). The GPU's work (the driver rasterising) is waited for outside the
// timed part, so the figure is what a real GPU would leave the player to do. Run from the
// repository root (the G-buffer programs read data/shaders).
//
// The floor, measured in the same run, is the same frame without the draws: each object's
// textures bound and constants written as the draw would, nothing recorded. What the
// frame costs above it is the device layer's recording of the draws. Under load, wall time
// grows with every other process; the main thread's CPU time (cpu_ms, floor_cpu_ms and their
// ratio) barely does.
//
// cpu_ms is the player's thread alone: what a real GPU would wait on. The driver here runs on
// the CPU, in threads of its own, once the frame is submitted; submit_cpu_ms is the player's
// thread in the iteration's submissions and waits (handing the work over, and recycling the
// draws' commands once the next frame is submitted), and process_cpu_ms every thread of the process from the frame's start to the
// end of its execution (the player and the software GPU together).
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
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

double cpuMs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}
double threadCpuMs() { return cpuMs(CLOCK_THREAD_CPUTIME_ID); }
double processCpuMs() { return cpuMs(CLOCK_PROCESS_CPUTIME_ID); }

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
  GBufferRenderer& renderer = *ctx.gbufferRenderer;
  auto floorFrame = [&] {
    ctx.beginFrame(kWidth, kHeight, true, true);
    ShaderProgram* program = renderer.programFor(ctx);
    for (const Float4x4& w : worlds) {
      ctx.world = w;
      ctx.worldPrev = w;
      renderer.bindMaterialTextures(program, ctx);
      renderer.setObjectConstants(program, ctx);
    }
  };
  for (int i = 0; i < 3; ++i) {
    frame();
    device->waitIdle();
    floorFrame();
    device->waitIdle();
  }
  const uint64_t created = device->counters().total();
  uint64_t submits = 0;
  double frameCpuMs = 0, floorCpuMs = 0, floorMs = 0, submitCpuMs = 0, processMs = 0;
  for (auto _ : state) {
    const uint64_t submitsBefore = device->counters().submits;
    const double process = processCpuMs();
    double cpu = threadCpuMs();
    const auto start = std::chrono::steady_clock::now();
    frame();
    const auto end = std::chrono::steady_clock::now();
    const double recorded = threadCpuMs();
    frameCpuMs += recorded - cpu;
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    device->waitIdle();
    submitCpuMs += threadCpuMs() - recorded;
    processMs += processCpuMs() - process;
    submits += device->counters().submits - submitsBefore;
    state.PauseTiming();
    cpu = threadCpuMs();
    const auto floorStart = std::chrono::steady_clock::now();
    floorFrame();
    floorMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - floorStart).count();
    floorCpuMs += threadCpuMs() - cpu;
    cpu = threadCpuMs();
    device->waitIdle();  // recycles the draws' commands: frames alternate between two pools
    submitCpuMs += threadCpuMs() - cpu;
    state.ResumeTiming();
  }
  const double n = double(state.iterations());
  state.counters["cpu_ms"] = frameCpuMs / n;
  state.counters["submit_cpu_ms"] = submitCpuMs / n;
  state.counters["process_cpu_ms"] = processMs / n;
  state.counters["floor_ms"] = floorMs / n;
  state.counters["floor_cpu_ms"] = floorCpuMs / n;
  state.counters["cpu_x_floor"] = floorCpuMs > 0 ? frameCpuMs / floorCpuMs : 0.0;
  state.SetItemsProcessed(state.iterations() * draws);
  // More than one means the frame's uploads outgrew the ring and recording waited for the GPU.
  state.counters["submits_per_frame"] = double(submits) / n;
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

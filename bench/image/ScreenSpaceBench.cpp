// Cost of the screen-space effects on an offscreen 1280 x 720 Screen: screen-space
// reflections, pixel sorting (rows, and rows then columns) and one step of the screen-space
// fluid with its pass over the picture. Run from the repository root (the passes read
// data/shaders).
//
// The G-buffer holds a mirror floor in the lower half under a row of blocks, so that most
// reflection rays march; the picture is bright with dark seams every few pixels, so that
// the sort has runs of every length; the left half of the screen moves for the fluid.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/floor/ProcessCpu.h"
#include "bench/image/ImageBenchSupport.h"
#include "engine/Globals.h"
#include "engine/Project.h"
#include "gfx/DeviceContext.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "image/Operators.h"
#include "image/PostProcessManager.h"
#include "image/SSFluids.h"
#include "scene/FrameSetup.h"

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 720;

using imagebench::toHalf;

constexpr float kFov = 60.0f;

struct Fixture : imagebench::ImageBenchFixture {
  Fixture() : ImageBenchFixture(kWidth, kHeight, kFov) {
    DeviceContext* dc = screen->device->context();

    // Camera at height 1 looking along +Z: the lower half sees the floor y = 0, the upper
    // half blocks 6 units away (or nothing).
    const size_t n = size_t(kWidth) * kHeight;
    std::vector<uint16_t> colour(n * 4), albedo(n * 4), normal(n * 4), material(n * 4), velocity(n * 2);
    const float t = std::tan(kFov * 0.5f * 0.017453292f);
    for (uint32_t y = 0; y < kHeight; ++y)
      for (uint32_t x = 0; x < kWidth; ++x) {
        const size_t i = size_t(y) * kWidth + x;
        const float ndcX = (x + 0.5f) / kWidth * 2 - 1, ndcY = 1 - (y + 0.5f) / kHeight * 2;
        const float dy = ndcY * t;
        float depth = 65504.0f, nrm[3] = {0, 0, 0}, mat[4] = {65504, 65504, 65504, 0}, alb = 0;
        if (dy < -1e-3f) {  // floor
          depth = 1.0f / -dy;
          nrm[1] = 1.0f;
          mat[0] = 0.05f, mat[1] = 1.0f, mat[2] = 1.0f, mat[3] = 1.0f;
          alb = 1;
        } else if ((x / 160) % 2 == 0 && dy < 0.4f) {  // blocks
          depth = 6.0f;
          nrm[2] = -1.0f;
          mat[0] = 0.8f, mat[1] = 0.0f, mat[2] = 1.0f, mat[3] = 1.0f;
          alb = 1;
        }
        const float seam = ((x * 7 + y * 3) % 23 == 0) ? 0.02f : 1.0f;
        const float base = (0.3f + 0.6f * std::fabs(std::sin(ndcX * 9.0f + ndcY * 4.0f))) * seam;
        const float rgb[4] = {base, base * 0.8f, base * 0.6f, 1.0f};
        const float a[4] = {alb, alb, alb, alb};
        const float nd[4] = {nrm[0], nrm[1], nrm[2], depth};
        for (int c = 0; c < 4; ++c) {
          colour[i * 4 + c] = toHalf(rgb[c]);
          albedo[i * 4 + c] = toHalf(a[c]);
          normal[i * 4 + c] = toHalf(nd[c]);
          material[i * 4 + c] = toHalf(mat[c]);
        }
        velocity[i * 2] = toHalf(x < kWidth / 2 ? 0.001f : 0.0f);
        velocity[i * 2 + 1] = toHalf(0.0f);
      }
    dc->updateSubresource(ctx.gbuffer[0], 0, albedo.data(), 0, 0);
    dc->updateSubresource(ctx.gbuffer[1], 0, normal.data(), 0, 0);
    dc->updateSubresource(ctx.gbuffer[2], 0, material.data(), 0, 0);
    dc->updateSubresource(ctx.gbuffer[4], 0, velocity.data(), 0, 0);
    manager->buildVelocityTiles(*ctx.targets->gbuffer, ctx.viewport);
    setPicture(colour, kWidth, kHeight);
  }

  Operator* effect(const std::string& type, const char* input = "ImageIn") {
    Operator* op = graph.createOperator(type);
    graph.connect(*source, "ImageOut", *op, input);
    return op;
  }

  // Evaluates the effect once per iteration at `time(i)` and waits for the GPU.
  template <typename Time>
  void run(benchmark::State& state, Operator* op, Time time) {
    int i = 0;
    auto once = [&] {
      releaseAllTargets(ctx);  // what the frame's start does: pooled targets are free again
      op->outputs[0].evaluate(time(i++), ctx);
      screen->device->waitIdle();
    };
    for (int k = 0; k < 4; ++k) once();  // pipelines, buffers, and views of every ring image
    const uint64_t created = screen->device->counters().total();
    const double cpuStart = floorpass::processCpuMs();
    for (auto _ : state) once();
    // CPU time of every thread per evaluation: on the CPU driver, the shading work.
    state.counters["cpu_ms"] = (floorpass::processCpuMs() - cpuStart) / double(state.iterations());
    state.counters["gpu_objects_created_after_warmup"] = double(screen->device->counters().total() - created);
  }
};

void BM_SSR(benchmark::State& state) {
  Fixture f;
  f.run(state, f.effect("SSR", "InImage"), [](int) { return 1.0f; });
}

// The same with no march steps: the set-up of every pixel, the blurs and the copies, which
// BM_SSR less this leaves the march's share.
void BM_SSRWithoutMarch(benchmark::State& state) {
  Fixture f;
  Operator* op = f.effect("SSR", "InImage");
  static_cast<Float*>(op->findPort("MaxSteps")->source->value())->value = 0.0f;
  f.run(state, op, [](int) { return 1.0f; });
}

void BM_PixelSortingRows(benchmark::State& state) {
  Fixture f;
  f.run(state, f.effect("PixelSorting"), [](int) { return 1.0f; });
}

void BM_PixelSortingRowsThenColumns(benchmark::State& state) {
  Fixture f;
  Operator* op = f.effect("PixelSorting");
  static_cast<Float*>(op->findPort("Vertical")->source->value())->value = 1.0f;
  f.run(state, op, [](int) { return 1.0f; });
}

// Time advances by exactly one step at the default 250 steps a second: each iteration is
// one solver step on the 512 x 512 grid plus the pass that displaces the picture.
void BM_SSFluidsOneStep(benchmark::State& state) {
  Fixture f;
  Operator* op = f.effect("SSFluids");
  f.run(state, op, [](int i) { return float(i) / 250.0f; });
  state.counters["steps"] = double(f.manager->ssFluids.solver->stepsRun);
}

BENCHMARK(BM_SSR)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_SSRWithoutMarch)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_PixelSortingRows)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_PixelSortingRowsThenColumns)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_SSFluidsOneStep)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

}  // namespace

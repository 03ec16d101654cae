// Cost of each post-process effect alone and of the sample production's post chain, on an
// offscreen 1280 x 720 Screen. Run from the repository root: the passes read data/shaders.
//
// Each iteration evaluates the effect (or the chain) once on a fixed picture and waits for
// the GPU; the G-buffer holds a valley seen by the camera with some motion, so that SSAO,
// depth of field and motion blur do their full work.
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
#include "scene/FrameSetup.h"

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 720;

using imagebench::toHalf;

struct Fixture : imagebench::ImageBenchFixture {
  Fixture() : ImageBenchFixture(kWidth, kHeight, 45.0f) {
    ctx.zFar = 100.0f;
    DeviceContext* dc = screen->device->context();

    // A picture with detail and a few highlights, a valley in the G-buffer, motion on the left.
    std::vector<uint16_t> colour(size_t(kWidth) * kHeight * 4), normal(colour.size()), velocity(size_t(kWidth) * kHeight * 2);
    const float t = std::tan(22.5f * 0.017453292f), aspect = float(kWidth) / float(kHeight);
    for (uint32_t y = 0; y < kHeight; ++y)
      for (uint32_t x = 0; x < kWidth; ++x) {
        const size_t i = size_t(y) * kWidth + x;
        const float u = float(x) / kWidth, v = float(y) / kHeight;
        const float base = 0.5f + 0.4f * std::sin(u * 40.0f) * std::cos(v * 25.0f);
        const float highlight = ((x / 64 + y / 64) % 7 == 0) ? 6.0f : 0.0f;
        const float rgb[4] = {base + highlight, base * 0.8f + highlight, base * 0.6f, 1.0f};
        for (int c = 0; c < 4; ++c) colour[i * 4 + c] = toHalf(rgb[c]);
        const float ndcX = u * 2.0f - 1.0f, slope = 1.5f;
        const float z = 3.0f / (1.0f + slope * t * aspect * std::fabs(ndcX));
        const float len = std::sqrt(1.0f + slope * slope), side = ndcX < 0 ? 1.0f : -1.0f;
        const float nd[4] = {side * slope / len, 0.0f, -1.0f / len, z};
        for (int c = 0; c < 4; ++c) normal[i * 4 + c] = toHalf(nd[c]);
        velocity[i * 2] = toHalf(u < 0.5f ? 0.004f : 0.0f);
        velocity[i * 2 + 1] = toHalf(0.0f);
      }
    dc->updateSubresource(ctx.gbuffer[1], 0, normal.data(), 0, 0);
    dc->updateSubresource(ctx.gbuffer[4], 0, velocity.data(), 0, 0);
    const float depth[4] = {0.97f, 0, 0, 0};
    clearTexture(screen->device, ctx.frameDepthTarget, depth);
    manager->buildVelocityTiles(*ctx.targets->gbuffer, ctx.viewport);
    setPicture(colour, kWidth, kHeight);
  }

  // A chain of effects after the picture; returns the last.
  Operator* chain(const std::vector<std::string>& types) {
    Operator* last = source;
    for (const std::string& type : types) {
      Operator* op = graph.createOperator(type);
      graph.connect(*last, "ImageOut", *op, "ImageIn");
      last = op;
    }
    return last;
  }

  void run(benchmark::State& state, Operator* last) {
    auto once = [&] {
      last->outputs[0].evaluate(1.0f, ctx);
      screen->device->waitIdle();
    };
    for (int i = 0; i < 4; ++i) once();  // pipelines, and views of every ring image
    const uint64_t created = screen->device->counters().total();
    const double cpuStart = floorpass::processCpuMs();
    for (auto _ : state) once();
    // CPU time of every thread per evaluation: the driver's shading work, little disturbed
    // by other processes on a shared machine.
    state.counters["cpu_ms"] = (floorpass::processCpuMs() - cpuStart) / double(state.iterations());
    state.counters["gpu_objects_created_after_warmup"] = double(screen->device->counters().total() - created);
  }
};

void BM_Effect(benchmark::State& state, const char* type) {
  Fixture f;
  f.run(state, f.chain({type}));
}

// The sample production's chain.
void BM_SamplePostChain(benchmark::State& state) {
  Fixture f;
  f.run(state, f.chain({"SSAO", "Bloom", "DOF", "ToneMapping", "FXAA", "CCSplitToning", "CCTone"}));
}

#define ZV_EFFECT_BENCH(type) \
  BENCHMARK_CAPTURE(BM_Effect, type, #type)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)

ZV_EFFECT_BENCH(ToneMapping);
ZV_EFFECT_BENCH(FXAA);
ZV_EFFECT_BENCH(SSAO);
ZV_EFFECT_BENCH(Bloom);
ZV_EFFECT_BENCH(GaussBlur);
ZV_EFFECT_BENCH(RadialBlur);
ZV_EFFECT_BENCH(Invert);
ZV_EFFECT_BENCH(Grain);
ZV_EFFECT_BENCH(Feedback);
ZV_EFFECT_BENCH(DOF);
ZV_EFFECT_BENCH(MotionBlur);
ZV_EFFECT_BENCH(ColorCorrection);
ZV_EFFECT_BENCH(CCSplitToning);
ZV_EFFECT_BENCH(CCColor);
ZV_EFFECT_BENCH(CCHSL);
ZV_EFFECT_BENCH(CCTone);
BENCHMARK(BM_SamplePostChain)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

}  // namespace

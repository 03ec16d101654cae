// One frame of each simulation as the player runs it, on the device the machine has (lavapipe
// in CI): a full particle system with curl noise and sprites, one step of the 65,536-particle
// fluid, a frame of the fluid operator (a step and its sprites), and a 64 x 64 cloth at its
// default 600 sub-steps a second. The G-buffer is 640 x 360. The smoke is timed apart, at
// 1280 x 720, against the floor of a full-screen pass.
// Run from the repository root: the simulations read data/shaders.
#include <benchmark/benchmark.h>

#include <memory>

#include "bench/floor/FloorPasses.h"
#include "bench/floor/ProcessCpu.h"
#include "engine/Globals.h"
#include "gfx/Device.h"
#include "gfx/ShaderManager.h"
#include "scene/FrameSetup.h"
#include "scene/SceneContext.h"
#include "sim/Cloth.h"
#include "sim/Fluid.h"
#include "sim/Particles.h"

namespace {

constexpr uint32_t kWidth = 640, kHeight = 360;

void setParam(Operator& op, const char* name, float v) {
  static_cast<Float*>(op.findPort(name)->source->value())->value = v;
}

void connect(Operator& target, size_t input, Operator& source) {
  target.inputs[input].link(&source.outputs[0], int32_t(target.inputs[input].sources.size()));
}

// A device with a Context ready to draw into a G-buffer, camera 20 units back.
struct Stage {
  Device device;
  Context ctx;
  uint32_t width, height;
  explicit Stage(uint32_t w = kWidth, uint32_t h = kHeight) : width(w), height(h) {
    useBinaryShaders = false;
    isLoading = false;
    initContextTargets(ctx, &device, nullptr, width, height);
    initSceneContext(ctx, &device);
  }
  ~Stage() {
    device.waitIdle();
    releaseSceneContext(ctx);
    releaseContextTargets(ctx);
    clearShaderCache();
  }
  void frame(Float3 eye = {0.0f, 2.0f, -20.0f}, float fov = 45.0f) {
    ctx.viewport = Viewport{0, 0, int32_t(width), int32_t(height)};
    beginFrame(ctx, width, height, false, true);
    ctx.camera = ctx.cameraPrev = mat::translation(eye);
    ctx.projection = mat::perspectiveFovDegrees(fov, float(width) / float(height), 0.1f, 100.0f);
  }
};

void BM_ParticleFrameWithCurlNoiseAndSprites(benchmark::State& state) {
  Stage stage;
  sim::ParticleSysOp system;
  sim::SphereEmitterOp emitter;
  sim::CurlNoiseOp curl;
  sim::ParticleRendererOp sprites;
  connect(system, sim::ParticleSysOp::Emitter, emitter);
  connect(system, sim::ParticleSysOp::Affector, curl);
  connect(system, sim::ParticleSysOp::Renderer, sprites);
  setParam(system, "Gravity.X", 0.0f);
  setParam(emitter, "SpawnRate", 20000.0f);  // about as many born as die: the buffer stays full
  setParam(emitter, "MaxLifetime", 2.0f);
  setParam(sprites, "Size", 0.05f);
  float t = 0.0f;
  auto frame = [&] {
    stage.frame();
    t += 1.0f / 60.0f;
    wallClockTime += 1.0 / 60.0;
    wallClockDelta = 1.0 / 60.0;
    system.outputs[0].evaluate(t, stage.ctx);
    stage.device.waitIdle();
  };
  for (int i = 0; i < 120; ++i) frame();  // warm-up: a full buffer
  for (auto _ : state) frame();
}
BENCHMARK(BM_ParticleFrameWithCurlNoiseAndSprites)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The smoke of a column of 12,000 living particles (twelve slices of 32) seen from
// 9 units, as the sample's particle scene shows it at 1280 x 720: the emitter fills the
// buffer at 6,000 a second for two seconds, then the particles stand still (no emission,
// time scale 0) so that every timed frame sorts and draws the same smoke. Reported: the
// CPU time of every thread a frame, and its ratio to a one-fetch full-screen pass of the
// same size measured in the same run.
void BM_SmokeFrame(benchmark::State& state) {
  constexpr uint32_t kSmokeWidth = 1280, kSmokeHeight = 720;
  floorpass::FloorRig rig(kSmokeWidth, kSmokeHeight);
  if (!rig.error().empty()) {
    state.SkipWithError(rig.error().c_str());
    return;
  }
  Stage stage(kSmokeWidth, kSmokeHeight);
  sim::ParticleSysOp system;
  sim::BoxEmitterOp emitter;
  sim::CurlNoiseOp curl;
  sim::SmokeRendererOp smoke;
  connect(system, sim::ParticleSysOp::Emitter, emitter);
  connect(system, sim::ParticleSysOp::Affector, curl);
  connect(system, sim::ParticleSysOp::Renderer, smoke);
  setParam(system, "Gravity.X", 0.0f);
  setParam(system, "Gravity.Y", 0.9f);
  setParam(system, "PlaneHeight", -1.0f);
  setParam(emitter, "SizeX", 0.7f);
  setParam(emitter, "SizeY", 0.1f);
  setParam(emitter, "SizeZ", 0.7f);
  setParam(emitter, "Speed", 0.25f);
  setParam(emitter, "MaxLifetime", 4.0f);
  setParam(emitter, "SpawnRate", 6000.0f);
  setParam(curl, "Turbulence", 1.5f);
  setParam(curl, "NoiseScale", 2.0f);
  setParam(curl, "Scale", 0.2f);
  setParam(smoke, "Color.A", 0.05f);
  setParam(smoke, "ParticleSize", 0.3f);
  const Float3 eye{0.0f, 1.5f, -9.0f};
  float t = 0.0f;
  auto frame = [&](float step) {
    stage.frame(eye, 55.0f);
    t += step;
    wallClockTime += step;
    wallClockDelta = step;
    system.outputs[0].evaluate(t, stage.ctx);
    stage.device.waitIdle();
  };
  for (int i = 0; i < 20; ++i) frame(0.1f);
  setParam(emitter, "SpawnRate", 0.0f);
  setParam(system, "TimeScale", 0.0f);
  for (int i = 0; i < 2; ++i) frame(0.0f);
  const double cpuStart = floorpass::processCpuMs();
  for (auto _ : state) frame(0.0f);
  const double cpuMs = (floorpass::processCpuMs() - cpuStart) / double(state.iterations());
  const double floorStart = floorpass::processCpuMs();
  constexpr int kFloorPasses = 10;
  rig.run(1, kFloorPasses);
  const double floorMs = (floorpass::processCpuMs() - floorStart) / kFloorPasses;
  state.counters["cpu_ms"] = cpuMs;
  state.counters["floor_ms"] = floorMs;
  state.counters["over_floor"] = cpuMs / floorMs;
}
BENCHMARK(BM_SmokeFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

void BM_FluidStepOf65536Particles(benchmark::State& state) {
  Stage stage;
  sim::FluidSimulation fluid;
  if (!fluid.init()) {
    state.SkipWithError("fluid programs did not load");
    return;
  }
  for (int i = 0; i < 20; ++i) fluid.step();
  stage.device.waitIdle();
  // Every thread's CPU time a step: on the CPU driver, the step's shading work.
  const double cpuStart = floorpass::processCpuMs();
  for (auto _ : state) {
    fluid.step();
    stage.device.waitIdle();
  }
  state.counters["cpu_ms"] = (floorpass::processCpuMs() - cpuStart) / double(state.iterations());
}
BENCHMARK(BM_FluidStepOf65536Particles)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The same steps with the device drained after each dispatch group, for the CPU time of
// each: hashing, the key sort, the gather into voxel order, density, acceleration and the
// integration.
void BM_FluidStepParts(benchmark::State& state) {
  Stage stage;
  sim::FluidSimulation fluid;
  if (!fluid.init()) {
    state.SkipWithError("fluid programs did not load");
    return;
  }
  for (int i = 0; i < 20; ++i) fluid.step();
  stage.device.waitIdle();
  struct Part {
    const char* name;
    void (sim::FluidSimulation::*run)();
    double ms = 0;
  };
  Part parts[] = {{"hash_ms", &sim::FluidSimulation::hashParticles},
                  {"sort_ms", &sim::FluidSimulation::sortKeys},
                  {"gather_ms", &sim::FluidSimulation::gatherParticles},
                  {"density_ms", &sim::FluidSimulation::computeDensity},
                  {"acceleration_ms", &sim::FluidSimulation::computeAcceleration},
                  {"integrate_ms", &sim::FluidSimulation::integrate}};
  for (auto _ : state) {
    for (Part& part : parts) {
      const double start = floorpass::processCpuMs();
      (fluid.*part.run)();
      stage.device.waitIdle();
      part.ms += floorpass::processCpuMs() - start;
    }
  }
  for (const Part& part : parts) state.counters[part.name] = part.ms / double(state.iterations());
}
BENCHMARK(BM_FluidStepParts)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// A frame of the fluid operator as the player runs it, a step and the particles drawn as
// spheres into the G-buffer, with the box filling about a third of the picture's width: set
// beside the step alone above, the drawing's share.
void BM_FluidFrameWithSprites(benchmark::State& state) {
  Stage stage;
  sim::SPHOp water;
  setParam(water, "ParticleSize", 0.025f);
  float t = 0.0f;
  auto frame = [&] {
    stage.frame();
    stage.ctx.camera = stage.ctx.cameraPrev = mat::translation({0.0f, -0.5f, -4.0f});
    t += 1.0f / 60.0f;
    water.outputs[0].evaluate(t, stage.ctx);
    stage.device.waitIdle();
  };
  for (int i = 0; i < 20; ++i) frame();
  const double cpuStart = floorpass::processCpuMs();
  for (auto _ : state) frame();
  state.counters["cpu_ms"] = (floorpass::processCpuMs() - cpuStart) / double(state.iterations());
}
BENCHMARK(BM_FluidFrameWithSprites)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_ClothFrame64x64(benchmark::State& state) {
  Stage stage;
  sim::ClothOp cloth;  // defaults: 62 divisions = 64 x 64 vertices, 600 sub-steps a second
  float t = 0.0f;
  auto frame = [&] {
    stage.frame();
    t += 1.0f / 60.0f;
    cloth.outputs[0].evaluate(t, stage.ctx);
    stage.device.waitIdle();
  };
  for (int i = 0; i < 10; ++i) frame();
  for (auto _ : state) frame();
}
BENCHMARK(BM_ClothFrame64x64)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

// Frame cost of full-screen passes on an offscreen 1280 x 720 Screen, and the time to load
// programs by each road. Run from the repository root: the passes read data/shaders.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/Context.h"
#include "gfx/Device.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "scene/FrameSetup.h"

namespace fs = std::filesystem;

namespace {

RenderStateDesc opaqueState() {
  RenderStateDesc s = RenderStateDesc::zeroed();
  s.stencilReadMask = 0xFF;
  s.stencilWriteMask = 0xFF;
  return s;
}

// One frame as the player runs it: beginFrame, N full-screen passes through the
// post-process ring, the result copied onto the back buffer, present. N = 0 gives the
// fixed cost of a frame (G-buffer clears, final copy, present).
void BM_FrameOfTenFullScreenPasses(benchmark::State& state) {
  ScreenSettings settings;
  settings.width = 1280;
  settings.height = 720;
  auto screen = std::make_unique<Screen>(nullptr, settings);
  Context ctx;
  ctx.viewport = Viewport{0, 0, 1280, 720};
  initContextTargets(ctx, screen->device, screen.get());
  const RenderStateDesc opaque = opaqueState();
  const Viewport whole{0, 0, 1280, 720};
  const int64_t passes = state.range(0);

  auto frame = [&] {
    ctx.beginFrame(1280, 720, true, true);
    Texture* source = ctx.gbuffer[0];
    for (int64_t pass = 0; pass < passes; ++pass) {
      Texture* destination = nextRingTarget(ctx);
      if (destination == source) destination = nextRingTarget(ctx);
      copyPass(destination, source, whole, opaque, false);
      source = destination;
    }
    copyPass(screen->backBuffer, source, whole, opaque, true);
    screen->present();
  };
  // Warm-up: pipelines, targets, and every frame slot of the device's upload rings.
  for (int i = 0; i < 4; ++i) frame();
  screen->device->waitIdle();
  const uint64_t createdAfterWarmUp = screen->device->counters().total();

  for (auto _ : state) {
    frame();
    screen->device->waitIdle();
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["gpu_objects_created_after_warmup"] =
      double(screen->device->counters().total() - createdAfterWarmUp);

  releaseContextTargets(ctx);
  screen.reset();
  clearShaderCache();
}
BENCHMARK(BM_FrameOfTenFullScreenPasses)->Arg(10)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

// Twenty distinct programs of a typical image pass (constants, two textures, a loop).
std::string passSource(int n) {
  return "cbuffer Pass : register(b0) { float2 gRegionScale; float2 gRegionOffset; float gAmount; float4 gTint; };\n"
         "Texture2D gSource : register(t0);\nTexture2D gMask : register(t1);\n"
         "SamplerState gLinear : register(s0);\n"
         "struct V { float4 pos : SV_POSITION; float2 uv : TEXCOORD0; };\n"
         "V VS(uint id : SV_VertexID) { V o; float2 uv = float2((id << 1) & 2, id & 2);\n"
         "  o.pos = float4(uv.x * 2 - 1, 1 - uv.y * 2, 0, 1); o.uv = uv; return o; }\n"
         "float4 PS(V i) : SV_TARGET {\n"
         "  float2 uv = i.uv * gRegionScale + gRegionOffset;\n"
         "  float4 sum = 0;\n"
         "  for (int k = 0; k < " + std::to_string(4 + n % 5) + "; ++k)\n"
         "    sum += gSource.Sample(gLinear, uv + float2(k, -k) * 0.001 * gAmount);\n"
         "  float m = gMask.Sample(gLinear, uv).r;\n"
         "  return lerp(sum / " + std::to_string(4 + n % 5) + ".0, gTint, m * " + std::to_string(0.05 * n) + ");\n"
         "}\n";
}

struct LoadFixture {
  fs::path dir;
  fs::path oldDir;
  std::unique_ptr<Screen> screen;

  LoadFixture() {
    oldDir = fs::current_path();
    dir = fs::temp_directory_path() / ("zv_load_bench_" + std::to_string(::getpid()));
    fs::create_directories(dir / "data/shaders");
    fs::create_directories(dir / "data/binShaders");
    fs::current_path(dir);
    ScreenSettings settings;
    settings.width = 64;
    settings.height = 64;
    screen = std::make_unique<Screen>(nullptr, settings);
    for (int n = 0; n < 20; ++n) {
      const std::string name = "pass" + std::to_string(n);
      const std::string source = passSource(n);
      std::ofstream(dir / "data/shaders" / (name + ".hlsl")) << source;
      // The compiled road's files: name + entry + stage suffix, raw SPIR-V.
      for (auto [stage, entry] : {std::pair<uint32_t, const char*>{0, "VS"}, {4, "PS"}}) {
        auto blob = compileShader(stage, kStageProfile[stage], source, entry);
        std::ofstream(dir / "data/binShaders" / (name + entry + kStageSuffix[stage]), std::ios::binary)
            .write(static_cast<const char*>(blob->bytes()), std::streamsize(blob->byteSize()));
      }
    }
  }
  ~LoadFixture() {
    clearShaderCache();
    screen.reset();
    fs::current_path(oldDir);
    fs::remove_all(dir);
  }
};

void loadTwenty(benchmark::State& state, bool compiled) {
  LoadFixture fixture;
  for (auto _ : state) {
    clearShaderCache();  // every iteration is a cold start of the process-wide cache
    std::vector<std::unique_ptr<ShaderProgram>> programs;
    for (int n = 0; n < 20; ++n) {
      const std::string name = "pass" + std::to_string(n);
      auto p = std::make_unique<ShaderProgram>(fixture.screen->device);
      const bool ok = compiled ? loadProgramBinary(name.c_str(), EntryPoints::vsps("VS", "PS"), p.get())
                               : loadProgram(name.c_str(), EntryPoints::vsps("VS", "PS"), p.get());
      if (!ok) state.SkipWithError("program failed to load");
      programs.push_back(std::move(p));
    }
    benchmark::DoNotOptimize(programs.data());
  }
  state.counters["programs_per_s"] = benchmark::Counter(20.0 * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_LoadTwentyProgramsFromSources(benchmark::State& state) { loadTwenty(state, false); }
void BM_LoadTwentyProgramsCompiled(benchmark::State& state) { loadTwenty(state, true); }
BENCHMARK(BM_LoadTwentyProgramsFromSources)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadTwentyProgramsCompiled)->Unit(benchmark::kMillisecond)->UseRealTime();

// A start as far as pipelines go: a Device on the pipeline cache file (none when cold, the
// previous start's when warm), twenty programs drawn once each (one pipeline apiece), and
// the Device closed, which writes the file. Shader compilation is outside: the blobs stay
// in the process-wide cache between starts.
void startWithTwenty(benchmark::State& state, bool warm) {
  LoadFixture fixture;
  const fs::path cacheFile = fixture.dir / "pipelines.bin";
  auto start = [&] {
    DeviceOptions options;
    options.pipelineCachePath = cacheFile.string();
    Device device(options);
    TextureDesc desc;
    desc.flags = 0x10009;
    desc.format = 0x10204;
    desc.width = desc.height = 64;
    Texture* target = createTexture(&device, desc, nullptr);
    RenderPass pass;
    pass.colourTargets[0] = target;
    pass.rect[2] = pass.rect[3] = 64;
    pass.width = pass.height = 64;
    bindRenderPass(&device, pass);
    std::vector<std::unique_ptr<ShaderProgram>> programs;
    for (int n = 0; n < 20; ++n) {
      auto p = std::make_unique<ShaderProgram>(&device);
      if (!loadProgram(("pass" + std::to_string(n)).c_str(), EntryPoints::vsps("VS", "PS"), p.get()))
        state.SkipWithError("program failed to load");
      drawStrip(p.get(), 3);
      programs.push_back(std::move(p));
    }
    device.waitIdle();
    programs.clear();
    deleteTexture(target);
  };
  start();  // compiles the shaders once; leaves a cache file behind
  for (auto _ : state) {
    if (!warm) fs::remove(cacheFile);
    start();
  }
}

void BM_StartWithTwentyPipelinesCold(benchmark::State& state) { startWithTwenty(state, false); }
void BM_StartWithTwentyPipelinesWarm(benchmark::State& state) { startWithTwenty(state, true); }
BENCHMARK(BM_StartWithTwentyPipelinesCold)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_StartWithTwentyPipelinesWarm)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

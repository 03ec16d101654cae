// Loading the largest model of assimp-testmodels (by triangles: BLEND/yxa_1.blend, about
// 58,000 vertices and 116,000 triangles): Assimp's reading and our conversion alone, and
// the whole load with its GPU buffers. And one frame of 10,000 copies of a sub-mesh drawn
// by "ReplicateInst" into the G-buffer at 1280 x 720 on an offscreen Screen (a box, and the
// duck of the Collada folder). Run from the repository root: the passes read data/shaders.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

#include "engine/Globals.h"
#include "engine/Project.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "scene/FrameSetup.h"
#include "scene/InstancedMeshes.h"
#include "scene/MeshImport.h"
#include "scene/ModelReader.h"
#include "scene/Operators.h"
#include "scene/SceneContext.h"

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 720;
const std::string kModels = "/usr/share/assimp/models/";
const std::string kLargest = kModels + "BLEND/yxa_1.blend";

bool haveModels(benchmark::State& state) {
  if (std::filesystem::exists(kLargest)) return true;
  state.SkipWithError("assimp-testmodels is not installed");
  return false;
}

std::unique_ptr<Screen> offscreen() {
  ScreenSettings settings;
  settings.width = kWidth;
  settings.height = kHeight;
  return std::make_unique<Screen>(nullptr, settings);
}

void BM_ReadLargestModel(benchmark::State& state) {
  if (!haveModels(state)) return;
  size_t vertices = 0, triangles = 0;
  for (auto _ : state) {
    std::vector<ModelPart> parts;
    readModelFile(kLargest, {}, parts);
    vertices = triangles = 0;
    for (const ModelPart& p : parts) vertices += p.vertices.size(), triangles += p.indices.size() / 3;
  }
  state.counters["vertices"] = double(vertices);
  state.counters["triangles"] = double(triangles);
}
BENCHMARK(BM_ReadLargestModel)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LoadLargestModelWithBuffers(benchmark::State& state) {
  if (!haveModels(state)) return;
  auto screen = offscreen();
  for (auto _ : state) {
    SubMeshList list = LoadMeshFile(kLargest, MeshImportOptions::forOperators(), false, screen->device);
    screen->device->waitIdle();
    benchmark::DoNotOptimize(list.data());
  }
  screen.reset();
}
BENCHMARK(BM_LoadLargestModelWithBuffers)->Unit(benchmark::kMillisecond)->UseRealTime();

// 10,000 copies scattered in a ball, seen from outside; argument 0 a box, 1 the duck.
void BM_FrameOf10000Instances(benchmark::State& state) {
  if (!haveModels(state)) return;
  registerSceneOperators();
  auto screen = offscreen();
  useBinaryShaders = false;
  isLoading = false;
  Context ctx;
  ctx.viewport = Viewport{0, 0, int32_t(kWidth), int32_t(kHeight)};
  initContextTargets(ctx, screen->device, screen.get());
  initSceneContext(ctx, screen->device);
  auto graph = std::make_unique<OperatorGraph>();
  graph->createGraphEnds();
  Operator& op = *graph->createOperator("ReplicateInst");
  auto set = [&](const char* name, float v) { static_cast<Float*>(op.findPort(name)->source->value())->value = v; };
  const bool duck = state.range(0) == 1;
  static_cast<Text*>(op.findPort("Filepath")->source->value())->value =
      kModels + (duck ? "Collada/duck.dae" : "PLY/cube.ply");
  set("Count", 10000);
  set("Mode", 3);  // spherical
  set("Radius", 12);
  set("RotateRandom.Y", 180);
  set("SizeRandom", 0.5f);
  const Float4x4 camera = mat::rotationEulerDegrees({20, 0, 0}) * mat::translation({0, 10, -30});
  const Viewport whole{0, 0, int32_t(kWidth), int32_t(kHeight)};
  auto frame = [&] {
    ctx.viewport = whole;
    beginFrame(ctx, kWidth, kHeight, true, true);
    ctx.camera = ctx.cameraPrev = camera;
    ctx.world = ctx.worldPrev = duck ? mat::scaling({0.2f, 0.2f, 0.2f}) : mat::scaling({20, 20, 20});
    op.outputs[0].evaluate(0.0f, ctx);
    screen->present();  // ends the frame: its ring of per-frame uploads is reused from here on
  };
  // Several frames: the first ones still meet target combinations they have not drawn into.
  for (int i = 0; i < 8; ++i) frame();
  screen->device->waitIdle();
  const uint64_t created = screen->device->counters().total();
  const uint64_t draws = screen->device->counters().draws;
  for (auto _ : state) {
    frame();
    screen->device->waitIdle();
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["draws_per_frame"] = double(screen->device->counters().draws - draws) / double(state.iterations());
  state.counters["gpu_objects_created_after_warmup"] = double(screen->device->counters().total() - created);
  graph.reset();
  clearMeshCache();
  releaseSceneContext(ctx);
  releaseContextTargets(ctx);
  screen.reset();
  clearShaderCache();
}
BENCHMARK(BM_FrameOf10000Instances)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

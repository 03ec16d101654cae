// A scene of 1,000 primitives: one frame of it drawn through "Forward" at 1280 x 720 on an
// offscreen Screen (frame setup, 1,000 mesh draws, the copy to the back buffer, present),
// and the scene traversal alone on the CPU (every operator evaluated and each leaf's
// per-object constants computed, nothing submitted). Run from the repository root: the
// passes read data/shaders.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "engine/Globals.h"
#include "engine/Project.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "image/Operators.h"
#include "scene/FrameSetup.h"
#include "scene/GBufferRenderer.h"
#include "scene/Operators.h"
#include "scene/SceneContext.h"

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 720;

Operator& make(OperatorGraph& g, const char* type) { return *g.createOperator(type); }
void set(Operator& op, const char* name, float v) { static_cast<Float*>(op.findPort(name)->source->value())->value = v; }
void connect(OperatorGraph& g, Operator& from, Operator& to, const char* input) {
  g.connect(from, from.outputs[0].name, to, input);
}

// What a leaf costs on the CPU before submission: the per-object constants of its draw.
class ConstantsLeaf : public Operator {
 public:
  ConstantsLeaf() : Operator(CategoryGeometry) {
    addOutput("OutScene", PortType::Scene, std::make_unique<Fn>());
    linkOutput();
  }
  struct Fn : Function {
    void evaluate(float, const std::vector<Port*>&, Context& ctx) override {
      const ObjectConstants c = computeObjectConstants(ctx);
      benchmark::DoNotOptimize(c);
    }
  };
};

// Camera <- Group <- { Replicate 1,000 (points in a ball, random size and turn) <- Transform <-
// leaf }, the leaf a Cube or the constants-only stand-in. Returns the camera.
Operator& buildScene(OperatorGraph& g, Operator* leaf) {
  Operator& cam = make(g, "TargetCamera");
  set(cam, "CamOffset.Z", -14);
  set(cam, "Pitch", 20);
  set(cam, "Yaw", 30);
  Operator& rep = make(g, "Replicate");
  set(rep, "Count", 1000);
  set(rep, "Mode", 1);
  set(rep, "Radius", 6);
  set(rep, "SizeRandom", 0.5f);
  set(rep, "RotateRandom.Y", 180);
  Operator& tr = make(g, "Transform");
  set(tr, "Scale.X", 0.25f), set(tr, "Scale.Y", 0.25f), set(tr, "Scale.Z", 0.25f);
  set(tr, "Rotation.X", 30);
  connect(g, *leaf, tr, "InScene");
  connect(g, tr, rep, "InScene");
  connect(g, rep, cam, "InScene");
  return cam;
}

void BM_ForwardFrameOf1000Cubes(benchmark::State& state) {
  registerSceneOperators();
  registerImageOperators();
  ScreenSettings settings;
  settings.width = kWidth;
  settings.height = kHeight;
  auto screen = std::make_unique<Screen>(nullptr, settings);
  useBinaryShaders = false;
  isLoading = false;
  Context ctx;
  ctx.viewport = Viewport{0, 0, int32_t(kWidth), int32_t(kHeight)};
  initContextTargets(ctx, screen->device, screen.get());
  initSceneContext(ctx, screen->device);

  auto graph = std::make_unique<OperatorGraph>();
  graph->createGraphEnds();
  Operator& cam = buildScene(*graph, &make(*graph, "Cube"));
  Operator& image = make(*graph, "Image");
  set(image, "Clear.A", 1);
  Operator& fwd = make(*graph, "Forward");
  static_cast<Text*>(fwd.findPort("Shader")->source->value())->value = "data/shaders/forward/headlight.hlsl";
  connect(*graph, image, fwd, "ImageIn");
  connect(*graph, cam, fwd, "SceneIn");

  RenderStateDesc opaque = RenderStateDesc::zeroed();
  opaque.stencilReadMask = opaque.stencilWriteMask = 0xFF;
  const Viewport whole{0, 0, int32_t(kWidth), int32_t(kHeight)};
  float t = 0;
  auto frame = [&] {
    ctx.viewport = whole;
    beginFrame(ctx, kWidth, kHeight, true, true);
    ctx.imageResult = nullptr;
    fwd.outputs[0].evaluate(t, ctx);
    if (ctx.imageResult) copyPass(screen->backBuffer, ctx.imageResult, whole, opaque, true);
    screen->present();
    t += 1.0f / 60.0f;
  };
  for (int i = 0; i < 3; ++i) frame();
  screen->device->waitIdle();
  const uint64_t created = screen->device->counters().total();
  for (auto _ : state) {
    frame();
    screen->device->waitIdle();
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["gpu_objects_created_after_warmup"] = double(screen->device->counters().total() - created);

  graph.reset();
  releaseSceneContext(ctx);
  releaseContextTargets(ctx);
  screen.reset();
  clearShaderCache();
}
BENCHMARK(BM_ForwardFrameOf1000Cubes)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_SceneTraversalOf1000Primitives(benchmark::State& state) {
  registerSceneOperators();
  auto graph = std::make_unique<OperatorGraph>();
  graph->createGraphEnds();
  auto leaf = std::make_unique<ConstantsLeaf>();
  leaf->id = graph->nextId++;
  Operator* leafOp = leaf.get();
  graph->operators.push_back(std::move(leaf));
  Operator& cam = buildScene(*graph, leafOp);
  Context ctx;
  ctx.viewport = Viewport{0, 0, int32_t(kWidth), int32_t(kHeight)};
  float t = 0;
  for (auto _ : state) {
    cam.outputs[0].evaluate(t, ctx);
    t += 1.0f / 60.0f;
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_SceneTraversalOf1000Primitives)->Unit(benchmark::kMicrosecond);

}  // namespace

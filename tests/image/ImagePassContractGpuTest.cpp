// The shader contract of every program the compositing, generator, screen-space and
// recording operators run: each constant they write exists in the program's buffer with
// the size written, and each texture, sampler and unordered-access view they bind is
// declared in that slot with a fitting kind (structured buffers with the element size
// the buffer has). A constant or slot the shader lacks would be skipped silently.
#include <set>

#include "gfx/ShaderProgram.h"
#include "gfx/hlsl/HlslCompiler.h"
#include "image/ImagePass.h"
#include "image/PostProcessManager.h"
#include "tests/image/DepthRecordingTestSupport.h"
#include "tests/image/ImageOpTestSupport.h"

class ImagePassContractGpuTest : public ImageOpGpuTest {
 protected:
  ImagePassContractGpuTest() : ImageOpGpuTest(32) {}

  Operator& picture(const std::string& name = {}) { return pictureOp(uniform({0.6f, 0.5f, 0.4f, 1}), name); }
  // Output 0 of `from` (whatever its name) into `input` of `to`.
  void chain(Operator& from, Operator& to, const std::string& input = "ImageIn") {
    ASSERT_TRUE(graph.connect(from, from.outputs[0].name, to, input)) << input;
  }
  Operator& with(const std::string& type, std::initializer_list<const char*> imageInputs) {
    Operator& op = effect(type);
    for (const char* in : imageInputs) feed(picture(), op, in);
    return op;
  }
};

TEST_F(ImagePassContractGpuTest, EveryProgramDeclaresWhatItsOperatorWrites) {
  depthtest::TempFile recording("contract.xed");
  recording.write(depthtest::xed(1, 0, [](int, uint32_t i) { return uint16_t(i); }));

  ProgramTrace trace;
  imagepass::trace = &trace;
  manager->buildVelocityTiles(*context.targets->gbuffer, context.viewport);
  std::vector<Operator*> ops = {
      &with("Blend", {"ImageA", "ImageB", "ImageMask"}), &with("MaskImage", {"ImageIn", "Mask"}),
      &with("Sprite", {"ImageIn", "Texture"}),           &with("Radial", {"ImageIn"}),
      &with("Gradient", {"ImageIn"}),                    &with("Engraver", {"ImageIn", "NormalDepthIn"}),
      &with("Fog", {"ImageIn"}),                         &with("SSR", {"InImage"}),
      &with("PixelSorting", {"ImageIn"}),                &with("SSFluids", {"ImageIn", "MaskIn"}),
  };
  setParam(*ops[8], "Vertical", 1);
  setParam(*ops[5], "DistortionType", 2);
  for (const char* file : {"plasma", "tunnel", "logo"}) {
    Operator& shader = with("ImageShader", {"ImageIn"});
    setText(shader, "Filepath", std::string("data/shaders/imageShaders/") + file + ".hlsl");
    ops.push_back(&shader);
  }
  Operator& xed = effect("XEDDepth");
  setText(xed, "File", recording.path);
  setText(xed, "Shader", "data/shaders/custom/kinect.hlsl");
  ops.push_back(&xed);
  for (Operator* op : ops) ASSERT_NE(runOn(*op, uniform({0, 0, 0, 1}), 0.5f), nullptr) << op->type;
  imagepass::trace = nullptr;

  // blend, mask, sprite, radial, gradient, engraver, fog, ssr's two block passes, ssr, ssrBlur,
  // ssr's composite, the two sorting programs, the four FFT passes, five fluid programs, three
  // image shaders, kinect.
  const std::set<const ShaderProgram*> ran(trace.runs.begin(), trace.runs.end());
  EXPECT_EQ(ran.size(), 27u);

  ASSERT_FALSE(trace.constants.empty());
  for (const ProgramTrace::Constant& c : trace.constants) {
    const ConstantBuffer* cb = c.program->constantBuffer(c.buffer);
    ASSERT_NE(cb, nullptr) << c.name << ": no buffer b" << c.buffer;
    const ConstantBuffer::Variable* v = cb->find(c.name.c_str());
    ASSERT_NE(v, nullptr) << "the program lacks " << c.name;
    EXPECT_EQ(v->size, c.bytes) << c.name;
  }
  using Kind = hlsl::ResourceKind;
  auto declared = [](const ProgramTrace::Slot& s, std::initializer_list<Kind> kinds) -> const hlsl::ResourceBinding* {
    const gfxbackend::Shader* shader = s.program->shaders[s.stage];
    if (!shader) return nullptr;
    for (const hlsl::ResourceBinding& r : shader->reflection.resources)
      for (Kind k : kinds)
        if (r.kind == k && r.reg == s.slot) return &r;
    return nullptr;
  };
  for (const auto& s : trace.textures) {
    const hlsl::ResourceBinding* r = declared(s, {Kind::Texture, Kind::StructuredBuffer});
    ASSERT_NE(r, nullptr) << "stage " << s.stage << " t" << s.slot;
    if (r->kind == Kind::StructuredBuffer) {
      EXPECT_EQ(r->structStride * 8, s.resource->desc.bitsPerPixel) << r->name;
    }
  }
  for (const auto& s : trace.samplers) EXPECT_NE(declared(s, {Kind::Sampler}), nullptr) << "stage " << s.stage << " s" << s.slot;
  for (const auto& s : trace.uavs) {
    const hlsl::ResourceBinding* r = declared(s, {Kind::RWTexture, Kind::RWStructuredBuffer});
    ASSERT_NE(r, nullptr) << "u" << s.slot;
    if (r->kind == Kind::RWStructuredBuffer) {
      EXPECT_EQ(r->structStride * 8, s.resource->desc.bitsPerPixel) << r->name;
    }
  }
}

TEST_F(ImagePassContractGpuTest, AWarmedUpFrameCreatesNoGpuObject) {
  Operator& fog = with("Fog", {"ImageIn"});
  Operator& ssr = effect("SSR");
  chain(fog, ssr, "InImage");
  Operator& sorting = effect("PixelSorting");
  chain(ssr, sorting);
  Operator& fluid = effect("SSFluids");
  chain(sorting, fluid);
  Operator& blend = effect("Blend");
  chain(fluid, blend, "ImageA");
  Operator& radial = effect("Radial");
  chain(radial, blend, "ImageB");
  Operator& sprite = effect("Sprite");
  chain(blend, sprite);
  Texture* canvas = uniform({0, 0, 0, 1});
  auto frame = [&](int i) {
    context.beginFrame(32, 32, true, true);
    manager->buildVelocityTiles(*context.targets->gbuffer, context.viewport);
    return runOn(sprite, canvas, float(i) / 60.0f);
  };
  // The ring's three images take turns in each role, so three frames meet them all.
  for (int i = 0; i < 3; ++i) ASSERT_NE(frame(i), nullptr);
  device()->waitIdle();
  const GpuCounters before = device()->counters();

  ProgramTrace trace;
  imagepass::trace = &trace;
  for (int i = 3; i < 6; ++i) ASSERT_NE(frame(i), nullptr);
  imagepass::trace = nullptr;
  device()->waitIdle();
  const GpuCounters after = device()->counters();
  EXPECT_EQ(after.total(), before.total()) << "images " << after.images - before.images << ", views "
                                           << after.imageViews - before.imageViews << ", buffers "
                                           << after.buffers - before.buffers << ", pipelines "
                                           << after.pipelines - before.pipelines << ", memory "
                                           << after.memoryAllocations - before.memoryAllocations;
  EXPECT_GT(after.draws, before.draws);
  // The steady frames did draw: fog, ssr's two block passes, ssr, ssrBlur, ssr's composite,
  // the two sorting programs, the fluid's nine, blend, radial and sprite.
  const std::set<const ShaderProgram*> ran(trace.runs.begin(), trace.runs.end());
  EXPECT_EQ(ran.size(), 20u);
}

// The manager as a whole: its start-up, the shader contract of every program (what each
// pass writes exists in the program with the size written), and a steady frame that
// creates no GPU object.
#include <set>

#include "engine/CrtRand.h"
#include "gfx/ConstantWriter.h"
#include "gfx/hlsl/HlslCompiler.h"
#include "gfx/ShaderProgram.h"
#include "tests/image/PostTestSupport.h"

class PostProcessManagerGpuTest : public PostGpuTest {
 protected:
  PostProcessManagerGpuTest() : PostGpuTest(16) {}

  // Every pass once, directly, with pictures, a mask and velocity tiles.
  void runEveryPass() {
    Texture* source = uniform({0.5f, 0.4f, 0.3f, 1});
    Texture* mask = uniform({1, 1, 1, 1});
    Texture* out = texture(format::RGBA16F, 16, 16, 0x10049);
    const Viewport vp{2, 2, 14, 14};
    PostProcessManager& m = *manager;
    m.buildVelocityTiles(*context.targets->gbuffer, vp);
    Texture* tiles = context.targets->gbuffer->velocityTiles;
    m.applyDOF(source, out, vp, context.frameDepthTarget, 0.1f, 100.0f);
    m.applyFXAA(source, out, vp);
    m.fxaa.overBlocks = false;  // the one pass over every pixel
    m.applyFXAA(source, out, vp);
    m.fxaa.overBlocks = true;
    m.applyToneMapping(source, out, vp);
    m.toneMapping.sharpen = 0.5f;  // the sharpening program
    m.applyToneMapping(source, out, vp);
    m.toneMapping.sharpen = 0.0f;
    m.ssao.farPlane = 100.0f;
    m.ssao.fieldOfView = 45.0f;
    m.applySSAO(source, out, vp, context.gbuffer[1], context.projection);
    m.applyBloom(source, out, vp);
    m.applyGaussBlur(source, out, vp);
    m.applyInvert(source, out, vp, mask);
    m.applyFeedback(source, out, vp, 1.0f);
    m.applyGrain(source, out, vp, 1.0f, 0.5f, 0.8f);
    m.applyRadialBlur(source, out, vp);
    m.applyMotionBlur(source, out, vp, tiles, mask);
    m.applyColorCorrection(source, out, vp);
    m.colorCorrection.pow.y = 0.8f;  // the program with powers
    m.applyColorCorrection(source, out, vp);
    m.colorCorrection.pow.y = 1.0f;
    m.applyCCSplitToning(source, mask, out, vp);
    m.applyCCTone(source, mask, out, vp);
    m.applyCCColor(source, mask, out, vp);
    m.ccColor.ranges[CCBlue].x = 30.0f;  // ranges turning the hue differently: the per-pixel turn
    m.applyCCColor(source, mask, out, vp);
    m.ccColor.ranges[CCBlue].x = 0.0f;
    m.applyCCHSL(source, mask, out, vp);
  }
};

TEST_F(PostProcessManagerGpuTest, EveryProgramCompilesAndDeclaresWhatItsPassWrites) {
  const std::vector<const PassProgram*> programs = manager->programs();
  EXPECT_EQ(programs.size(), 42u);
  for (const PassProgram* p : programs) {
    ASSERT_NE(p->get(), nullptr) << p->file << " " << p->pixelEntry;
    EXPECT_NE(p->get()->shaders[hlsl::Vertex], nullptr) << p->file;
    EXPECT_NE(p->get()->shaders[hlsl::Pixel], nullptr) << p->file;
  }
  auto name = [&](const ShaderProgram* program) {
    for (const PassProgram* p : programs)
      if (p->get() == program) return std::string(p->file) + ":" + p->pixelEntry;
    return std::string("?");
  };

  ProgramTrace trace;
  manager->trace = &trace;
  runEveryPass();
  manager->trace = nullptr;

  ASSERT_FALSE(trace.constants.empty());
  for (const ProgramTrace::Constant& c : trace.constants) {
    const ConstantBuffer* cb = c.program->constantBuffer(c.buffer);
    ASSERT_NE(cb, nullptr) << name(c.program) << " has no constant buffer for " << c.name;
    const ConstantBuffer::Variable* v = cb->find(c.name.c_str());
    ASSERT_NE(v, nullptr) << name(c.program) << " lacks " << c.name;
    EXPECT_EQ(v->size, c.bytes) << name(c.program) << " " << c.name;
  }
  auto declares = [](const ProgramTrace::Slot& s, hlsl::ResourceKind kind) {
    const gfxbackend::Shader* shader = s.program->shaders[s.stage];
    if (!shader) return false;
    for (const hlsl::ResourceBinding& r : shader->reflection.resources)
      if (r.kind == kind && r.reg == s.slot) return true;
    return false;
  };
  for (const ProgramTrace::Slot& t : trace.textures)
    EXPECT_TRUE(declares(t, hlsl::ResourceKind::Texture)) << name(t.program) << " stage " << t.stage << " t" << t.slot;
  for (const ProgramTrace::Slot& s : trace.samplers)
    EXPECT_TRUE(declares(s, hlsl::ResourceKind::Sampler)) << name(s.program) << " s" << s.slot;

  // Every program is drawn by some pass, except the camera-velocity one, which is kept for
  // pictures without a velocity image.
  std::set<const ShaderProgram*> drawn(trace.runs.begin(), trace.runs.end());
  for (const PassProgram* p : programs)
    if (p != &manager->motionBlur.velocityFromView) {
      EXPECT_TRUE(drawn.count(p->get())) << name(p->get());
    }
}

TEST_F(PostProcessManagerGpuTest, AWarmedUpChainCreatesNoGpuObject) {
  registerImageOperators();
  Operator* last = &pictureOp(uniform({0.5f, 0.4f, 0.3f, 1}));
  Operator& mask = pictureOp(uniform({1, 1, 1, 1}));
  for (const char* type : {"SSAO", "Bloom", "DOF", "MotionBlur", "GaussBlur", "RadialBlur", "Invert", "Feedback",
                           "Grain", "ToneMapping", "FXAA", "ColorCorrection", "CCSplitToning", "CCColor", "CCHSL",
                           "CCTone"}) {
    Operator& op = effect(type);
    feed(*last, op);
    if (op.findPort("MaskIn")) feed(mask, op, "MaskIn");
    last = &op;
  }
  auto frame = [&] {
    context.beginFrame(16, 16, true, true);
    manager->buildVelocityTiles(*context.targets->gbuffer, context.viewport);
    return run(*last);
  };
  for (int i = 0; i < 3; ++i) ASSERT_NE(frame(), nullptr);
  device()->waitIdle();
  const uint64_t created = device()->counters().total();
  for (int i = 0; i < 3; ++i) frame();
  device()->waitIdle();
  EXPECT_EQ(device()->counters().total(), created);

  // A new viewport size re-makes the motion-blur targets, and only those.
  context.viewport = Viewport{0, 0, 12, 12};
  const uint64_t images = device()->counters().images;
  frame();
  device()->waitIdle();
  EXPECT_EQ(manager->motionBlur.half->width(), 6u);
  EXPECT_EQ(manager->motionBlur.quarter->width(), 3u);
  EXPECT_EQ(context.targets->gbuffer->velocityTiles->width(), 3u);
  EXPECT_EQ(device()->counters().images - images, 3u);
}

// Tone mapping, colour correction and the hue ranges pick one of two programs from values an
// author may animate: a warm-up with one choice prepares the other, so crossing over later
// makes no pipeline in the middle of the show.
TEST_F(PostProcessManagerGpuTest, AWarmUpPreparesTheProgramsAPassPicksFromItsValues) {
  Texture* source = uniform({0.5f, 0.4f, 0.3f, 1});
  Texture* out = texture(format::RGBA16F, 16, 16, 0x10049);
  const Viewport vp{0, 0, 16, 16};
  PostProcessManager& m = *manager;
  auto passes = [&](bool other) {
    m.toneMapping.sharpen = other ? 0.5f : 0.0f;
    m.colorCorrection.pow.y = other ? 0.8f : 1.0f;
    m.ccColor.ranges[CCBlue].x = other ? 30.0f : 0.0f;
    m.applyToneMapping(source, out, vp);
    m.applyColorCorrection(source, out, vp);
    m.applyCCColor(source, nullptr, out, vp);
    device()->waitIdle();
    return device()->counters().pipelines;
  };
  isLoading = true;
  passes(false);
  isLoading = false;
  const uint64_t warm = passes(false);
  EXPECT_EQ(passes(true), warm);
  m.toneMapping.sharpen = 0.0f;
  m.colorCorrection.pow.y = 1.0f;
  m.ccColor.ranges[CCBlue].x = 0.0f;
}

TEST_F(PostProcessManagerGpuTest, StartUpLogsEveryBlockAndDrawsTheSSAORandomDataFromRand) {
  crtSrand(1);  // as at start-up: nothing has drawn yet
  testing::internal::CaptureStderr();
  PostProcessManager second;
  second.init(device(), screen());
  const uint32_t afterStartUp = crtRandState();
  const std::string logged = testing::internal::GetCapturedStderr();
  EXPECT_EQ(gPostProcessManager, &second);

  std::string initLines;
  for (size_t at = 0; (at = logged.find("Initializing", at)) != std::string::npos;) {
    const size_t end = logged.find('\n', at);
    initLines += logged.substr(at, end - at + 1);
    at = end;
  }
  EXPECT_EQ(initLines,
            "Initializing PostProcessManager\nInitializing DOF\nInitializing FXAA\nInitializing Tonemapping\n"
            "Initializing SSAO\nInitializing Bloom\nInitializing GaussBlur\nInitializing Invert\n"
            "Initializing Feedback\nInitializing Grain\nInitializing ColorCorrection\nInitializing CCSplitToning\n"
            "Initializing CCTone\nInitializing CCColor\nInitializing CCHSL\nInitializing RadialBlur\n"
            "Initializing MotionBlur\nInitializing SSFluids\nInitializing PostProcessManager done\n");

  // Sixty-four texel bytes in R, G, B, A order, then one length per offset vector. The C
  // runtime's first draws are 41, 18467, 6334, 26500: the first texel is (0, 143, 49, 206).
  const std::vector<uint8_t> stored = readBack(second.ssao.randomVectors);
  ASSERT_EQ(stored.size(), 64u);
  EXPECT_EQ(stored[0], 0);
  EXPECT_EQ(stored[1], 143);
  EXPECT_EQ(stored[2], 49);
  EXPECT_EQ(stored[3], 206);
  crtSrand(1);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(stored[i], uint8_t(int(float(crtRand()) * 0.00778222f))) << i;
  const float directions[14][3] = {{1, 1, 1},   {-1, -1, -1}, {-1, 1, 1}, {1, -1, -1}, {1, 1, -1},
                                   {-1, -1, 1}, {-1, 1, -1},  {1, -1, 1}, {-1, 0, 0}, {1, 0, 0},
                                   {0, -1, 0},  {0, 1, 0},    {0, 0, -1}, {0, 0, 1}};
  for (int i = 0; i < 14; ++i) {
    const float length = 0.12f + float(crtRand()) * 1.1597033e-05f;
    EXPECT_TRUE(length >= 0.12f && length <= 0.5f) << i;
    const float* d = directions[i];
    const float norm = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    const Float4 o = second.ssao.offsets[i];
    EXPECT_NEAR(o.x, d[0] / norm * length, 1e-6f) << i;
    EXPECT_NEAR(o.y, d[1] / norm * length, 1e-6f) << i;
    EXPECT_NEAR(o.z, d[2] / norm * length, 1e-6f) << i;
    EXPECT_EQ(o.w, 0.0f);
  }
  // The generator is the one graph ids and break-ups draw from: they go on after these 78 draws.
  EXPECT_EQ(crtRandState(), afterStartUp);
}

TEST_F(PostProcessManagerGpuTest, DOFWithTheFocalPlaneAtTheFocalLengthStaysSharp) {
  // Both circle-of-confusion constants divide by (focal plane - focal length).
  Texture* source = uniform({0.3f, 0.6f, 0.9f, 1});
  Texture* out = texture(format::RGBA16F, 16, 16, 0x10049);
  manager->dof.focalLength = 1.0f;
  manager->dof.focalPlane = 1.0f;
  manager->applyDOF(source, out, Viewport{0, 0, 16, 16}, context.frameDepthTarget, 0.1f, 100.0f);
  for (const Pixel& p : pixels(out)) ASSERT_NEAR(p.g, 0.6f, 1e-3f);
}

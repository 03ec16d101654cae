// Image chains run as the player runs a production, on a 16 x 16 screen: every operator
// once at the warm-up (loading flag set, pooled targets handed back after each), then
// frames that begin with a fresh ring whose first image is the picture, drawn through the
// timeline. What only shows this way: pooled targets that keep what the warm-up drew, the
// ring's images coming round again, operators that run once per frame.
#include <algorithm>
#include <cmath>
#include <memory>

#include "engine/Globals.h"
#include "image/SlotTable.h"
#include "tests/image/DepthRecordingTestSupport.h"
#include "tests/image/ImageOpTestSupport.h"

namespace {

using posttest::Pixel;

// A user's image shader: its input tinted by Param1. Like most such files it divides by
// the resolution, so run without its constants it draws NaN.
constexpr const char* kTintShader = R"(#include "data/shaders/common/imageShader.hlsli"
float4 PS(float4 pos : SV_Position, float2 uv : TEXCOORD0) : SV_Target
{
    float square = gResolution.x / gResolution.y;
    return float4(inputAt(uv).rgb * gParam1.xyz * square, 1.0);
}
)";

float maxDiff(Pixel a, Pixel b) {
  return std::max({std::fabs(a.r - b.r), std::fabs(a.g - b.g), std::fabs(a.b - b.b), std::fabs(a.a - b.a)});
}

class ProductionFramesGpuTest : public ImageOpGpuTest {
 protected:
  ProductionFramesGpuTest() : ImageOpGpuTest(16) {}

  void SetUp() override {
    ImageOpGpuTest::SetUp();
    registerEngineOperators();
    SlotTable::instance().clear();
    project = std::make_unique<Project>();  // one graph, shown from 0 to 60 s
    loading = uniform({0, 0, 0, 1});
  }
  void TearDown() override {
    device()->waitIdle();
    project.reset();
    setCurrentProject(nullptr);
    SlotTable::instance().clear();
    isLoading = false;
    ImageOpGpuTest::TearDown();
  }

  OperatorGraph& shown() { return *project->graphs.at(0); }
  Operator& op(const std::string& type) { return make(shown(), type); }
  void link(Operator& from, Operator& to, const std::string& input) {
    ASSERT_TRUE(shown().connect(from, from.outputs.at(0).name, to, input)) << input;
  }
  void show(Operator& last) { link(last, *shown().finalOutput(), "In"); }

  void warmUp() {
    isLoading = true;
    context.imageResult = loading;
    ::warmUp(*project, context, [&](Operator&, size_t, size_t) {
      releaseAllTargets(context);
      context.imageResult = loading;
    });
    isLoading = false;
  }
  // One frame at production time t; the picture it leaves.
  Texture* frame(float t) {
    context.viewport = Viewport{0, 0, int32_t(size()), int32_t(size())};
    context.beginFrame(size(), size(), true, true);
    context.imageResult = nextRingTarget(context);
    float local = t;
    if (!project->evaluate(local, context)) return nullptr;
    return context.imageResult;
  }

  std::unique_ptr<Project> project;
  Texture* loading = nullptr;
};

TEST_F(ProductionFramesGpuTest, EffectsAfterABlendShowTheComposite) {
  depthtest::TempFile shaderFile("tint.hlsl");
  shaderFile.write(kTintShader);
  const Pixel top{0.2f, 0.4f, 0.8f, 1}, bottom{0.8f, 0.4f, 0.2f, 1}, rim{0.5f, 0.5f, 0.5f, 1};
  const float tint[3] = {1.0f, 0.5f, 1.0f};
  // The composite by the formulas of the two ramps (vertical gradient, centred radial ramp
  // from white at radius 0.25 to `rim` at 0.75), multiplied.
  auto expected = [&](uint32_t x, uint32_t y) {
    const float px = (float(x) + 0.5f) / 8.0f - 1.0f, py = (float(y) + 0.5f) / 8.0f - 1.0f;
    const float down = std::clamp((py + 1.0f) * 0.5f, 0.0f, 1.0f);
    const float out = std::clamp((std::sqrt(px * px + py * py) - 0.25f) / 0.5f, 0.0f, 1.0f);
    const float v = 1.0f + (rim.r - 1.0f) * out;
    return Pixel{(top.r + (bottom.r - top.r) * down) * tint[0] * v, (top.g + (bottom.g - top.g) * down) * tint[1] * v,
                 (top.b + (bottom.b - top.b) * down) * tint[2] * v, 1};
  };

  // Gradient -> ImageShader as "ImageA", Radial as "ImageB", Blend (Mul), optionally an
  // Image that keeps its target uncleared, then a colour grade that changes nothing.
  for (bool throughImage : {false, true}) {
    SCOPED_TRACE(throughImage ? "Blend -> Image -> CCHSL" : "Blend -> CCHSL");
    project = std::make_unique<Project>();
    Operator& gradient = op("Gradient");
    const char* channels[] = {"R", "G", "B", "A"};
    const float c1[] = {top.r, top.g, top.b, top.a}, c2[] = {bottom.r, bottom.g, bottom.b, bottom.a};
    for (int c = 0; c < 4; ++c) {
      setParam(gradient, std::string("Color 1 ") + channels[c], c1[c]);
      setParam(gradient, std::string("Color 2 ") + channels[c], c2[c]);
    }
    Operator& shader = op("ImageShader");
    setText(shader, "Filepath", shaderFile.path);
    setParam(shader, "Param1.X", tint[0]), setParam(shader, "Param1.Y", tint[1]), setParam(shader, "Param1.Z", tint[2]);
    link(gradient, shader, "ImageIn");
    Operator& radial = op("Radial");
    for (int c = 0; c < 3; ++c) setParam(radial, std::string("Color 2 ") + channels[c], rim.r);
    setParam(radial, "Radius Inner", 0.25f), setParam(radial, "Radius Outer", 0.75f);
    Operator& blend = op("Blend");
    setParam(blend, "Color", 2);
    link(shader, blend, "ImageA");
    link(radial, blend, "ImageB");
    Operator& grade = op("CCHSL");
    if (throughImage) {
      Operator& image = op("Image");
      setParam(image, "Clear", 0);
      link(blend, image, "ImageIn");
      link(image, grade, "ImageIn");
    } else {
      link(blend, grade, "ImageIn");
    }
    show(grade);

    warmUp();
    for (int f = 0; f < 3; ++f) {  // the ring's images take every role once
      Texture* picture = frame(float(f) / 60.0f);
      ASSERT_NE(picture, nullptr);
      const std::vector<Pixel> got = pixels(picture);
      for (uint32_t y = 0; y < 16; ++y)
        for (uint32_t x = 0; x < 16; ++x)
          ASSERT_LT(maxDiff(at(got, 16, x, y), expected(x, y)), 0.02f)
              << "frame " << f << " pixel " << x << "," << y << ": " << at(got, 16, x, y).r << " "
              << at(got, 16, x, y).g << " " << at(got, 16, x, y).b << " " << at(got, 16, x, y).a;
    }
  }
}

TEST_F(ProductionFramesGpuTest, ASlotInRunsEveryFrameBeforeTheGraphsAreDrawn) {
  // The SlotIn feeds nothing that is drawn; its clear colour follows the production time.
  Operator& slotIn = op("SlotIn");
  setParam(slotIn, "ID", 7);
  setParam(slotIn, "Clear.B", 0.5f), setParam(slotIn, "Clear.A", 1);
  Operator& clock = op("Time");
  link(clock, slotIn, "Clear.R");
  Operator& slotOut = op("SlotOut");
  setParam(slotOut, "ID", 7);
  show(slotOut);

  warmUp();
  for (float t : {0.25f, 0.5f, 0.75f}) {
    Texture* picture = frame(t);
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture, SlotTable::instance().find(7));
    const Pixel p = at(pixels(picture), 16, 5, 9);
    EXPECT_LT(maxDiff(p, Pixel{t, 0, 0.5f, 1}), 1e-3f) << "at " << t << ": " << p.r << " " << p.g << " " << p.b;
  }
}

}  // namespace

// After the first frame, evaluating the timeline must allocate nothing: no list, chain or
// result slot may grow from frame to frame, even while spans start and stop.
#include <gtest/gtest.h>

#include <bit>

#include "tests/engine/AllocationCounter.h"
#include "tests/engine/TestSupport.h"

namespace {

// A text parameter travels through the Context's text slot every frame.
class LabelOp : public Operator {
 public:
  LabelOp() : Operator(CategoryImage) {
    addTextInput("Label", "a label long enough to live on the heap, not in the small buffer");
    addOutput("Out", PortType::Text, std::make_unique<Fn>());
    linkOutput();
  }
  struct Fn : Function {
    void evaluate(float t, const std::vector<Port*>& s, Context& ctx) override { evalInput(s, 0, t, ctx); }
  };
};

class EveryFrame : public Operator {
 public:
  EveryFrame() : Operator(CategoryImage) {
    flags = OperatorFlags::EveryFrame;
    addFloatInput("Value", 1);
    addOutput("Out", PortType::Float, std::make_unique<Fn>());
    linkOutput();
  }
  struct Fn : Function {
    void evaluate(float t, const std::vector<Port*>& s, Context& ctx) override { evalInput(s, 0, t, ctx); }
  };
};

class Hooks : public FrameHooks {
 public:
  void beginFrame(Context&, uint32_t, uint32_t, bool, bool) override { ++frames; }
  uint32_t screenWidth() const override { return 64; }
  uint32_t screenHeight() const override { return 64; }
  int frames = 0;
};

TEST(SteadyFrames, EvaluatingTheTimelineAllocatesNothingAfterTheFirstFrame) {
  Project project;
  project.clear();
  for (int32_t id : {1, 2, 3, 4}) project.graphs.push_back(newGraph(id));
  OperatorGraph& top = *project.graphs[0];
  OperatorGraph& middle = *project.graphs[1];
  OperatorGraph& bottom = *project.graphs[2];
  OperatorGraph& embedded = *project.graphs[3];

  // top: Sin(Time) and a Graph operator pulling in `embedded`, and it uses the input.
  Operator& time = make(top, "Time");
  Operator& sin = make(top, "Sin");
  Operator& addOp = make(top, "Add");
  Operator& graphOp = make(top, "Graph");
  setParam(graphOp, "Graph ID", std::bit_cast<float>(int32_t{4}));
  ASSERT_TRUE(top.connect(time, "FloatOut", sin, "Value"));
  ASSERT_TRUE(top.connect(sin, "FloatOut", addOp, "Value 1"));
  ASSERT_TRUE(top.connect(*top.finalInput(), "Input", addOp, "Value 2"));
  Operator& mul = make(top, "Mul");
  ASSERT_TRUE(top.connect(addOp, "FloatOut", mul, "Value 1"));
  ASSERT_TRUE(top.connect(graphOp, "Output", mul, "Value 2"));
  ASSERT_TRUE(top.connect(mul, "FloatOut", *top.finalOutput(), "In"));
  add<EveryFrame>(middle);
  LabelOp& label = add<LabelOp>(middle);
  ASSERT_TRUE(middle.connect(label, "Out", *middle.finalOutput(), "In"));
  Operator& shake = make(bottom, "CameraShake");
  ASSERT_TRUE(bottom.connect(shake, "PosX", *bottom.finalOutput(), "In"));
  Operator& emb = make(embedded, "HSV2RGB");
  ASSERT_TRUE(embedded.connect(emb, "Green", *embedded.finalOutput(), "In"));

  auto span = [&](size_t track, int32_t id, float start, float end) {
    auto s = std::make_unique<Span>();
    s->timeStart = start, s->timeEnd = end, s->graphId = id, s->upstreamLinkType = 1;
    project.tracks[track].spans.push_back(std::move(s));
  };
  span(0, 1, 0, 100);
  span(1, 2, 2, 4);  // the middle graph comes and goes
  span(1, 2, 6, 100);
  span(2, 3, 3, 100);  // the bottom one starts later

  Hooks hooks;
  Context ctx;
  ctx.hooks = &hooks;
  warmUp(project, ctx);
  float t = 0;
  ASSERT_NE(project.evaluate(t, ctx), nullptr);  // the first frame may allocate

  allocations::start();
  for (int frame = 0; frame < 600; ++frame) {
    t = static_cast<float>(frame) / 60.0f;
    project.evaluate(t, ctx);
  }
  EXPECT_EQ(allocations::stop(), 0);
  EXPECT_GT(hooks.frames, 0);
  EXPECT_EQ(ctx.textResult.empty(), false);
}

}  // namespace

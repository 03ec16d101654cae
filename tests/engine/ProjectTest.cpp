#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "engine/GraphOp.h"
#include "tests/engine/TestSupport.h"

namespace {

std::vector<std::string> g_log;

std::string stamp(const std::string& what, float t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s@%g", what.c_str(), static_cast<double>(t));
  return buf;
}

// Draws by evaluating its input first (which may pull the graph below), then logging.
class DrawOp : public Operator {
 public:
  explicit DrawOp(std::string label) : Operator(CategoryImage) {
    addGenericInput("In");
    addOutput("Out", PortType::Generic, std::make_unique<Fn>(std::move(label)));
    linkOutput();
  }
  struct Fn : Function {
    explicit Fn(std::string l) : label(std::move(l)) {}
    void evaluate(float t, const std::vector<Port*>& s, Context& ctx) override {
      evalInput(s, 0, t, ctx);
      g_log.push_back(stamp(label, t));
    }
    std::string label;
  };
};

// Runs once per frame and disturbs the viewport, which the timeline must restore.
class EveryFrameOp : public Operator {
 public:
  explicit EveryFrameOp(std::string label) : Operator(CategoryImage) {
    flags = OperatorFlags::EveryFrame;
    addOutput("Out", PortType::Image, std::make_unique<Fn>(std::move(label)));
    linkOutput();
  }
  struct Fn : Function {
    explicit Fn(std::string l) : label(std::move(l)) {}
    void evaluate(float t, const std::vector<Port*>&, Context& ctx) override {
      ctx.viewport = Viewport{1, 2, 3, 4};
      g_log.push_back(stamp(label, t));
    }
    std::string label;
  };
};

class CountingHooks : public FrameHooks {
 public:
  void beginFrame(Context&, uint32_t w, uint32_t h, bool fullSize, bool releaseAll) override {
    ++calls;
    g_log.push_back("frame");
    EXPECT_EQ(w, 640u);
    EXPECT_EQ(h, 360u);
    EXPECT_TRUE(fullSize);
    EXPECT_FALSE(releaseAll);
  }
  uint32_t screenWidth() const override { return 640; }
  uint32_t screenHeight() const override { return 360; }
  int calls = 0;
};

class Timeline : public ::testing::Test {
 protected:
  Timeline() {
    g_log.clear();
    ctx.hooks = &hooks;
    project.clear();
  }
  ~Timeline() override { setCurrentProject(nullptr); }

  // A graph whose picture is a DrawOp; with useBelow it takes the picture underneath.
  OperatorGraph& graph(int32_t id, const std::string& label, bool useBelow) {
    project.graphs.push_back(newGraph(id, label));
    OperatorGraph& g = *project.graphs.back();
    DrawOp& d = add<DrawOp>(g, label);
    if (useBelow) {
      EXPECT_TRUE(g.connect(*g.finalInput(), "Input", d, "In"));
    }
    EXPECT_TRUE(g.connect(d, "Out", *g.finalOutput(), "In"));
    return g;
  }
  Span& span(size_t track, int32_t graphId, float start, float end, uint32_t link = 2) {
    auto s = std::make_unique<Span>();
    s->timeStart = start;
    s->timeEnd = end;
    s->graphId = graphId;
    s->upstreamLinkType = link;
    project.tracks[track].spans.push_back(std::move(s));
    return *project.tracks[track].spans.back();
  }
  FinalOutput* at(float& t) { return project.evaluate(t, ctx); }

  Project project;
  Context ctx;
  CountingHooks hooks;
};

TEST_F(Timeline, DefaultProjectHasSixteenTracksAndOneSpan) {
  Project fresh;
  ASSERT_EQ(fresh.tracks.size(), 16u);
  ASSERT_EQ(fresh.graphs.size(), 1u);
  ASSERT_EQ(fresh.tracks[0].spans.size(), 1u);
  EXPECT_EQ(fresh.tracks[0].spans[0]->graphId, fresh.graphs[0]->id);
  // The one span shows the default graph up to, not including, 60 s.
  float t = 59.0f;
  EXPECT_EQ(fresh.evaluate(t, ctx), fresh.graphs[0]->finalOutput());
  t = 60.0f;
  EXPECT_EQ(fresh.evaluate(t, ctx), nullptr);
  EXPECT_EQ(currentProject(), &fresh);
}

TEST(ProjectLifetime, DestroyingTheCurrentProjectClearsThePointer) {
  {
    Project p;
    setCurrentProject(&p);
  }
  EXPECT_EQ(currentProject(), nullptr);
}

TEST_F(Timeline, SpansCoverFromStartUpToButExcludingEnd) {
  graph(10, "P", false);
  span(0, 10, 1, 2);
  float t = 1.0f;
  EXPECT_NE(at(t), nullptr);
  t = 1.999f;
  EXPECT_NE(at(t), nullptr);
  t = 2.0f;
  EXPECT_EQ(at(t), nullptr);
  t = 0.5f;
  EXPECT_EQ(at(t), nullptr);
  EXPECT_EQ(g_log, (std::vector<std::string>{"P@1", "P@1.999"}));
}

TEST_F(Timeline, LocalTimeFollowsTheSpansTimeType) {
  graph(10, "P", false);
  Span& s = span(0, 10, 10, 20);
  s.offsetGlobal = 0.5f;
  float t = 12;
  at(t);
  EXPECT_FLOAT_EQ(t, 12.5f);
  s.timeType = 1;
  s.offsetSpan = 2;
  t = 12;
  at(t);
  EXPECT_FLOAT_EQ(t, 4.0f);
  s.timeType = 5;
  t = 12;
  at(t);
  EXPECT_FLOAT_EQ(t, 12.0f);
  EXPECT_EQ(g_log, (std::vector<std::string>{"P@12.5", "P@4", "P@12"}));
}

TEST_F(Timeline, AGraphThatUsesTheInputDrawsTheGraphBelowAtItsOwnTime) {
  OperatorGraph& p = graph(10, "P", true);
  OperatorGraph& q = graph(20, "Q", false);
  span(0, 10, 0, 10).offsetGlobal = 1;
  span(1, 20, 0, 10).offsetGlobal = 100;
  float t = 5;
  EXPECT_EQ(at(t), p.finalOutput());
  EXPECT_FLOAT_EQ(t, 6.0f);
  // Q is drawn only inside P, at P's local time, with no frame setup.
  EXPECT_EQ(g_log, (std::vector<std::string>{"Q@6", "P@6"}));
  EXPECT_EQ(hooks.calls, 0);
  // The chain: Q's FinalOutput feeds P's FinalInput.
  ASSERT_EQ(p.finalInput()->inputs[0].sources.size(), 1u);
  EXPECT_EQ(p.finalInput()->inputs[0].sources[0], &q.finalOutput()->outputs[0]);

  // When Q's span ends, the chain is gone on the next frame.
  g_log.clear();
  span(0, 10, 10, 20);
  t = 15;
  at(t);
  EXPECT_TRUE(p.finalInput()->inputs[0].sources.empty());
  EXPECT_EQ(q.finalOutput()->connections.size(), 1u);  // only its own DrawOp
  EXPECT_EQ(p.finalInput()->connections.size(), 1u);   // only P's DrawOp
  EXPECT_EQ(g_log, (std::vector<std::string>{"P@15"}));
}

TEST_F(Timeline, GraphsNotConsumedAreDrawnBottomFirstWithAFrameSetupBetween) {
  OperatorGraph& p = graph(10, "P", false);
  graph(20, "Q", false);
  graph(30, "R", false);
  span(0, 10, 0, 10);
  span(1, 20, 0, 10).offsetGlobal = 1;
  span(3, 30, 0, 10).offsetGlobal = 2;
  float t = 5;
  EXPECT_EQ(at(t), p.finalOutput());
  EXPECT_EQ(g_log, (std::vector<std::string>{"R@7", "frame", "Q@6", "frame", "P@5"}));

  // upstreamLinkType 0 keeps a lower graph from being drawn.
  project.tracks[1].spans[0]->upstreamLinkType = 0;
  g_log.clear();
  t = 5;
  at(t);
  EXPECT_EQ(g_log, (std::vector<std::string>{"R@7", "frame", "P@5"}));
}

TEST_F(Timeline, AGraphShownByTwoSpansKeepsTheLowerTrack) {
  graph(10, "P", false);
  span(2, 10, 0, 10).offsetGlobal = 3;
  span(0, 10, 0, 10).offsetGlobal = 1;
  span(1, 99, 0, 10);  // names no graph: ignored
  float t = 2;
  at(t);
  EXPECT_FLOAT_EQ(t, 3.0f);
  EXPECT_EQ(g_log, (std::vector<std::string>{"P@3"}));
}

TEST_F(Timeline, ConnectionsBetweenTheEndsOfOneGraphSurviveTheChain) {
  // A pass-through graph: its picture is the picture below.
  project.graphs.push_back(newGraph(10, "P"));
  OperatorGraph& p = *project.graphs.back();
  ASSERT_TRUE(p.connect(*p.finalInput(), "Input", *p.finalOutput(), "In"));
  graph(20, "Q", false);
  span(0, 10, 0, 10);
  span(1, 20, 0, 10);
  for (float t0 : {1.0f, 2.0f, 3.0f}) {
    float t = t0;
    at(t);
  }
  EXPECT_EQ(g_log, (std::vector<std::string>{"Q@1", "Q@2", "Q@3"}));
  ASSERT_EQ(p.finalOutput()->inputs[0].sources.size(), 1u);
  EXPECT_EQ(p.finalOutput()->inputs[0].sources[0], &p.finalInput()->outputs[0]);
}

TEST_F(Timeline, RemovingAGraphThatFeedsTheChainIsSafe) {
  OperatorGraph& p = graph(10, "P", true);
  graph(20, "Q", false);
  span(0, 10, 0, 10);
  span(1, 20, 0, 10);
  float t = 1;
  at(t);
  ASSERT_EQ(p.finalInput()->inputs[0].sources.size(), 1u);
  project.graphs.pop_back();  // Q goes while P's FinalInput still holds the chain link
  t = 2;
  at(t);
  EXPECT_TRUE(p.finalInput()->inputs[0].sources.empty());
  EXPECT_EQ(g_log, (std::vector<std::string>{"Q@1", "P@1", "P@2"}));
}

TEST_F(Timeline, PerFrameOperatorsRunFirstBottomUpAndRestoreTheViewport) {
  OperatorGraph& p = graph(10, "P", false);
  OperatorGraph& q = graph(20, "Q", true);
  add<EveryFrameOp>(p, "p-every");
  add<EveryFrameOp>(q, "q-every");
  span(0, 10, 0, 10).offsetGlobal = 1;
  span(1, 20, 0, 10).offsetGlobal = 2;
  ctx.viewport = Viewport{0, 0, 640, 360};
  float t = 5;
  at(t);
  EXPECT_EQ(g_log, (std::vector<std::string>{"q-every@7", "p-every@6", "frame", "Q@7", "frame", "P@6"}));
  EXPECT_EQ(ctx.viewport, (Viewport{0, 0, 640, 360}));
  EXPECT_EQ(hooks.calls, 2);

  // Without per-frame operators there is no extra setup.
  p.operators.pop_back();
  q.operators.pop_back();
  g_log.clear();
  t = 5;
  at(t);
  EXPECT_EQ(g_log, (std::vector<std::string>{"Q@7", "frame", "P@6"}));
}

TEST_F(Timeline, GraphOperatorDrawsAnotherGraphAtAnOffset) {
  OperatorGraph& p = graph(10, "P", false);
  graph(-5, "R", false);  // not on the timeline
  Operator& g = make(p, "Graph");
  setParam(g, "Graph ID", std::bit_cast<float>(int32_t{-5}));
  setParam(g, "Time Offset", 2);
  ASSERT_TRUE(p.connect(g, "Output", *p.operators[2], "In"));
  span(0, 10, 0, 10);
  float t = 1;
  at(t);
  EXPECT_EQ(g_log, (std::vector<std::string>{"R@3", "P@1"}));

  // -1.0 is the bit pattern 0xBF800000, which matches no graph here.
  setParam(g, "Graph ID", -1.0f);
  g_log.clear();
  t = 1;
  at(t);
  EXPECT_EQ(g_log, (std::vector<std::string>{"P@1"}));

  // A graph embedding itself ends instead of recursing without bound.
  setParam(g, "Graph ID", std::bit_cast<float>(int32_t{10}));
  g_log.clear();
  t = 1;
  at(t);
  EXPECT_EQ(g_log, (std::vector<std::string>{"P@1"}));
}

TEST_F(Timeline, WarmUpEvaluatesEveryOperatorOnceAtMinusTen) {
  OperatorGraph& p = graph(10, "P", false);
  graph(20, "Q", false);
  Operator& time = make(p, "Time");
  std::vector<std::pair<size_t, size_t>> progress;
  std::vector<Operator*> seen;
  const size_t n = warmUp(project, ctx, [&](Operator& op, size_t k, size_t total) {
    progress.emplace_back(k, total);
    seen.push_back(&op);
    if (&op == &time) {
      EXPECT_FLOAT_EQ(ctx.floatResult, -10.0f);
    }
  });
  EXPECT_EQ(n, 7u);
  ASSERT_EQ(progress.size(), 7u);
  EXPECT_EQ(progress.front(), (std::pair<size_t, size_t>{1, 7}));
  EXPECT_EQ(progress.back(), (std::pair<size_t, size_t>{7, 7}));
  EXPECT_EQ(seen[0], p.operators[0].get());
  EXPECT_EQ(currentProject(), &project);
  // The FinalOutput of P draws P; P's DrawOp draws P again; then Q likewise.
  EXPECT_EQ(g_log, (std::vector<std::string>{"P@-10", "P@-10", "Q@-10", "Q@-10"}));
}

TEST_F(Timeline, EmptyProjectShowsNothing) {
  float t = 0;
  EXPECT_EQ(at(t), nullptr);
  EXPECT_EQ(hooks.calls, 0);
}

}  // namespace

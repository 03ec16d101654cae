#include <gtest/gtest.h>

#include <bit>

#include "engine/FloatOperators.h"
#include "engine/GraphOp.h"
#include "tests/engine/TestSupport.h"

namespace {

// An operator with a text input, an image input and a multi-connection float input.
class ProbeOp : public Operator {
 public:
  ProbeOp() : Operator(CategoryImage) {
    addTextInput("Shader", "default.hlsl", PortFlagShaderPath);
    addImageInput("Image");
    addFloatInput("Many", 0.0f, PortFlagMulti);
    addFloatInput("Format", 0.0f, PortFlagEnum);
    addChoices({"RGBA16", "RGBA8"});
    addFloatInput("R", 1), addFloatInput("G", 1), addFloatInput("B", 1);
    addColorGroup("Colour", 3);
    addOutput("Out", PortType::Text, std::make_unique<ProbeFunction>());
    linkOutput();
  }
  class ProbeFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& s, Context& ctx) override {
      ++calls;
      evalInput(s, 1, t, ctx);
      std::string text = evalText(s, 0, t, ctx);
      ctx.textResult = text + "!";
    }
    int calls = 0;
  };
};

// Counts its evaluations and yields a fixed number.
class CounterOp : public Operator {
 public:
  explicit CounterOp(float v = 0) : Operator(CategoryFloat) {
    addOutput("FloatOut", PortType::Float, std::make_unique<Fn>(v));
    linkOutput();
  }
  struct Fn : Function {
    explicit Fn(float v) : value(v) {}
    void evaluate(float, const std::vector<Port*>&, Context& ctx) override {
      ++calls;
      ctx.floatResult = value;
    }
    float value;
    int calls = 0;
  };
  int calls() const { return static_cast<Fn*>(outputs[0].source.get())->calls; }
};

Connection link(Operator& src, const char* sp, Operator& dst, const char* dp, int32_t index = -1) {
  Connection c;
  c.sourceOp = &src;
  c.sourcePort = src.findPort(sp);
  c.targetOp = &dst;
  c.targetPort = dst.findPort(dp);
  c.sourceIndexInTarget = index;
  return c;
}

TEST(Registry, FindsEngineTypesAndKeepsTheFirstRegistration) {
  OperatorFactory* sin = OperatorRegistry::find("Sin");
  ASSERT_NE(sin, nullptr);
  auto op = sin->create();
  EXPECT_NE(dynamic_cast<SinOp*>(op.get()), nullptr);
  EXPECT_EQ(op->id, -1);
  EXPECT_EQ(OperatorRegistry::find("Output"), nullptr);
  EXPECT_EQ(OperatorRegistry::find("Input"), nullptr);
  EXPECT_EQ(OperatorRegistry::find("sin"), nullptr);  // names are exact

  static OpSpawner<CounterOp> other;
  EXPECT_FALSE(OperatorRegistry::add("Sin", &other));
  EXPECT_EQ(OperatorRegistry::find("Sin"), sin);
  registerEngineOperators();  // a second call changes nothing
  EXPECT_EQ(OperatorRegistry::find("Sin"), sin);
  EXPECT_TRUE(OperatorRegistry::add("TestCounter", &other));
  EXPECT_EQ(OperatorRegistry::find("TestCounter"), &other);
  EXPECT_EQ(OperatorRegistry::entries().count("Graph"), 1u);
}

TEST(Ports, ColourGroupsCollectTheirMembersAndChoicesStayWithTheirInput) {
  ProbeOp op;
  EXPECT_EQ(op.inputs[3].choices, (std::vector<std::string>{"RGBA16", "RGBA8"}));
  ASSERT_EQ(op.colorGroups.size(), 1u);
  EXPECT_EQ(op.colorGroups[0].members, (std::map<int32_t, int32_t>{{0, 4}, {1, 5}, {2, 6}}));
}

// The same inputs as ProbeOp, declared as a table.
class TableProbeOp : public Operator {
 public:
  enum In : uint32_t { Shader, Picture, Many, Format, R, G, B, Count };
  static constexpr ParamDecl kParams[] = {
      param::shader("Shader", "default.hlsl"), param::image("Image"),
      param::number("Many", 0.0f, PortFlagMulti), param::choice("Format", 0, "RGBA16|RGBA8"),
      param::number("R", 1), param::number("G", 1), param::number("B", 1),
  };
  static_assert(std::size(kParams) == In::Count);
  TableProbeOp() : Operator(CategoryImage) {
    declareInputs(kParams);
    addColorGroup("Colour", R, 3);
  }
};

TEST(Ports, ATableDeclaresTheSamePortsAsDeclarationCalls) {
  ProbeOp byCalls;
  TableProbeOp byTable;
  ASSERT_EQ(byTable.inputs.size(), byCalls.inputs.size());
  for (size_t i = 0; i < byCalls.inputs.size(); ++i) {
    const Port& a = byCalls.inputs[i];
    const Port& b = byTable.inputs[i];
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.flags, b.flags);
    EXPECT_EQ(a.choices, b.choices);
  }
  Context ctx;
  byTable.inputs[TableProbeOp::Shader].evaluate(0, ctx);
  EXPECT_EQ(ctx.textResult, "default.hlsl");
  byTable.inputs[TableProbeOp::R].evaluate(0, ctx);
  EXPECT_EQ(ctx.floatResult, 1.0f);
  ASSERT_EQ(byTable.colorGroups.size(), 1u);
  EXPECT_EQ(byTable.colorGroups[0].members, byCalls.colorGroups[0].members);
}

TEST(Ports, UnconnectedConnectedAndTextInputs) {
  Context ctx;
  OperatorGraph g;
  Operator& mul = make(g, "Mul");
  EXPECT_FLOAT_EQ(out(mul, 0, 3, ctx), 1.0f);
  setParam(mul, "Value 1", 2.5f);
  EXPECT_FLOAT_EQ(out(mul, 0, 3, ctx), 2.5f);

  Operator& time = make(g, "Time");
  ASSERT_TRUE(g.connect(time, "FloatOut", mul, "Value 2"));
  EXPECT_FLOAT_EQ(out(mul, 0, 4, ctx), 10.0f);
  // The holder of a connected input keeps the value that arrived.
  EXPECT_FLOAT_EQ(static_cast<Float*>(mul.inputs[1].source->value())->value, 4.0f);

  ProbeOp probe;
  probe.outputs[0].evaluate(0, ctx);
  EXPECT_EQ(ctx.textResult, "default.hlsl!");
  // An unconnected image input leaves the Context alone.
  ctx.floatResult = 42;
  probe.inputs[1].evaluate(0, ctx);
  EXPECT_FLOAT_EQ(ctx.floatResult, 42.0f);

  // assign takes the Context's result as the new constant.
  ctx.textResult = "other.hlsl";
  probe.inputs[0].source->assign(ctx, 0);
  probe.outputs[0].evaluate(0, ctx);
  EXPECT_EQ(ctx.textResult, "other.hlsl!");

  // A text output feeding a text input passes the string through.
  ProbeOp second;
  Connection c = link(probe, "Out", second, "Shader");
  second.addConnection(c);
  second.outputs[0].evaluate(0, ctx);
  EXPECT_EQ(ctx.textResult, "other.hlsl!!");
}

TEST(Ports, OnlyTheFirstOfSeveralConnectionsIsEvaluatedByTheParameterRule) {
  Context ctx;
  ProbeOp probe;
  CounterOp a(1), b(2);
  probe.addConnection(link(a, "FloatOut", probe, "Many"));
  probe.addConnection(link(b, "FloatOut", probe, "Many"));
  ASSERT_EQ(probe.inputs[2].sources.size(), 2u);
  probe.inputs[2].evaluate(0, ctx);
  EXPECT_FLOAT_EQ(ctx.floatResult, 1.0f);
  EXPECT_EQ(a.calls(), 1);
  EXPECT_EQ(b.calls(), 0);
}

TEST(AddConnection, SingleInputsReplaceMultiInputsAppend) {
  ProbeOp target;
  CounterOp a(1), b(2), c(3);
  // Connections are held by both operators.
  auto both = [&](Operator& src, const char* sp, const char* dp) {
    Connection k = link(src, sp, target, dp);
    target.addConnection(k);
    src.addConnection(k);
  };
  both(a, "FloatOut", "Format");
  both(b, "FloatOut", "Format");
  // Replaced in place: one record, one source, and the old source forgets the connection.
  EXPECT_EQ(target.connections.size(), 1u);
  EXPECT_EQ(target.connections[0].sourceOp, &b);
  ASSERT_EQ(target.inputs[3].sources.size(), 1u);
  EXPECT_EQ(target.inputs[3].sources[0], &b.outputs[0]);
  EXPECT_EQ(target.inputs[3].sourceOrder.size(), 1u);
  EXPECT_TRUE(a.connections.empty());
  EXPECT_EQ(b.connections.size(), 1u);

  both(a, "FloatOut", "Many");
  both(c, "FloatOut", "Many");
  both(c, "FloatOut", "Many");  // the same port is not linked twice
  EXPECT_EQ(target.inputs[2].sources, (std::vector<Port*>{&a.outputs[0], &c.outputs[0]}));
  EXPECT_EQ(target.connections.size(), 4u);

  // Removing a connection unlinks its source.
  target.removeConnection(1);
  EXPECT_EQ(target.inputs[2].sources, (std::vector<Port*>{&c.outputs[0]}));
  EXPECT_EQ(target.inputs[2].sourceOrder.size(), 1u);
}

// Declares an input after linking its output: the output must still see live inputs.
class LateInputOp : public Operator {
 public:
  LateInputOp() {
    addFloatInput("A", 2);
    addOutput("Out", PortType::Float, std::make_unique<Fn>());
    linkOutput();
    for (int i = 0; i < 40; ++i) addFloatInput("Late " + std::to_string(i), 0);
  }
  struct Fn : Function {
    void evaluate(float t, const std::vector<Port*>& s, Context& ctx) override { evalInput(s, 0, t, ctx); }
  };
};

TEST(Ports, InputsDeclaredAfterLinkingDoNotLeaveDanglingSources) {
  LateInputOp op;
  ASSERT_EQ(op.outputs[0].sources.size(), 1u);
  EXPECT_EQ(op.outputs[0].sources[0], &op.inputs[0]);
  Context ctx;
  op.outputs[0].evaluate(0, ctx);
  EXPECT_FLOAT_EQ(ctx.floatResult, 2.0f);
}

TEST(Ports, SortSourcesOrdersByStoredIndexAsSignedNumbers) {
  Port p;
  Port a, b, c;
  p.link(&a, 5);
  p.link(&b, -3);
  p.link(&c, 0);
  EXPECT_FALSE(p.link(&b, 9));
  p.sortSources();
  EXPECT_EQ(p.sources, (std::vector<Port*>{&b, &c, &a}));
  p.unlink(&c);
  EXPECT_EQ(p.sources, (std::vector<Port*>{&b, &a}));
  EXPECT_EQ(p.sourceOrder.size(), 2u);
  EXPECT_EQ(p.sourcePosition(&a), 1);
  EXPECT_EQ(p.sourcePosition(&c), -1);
}

TEST(Ports, ACycleOfConnectionsEndsInsteadOfOverflowingTheStack) {
  Context ctx;
  OperatorGraph g;
  Operator& add1 = make(g, "Add");
  Operator& add2 = make(g, "Add");
  setParam(add1, "Value 2", 1);
  setParam(add2, "Value 2", 10);
  ASSERT_TRUE(g.connect(add1, "FloatOut", add2, "Value 1"));
  ASSERT_TRUE(g.connect(add2, "FloatOut", add1, "Value 1"));
  // add2 -> add1 -> add2 again: the re-entered input yields its held value (0 at first),
  // so the loop runs once around: (0 + 10) + 1 + 10.
  EXPECT_FLOAT_EQ(out(add2, 0, 0, ctx), 21.0f);
  // The held value is now 11: (11 + 10) + 1 + 10.
  EXPECT_FLOAT_EQ(out(add2, 0, 0, ctx), 32.0f);
}

TEST(Graphs, CreateOperatorAssignsIdsAboveTheHighestOne) {
  OperatorGraph g;
  EXPECT_TRUE(g.createGraphEnds());
  EXPECT_FALSE(g.createGraphEnds());
  EXPECT_EQ(g.operators.size(), 2u);
  EXPECT_EQ(g.finalOutput()->id, 0);
  EXPECT_EQ(g.finalInput()->id, 1);
  EXPECT_EQ(g.nextId, 2);
  EXPECT_EQ(g.createOperator("NoSuchType"), nullptr);
  EXPECT_EQ(g.operators.size(), 2u);
  EXPECT_EQ(g.nextId, 2);
  Operator* a = g.createOperator("Sin");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->id, 2);
  EXPECT_EQ(a->type, "Sin");
  a->id = 7;
  g.refreshNextId();
  EXPECT_EQ(g.nextId, 8);
  EXPECT_EQ(g.createOperator("Time")->id, 8);
  g.nextId = 3;  // lowered by hand: raised again past the highest id
  EXPECT_EQ(g.createOperator("Time")->id, 9);
  g.operators.back()->id = 20;  // set by hand right after creation
  EXPECT_EQ(g.createOperator("Time")->id, 21);

  FinalInput& fi = *g.finalInput();
  EXPECT_NE(fi.outputs[0].source->value(), nullptr);  // "Input" holds a value
}

TEST(GraphOperator, ListsTheProjectGraphsAsChoices) {
  OperatorGraph g;
  Operator& op = make(g, "Graph");
  ASSERT_NE(op.inputs[0].choiceProvider, nullptr);

  Project project;
  project.graphs.push_back(newGraph(77, "second"));
  setCurrentProject(&project);
  auto entries = op.inputs[0].choiceProvider->getEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "default");
  EXPECT_EQ(entries[1].name, "second");
  EXPECT_EQ(entries[1].value, 77);
  setCurrentProject(nullptr);
  EXPECT_TRUE(op.inputs[0].choiceProvider->getEntries().empty());
}

}  // namespace

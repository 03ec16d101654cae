#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "engine/Curve.h"
#include "project/ProjectLoader.h"

namespace {

// A registered type with a text parameter and a multi-connection input whose function
// reads the connected values in source order as digits: sources 1, 2, 3 give 123.
class MixOp : public Operator {
 public:
  MixOp() : Operator(CategoryFloat) {
    addTextInput("Label", "none", PortFlagDataPath);
    addImageInput("Picture");
    addFloatInput("Values", 0.0f, PortFlagMulti);
    addFloatInput("Scale", 1.0f);
    addOutput("FloatOut", PortType::Float, std::make_unique<Fn>());
    linkOutput();
  }
  struct Fn : Function {
    void evaluate(float t, const std::vector<Port*>& s, Context& ctx) override {
      float r = 0;
      for (Port* up : s[2]->sources) {
        up->evaluate(t, ctx);
        r = r * 10 + ctx.floatResult;
      }
      ctx.floatResult = r * evalFloat(s, 3, t, ctx);
    }
  };
};

void registerTestTypes() {
  static OpSpawner<MixOp> mix;
  OperatorRegistry::add("TestMix", &mix);
}

Port& param(Operator& op, const char* name) {
  Port* p = op.findPort(name);
  if (!p) throw std::runtime_error(std::string("no port ") + name);
  return *p;
}
float& floatParam(Operator& op, const char* name) { return static_cast<Float*>(param(op, name).source->value())->value; }
std::string& textParam(Operator& op, const char* name) {
  return static_cast<Text*>(param(op, name).source->value())->value;
}

std::string tempPath(const char* name) {
  return (std::filesystem::temp_directory_path() / (std::string("zv_") + name + "_" + std::to_string(::getpid()))).string();
}

// Every float output of every operator at time t, in project order.
std::vector<float> evaluateAll(Project& p, float t) {
  Context ctx;
  setCurrentProject(&p);
  std::vector<float> values;
  for (auto& g : p.graphs)
    for (auto& op : g->operators)
      for (Port& o : op->outputs)
        if (o.type == PortType::Float) {
          o.evaluate(t, ctx);
          values.push_back(ctx.floatResult);
        }
  setCurrentProject(nullptr);
  return values;
}

class Loader : public ::testing::Test {
 protected:
  Loader() { registerTestTypes(); }
  ~Loader() override {
    for (const auto& f : files) std::remove(f.c_str());
  }
  std::string file(const char* name) {
    files.push_back(tempPath(name));
    return files.back();
  }
  // Serializes a hand-made tree as a project would read it.
  static void load(TreeNode& root, Project& p) { p.serialize({&root, false}); }
  std::vector<std::string> files;
};

// ---- round trip through the writing direction ------------------------------------------------

TEST_F(Loader, SavedProjectsLoadBackWithTheSameStructureAndValues) {
  Project src;
  src.clear();
  src.musicPath = "music/track.ogg";
  auto g = std::make_unique<OperatorGraph>();
  g->id = 4242;
  g->name = "scene one";
  g->createGraphEnds();
  Operator& time = *g->createOperator("Time");
  Operator& sin = *g->createOperator("Sin");
  Operator& mix = *g->createOperator("TestMix");
  Operator& v1 = *g->createOperator("Var");
  Operator& v2 = *g->createOperator("Var");
  Operator& v3 = *g->createOperator("Var");
  Operator& graphOp = *g->createOperator("Graph");
  sin.customName = "wobble";
  sin.position[0] = 12.5f, sin.position[1] = -3;
  sin.hidden = 1;
  sin.childrenHidden = 1;
  floatParam(sin, "Frequency") = 2.5f;
  floatParam(v1, "Value") = 1, floatParam(v2, "Value") = 2, floatParam(v3, "Value") = 3;
  textParam(mix, "Label") = "data/recording.xed";
  floatParam(graphOp, "Graph ID") = std::bit_cast<float>(int32_t{4242});
  ASSERT_TRUE(g->connect(time, "FloatOut", sin, "Value"));
  ASSERT_TRUE(g->connect(v2, "FloatOut", mix, "Values"));
  ASSERT_TRUE(g->connect(v3, "FloatOut", mix, "Values"));
  ASSERT_TRUE(g->connect(v1, "FloatOut", mix, "Values"));
  // An animated parameter.
  {
    Port& amp = param(sin, "Amplitude");
    auto curve = std::make_unique<CurveFunction>(std::move(static_cast<ValueFunction*>(amp.source.get())->holder));
    curve->keys.resize(2);
    curve->keys[0].time = 0, curve->keys[0].value = 1;
    curve->keys[1].time = 2, curve->keys[1].value = 5, curve->keys[1].shape = 2;
    curve->keys[1].cp1[1] = 0.5f;
    curve->afterMode = 3;
    amp.curve = curve.get();
    amp.source = std::move(curve);
  }
  src.graphs.push_back(std::move(g));
  auto span = std::make_unique<Span>();
  span->timeStart = 1, span->timeEnd = 9, span->graphId = 4242, span->upstreamLinkType = 3;
  span->offsetGlobal = 0.25f, span->offsetSpan = 7, span->name = "intro";
  src.tracks[5].spans.push_back(std::move(span));
  auto below = std::make_unique<OperatorGraph>();
  below->id = 17;
  below->name = "below";
  below->createGraphEnds();
  src.graphs.push_back(std::move(below));
  auto belowSpan = std::make_unique<Span>();
  belowSpan->timeStart = 0, belowSpan->timeEnd = 9, belowSpan->graphId = 17;
  src.tracks[6].spans.push_back(std::move(belowSpan));

  // A live graph chain must not end up in the file.
  float t = 2;
  Context ctx;
  src.evaluate(t, ctx);
  ASSERT_EQ(src.graphs[0]->finalInput()->inputs[0].sources.size(), 1u);  // the chain is there

  const std::string path = file("roundtrip");
  std::string error;
  ASSERT_TRUE(saveProjectFile(path, src, &error)) << error;
  Project back;
  ASSERT_TRUE(loadProjectFile(path, back, &error)) << error;

  // Saving what was loaded gives the same bytes: every name, position, flag, curve, text
  // value, connection and span field came back.
  const std::string again = file("roundtrip_again");
  ASSERT_TRUE(saveProjectFile(again, back, &error)) << error;
  auto bytesOf = [](const std::string& f) {
    std::ifstream in(f, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(bytesOf(again), bytesOf(path));
  ASSERT_EQ(back.graphs.size(), 2u);
  OperatorGraph& bg = *back.graphs[0];
  EXPECT_EQ(bg.nextId, src.graphs[0]->nextId);
  for (size_t i = 0; i < bg.operators.size(); ++i) {
    Operator& a = *src.graphs[0]->operators[i];
    Operator& b = *bg.operators[i];
    for (size_t k = 0; k < a.inputs.size(); ++k)
      EXPECT_EQ(b.inputs[k].sources.size(), a.inputs[k].sources.size()) << a.type << " " << a.inputs[k].name;
  }
  ASSERT_NE(param(*bg.operators[3], "Amplitude").curve, nullptr);
  EXPECT_EQ(param(*bg.operators[4], "Values").sources[0], &bg.operators[6]->outputs[0]);  // v2 first

  // Chain connections are not stored: the ends hold nothing.
  EXPECT_TRUE(bg.finalInput()->connections.empty());
  EXPECT_TRUE(back.graphs[1]->finalOutput()->connections.empty());

  // The stored index of each connection is the source's position in the target port.
  TreeNode written;
  src.serialize({&written, true});
  TreeNodeRef mixNode = child(child({&written, false}, "graph", 0), "operator", 4);
  for (uint32_t k = 0; k < 3; ++k) {
    int32_t index = -1;
    serializeInt(child(mixNode, "connection", k), "sourceIndexInTarget", index);
    EXPECT_EQ(index, static_cast<int32_t>(k));
  }

  for (float at : {-1.0f, 0.0f, 0.7f, 1.5f, 3.0f, 6.25f}) {
    SCOPED_TRACE(at);
    const auto expected = evaluateAll(src, at);
    EXPECT_EQ(evaluateAll(back, at), expected);
  }
  EXPECT_FLOAT_EQ(evaluateAll(back, 0)[2], 231.0f);  // TestMix: sources in connection order
}

TEST_F(Loader, LoadingTwiceReplacesGraphsAndSpans) {
  Project src;
  const std::string path = file("twice");
  ASSERT_TRUE(saveProjectFile(path, src));
  Project back;
  ASSERT_TRUE(loadProjectFile(path, back));
  ASSERT_TRUE(loadProjectFile(path, back));
  EXPECT_EQ(back.graphs.size(), 1u);
  EXPECT_EQ(back.tracks[0].spans.size(), 1u);
  EXPECT_EQ(back.graphs[0]->id, src.graphs[0]->id);
  float t = 3;
  Context ctx;
  EXPECT_EQ(back.evaluate(t, ctx), back.graphs[0]->finalOutput());
}

// ---- reading hand-made trees ----------------------------------------------------------------

struct TreeBuilder {
  TreeNode root;
  TreeNodeRef r() { return {&root, true}; }
  TreeNodeRef graph(uint32_t i, int32_t id) {
    TreeNodeRef g = child(r(), "graph", i);
    serializeInt(g, "id", id);
    return g;
  }
  static TreeNodeRef op(TreeNodeRef g, uint32_t k, const char* type, int32_t id) {
    TreeNodeRef o = child(g, "operator", k);
    std::string t = type;
    serializeString(o, "type", t);
    serializeInt(o, "id", id);
    return o;
  }
  static void floatChild(TreeNodeRef n, const char* name, float v) { serializeFloat(n, name, v); }
  static void intChild(TreeNodeRef n, const char* name, int32_t v) { serializeInt(n, name, v); }
  static void connection(TreeNodeRef o, uint32_t k, int32_t src, const char* sp, int32_t dst, const char* dp,
                         int32_t index) {
    TreeNodeRef c = child(o, "connection", k);
    std::string a = sp, b = dp;
    serializeInt(c, "source", src);
    serializeString(c, "sourceProp", a);
    serializeInt(c, "target", dst);
    serializeString(c, "targetProp", b);
    serializeInt(c, "sourceIndexInTarget", index);
  }
};

TEST_F(Loader, OperatorsParametersAndCurvesAreReadFromTheirNodes) {
  TreeBuilder tb;
  TreeNodeRef g = tb.graph(0, 9);
  TreeBuilder::op(g, 0, "Output", 0);
  TreeBuilder::op(g, 1, "Input", 1);
  TreeNodeRef sin = TreeBuilder::op(g, 2, "Sin", 7);
  TreeBuilder::floatChild(child(sin, "input", 0), "Value", 0.5f);
  TreeNodeRef amp = child(sin, "input", 1);
  TreeBuilder::floatChild(amp, "Amplitude", 2.0f);
  TreeNodeRef track = child(amp, "track");
  TreeBuilder::intChild(track, "before", 1);
  TreeBuilder::intChild(track, "after", 1);
  TreeBuilder::floatChild(child(track, "key", 0), "value", 1.0f);
  TreeNodeRef k1 = child(track, "key", 1);
  TreeBuilder::floatChild(k1, "time", 4.0f);
  TreeBuilder::floatChild(k1, "value", 3.0f);
  child(sin, "input", 2);  // "Frequency" node without its value: 0.0
  // "Phase" and "Offset" have no node: constructor defaults.

  Project p;
  load(tb.root, p);
  ASSERT_EQ(p.graphs.size(), 1u);
  OperatorGraph& graph = *p.graphs[0];
  EXPECT_EQ(graph.id, 9);
  ASSERT_EQ(graph.operators.size(), 3u);
  EXPECT_NE(graph.finalOutput(), nullptr);
  EXPECT_NE(graph.finalInput(), nullptr);
  Operator& op = *graph.operators[2];
  EXPECT_EQ(op.type, "Sin");
  EXPECT_EQ(op.id, 7);
  EXPECT_EQ(graph.nextId, 8);  // ids 0, 1, 7
  EXPECT_FLOAT_EQ(floatParam(op, "Value"), 0.5f);
  EXPECT_FLOAT_EQ(floatParam(op, "Frequency"), 0.0f);
  EXPECT_FLOAT_EQ(floatParam(op, "Phase"), 0.0f);
  Port& a = param(op, "Amplitude");
  ASSERT_NE(a.curve, nullptr);
  EXPECT_EQ(a.source.get(), a.curve);
  EXPECT_FLOAT_EQ(floatParam(op, "Amplitude"), 2.0f);  // the holder starts at the constant
  ASSERT_EQ(a.curve->keys.size(), 2u);
  EXPECT_FLOAT_EQ(a.curve->keys[1].time, 4.0f);
  Context ctx;
  a.evaluate(2.0f, ctx);
  EXPECT_FLOAT_EQ(ctx.floatResult, 2.0f);
  EXPECT_FLOAT_EQ(floatParam(op, "Amplitude"), 2.0f);
  a.evaluate(9.0f, ctx);
  EXPECT_FLOAT_EQ(floatParam(op, "Amplitude"), 3.0f);  // held: the last curve value
  // The constructor defaults survive where no node exists.
  EXPECT_FLOAT_EQ(floatParam(op, "Offset"), 0.0f);
  Operator& fresh = *graph.createOperator("Sin");
  EXPECT_FLOAT_EQ(floatParam(fresh, "Amplitude"), 1.0f);
  EXPECT_EQ(fresh.id, 8);
}

TEST_F(Loader, ConnectionsAreOrderedByTheirStoredIndex) {
  TreeBuilder tb;
  TreeNodeRef g = tb.graph(0, 1);
  TreeBuilder::op(g, 0, "Output", 0);
  TreeBuilder::op(g, 1, "Input", 1);
  TreeNodeRef mix = TreeBuilder::op(g, 2, "TestMix", 2);
  for (int i = 0; i < 3; ++i) {
    TreeNodeRef v = TreeBuilder::op(g, 3 + i, "Var", 3 + i);
    TreeBuilder::floatChild(child(v, "input", 0), "Value", static_cast<float>(i + 1));
  }
  TreeBuilder::floatChild(child(mix, "input", 3), "Scale", 1.0f);
  // Listed on the target as index 2 (Var 5) before index 1 (Var 4); Var 4 lists its own
  // connection too. Var 3's connection (index 0) stands only in Var 3's list, so it is
  // linked after the target has been sorted once.
  TreeBuilder::connection(mix, 0, 5, "FloatOut", 2, "Values", 2);
  TreeBuilder::connection(mix, 1, 4, "FloatOut", 2, "Values", 1);
  TreeBuilder::connection(child(g, "operator", 4), 0, 4, "FloatOut", 2, "Values", 1);
  TreeBuilder::connection(child(g, "operator", 3), 0, 3, "FloatOut", 2, "Values", 0);
  Project p;
  load(tb.root, p);
  Operator& op = *p.graphs[0]->operators[2];
  Context ctx;
  op.outputs[0].evaluate(0, ctx);
  EXPECT_FLOAT_EQ(ctx.floatResult, 123.0f);
  EXPECT_EQ(op.connections.size(), 2u);
  EXPECT_EQ(param(op, "Values").sourceOrder.size(), 3u);
}

TEST_F(Loader, UnresolvableConnectionsAndUnknownTypesAreSkipped) {
  TreeBuilder tb;
  TreeNodeRef g = tb.graph(0, 1);
  TreeBuilder::op(g, 0, "Output", 0);
  TreeBuilder::op(g, 1, "Input", 1);
  TreeBuilder::op(g, 2, "NoSuchOperator", 2);
  TreeNodeRef add = TreeBuilder::op(g, 3, "Add", 3);
  TreeBuilder::floatChild(child(add, "input", 0), "Value 1", 4.0f);
  TreeBuilder::floatChild(child(add, "input", 1), "Value 2", 0.5f);
  TreeBuilder::connection(add, 0, 99, "FloatOut", 3, "Value 1", -1);   // unknown id
  TreeBuilder::connection(add, 1, 2, "FloatOut", 3, "Value 2", -1);    // the unknown operator
  TreeBuilder::connection(add, 2, 3, "Nope", 3, "Value 1", -1);        // unknown port
  TreeBuilder::connection(add, 3, 3, "FloatOut", 77, "Value 1", -1);   // unknown target
  Project p;
  load(tb.root, p);
  OperatorGraph& graph = *p.graphs[0];
  ASSERT_EQ(graph.operators.size(), 3u);
  Operator& op = *graph.operators[2];
  // The operator after the unknown one is read from its own node.
  EXPECT_EQ(op.type, "Add");
  EXPECT_EQ(op.id, 3);
  EXPECT_EQ(op.connections.size(), 4u);
  for (const Port& in : op.inputs) EXPECT_TRUE(in.sources.empty());
  Context ctx;
  op.outputs[0].evaluate(0, ctx);
  EXPECT_FLOAT_EQ(ctx.floatResult, 4.5f);
  EXPECT_EQ(graph.nextId, 4);

  // The unresolved records survive a save and load without harm.
  const std::string path = file("unresolved");
  ASSERT_TRUE(saveProjectFile(path, p));
  Project back;
  ASSERT_TRUE(loadProjectFile(path, back));
  EXPECT_EQ(back.graphs[0]->operators[2]->connections.size(), 4u);
}

TEST_F(Loader, HostileIdsAndPortNamesNeitherOverflowNorRecurse) {
  TreeBuilder tb;
  TreeNodeRef g = tb.graph(0, 5);
  TreeBuilder::op(g, 0, "Output", 0);
  TreeBuilder::op(g, 1, "Input", 1);
  TreeNodeRef var = TreeBuilder::op(g, 2, "Var", INT32_MAX);
  TreeBuilder::floatChild(child(var, "input", 0), "Value", 6.0f);
  // A target property may name an output. The graph's end fed into its own output would
  // evaluate itself for ever.
  TreeBuilder::connection(child(g, "operator", 0), 0, 0, "Output", 0, "Output", -1);
  TreeBuilder::connection(child(g, "operator", 0), 1, INT32_MAX, "FloatOut", 0, "In", -1);
  TreeNodeRef s = child(child(tb.r(), "track", 0), "trackSpan", 0);
  TreeBuilder::floatChild(s, "timeEnd", 10);
  TreeBuilder::intChild(s, "graphId", 5);
  Project p;
  load(tb.root, p);
  OperatorGraph& graph = *p.graphs[0];
  // The id after the highest one wraps in 32 bits.
  EXPECT_EQ(graph.nextId, INT32_MIN);
  EXPECT_EQ(graph.createOperator("Var")->id, INT32_MIN);
  EXPECT_EQ(graph.createOperator("Var")->id, INT32_MIN + 1);

  float t = 1;
  Context ctx;
  EXPECT_EQ(p.evaluate(t, ctx), graph.finalOutput());
  EXPECT_FLOAT_EQ(ctx.floatResult, 6.0f);  // the picture's operator still ran
}

TEST_F(Loader, SpansDropTheStoredTimeTypeAndMissingValuesReadZero) {
  TreeBuilder tb;
  TreeNodeRef g = tb.graph(0, 5);
  TreeBuilder::op(g, 0, "Output", 0);
  TreeBuilder::op(g, 1, "Input", 1);
  TreeNodeRef s0 = child(child(tb.r(), "track", 0), "trackSpan", 0);
  TreeBuilder::floatChild(s0, "timeStart", 10);
  TreeBuilder::floatChild(s0, "timeEnd", 20);
  TreeBuilder::intChild(s0, "graphId", 5);
  TreeBuilder::intChild(s0, "upstreamLinkType", 1);
  TreeBuilder::intChild(s0, "timeType", 1);
  TreeBuilder::floatChild(s0, "offsetGlobal", 0.5f);
  TreeBuilder::floatChild(s0, "offsetSpan", 2);
  TreeNodeRef s1 = child(child(tb.r(), "track", 3), "trackSpan", 0);  // no timeEnd
  TreeBuilder::intChild(s1, "graphId", 5);
  child(child(tb.r(), "track", 16), "trackSpan", 0);  // beyond the 16 tracks: left out, with a warning
  child(tb.r(), "track", 17);                          // no spans: nothing is lost
  child(child(tb.r(), "TRACK", 40), "trackSpan", 0);
  Project p;
  load(tb.root, p);
  EXPECT_EQ(ignoredContentWarnings(tb.root, "p.opr_b"),
            "p.opr_b: track 16 holds spans, but a production has tracks 0 to 15 only; they are left out\n"
            "p.opr_b: track 40 holds spans, but a production has tracks 0 to 15 only; they are left out");
  ASSERT_EQ(p.tracks.size(), 16u);
  ASSERT_EQ(p.tracks[0].spans.size(), 1u);
  EXPECT_EQ(p.tracks[0].spans[0]->timeType, 0u);
  EXPECT_FLOAT_EQ(p.tracks[3].spans[0]->timeEnd, 0.0f);
  EXPECT_TRUE(p.tracks[1].spans.empty());
  float t = 12;
  Context ctx;
  EXPECT_NE(p.evaluate(t, ctx), nullptr);
  EXPECT_FLOAT_EQ(t, 12.5f);  // t + offsetGlobal, not t - timeStart + offsetSpan
  t = 0;
  EXPECT_EQ(p.evaluate(t, ctx), nullptr);  // the span without timeEnd never shows
}

TEST_F(Loader, FilesThatCannotBeReadFullyOrAtAll) {
  std::string error;
  Project p;
  const int32_t before = p.graphs[0]->id;
  EXPECT_FALSE(loadProjectFile(tempPath("missing_dir") + "/none.opr_b", p, &error));
  EXPECT_NE(error.find("none.opr_b"), std::string::npos);
  ASSERT_EQ(p.graphs.size(), 1u);  // unchanged
  EXPECT_EQ(p.graphs[0]->id, before);

  // Only the magic: an empty tree, a project with nothing in it.
  const std::string empty = file("empty");
  {
    std::ofstream f(empty, std::ios::binary);
    f.write("\xA3\xA1\xA2\xA0", 4);
  }
  // A real file always holds its counts: this one was cut, and the loader says so.
  EXPECT_FALSE(loadProjectFile(empty, p, &error));
  EXPECT_NE(error.find("cut short"), std::string::npos) << error;
  EXPECT_TRUE(p.graphs.empty());
  EXPECT_EQ(p.tracks.size(), 16u);
  float t = 0;
  Context ctx;
  EXPECT_EQ(p.evaluate(t, ctx), nullptr);

  // A damaged file loads what it holds and says so.
  Project src;
  const std::string good = file("good");
  ASSERT_TRUE(saveProjectFile(good, src));
  std::string bytes;
  {
    std::ifstream f(good, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(f), {});
  }
  const std::string damaged = file("damaged");
  {
    std::ofstream f(damaged, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size() - 3));
  }
  error.clear();
  EXPECT_FALSE(loadProjectFile(damaged, p, &error));
  EXPECT_NE(error.find(damaged), std::string::npos);
  EXPECT_EQ(p.tracks.size(), 16u);

  // Spans on a seventeenth track are left out, and the load reports it.
  {
    TreeFile tree;
    src.serialize({&tree.root(), true});
    child(child({&tree.root(), true}, "track", 16), "trackSpan", 0);
    const std::string extra = file("extra_track");
    ASSERT_TRUE(tree.writeFile(extra));
    EXPECT_FALSE(loadProjectFile(extra, p, &error));
    EXPECT_NE(error.find("track 16 holds spans"), std::string::npos) << error;
    EXPECT_EQ(p.graphs.size(), src.graphs.size());
  }

  EXPECT_FALSE(saveProjectFile(tempPath("missing_dir") + "/out.opr_b", src, &error));
  EXPECT_NE(error.find("out.opr_b"), std::string::npos);
}

}  // namespace

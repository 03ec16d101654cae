// What the traversal promises beyond single operators: Group's choice and time of its inputs,
// Eval's window, a pulled-in graph drawn under the caller's transform, and that every scene
// operator but a camera leaves the world and material fields bit for bit as it found them.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>

#include "scene/Grouping.h"
#include "tests/scene/TraversalTestSupport.h"

using namespace scenetest;

namespace {

// Three probes into one Group, connected in this order.
struct ThreeIntoGroup {
  SceneGraph s;
  Operator& group = s.op("Group");
  ProbeOp* probes[3] = {&s.probe(), &s.probe(), &s.probe()};
  ThreeIntoGroup() {
    for (ProbeOp* p : probes) s.connect(*p, "OutScene", group, "InScene");
  }
  std::vector<size_t> drawn() const {
    std::vector<size_t> out;
    for (size_t i = 0; i < 3; ++i) out.push_back(probes[i]->visits.size());
    return out;
  }
};

TEST(Group, EvalIndexPicksOneConnectionAllOrNone) {
  {
    ThreeIntoGroup g;
    g.s.eval(g.group, 0.0f);  // default -1: all three
    EXPECT_EQ(g.drawn(), (std::vector<size_t>{1, 1, 1}));
  }
  {
    ThreeIntoGroup g;
    setParam(g.group, "EvalIndex", 1);
    g.s.eval(g.group, 0.0f);
    EXPECT_EQ(g.drawn(), (std::vector<size_t>{0, 1, 0}));
    setParam(g.group, "EvalIndex", 1.9f);  // truncated
    g.s.eval(g.group, 0.0f);
    EXPECT_EQ(g.drawn(), (std::vector<size_t>{0, 2, 0}));
    setParam(g.group, "EvalIndex", 3);
    g.s.eval(g.group, 0.0f);
    setParam(g.group, "EvalIndex", 5);
    g.s.eval(g.group, 0.0f);
    EXPECT_EQ(g.drawn(), (std::vector<size_t>{0, 2, 0}));
  }
}

TEST(Group, ConnectionsAreDrawnInOrderAtTheOffsetTime) {
  ThreeIntoGroup g;
  setParam(g.group, "TimeOffset", 1.5f);
  g.s.eval(g.group, 4.0f);
  for (ProbeOp* p : g.probes) {
    ASSERT_EQ(p->visits.size(), 1u);
    EXPECT_EQ(p->visits[0].t, 2.5f);
  }
  // Order: two Transforms into one probe, connected second first; the probe's visits tell
  // which was drawn first.
  SceneGraph s;
  Operator& group = s.op("Group");
  Operator& a = s.op("Transform");
  Operator& b = s.op("Transform");
  ProbeOp& probe = s.probe();
  setParam(a, "Position.X", 1);
  setParam(b, "Position.X", 2);
  s.feed(probe, a);
  s.feed(probe, b);
  s.connect(b, "OutScene", group, "InScene");
  s.connect(a, "OutScene", group, "InScene");
  s.eval(group, 0.0f);
  ASSERT_EQ(probe.visits.size(), 2u);
  EXPECT_EQ(probe.visits[0].world.at(3, 0), 2.0f);
  EXPECT_EQ(probe.visits[1].world.at(3, 0), 1.0f);
}

TEST(Group, AConnectionLoopingBackEndsInsteadOfRecursing) {
  SceneGraph s;
  Operator& group = s.op("Group");
  Operator& tr = s.op("Transform");
  ProbeOp& probe = s.probe();
  s.connect(probe, "OutScene", group, "InScene");
  s.connect(tr, "OutScene", group, "InScene");
  s.connect(group, "OutScene", tr, "InScene");
  s.eval(group, 0.0f);
  EXPECT_EQ(probe.visits.size(), 1u);
}

TEST(SceneEval, DrawsFromStartToEndBothIncluded) {
  SceneGraph s;
  Operator& ev = s.op("Eval");
  ProbeOp& probe = s.probe();
  s.connect(probe, "OutScene", ev, "SCeneIn");
  setParam(ev, "Start", 2);
  setParam(ev, "End", 5);
  for (float t : {1.999f, 2.0f, 3.5f, 5.0f, 5.001f}) s.eval(ev, t);
  ASSERT_EQ(probe.visits.size(), 3u);
  EXPECT_EQ(probe.visits[0].t, 2.0f);
  EXPECT_EQ(probe.visits[2].t, 5.0f);
}

TEST(GraphOperator, DrawsTheOtherGraphsSceneUnderTheCurrentTransformAndOffsetTime) {
  registerSceneOperators();
  Project project;
  project.clear();
  project.graphs.push_back(newGraph(10));
  project.graphs.push_back(newGraph(20));
  OperatorGraph& main = *project.graphs[0];
  OperatorGraph& pulled = *project.graphs[1];
  ProbeOp& probe = add<ProbeOp>(pulled);
  ASSERT_TRUE(pulled.connect(probe, "OutScene", *pulled.finalOutput(), "In"));

  Operator& tr = make(main, "Transform");
  Operator& graphOp = make(main, "Graph");
  setParam(graphOp, "Graph ID", std::bit_cast<float>(int32_t{20}));
  setParam(graphOp, "Time Offset", 0.25f);
  setParam(tr, "Position.Z", 7);
  ASSERT_TRUE(main.connect(graphOp, "Output", tr, "InScene"));

  setCurrentProject(&project);
  Context ctx;
  tr.outputs[0].evaluate(1.0f, ctx);
  ASSERT_EQ(probe.visits.size(), 1u);
  EXPECT_EQ(probe.visits[0].t, 1.25f);
  EXPECT_EQ(probe.visits[0].world.at(3, 2), 7.0f);
  EXPECT_EQ(probe.visits[0].worldPrev.at(3, 2), 7.0f);
  setCurrentProject(nullptr);
}

// ---- the Context's world and material fields --------------------------------------------------

struct Material {
  Float4x4 world, worldPrev;
  Float4 baseColor, specularColor, emissive;
  float roughness, metalness;
  Float2 tileUV;
  Texture *albedo, *roughnessTex, *metalnessTex, *emissiveTex, *normalTex;
  ShaderProgram* shader;
  float shaderParams[3];
};

Material snapshot(const Context& c) {
  return {c.world, c.worldPrev, c.baseColor, c.specularColor, c.emissive, c.roughness, c.metalness, c.tileUV,
          c.albedoTexture, c.roughnessTexture, c.metalnessTexture, c.emissiveTexture, c.normalTexture, c.shader,
          {c.shaderParams[0], c.shaderParams[1], c.shaderParams[2]}};
}

bool sameBits(const Material& a, const Material& b) {
  return scenetest::sameBits(a.world, b.world) && scenetest::sameBits(a.worldPrev, b.worldPrev) &&
         std::memcmp(&a.baseColor, &b.baseColor, sizeof(Float4) * 3) == 0 &&
         std::bit_cast<uint32_t>(a.roughness) == std::bit_cast<uint32_t>(b.roughness) &&
         std::bit_cast<uint32_t>(a.metalness) == std::bit_cast<uint32_t>(b.metalness) &&
         std::memcmp(&a.tileUV, &b.tileUV, sizeof(Float2)) == 0 && a.albedo == b.albedo &&
         a.roughnessTex == b.roughnessTex && a.metalnessTex == b.metalnessTex && a.emissiveTex == b.emissiveTex &&
         a.normalTex == b.normalTex && a.shader == b.shader &&
         std::memcmp(a.shaderParams, b.shaderParams, sizeof a.shaderParams) == 0;
}

// Odd values everywhere, negative zeros included, so that a restore through arithmetic (a
// matrix multiplied back by an inverse, say) would show.
void scribble(Context& c) {
  for (int i = 0; i < 16; ++i) {
    c.world.m[i] = i % 5 == 0 ? -0.0f : 0.1f * float(i) + 1e-7f;
    c.worldPrev.m[i] = i % 3 == 0 ? -0.0f : 1.0f / float(i + 3);
  }
  c.baseColor = {0.3f, -0.0f, 1e-30f, 0.7f};
  c.specularColor = {0.2f, 0.4f, 0.6f, 0.8f};
  c.emissive = {1.5f, 0.0f, -0.0f, 2.0f};
  c.roughness = 0.123f;
  c.metalness = -0.0f;
  c.tileUV = {3.0f, 0.33333f};
  c.shaderParams[0] = -0.0f, c.shaderParams[1] = 7.0f, c.shaderParams[2] = 1e-40f;
}

TEST(ContextInvariants, SceneOperatorsLeaveWorldAndMaterialAsTheyFoundThem) {
  struct Case {
    const char* type;
    std::vector<std::pair<const char*, float>> params;
  };
  const Case cases[] = {
      {"Transform", {{"Position.X", 1}, {"Rotation.Y", 33}, {"Scale.Z", 3}}},
      {"Repeat", {{"Count", 3}, {"TimeOffset", 0.1f}, {"Rotation.X", 10}, {"Scale.X", 1.5f}}},
      {"Replicate", {{"Count", 5}, {"Mode", 1}, {"RotateRandom.Z", 90}, {"ScaleRandom.Y", 2}, {"SizeRandom", 1}}},
      {"Replicate", {{"Count", 0}}},
      {"Group", {{"TimeOffset", 2}}},
      {"Eval", {{"Start", -1}}},
      {"Material", {{"Color.R", 0.9f}, {"Metalness", 0.1f}, {"TileU", 4}, {"EmissiveBrightness", 3}}},
      {"CustomMaterial", {{"Param 1", 2}, {"Roughness", 0.9f}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    SceneGraph s;
    Operator& op = s.op(c.type);
    for (auto [name, value] : c.params) setParam(op, name, value);
    // The input changes the world on its way too: a Transform in front of the probe.
    Operator& inner = s.op("Transform");
    setParam(inner, "Position.Y", 4);
    ProbeOp& probe = s.probe();
    s.feed(probe, inner);
    s.connect(inner, "OutScene", op, op.inputs[0].name);
    scribble(s.ctx);
    const Material before = snapshot(s.ctx);
    s.eval(op, 1.0f);
    EXPECT_TRUE(sameBits(snapshot(s.ctx), before));
  }
}

TEST(ContextInvariants, CamerasLeaveTheirCameraButNotTheWorld) {
  for (const char* type : {"Camera", "TargetCamera"}) {
    SCOPED_TRACE(type);
    SceneGraph s;
    Operator& cam = s.op(type);
    Operator& tr = s.op("Transform");
    setParam(tr, "Position.X", 2);
    ProbeOp& probe = s.probe();
    s.feed(probe, tr);
    s.feed(tr, cam);
    s.ctx.viewport = {0, 0, 30, 20};
    scribble(s.ctx);
    const Material before = snapshot(s.ctx);
    s.eval(cam, 1.0f);
    EXPECT_TRUE(sameBits(snapshot(s.ctx), before));
    ASSERT_EQ(probe.visits.size(), 1u);
    EXPECT_TRUE(scenetest::sameBits(s.ctx.camera, probe.visits[0].camera));
    EXPECT_TRUE(scenetest::sameBits(s.ctx.cameraPrev, probe.visits[0].cameraPrev));
    EXPECT_TRUE(scenetest::sameBits(s.ctx.projection, probe.visits[0].projection));
    EXPECT_FALSE(scenetest::sameBits(s.ctx.camera, Float4x4::identity()));
  }
}

}  // namespace

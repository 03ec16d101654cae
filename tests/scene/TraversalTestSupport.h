#pragma once
// Helpers for the scene operator suites: a leaf that records what the traversal left in the
// Context each time it is drawn, and a graph to build scenes in.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/Project.h"
#include "scene/Operators.h"
#include "tests/engine/TestSupport.h"

namespace scenetest {

struct Visit {
  float t = 0.0f;
  Float4x4 world, worldPrev, camera, cameraPrev, projection;
};

// A scene leaf: each evaluation appends what it sees to `visits`.
class ProbeOp : public Operator {
 public:
  ProbeOp() : Operator(CategoryGeometry) {
    addOutput("OutScene", PortType::Scene, std::make_unique<Fn>(this));
    linkOutput();
  }
  struct Fn : Function {
    explicit Fn(ProbeOp* o) : owner(o) {}
    void evaluate(float t, const std::vector<Port*>&, Context& ctx) override {
      owner->visits.push_back({t, ctx.world, ctx.worldPrev, ctx.camera, ctx.cameraPrev, ctx.projection});
    }
    ProbeOp* owner;
  };
  std::vector<Visit> visits;
};

// A graph with the scene operators registered.
struct SceneGraph {
  SceneGraph() : graph(newGraph(1)) { registerSceneOperators(); }
  Operator& op(const std::string& type) { return make(*graph, type); }
  ProbeOp& probe() { return add<ProbeOp>(*graph); }
  void connect(Operator& from, const std::string& out, Operator& to, const std::string& in) {
    if (!graph->connect(from, out, to, in)) throw std::runtime_error("cannot connect " + out + " to " + in);
  }
  // The usual scene connection: OutScene into the first input.
  void feed(Operator& from, Operator& to) { connect(from, "OutScene", to, to.inputs.at(0).name); }
  void eval(Operator& op, float t) { op.outputs.at(0).evaluate(t, ctx); }

  std::unique_ptr<OperatorGraph> graph;
  Context ctx;
};

inline bool sameBits(const Float4x4& a, const Float4x4& b) { return std::memcmp(a.m, b.m, sizeof a.m) == 0; }

}  // namespace scenetest

#pragma once
// Hand-made operators for driving scene operators in tests: a scene leaf that runs a
// callback with the Context when it is reached, an image source that leaves a given
// texture as the Context's image result, and a float source that returns the time.
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "engine/Operator.h"
#include "engine/Project.h"
#include "tests/engine/TestSupport.h"  // make, setParam, add, newGraph

class ProbeSceneOp : public Operator {
 public:
  using Callback = std::function<void(float t, Context& ctx)>;
  explicit ProbeSceneOp(Callback cb = {}) {
    addOutput("SceneOut", PortType::Scene, std::make_unique<Fn>(this));
    linkOutput();
    callback = std::move(cb);
  }
  struct Fn : Function {
    explicit Fn(ProbeSceneOp* o) : op(o) {}
    void evaluate(float t, const std::vector<Port*>&, Context& ctx) override {
      ++op->visits;
      if (op->callback) op->callback(t, ctx);
    }
    ProbeSceneOp* op;
  };
  Callback callback;
  int visits = 0;
};

class FakeImageOp : public Operator {
 public:
  explicit FakeImageOp(Texture* image) : picture(image) {
    addOutput("ImageOut", PortType::Image, std::make_unique<Fn>(this));
    linkOutput();
  }
  struct Fn : Function {
    explicit Fn(FakeImageOp* o) : op(o) {}
    void evaluate(float, const std::vector<Port*>&, Context& ctx) override { ctx.imageResult = op->picture; }
    FakeImageOp* op;
  };
  Texture* picture;
};

class TimeSourceOp : public Operator {
 public:
  TimeSourceOp() {
    addOutput("FloatOut", PortType::Float, std::make_unique<Fn>());
    linkOutput();
  }
  struct Fn : Function {
    void evaluate(float t, const std::vector<Port*>&, Context& ctx) override { ctx.floatResult = t; }
  };
};

template <class T, class... A>
T& addOp(OperatorGraph& g, A&&... args) {
  auto op = std::make_unique<T>(std::forward<A>(args)...);
  op->id = g.nextId++;
  T& ref = *op;
  g.operators.push_back(std::move(op));
  return ref;
}

inline Operator& makeOp(OperatorGraph& g, const std::string& type) {
  Operator* op = g.createOperator(type);
  if (!op) throw std::runtime_error("unregistered type " + type);
  return *op;
}

inline void setText(Operator& op, const std::string& name, const std::string& v) {
  Port* p = op.findPort(name);
  if (!p) throw std::runtime_error("no port " + name);
  static_cast<Text*>(p->source->value())->value = v;
}

inline void connectOrThrow(OperatorGraph& g, Operator& src, const std::string& sp, Operator& dst,
                           const std::string& dp) {
  if (!g.connect(src, sp, dst, dp)) throw std::runtime_error("cannot connect " + sp + " -> " + dp);
  for (Port& in : dst.inputs) in.sortSources();
}

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

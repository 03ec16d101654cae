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

inline void setParam(Operator& op, const std::string& name, float v) {
  Port* p = op.findPort(name);
  if (!p) throw std::runtime_error("no port " + name);
  static_cast<Float*>(p->source->value())->value = v;
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

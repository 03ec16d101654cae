#pragma once
// Small helpers shared by the engine suites.
#include <memory>
#include <stdexcept>
#include <string>

#include "engine/Project.h"

inline Operator& make(OperatorGraph& g, const std::string& type) {
  Operator* op = g.createOperator(type);
  if (!op) throw std::runtime_error("unregistered type " + type);
  return *op;
}

inline void setParam(Operator& op, const std::string& name, float v) {
  Port* p = op.findPort(name);
  if (!p) throw std::runtime_error("no port " + name);
  static_cast<Float*>(p->source->value())->value = v;
}

inline float out(Operator& op, size_t index, float t, Context& ctx) {
  op.outputs.at(index).evaluate(t, ctx);
  return ctx.floatResult;
}

// A graph with its ends, as the loader makes them.
inline std::unique_ptr<OperatorGraph> newGraph(int32_t id, const std::string& name = {}) {
  auto g = std::make_unique<OperatorGraph>();
  g->id = id;
  g->name = name;
  g->createGraphEnds();
  return g;
}

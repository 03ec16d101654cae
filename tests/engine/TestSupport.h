#pragma once
// Small helpers shared by the engine suites.
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

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

// Appends a hand-made operator (one that is not registered) with the graph's next id.
template <class T, class... A>
T& add(OperatorGraph& g, A&&... args) {
  auto op = std::make_unique<T>(std::forward<A>(args)...);
  op->id = g.nextId++;
  T& ref = *op;
  g.operators.push_back(std::move(op));
  return ref;
}

// A graph with its ends, as the loader makes them.
inline std::unique_ptr<OperatorGraph> newGraph(int32_t id, const std::string& name = {}) {
  auto g = std::make_unique<OperatorGraph>();
  g->id = id;
  g->name = name;
  g->createGraphEnds();
  return g;
}

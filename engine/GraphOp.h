#pragma once
// "Graph": draws another graph of the current project inside this one, at a time offset.
#include "engine/Operator.h"

class GraphOp : public Operator {
 public:
  GraphOp();
  class GraphFunction : public Function {
   public:
    explicit GraphFunction(GraphOp* op) : owner(op) {}
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    GraphOp* owner;
  };
};

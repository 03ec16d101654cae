#pragma once
// "Group" draws several scenes (or one of them) at a time offset; "Eval" draws its scene only
// inside a time window. Neither changes the Context.
#include <iterator>
#include <vector>

#include "engine/Operator.h"

class GroupOp : public Operator {
 public:
  enum In : uint32_t { InScene, EvalIndex, TimeOffset, Count };
  static constexpr ParamDecl kParams[] = {
      param::scene("InScene", PortFlagMulti),
      param::integer("EvalIndex", -1.0f),
      param::number("TimeOffset", 0.0f),
  };
  static_assert(std::size(kParams) == Count);

  GroupOp();
  class GroupFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;

   private:
    // The connections as they were when the evaluation began (kept to reuse its storage), and
    // whether this group is being drawn: a production whose connections loop back into the
    // group would otherwise recurse without end.
    std::vector<Port*> connections_;
    bool active_ = false;
  };
};

class SceneEvalOp : public Operator {
 public:
  enum In : uint32_t { SceneIn, Start, End, Count };
  static constexpr ParamDecl kParams[] = {
      param::scene("SCeneIn"),
      param::number("Start", 0.0f),
      param::number("End", 1000.0f),
  };
  static_assert(std::size(kParams) == Count);

  SceneEvalOp();
  class SceneEvalFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

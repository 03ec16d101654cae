#pragma once
// Image operators that only choose what is drawn and when: "ImageEval" (a time window),
// "ImageGroup" (all inputs or one) and "TimeOffset" (the input at another time).
#include <iterator>
#include <vector>

#include "engine/Operator.h"

class ImageEvalOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, Start, End, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"), param::number("Start", 0.0f), param::number("End", 1000.0f)};
  static_assert(std::size(kParams) == Count);

  ImageEvalOp();
  class ImageEvalFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class ImageGroupOp : public Operator {
 public:
  enum In : uint32_t { InImage, EvalIndex, Count };
  static constexpr ParamDecl kParams[] = {param::image("InImage", PortFlagMulti), param::integer("EvalIndex", 0.0f)};
  static_assert(std::size(kParams) == Count);

  ImageGroupOp();
  class ImageGroupFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;

   private:
    // As in the scene "Group": the connections copied before they are walked, and a guard
    // against connections that loop back into this operator.
    std::vector<Port*> connections_;
    bool active_ = false;
  };
};

class TimeOffsetOp : public Operator {
 public:
  enum In : uint32_t { InImage, Offset, Count };
  static constexpr ParamDecl kParams[] = {param::image("InImage"), param::number("Offset", 0.0f)};
  static_assert(std::size(kParams) == Count);

  TimeOffsetOp();
  class TimeOffsetFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

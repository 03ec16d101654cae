#include "image/Routing.h"

#include "engine/FloatOperators.h"

ImageEvalOp::ImageEvalOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  // An image output, whatever its name says.
  addOutput("SceneOut", PortType::Image, std::make_unique<ImageEvalFunction>());
  linkOutput();
}

void ImageEvalOp::ImageEvalFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const float start = evalFloat(s, Start, t, ctx);
  const float end = evalFloat(s, End, t, ctx);
  if (start <= t && t <= end) evalInput(s, ImageIn, t, ctx);
}

ImageGroupOp::ImageGroupOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addOutput("OutImage", PortType::Image, std::make_unique<ImageGroupFunction>());
  linkOutput();
}

void ImageGroupOp::ImageGroupFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  if (active_) return;
  const int32_t index = truncToInt32(evalFloat(s, EvalIndex, t, ctx));
  connections_.assign(s[InImage]->sources.begin(), s[InImage]->sources.end());
  active_ = true;
  if (index < 0) {
    for (Port* p : connections_) p->evaluate(t, ctx);
  } else if (static_cast<size_t>(index) < connections_.size()) {
    connections_[static_cast<size_t>(index)]->evaluate(t, ctx);
  }
  active_ = false;
}

TimeOffsetOp::TimeOffsetOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addOutput("OutImage", PortType::Image, std::make_unique<TimeOffsetFunction>());
  linkOutput();
}

void TimeOffsetOp::TimeOffsetFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  evalInput(s, InImage, t + evalFloat(s, Offset, t, ctx), ctx);
}

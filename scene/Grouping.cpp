#include "scene/Grouping.h"

#include "engine/FloatOperators.h"
#include "scene/SceneOpSupport.h"

GroupOp::GroupOp() : Operator(CategoryGroup) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Scene, std::make_unique<GroupFunction>());
  linkOutput();
}

void GroupOp::GroupFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  if (active_) return;
  // Copied first, so that whatever the evaluation does to the connections cannot disturb
  // the walk over them.
  connections_.assign(s[InScene]->sources.begin(), s[InScene]->sources.end());
  const int32_t index = truncToInt32(evalFloat(s, EvalIndex, t, ctx));
  const float childTime = t - evalFloat(s, TimeOffset, t, ctx);
  active_ = true;
  if (index < 0) {
    for (Port* p : connections_) p->evaluate(childTime, ctx);
  } else if (static_cast<size_t>(index) < connections_.size()) {
    connections_[static_cast<size_t>(index)]->evaluate(childTime, ctx);
  }
  active_ = false;
}

SceneEvalOp::SceneEvalOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Scene, std::make_unique<SceneEvalFunction>());
  linkOutput();
}

void SceneEvalOp::SceneEvalFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const float start = evalFloat(s, Start, t, ctx);
  const float end = evalFloat(s, End, t, ctx);
  if (start <= t && t <= end) evalInput(s, SceneIn, t, ctx);
}

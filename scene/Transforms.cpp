#include "scene/Transforms.h"

#include <cmath>

#include "engine/Choice.h"
#include "engine/FloatOperators.h"
#include "scene/SceneOpSupport.h"

int32_t sceneCopyCount(float count) {
  if (!(count >= 1.0f)) return 0;  // also NaN
  if (count >= float(kMaxSceneCopies)) return kMaxSceneCopies;
  return static_cast<int32_t>(count);
}

namespace {

// Position, Rotation (degrees) and Scale: nine inputs from `first`, in that order.
struct Placement {
  Float3 position, rotation, scale;
};

Placement readPlacement(const std::vector<Port*>& s, size_t first, float t, Context& ctx) {
  Placement p;
  p.position = evalFloat3(s, first, t, ctx);
  p.rotation = evalFloat3(s, first + 3, t, ctx);
  p.scale = evalFloat3(s, first + 6, t, ctx);
  return p;
}

}  // namespace

// ---- Transform ------------------------------------------------------------------------------

TransformOp::TransformOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Scene, std::make_unique<TransformFunction>());
  linkOutput();
}

void TransformOp::TransformFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const Placement now = readPlacement(s, PosX, t, ctx);
  const Placement prev = readPlacement(s, PosX, t - kPreviousDt, ctx);

  SavedWorld saved(ctx);
  ctx.world = mat::scaleRotateTranslate(now.scale, now.rotation, now.position) * saved.world();
  ctx.worldPrev = mat::scaleRotateTranslate(prev.scale, prev.rotation, prev.position) * saved.worldPrev();
  evalInput(s, InScene, t, ctx);
}

// ---- Repeat ---------------------------------------------------------------------------------

RepeatOp::RepeatOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Scene, std::make_unique<RepeatFunction>());
  linkOutput();
}

void RepeatOp::RepeatFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const float timeOffset = evalFloat(s, TimeOffset, t, ctx);
  const int32_t n = sceneCopyCount(evalFloat(s, Copies, t, ctx));
  const Placement step = readPlacement(s, PosX, t, ctx);
  const Placement stepPrev = readPlacement(s, PosX, t - kPreviousDt, ctx);

  SavedWorld saved(ctx);
  // The first copy already has one step applied.
  for (int32_t i = 1; i <= n; ++i) {
    ctx.world = repeatStep(i, step.position, step.rotation, step.scale) * saved.world();
    ctx.worldPrev = repeatStep(i, stepPrev.position, stepPrev.rotation, stepPrev.scale) * saved.worldPrev();
    evalInput(s, InScene, t - static_cast<float>(i) * timeOffset, ctx);
  }
}

// ---- Replicate ------------------------------------------------------------------------------

ReplicateOp::ReplicateOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Scene, std::make_unique<ReplicateFunction>());
  linkOutput();
}

void ReplicateOp::ReplicateFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  ReplicateSettings r;
  r.count = sceneCopyCount(evalFloat(s, Copies, t, ctx));
  if (r.count <= 0) return;
  r.radius = evalFloat(s, Radius, t, ctx);
  r.mode = evalChoice(s, Mode, t, ctx);
  // This operator offers Ring, Point and Disc only: a spherical layout is an unknown mode here,
  // whose copies sit at the centre.
  if (r.mode == kReplicateSpherical) r.mode = -1;
  r.seed = static_cast<uint32_t>(truncToInt32(evalFloat(s, Seed, t, ctx)));
  r.orientation = evalChoice(s, Orientation, t, ctx);
  r.offsetRandom = evalFloat3(s, OffsetRandomX, t, ctx);
  r.offset = evalFloat3(s, OffsetX, t, ctx);
  r.wrap = evalFloat(s, Wrap, t, ctx);
  r.rotateRandom = evalFloat3(s, RotateRandomX, t, ctx);
  r.scaleRandom = evalFloat3(s, ScaleRandomX, t, ctx);
  r.sizeRandom = evalFloat(s, SizeRandom, t, ctx);

  SavedWorld saved(ctx);
  ReplicateLayout layout(r);
  for (int32_t i = 0; i < r.count; ++i) {
    // The random layout is not drawn again for the previous frame: both worlds get it.
    const Float4x4 local = layout.next();
    ctx.world = local * saved.world();
    ctx.worldPrev = local * saved.worldPrev();
    evalInput(s, InScene, t, ctx);
  }
}

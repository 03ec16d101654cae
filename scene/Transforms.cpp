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

Float4x4 repeatStep(int32_t i, Float3 position, Float3 rotationDegrees, Float3 scale) {
  const float k = static_cast<float>(i);
  const Float3 one{1.0f, 1.0f, 1.0f};
  return mat::scaleRotateTranslate(one + k * (scale - one), k * rotationDegrees, k * position);
}

// ---- Replicate layout ---------------------------------------------------------------------

ReplicateLayout::ReplicateLayout(const ReplicateSettings& settings) : s_(settings), engine_(settings.seed) {}

float ReplicateLayout::draw(float lo, float hi) {
  const uint32_t v = static_cast<uint32_t>(engine_());
  return lo + (hi - lo) * (static_cast<float>(v) * (1.0f / 4294967296.0f));
}

Float4x4 ReplicateLayout::next() {
  const int32_t i = index_++;
  const float step = 6.2831853f / static_cast<float>(s_.count);

  Float3 p;
  switch (s_.mode) {
    case ReplicateSettings::Ring: {
      const float a = static_cast<float>(i) * step;
      p = {std::cos(a) * s_.radius, 0.0f, std::sin(a) * s_.radius};
      break;
    }
    case ReplicateSettings::Point: {
      const float u1 = draw(-1.0f, 1.0f);
      const float u2 = draw(-1.0f, 1.0f);
      const float u3 = draw(-1.0f, 1.0f);
      p = Float3{u3, u2, u1} * s_.radius;
      break;
    }
    case ReplicateSettings::Disc: {
      const float u1 = draw(-1.0f, 1.0f);
      const float u2 = draw(-1.0f, 1.0f);
      p = Float3{u2, 0.0f, u1} * s_.radius;
      break;
    }
    default: break;
  }

  // Facing: outward from the centre. A copy at the centre (radius 0, or an unknown mode) has
  // no outward direction and faces +Z like the fixed orientation, instead of collapsing to a
  // zero frame; one on the -Y axis takes the other up hint like one on +Y.
  Float3 n{0.0f, 0.0f, 1.0f};
  const float lengthSq = dot(p, p);
  if (s_.orientation != ReplicateSettings::Fixed && lengthSq > 0.0f && std::isfinite(lengthSq)) n = normalize(p);
  const Float3 hint = std::fabs(n.y) > 0.999999f ? Float3{1.0f, 0.0f, 0.0f} : Float3{0.0f, 1.0f, 0.0f};
  const Float3 a = normalize(cross(n, hint));
  const Float3 b = normalize(cross(a, n));

  const float d1 = draw(-0.5f, 0.5f);
  const float d2 = draw(-0.5f, 0.5f);
  const float d3 = draw(-0.5f, 0.5f);
  Float3 q = p + s_.offset + Float3{d3 * s_.offsetRandom.x, d2 * s_.offsetRandom.y, d1 * s_.offsetRandom.z};

  const float size = 1.0f + draw(0.0f, s_.sizeRandom);
  if (s_.wrap > 0.5f) q.x = std::fmod(q.x, s_.wrap);

  const float e1 = draw(0.0f, 1.0f);
  const float e2 = draw(0.0f, 1.0f);
  const float e3 = draw(0.0f, 1.0f);
  const Float4x4 r = mat::rotationEulerDegrees(
      {e3 * s_.rotateRandom.x, e2 * s_.rotateRandom.y, e1 * s_.rotateRandom.z});

  const float f1 = draw(0.0f, 1.0f);
  const float f2 = draw(0.0f, 1.0f);
  const float f3 = draw(0.0f, 1.0f);
  const Float4x4 scale =
      mat::scaling({1.0f + f3 * s_.scaleRandom.x, 1.0f + f2 * s_.scaleRandom.y, 1.0f + f1 * s_.scaleRandom.z});

  Float4x4 frame;
  frame.setRow(0, size * a, 0.0f);
  frame.setRow(1, size * b, 0.0f);
  frame.setRow(2, -size * n, 0.0f);
  frame.setRow(3, q, 1.0f);
  return scale * r * frame;
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

#include "scene/Forces.h"

#include "scene/FrameSetup.h"

namespace {

std::vector<AttractorRecord>& attractorList() {
  static std::vector<AttractorRecord> list;
  return list;
}

std::vector<ColliderRecord>& colliderList() {
  static std::vector<ColliderRecord> list;
  return list;
}

// The lists join beginFrame's emptying with their first entry: before that they are empty.
void registerLists() {
  static const bool registered = (registerPerFrameList(&clearAttractors), registerPerFrameList(&clearColliders), true);
  (void)registered;
}

Float4 point(Float3 p) { return {p.x, p.y, p.z, 1.0f}; }
Float4 vector(Float3 v) { return {v.x, v.y, v.z, 0.0f}; }

}  // namespace

void addAttractor(const AttractorRecord& record) {
  registerLists();
  attractorList().push_back(record);
}
const std::vector<AttractorRecord>& attractors() { return attractorList(); }
void clearAttractors() { attractorList().clear(); }

void addCollider(const ColliderRecord& record) {
  registerLists();
  colliderList().push_back(record);
}
const std::vector<ColliderRecord>& colliders() { return colliderList(); }
void clearColliders() { colliderList().clear(); }

// ---------------------------------------------------------------- Attractor

const ParamDecl AttractorOp::kParams[] = {
    param::number("Position.x", 0.0f), param::number("Position.y", 0.0f), param::number("Position.z", 0.0f),
    param::number("Radius", 10.0f),
    param::number("Power", 1.0f),
    param::number("Offset.x", 0.0f), param::number("Offset.y", 0.0f), param::number("Offset.z", 0.0f),
    param::number("Rotation.x", 0.0f), param::number("Rotation.y", 0.0f), param::number("Rotation.z", 0.0f),
    param::boolean("World Position", false),
};
static_assert(std::size(AttractorOp::kParams) == AttractorOp::Count);

AttractorOp::AttractorOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addOutput("SceneOut", PortType::Scene, std::make_unique<AttractorFunction>());
  linkOutput();
}

namespace {

AttractorState readAttractor(const std::vector<Port*>& s, float t, Context& ctx, const Float4x4& world) {
  using A = AttractorOp;
  auto vec3 = [&](uint32_t first) {
    return Float3{evalFloat(s, first, t, ctx), evalFloat(s, first + 1, t, ctx), evalFloat(s, first + 2, t, ctx)};
  };
  AttractorState a;
  Float3 position = vec3(A::PositionX);
  a.radius = evalFloat(s, A::Radius, t, ctx);
  a.power = evalFloat(s, A::Power, t, ctx);
  a.offset = vector(vec3(A::OffsetX));
  a.rotation = vector(vec3(A::RotationX));
  // In the local space of the operators above unless it is a world position.
  if (evalFloat(s, A::WorldPosition, t, ctx) <= 0.01f) position = mat::transformPoint(position, world);
  a.position = point(position);
  return a;
}

}  // namespace

void AttractorOp::AttractorFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  AttractorRecord r;
  r.now = readAttractor(s, t, ctx, ctx.world);
  r.previous = readAttractor(s, t - 0.001f, ctx, ctx.worldPrev);
  addAttractor(r);
}

// ---------------------------------------------------------------- Collider

const ParamDecl ColliderOp::kParams[] = {
    param::choice("Type", 0.0f, "Sphere|Box"),
    param::number("Position.x", 0.0f), param::number("Position.y", 0.0f), param::number("Position.z", 0.0f),
    param::number("Radius", 10.0f),
    param::number("Power", 1.0f),
    param::number("Size.x", 5.0f), param::number("Size.y", 5.0f), param::number("Size.z", 5.0f),
    param::number("Rotation.x", 0.0f), param::number("Rotation.y", 0.0f), param::number("Rotation.z", 0.0f),
    param::boolean("World Position", false),
};
static_assert(std::size(ColliderOp::kParams) == ColliderOp::Count);

ColliderOp::ColliderOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addOutput("SceneOut", PortType::Scene, std::make_unique<ColliderFunction>());
  linkOutput();
}

void ColliderOp::ColliderFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  using C = ColliderOp;
  auto vec3 = [&](uint32_t first) {
    return Float3{evalFloat(s, first, t, ctx), evalFloat(s, first + 1, t, ctx), evalFloat(s, first + 2, t, ctx)};
  };
  ColliderRecord r;
  r.type = evalFloat(s, C::Type, t, ctx) != 0.0f ? kColliderBox : kColliderSphere;
  Float3 position = vec3(C::PositionX);
  r.radius = evalFloat(s, C::Radius, t, ctx);
  r.power = evalFloat(s, C::Power, t, ctx);
  r.size = vec3(C::SizeX);
  r.rotation = vec3(C::RotationX);
  if (evalFloat(s, C::WorldPosition, t, ctx) <= 0.01f) position = mat::transformPoint(position, ctx.world);
  r.position = point(position);
  addCollider(r);
}

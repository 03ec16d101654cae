#include "scene/Lights.h"

#include "engine/FloatOperators.h"
#include "scene/FrameSetup.h"
#include "scene/LightMath.h"

namespace {

struct LightLists {
  std::vector<DirLightRecord> dir;
  std::vector<PointLightRecord> point;
  std::vector<SpotLightRecord> spot;
};

void clearLists();

LightLists& lists() {
  static LightLists l;
  static bool registered = [] {
    registerPerFrameList(&clearLists);
    return true;
  }();
  (void)registered;
  return l;
}

void clearLists() {
  LightLists& l = lists();
  l.dir.clear();
  l.point.clear();
  l.spot.clear();
}

}  // namespace

std::vector<DirLightRecord>& dirLights() { return lists().dir; }
std::vector<PointLightRecord>& pointLights() { return lists().point; }
std::vector<SpotLightRecord>& spotLights() { return lists().spot; }
void clearLightLists() { clearLists(); }

// ---------------------------------------------------------------- DirLight

DirLightOp::DirLightOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addColorGroup("Color", ColorR, 3);
  addOutput("OutScene", PortType::Scene, std::make_unique<DirLightFunction>());
  linkOutput();
}

void DirLightOp::DirLightFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  using L = DirLightOp;
  DirLightRecord r;
  r.direction = {evalFloat(s, L::DirectionX, t, ctx), evalFloat(s, L::DirectionY, t, ctx),
                 evalFloat(s, L::DirectionZ, t, ctx), 0.0f};
  const float cr = evalFloat(s, L::ColorR, t, ctx);
  const float cg = evalFloat(s, L::ColorG, t, ctx);
  const float cb = evalFloat(s, L::ColorB, t, ctx);
  r.castsShadows = evalFloat(s, L::CastShadows, t, ctx) > 0.5f ? 1 : 0;
  const float b = evalFloat(s, L::Brightness, t, ctx);
  r.colour = {cr * b, cg * b, cb * b, 0.0f};
  dirLights().push_back(r);
  evalInput(s, L::InScene, t, ctx);
}

// ---------------------------------------------------------------- PointLight

PointLightOp::PointLightOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addColorGroup("Color", ColorR, 3);
  addOutput("OutScene", PortType::Scene, std::make_unique<PointLightFunction>());
  linkOutput();
}

void PointLightOp::PointLightFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  using L = PointLightOp;
  PointLightRecord r;
  const Float4 p{evalFloat(s, L::PositionX, t, ctx), evalFloat(s, L::PositionY, t, ctx),
                 evalFloat(s, L::PositionZ, t, ctx), 1.0f};
  r.position = mat::transform(p, ctx.world);
  r.colour = {evalFloat(s, L::ColorR, t, ctx), evalFloat(s, L::ColorG, t, ctx), evalFloat(s, L::ColorB, t, ctx), 0.0f};
  r.radius = evalFloat(s, L::Radius, t, ctx);
  r.brightness = evalFloat(s, L::Brightness, t, ctx);
  const float multiplier = evalFloat(s, L::ScattMultiplier, t, ctx);
  const float density = evalFloat(s, L::ScattDensity, t, ctx);
  const float falloff = evalFloat(s, L::ScattFalloff, t, ctx);
  r.scattering = {density, multiplier, falloff, 0.0f};
  pointLights().push_back(r);
  evalInput(s, L::SceneIn, t, ctx);
}

// ---------------------------------------------------------------- SpotLight

SpotLightOp::SpotLightOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addColorGroup("Color", ColorR, 3);
  addOutput("OutScene", PortType::Scene, std::make_unique<SpotLightFunction>());
  linkOutput();
}

void SpotLightOp::SpotLightFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  using L = SpotLightOp;
  SpotLightRecord r;
  const Float3 p{evalFloat(s, L::PositionX, t, ctx), evalFloat(s, L::PositionY, t, ctx),
                 evalFloat(s, L::PositionZ, t, ctx)};
  const Float3 d{evalFloat(s, L::DirectionX, t, ctx), evalFloat(s, L::DirectionY, t, ctx),
                 evalFloat(s, L::DirectionZ, t, ctx)};
  const Float3 wp = mat::transformPoint(p, ctx.world);
  // A direction of no length stays zero here; the lighting falls back to straight down.
  const Float3 wd = normalize(mat::transformVector(d, ctx.world));
  r.direction = {wd.x, wd.y, wd.z, 0.0f};
  r.position = {wp.x, wp.y, wp.z, 1.0f};
  const float cr = evalFloat(s, L::ColorR, t, ctx);
  const float cg = evalFloat(s, L::ColorG, t, ctx);
  const float cb = evalFloat(s, L::ColorB, t, ctx);
  r.angle = evalFloat(s, L::Angle, t, ctx);
  r.farPlane = evalFloat(s, L::FarPlane, t, ctx);
  const float b = evalFloat(s, L::Brightness, t, ctx);
  r.colour = {cr * b, cg * b, cb * b, 0.0f};
  r.castsShadows = evalFloat(s, L::CastShadows, t, ctx) > 0.5f ? 1 : 0;
  const float multiplier = evalFloat(s, L::ScattMultiplier, t, ctx);
  const float density = evalFloat(s, L::ScattDensity, t, ctx);
  const float falloff = evalFloat(s, L::ScattFalloff, t, ctx);
  const float shadows = evalFloat(s, L::ScattShadows, t, ctx) > 0.5f ? 1.0f : 0.0f;
  r.scattering = {density, multiplier, falloff, shadows};
  r.scatteringSteps = float(truncToInt32(evalFloat(s, L::ScattSteps, t, ctx)));
  spotLights().push_back(r);
  evalInput(s, L::SceneIn, t, ctx);
}

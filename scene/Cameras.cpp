#include "scene/Cameras.h"

#include <cmath>

#include "scene/SceneOpSupport.h"

namespace camera {
namespace {

constexpr Float3 kUp{0.0f, 1.0f, 0.0f};

// Right axis for forward f: normalize(cross(up, f)). Where f is (anti)parallel to the up
// axis that cross product vanishes and the basis would be zero or NaN, so `hint` (a
// horizontal vector) stands in for the up axis there.
Float3 rightAxis(Float3 f, Float3 hint) {
  Float3 r = cross(kUp, f);
  if (dot(r, r) < 1e-12f) r = cross(hint, f);
  return normalize(r);
}

Float4x4 basis(Float3 right, Float3 up, Float3 forward, Float3 eye) {
  Float4x4 m;
  m.setRow(0, right, 0.0f);
  m.setRow(1, up, 0.0f);
  m.setRow(2, forward, 0.0f);
  m.setRow(3, eye, 1.0f);
  return m;
}

// Width over height of the viewport; an empty one counts as square.
float aspectOf(const Viewport& vp) {
  const float w = float(vp.right - vp.left), h = float(vp.bottom - vp.top);
  return w > 0.0f && h > 0.0f ? w / h : 1.0f;
}

bool usable(Float3 v) {
  const float l = dot(v, v);
  return l > 0.0f && std::isfinite(l);
}

}  // namespace

Float4x4 lookAlong(Float3 position, Float3 direction, Float3 offset) {
  const Float3 f = usable(direction) ? normalize(direction) : Float3{0.0f, 0.0f, 1.0f};
  const Float3 r = rightAxis(f, {0.0f, 0.0f, 1.0f});
  const Float3 u = cross(f, r);
  const Float3 eye = position + offset.x * r + offset.y * u + offset.z * f;
  return basis(r, u, f, eye);
}

Float4x4 orbit(Float3 target, Float3 c, float yawDegrees, float pitchDegrees, float rollDegrees) {
  const float yaw = yawDegrees * kDegToRad, pitch = pitchDegrees * kDegToRad, roll = rollDegrees * kDegToRad;
  const float sy = std::sin(yaw), cy = std::cos(yaw), sp = std::sin(pitch), cp = std::cos(pitch);
  // c * Rx(pitch) * Ry(yaw), written out.
  const float yz = c.y * sp + c.z * cp;
  const Float3 rotated{c.x * cy + yz * sy, c.y * cp - c.z * sp, -c.x * sy + yz * cy};
  const Float3 eye = target + rotated;

  const Float3 toTarget = target - eye;
  // On the target: the forward of the default offset (0, 0, -1), that is (0, 0, 1) rotated.
  const Float3 f = usable(toTarget) ? normalize(toTarget) : Float3{cp * sy, -sp, cp * cy};
  const Float3 r = rightAxis(f, {sy, 0.0f, cy});
  const Float3 u = cross(f, r);
  const float sr = std::sin(roll), cr = std::cos(roll);
  return basis(cr * r + sr * u, -sr * r + cr * u, f, eye);
}

Float4x4 perspective(float fovDegrees, float zNear, float zFar, const Viewport& vp) {
  return mat::perspectiveFovDegrees(fovDegrees, aspectOf(vp), zNear, zFar);
}

Float4x4 orthographic(float halfHeight, float zNear, float zFar, const Viewport& vp) {
  return mat::orthographic(2.0f * halfHeight * aspectOf(vp), 2.0f * halfHeight, zNear, zFar);
}

void readLookAlong(const std::vector<Port*>& s, size_t position, size_t direction, size_t offset, float t,
                   Context& ctx) {
  const Float3 p = evalFloat3(s, position, t, ctx);
  const Float3 d = evalFloat3(s, direction, t, ctx);
  const Float3 o = evalFloat3(s, offset, t, ctx);
  const float tp = t - kPreviousDt;
  const Float3 pp = evalFloat3(s, position, tp, ctx);
  const Float3 dp = evalFloat3(s, direction, tp, ctx);
  const Float3 op = evalFloat3(s, offset, tp, ctx);
  ctx.camera = lookAlong(p, d, o);
  ctx.cameraPrev = lookAlong(pp, dp, op);
}

void readOrbit(const std::vector<Port*>& s, size_t first, float t, Context& ctx) {
  Float4x4* out[2] = {&ctx.camera, &ctx.cameraPrev};
  for (int i = 0; i < 2; ++i) {
    const float ti = i == 0 ? t : t - kPreviousDt;
    const Float3 target = evalFloat3(s, first, ti, ctx);
    const Float3 offset = evalFloat3(s, first + 3, ti, ctx);
    const float yaw = evalFloat(s, first + 6, ti, ctx);
    const float pitch = evalFloat(s, first + 7, ti, ctx);
    const float roll = evalFloat(s, first + 8, ti, ctx);
    *out[i] = orbit(target, offset, yaw, pitch, roll);
  }
}

void setPerspective(Context& ctx, float fovDegrees, float zNear, float zFar) {
  ctx.projection = perspective(fovDegrees, zNear, zFar, ctx.viewport);
  ctx.zNear = zNear;
  ctx.zFar = zFar;
  ctx.fov = fovDegrees;
}

void readPerspective(const std::vector<Port*>& s, size_t first, float t, Context& ctx) {
  const float fov = evalFloat(s, first, t, ctx);
  const float zNear = evalFloat(s, first + 1, t, ctx);
  const float zFar = evalFloat(s, first + 2, t, ctx);
  setPerspective(ctx, fov, zNear, zFar);
}

void readOrthographic(const std::vector<Port*>& s, size_t first, float t, Context& ctx) {
  const float halfHeight = evalFloat(s, first, t, ctx);
  const float zNear = evalFloat(s, first + 1, t, ctx);
  const float zFar = evalFloat(s, first + 2, t, ctx);
  ctx.projection = orthographic(halfHeight, zNear, zFar, ctx.viewport);
  ctx.zNear = zNear;
  ctx.zFar = zFar;
}

}  // namespace camera

// ---- operators -----------------------------------------------------------------------------

CameraOp::CameraOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Scene, std::make_unique<CamFunction>());
  linkOutput();
}

void CameraOp::CamFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  camera::readLookAlong(s, PosX, DirX, OffsetX, t, ctx);
  camera::readPerspective(s, Fov, t, ctx);
  evalInput(s, InScene, t, ctx);
}

TargetCameraOp::TargetCameraOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Scene, std::make_unique<CamFunction>());
  linkOutput();
}

void TargetCameraOp::CamFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  camera::readOrbit(s, PosX, t, ctx);
  camera::readPerspective(s, Fov, t, ctx);
  evalInput(s, InScene, t, ctx);
}

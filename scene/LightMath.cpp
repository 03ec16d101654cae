#include "scene/LightMath.h"

#include <algorithm>
#include <cmath>

namespace {

bool finite3(Float3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

float safeAspect(float aspect) { return std::isfinite(aspect) && aspect > 1e-6f ? aspect : 1.0f; }

}  // namespace

Float3 directionOr(Float3 v, Float3 fallback) {
  if (!finite3(v)) return fallback;
  float len = length(v);
  if (!(len > 1e-12f) || !std::isfinite(len)) return fallback;
  return v * (1.0f / len);
}

Float4x4 directionalLightBasis(Float3 direction) {
  // A light without a direction shines straight down.
  Float3 z = directionOr(-direction, {0.0f, -1.0f, 0.0f});
  Float3 x = cross({0.0f, 1.0f, 0.0f}, z);
  if (length(x) < 1e-4f) x = cross({0.0f, 0.0f, 1.0f}, z);
  x = normalize(x);
  Float3 y = cross(z, x);
  Float4x4 b;
  b.setRow(0, x, 0.0f);
  b.setRow(1, y, 0.0f);
  b.setRow(2, z, 0.0f);
  b.setRow(3, {0.0f, 0.0f, 0.0f}, 1.0f);
  return b;
}

Float4x4 directionalLightView(Float3 direction) { return directionalLightBasis(direction).transposed(); }

Float4x4 cascadeProjection(const Float4x4& camera, const Float4x4& lightView, float fovDegrees, float aspect,
                           CascadeSlice slice) {
  const float tanHalf = std::tan(std::clamp(fovDegrees, 0.0f, 179.0f) * 0.5f * kDegToRad);
  const float a = safeAspect(aspect);
  const Float4x4 toLight = camera * lightView;
  Float3 lo{INFINITY, INFINITY, INFINITY}, hi{-INFINITY, -INFINITY, -INFINITY};
  for (float d : {slice.nearDepth, slice.farDepth})
    for (float sx : {-1.0f, 1.0f})
      for (float sy : {-1.0f, 1.0f}) {
        Float4 p = mat::transform({sx * tanHalf * a * d, sy * tanHalf * d, d, 1.0f}, toLight);
        lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
        hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
      }
  // A box without extent on an axis (no field of view, an empty slice) would divide by zero.
  auto widen = [](float& mn, float& mx) {
    if (!(mx - mn >= kMinCascadeExtent)) {
      float c = std::isfinite(mn + mx) ? 0.5f * (mn + mx) : 0.0f;
      mn = c - 0.5f * kMinCascadeExtent;
      mx = c + 0.5f * kMinCascadeExtent;
    }
  };
  widen(lo.x, hi.x);
  widen(lo.y, hi.y);
  widen(lo.z, hi.z);
  Float4x4 p;
  p.setRow(0, {2.0f / (hi.x - lo.x), 0.0f, 0.0f}, 0.0f);
  p.setRow(1, {0.0f, 2.0f / (hi.y - lo.y), 0.0f}, 0.0f);
  p.setRow(2, {0.0f, 0.0f, 1.0f / (hi.z - lo.z)}, 0.0f);
  p.setRow(3, {(hi.x + lo.x) / (lo.x - hi.x), (hi.y + lo.y) / (lo.y - hi.y), lo.z / (lo.z - hi.z)}, 1.0f);
  return p;
}

Float2 cascadeSplitDepths(const Float4x4& projection) {
  auto depth = [&](float d) {
    Float4 p = mat::transform({0.0f, 0.0f, d, 1.0f}, projection);
    return p.w != 0.0f ? p.z / p.w : 0.0f;
  };
  return {depth(kCascadeSlices[0].farDepth), depth(kCascadeSlices[1].farDepth)};
}

float clampSpotAngle(float angleDegrees) {
  if (!std::isfinite(angleDegrees)) return kMaxSpotAngle;
  return std::clamp(angleDegrees, kMinSpotAngle, kMaxSpotAngle);
}

float clampSpotFar(float farPlane) {
  const float least = kSpotShadowNear + kMinSpotFarBeyondNear;
  if (!std::isfinite(farPlane)) return least;
  return std::max(farPlane, least);
}

Float3 spotUpHint(Float3 dir) {
  // Either way up: a spot pointing straight down is the usual case and must not collapse.
  return std::fabs(dot(dir, {0.0f, 1.0f, 0.0f})) > 0.998f ? Float3{1.0f, 0.0f, 0.0f} : Float3{0.0f, 1.0f, 0.0f};
}

namespace {
// Right, up and forward of a look along dir.
void lookBasis(Float3 dir, Float3& x, Float3& y, Float3& z) {
  z = directionOr(dir, {0.0f, -1.0f, 0.0f});
  x = normalize(cross(spotUpHint(z), z));
  y = cross(z, x);
}
}  // namespace

Float4x4 spotLightView(Float3 position, Float3 dir) {
  Float3 x, y, z;
  lookBasis(dir, x, y, z);
  Float4x4 v;
  v.setRow(0, {x.x, y.x, z.x}, 0.0f);
  v.setRow(1, {x.y, y.y, z.y}, 0.0f);
  v.setRow(2, {x.z, y.z, z.z}, 0.0f);
  v.setRow(3, {-dot(x, position), -dot(y, position), -dot(z, position)}, 1.0f);
  return v;
}

Float4x4 spotLightProjection(float angleDegrees, float farPlane) {
  const float s = 1.0f / std::tan(clampSpotAngle(angleDegrees) * 0.5f * kDegToRad);
  const float f = clampSpotFar(farPlane);
  const float q = f / (f - kSpotShadowNear);
  Float4x4 p;
  p.setRow(0, {s, 0.0f, 0.0f}, 0.0f);
  p.setRow(1, {0.0f, s, 0.0f}, 0.0f);
  p.setRow(2, {0.0f, 0.0f, q}, 1.0f);
  p.setRow(3, {0.0f, 0.0f, -q * kSpotShadowNear}, 0.0f);
  return p;
}

Float4x4 pointLightVolume(Float3 position, float radius) {
  const float r = std::isfinite(radius) ? std::fabs(radius) : 0.0f;
  const float s = kPointSphereWidening * r;
  return mat::scaling({s, s, s}) * mat::translation(position);
}

Float4x4 spotLightVolume(Float3 position, Float3 dir, float angleDegrees, float farPlane) {
  Float3 x, y, z;
  lookBasis(dir, x, y, z);
  const float f = std::isfinite(farPlane) ? std::max(farPlane, 0.0f) : 0.0f;
  // The lit part of the cone has radius tan(angle / 2) farPlane at the base; the ring of the
  // mesh is a polygon inside its unit circle, so it is widened until its sides' midpoints lie
  // on that radius (plus a margin for rounding). A wider cone would only draw pixels the
  // light leaves dark.
  const float across = std::tan(clampSpotAngle(angleDegrees) * 0.5f * kDegToRad) * f * kSpotConeRingWidening;
  // The cone opens towards -Z: -Z goes to the light's forward. Rows (x, -y, -z) keep the
  // determinant positive (x cross -y = -z).
  Float4x4 w;
  w.setRow(0, x * across, 0.0f);
  w.setRow(1, y * -across, 0.0f);
  w.setRow(2, z * -f, 0.0f);
  w.setRow(3, position, 1.0f);
  return w;
}

bool spotCullsFrontFaces(Float3 position, Float3 dir, Float3 eye, float angleDegrees) {
  Float3 toEye = eye - position;
  if (length(toEye) < 1e-6f) return true;  // the eye at the apex is inside
  const float c = std::cos(clampSpotAngle(angleDegrees) * kDegToRad);
  return dot(directionOr(dir, {0.0f, -1.0f, 0.0f}), normalize(toEye)) > c;
}

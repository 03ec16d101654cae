#pragma once
// The matrices of the lighting: the directional light's basis and its two cascades, the spot
// light's shadow view and projection, and the transforms of the light volumes.
//
// Every function here returns finite matrices for any finite input: a zero-length direction
// falls back to a default, a spot angle is kept inside (0, 180) degrees, a far plane beyond
// the shadow near plane, and a cascade slice of zero extent gets a minimal one.
#include <cstdint>

#include "engine/Math.h"

// View depths covered by the two cascades (the first starts behind the eye so that casters
// just behind it still shade what is in front).
struct CascadeSlice {
  float nearDepth;
  float farDepth;
};
constexpr CascadeSlice kCascadeSlices[2] = {{-5.0f, 20.0f}, {20.0f, 60.0f}};
constexpr uint32_t kCascadeMapSize = 1024;
constexpr uint32_t kSpotShadowMapSize = 2048;
constexpr float kSpotShadowNear = 1.0f;

// Spot angles (full cone, degrees) are kept within these; the far plane at least this far
// beyond the shadow near plane.
constexpr float kMinSpotAngle = 0.5f;
constexpr float kMaxSpotAngle = 179.0f;
constexpr float kMinSpotFarBeyondNear = 0.01f;
// The smallest extent a cascade's box keeps on each axis.
constexpr float kMinCascadeExtent = 1e-3f;

// Normalised direction, or `fallback` when it has no length (or is not finite).
Float3 directionOr(Float3 v, Float3 fallback);

// Basis of a directional light shining along -direction (direction points towards the
// light): forward z = normalize(-direction), right x = normalize(cross((0, 1, 0), z)),
// up y = cross(z, x), as the rows of the matrix. A light straight above or below has no
// right vector from (0, 1, 0): (0, 0, 1) is used as the hint then.
Float4x4 directionalLightBasis(Float3 direction);
// World to light space: the transpose of the basis (no translation).
Float4x4 directionalLightView(Float3 direction);

// Orthographic projection around one slice of the camera frustum: the slice's eight
// corners (x = +-tan(fov/2) aspect d, y = +-tan(fov/2) d, z = d for d = near and far)
// through the camera matrix and the light view, their bounding box mapped to x, y in
// [-1, 1] and z in [0, 1].
Float4x4 cascadeProjection(const Float4x4& camera, const Float4x4& lightView, float fovDegrees, float aspect,
                           CascadeSlice slice);
// z / w of the points (0, 0, 20, 1) and (0, 0, 60, 1) through the camera projection: the
// device depths where the cascades change.
Float2 cascadeSplitDepths(const Float4x4& projection);

float clampSpotAngle(float angleDegrees);
float clampSpotFar(float farPlane);
// The up hint of a spot light looking along dir: (0, 1, 0), or (1, 0, 0) when dir is within
// 3.6 degrees of the vertical (either way up).
Float3 spotUpHint(Float3 dir);
// Look-at view from position towards position + dir.
Float4x4 spotLightView(Float3 position, Float3 dir);
// Perspective with x and y scale cot(angle / 2), near 1, far farPlane.
Float4x4 spotLightProjection(float angleDegrees, float farPlane);

// The sphere volume of a point light is the sphere mesh of this detail (rows and columns of
// the latitude-longitude grid); the faces of its unit mesh lie at least 0.9762 from its
// centre, so it is scaled by the radius times this widening to hold the lit sphere with a
// margin for rounding. (The coarse detail 6 needed 1.2 and drew about a tenth more pixels.)
constexpr int kPointSphereDetail = 16;
constexpr float kPointSphereWidening = 1.01f / 0.97624103f;
// The sphere volume of a point light: uniform scale kPointSphereWidening x radius, then the
// position.
Float4x4 pointLightVolume(Float3 position, float radius);
// The spot light's cone volume is drawn with this many segments; its ring of unit radius is
// scaled by tan(angle / 2) farPlane times this widening, which puts the midpoints of the
// ring's sides (at cos(pi / segments) of its radius) a little outside the lit disc.
constexpr int kSpotConeSegments = 16;
constexpr float kSpotConeRingWidening = 1.01f / 0.98078528f;  // cos(pi / 16)
// The cone volume of a spot light (cone apex at the origin, base of radius 1 at z = -1):
// the lit cone's radius tan(angle / 2) farPlane, widened as above, across; farPlane along;
// the base pushed along dir, the apex at the position. The basis keeps the handedness, so
// the cone's faces keep their winding.
Float4x4 spotLightVolume(Float3 position, Float3 dir, float angleDegrees, float farPlane);
// Whether the spot's cone is drawn with its front faces culled: when the eye lies within
// the full cone angle around the light's axis (the inside of the volume is then what faces
// the eye).
bool spotCullsFrontFaces(Float3 position, Float3 dir, Float3 eye, float angleDegrees);

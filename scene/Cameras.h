#pragma once
// "Camera" and "TargetCamera": place the camera of the scene below them. Unlike the other
// scene operators they leave what they wrote in the Context (camera, previous camera,
// projection, zNear, zFar, FOV), so that the passes after the traversal see the scene's
// camera. The camera builders are shared with the camera image operators.
#include <iterator>

#include "engine/Operator.h"

namespace camera {

// Camera-to-world matrix: rows right, up, forward (w = 0) and the eye (w = 1). The eye is
// position + offset.x * right + offset.y * up + offset.z * forward.
//
// A direction parallel to +Y or -Y has no right axis against the usual up hint +Y; +Z is
// taken as the hint there (looking straight down, the top of the picture faces +Z). A zero
// or non-finite direction looks along +Z. The matrix is never NaN for finite inputs.
Float4x4 lookAlong(Float3 position, Float3 direction, Float3 offset);

// Camera-to-world matrix of an eye at target + offset * Rx(pitch) * Ry(yaw) looking at the
// target, rolled about its forward axis (degrees).
//
// An eye straight above or below the target uses the yaw's forward (sin yaw, 0, cos yaw) as
// the up hint, the limit of the basis as the pitch approaches 90 degrees; an eye on the
// target (zero offset) looks the way the default offset (0, 0, -1) would.
Float4x4 orbit(Float3 target, Float3 offset, float yawDegrees, float pitchDegrees, float rollDegrees);

// Left-handed perspective for the viewport: yScale = cot(fov / 2), xScale = yScale * h / w
// (w, h the viewport's size; an empty viewport counts as square), as mat::perspectiveFovDegrees.
Float4x4 perspective(float fovDegrees, float zNear, float zFar, const Viewport& viewport);

// Orthographic: half height `halfHeight`, half width halfHeight * w / h; depth 0 at zNear,
// 1 at zFar.
Float4x4 orthographic(float halfHeight, float zNear, float zFar, const Viewport& viewport);

// Reads Position, Direction and PositionOffset (three inputs from each of the given indices)
// at t, then again at t - 0.001, and stores the two lookAlong matrices as the Context's
// camera and previous camera.
void readLookAlong(const std::vector<Port*>& s, size_t position, size_t direction, size_t offset, float t,
                   Context& ctx);
// Reads Position, CamOffset, Yaw, Pitch, Roll (nine inputs from `first`) at t and again at
// t - 0.001 and stores the two orbit matrices as camera and previous camera.
void readOrbit(const std::vector<Port*>& s, size_t first, float t, Context& ctx);
// Stores the perspective of the Context's viewport with FOV, zNear and zFar.
void setPerspective(Context& ctx, float fovDegrees, float zNear, float zFar);
// Reads FOV, zNear and zFar (three inputs from `first`, in that order) at t and stores their
// perspective as setPerspective does.
void readPerspective(const std::vector<Port*>& s, size_t first, float t, Context& ctx);
// Reads the half height, zNear and zFar (three inputs from `first`) at t and stores their
// orthographic projection with zNear and zFar; the FOV is left as it was (an orthographic
// camera has none).
void readOrthographic(const std::vector<Port*>& s, size_t first, float t, Context& ctx);

}  // namespace camera

class CameraOp : public Operator {
 public:
  enum In : uint32_t {
    InScene, PosX, PosY, PosZ, DirX, DirY, DirZ, Fov, ZNear, ZFar, OffsetX, OffsetY, OffsetZ, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::scene("InScene"),
      param::number("Position.X", 4.0f), param::number("Position.Y", 4.0f), param::number("Position.Z", 4.0f),
      param::number("Direction.X", -1.0f), param::number("Direction.Y", -1.0f), param::number("Direction.Z", -1.0f),
      param::number("FOV", 45.0f), param::number("zNear", 0.1f), param::number("zFar", 2048.0f),
      param::number("PositionOffset.X", 0.0f), param::number("PositionOffset.Y", 0.0f),
      param::number("PositionOffset.Z", 0.0f),
  };
  static_assert(std::size(kParams) == Count);
  static_assert(ZNear == Fov + 1 && ZFar == Fov + 2, "read together by camera::readPerspective");

  CameraOp();
  class CamFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class TargetCameraOp : public Operator {
 public:
  enum In : uint32_t {
    InScene, PosX, PosY, PosZ, CamOffsetX, CamOffsetY, CamOffsetZ, Yaw, Pitch, Roll, Fov, ZNear, ZFar, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::scene("InScene"),
      param::number("Position.X", 0.0f), param::number("Position.Y", 0.0f), param::number("Position.Z", 0.0f),
      param::number("CamOffset.X", 0.0f), param::number("CamOffset.Y", 0.0f), param::number("CamOffset.Z", -1.0f),
      param::number("Yaw", 0.0f), param::number("Pitch", 0.0f), param::number("Roll", 0.0f),
      param::number("FOV", 45.0f), param::number("zNear", 0.1f), param::number("zFar", 2048.0f),
  };
  static_assert(std::size(kParams) == Count);
  static_assert(ZNear == Fov + 1 && ZFar == Fov + 2, "read together by camera::readPerspective");

  TargetCameraOp();
  class CamFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

#pragma once
// Camera image operators: they set the Context's camera block (camera, previous camera,
// projection, zNear, zFar, FOV) like the scene cameras, optionally at a time offset, then
// draw their input with it and leave it set. "ImageCameraBlend" mixes the blocks of two of them.
#include <iterator>

#include "engine/Operator.h"

// The Context's camera block, as copied and blended by "ImageCameraBlend".
struct CameraBlock {
  Float4x4 camera, cameraPrev, projection;
  float zNear = 0.0f, zFar = 0.0f, fov = 0.0f;

  static CameraBlock of(const Context& ctx);
  void storeInto(Context& ctx) const;
  // Every float a + (b - a) * k; k = 0 gives a and k = 1 gives b bit for bit.
  static CameraBlock blend(const CameraBlock& a, const CameraBlock& b, float k);
};

class ImageCameraOp : public Operator {
 public:
  enum In : uint32_t {
    InScene, PosX, PosY, PosZ, DirX, DirY, DirZ, Fov, ZNear, ZFar, OffsetX, OffsetY, OffsetZ, TimeOffset, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::image("InScene"),
      param::number("Position.X", 4.0f), param::number("Position.Y", 4.0f), param::number("Position.Z", 4.0f),
      param::number("Direction.X", -1.0f), param::number("Direction.Y", -1.0f), param::number("Direction.Z", -1.0f),
      param::number("FOV", 45.0f), param::number("zNear", 0.1f), param::number("zFar", 2048.0f),
      param::number("PositionOffset.X", 0.0f), param::number("PositionOffset.Y", 0.0f),
      param::number("PositionOffset.Z", 0.0f),
      param::number("TimeOffset", 0.0f),
  };
  static_assert(std::size(kParams) == Count);
  static_assert(ZNear == Fov + 1 && ZFar == Fov + 2, "read together by camera::readPerspective");

  ImageCameraOp();
  class ImageCameraFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

// The inputs of both target cameras; the ortho one reads "Height" where the other reads "FOV".
struct TargetCamInputs {
  enum In : uint32_t {
    InImage, PosX, PosY, PosZ, CamOffsetX, CamOffsetY, CamOffsetZ, Yaw, Pitch, Roll, FovOrHeight, ZNear, ZFar,
    TimeOffset, Count
  };
  static_assert(ZNear == FovOrHeight + 1 && ZFar == FovOrHeight + 2, "the projection's three are read together");
};

class ImageTargetCameraOp : public Operator, public TargetCamInputs {
 public:
  static constexpr ParamDecl kParams[] = {
      param::image("InImage"),
      param::number("Position.X", 0.0f), param::number("Position.Y", 0.0f), param::number("Position.Z", 0.0f),
      param::number("CamOffset.X", 0.0f), param::number("CamOffset.Y", 0.0f), param::number("CamOffset.Z", -1.0f),
      param::number("Yaw", 0.0f), param::number("Pitch", 0.0f), param::number("Roll", 0.0f),
      param::number("FOV", 45.0f), param::number("zNear", 0.1f), param::number("zFar", 2048.0f),
      param::number("TimeOffset", 0.0f),
  };
  static_assert(std::size(kParams) == Count);

  ImageTargetCameraOp();
  class ImageTargetCameraFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class ImageOrthoTargetCameraOp : public Operator, public TargetCamInputs {
 public:
  static constexpr ParamDecl kParams[] = {
      param::image("InImage"),
      param::number("Position.X", 0.0f), param::number("Position.Y", 0.0f), param::number("Position.Z", 0.0f),
      param::number("CamOffset.X", 0.0f), param::number("CamOffset.Y", 0.0f), param::number("CamOffset.Z", -1.0f),
      param::number("Yaw", 0.0f), param::number("Pitch", 0.0f), param::number("Roll", 0.0f),
      param::number("Height", 4.0f), param::number("zNear", 0.01f), param::number("zFar", 1024.0f),
      param::number("TimeOffset", 0.0f),
  };
  static_assert(std::size(kParams) == Count);

  ImageOrthoTargetCameraOp();
  class ImageOrthoTargetCameraFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class ImageCameraBlendOp : public Operator {
 public:
  enum In : uint32_t { Camera1, Camera2, ImageMain, BlendFactor, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("Camera 1"), param::image("Camera 2"), param::image("ImageMain"),
      param::number("Blend Factor", 0.0f),
  };
  static_assert(std::size(kParams) == Count);

  ImageCameraBlendOp();
  class ImageCameraBlendFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

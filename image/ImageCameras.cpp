#include "image/ImageCameras.h"

#include "scene/Cameras.h"

CameraBlock CameraBlock::of(const Context& ctx) {
  CameraBlock b;
  b.camera = ctx.camera;
  b.cameraPrev = ctx.cameraPrev;
  b.projection = ctx.projection;
  b.zNear = ctx.zNear;
  b.zFar = ctx.zFar;
  b.fov = ctx.fov;
  return b;
}

void CameraBlock::storeInto(Context& ctx) const {
  ctx.camera = camera;
  ctx.cameraPrev = cameraPrev;
  ctx.projection = projection;
  ctx.zNear = zNear;
  ctx.zFar = zFar;
  ctx.fov = fov;
}

CameraBlock CameraBlock::blend(const CameraBlock& a, const CameraBlock& b, float k) {
  // The end points are returned as they are: a + (b - a) * 0 is not a where a holds -0 (or b
  // something infinite), and a factor of 0 must reproduce the first camera exactly.
  if (k == 0.0f) return a;
  if (k == 1.0f) return b;
  auto mix = [k](float x, float y) { return x + (y - x) * k; };
  CameraBlock r;
  for (int i = 0; i < 16; ++i) {
    r.camera.m[i] = mix(a.camera.m[i], b.camera.m[i]);
    r.cameraPrev.m[i] = mix(a.cameraPrev.m[i], b.cameraPrev.m[i]);
    r.projection.m[i] = mix(a.projection.m[i], b.projection.m[i]);
  }
  r.zNear = mix(a.zNear, b.zNear);
  r.zFar = mix(a.zFar, b.zFar);
  r.fov = mix(a.fov, b.fov);
  return r;
}

// ---- ImageCamera ------------------------------------------------------------------------------

ImageCameraOp::ImageCameraOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addOutput("ImageOut", PortType::Image, std::make_unique<ImageCameraFunction>());
  linkOutput();
}

void ImageCameraOp::ImageCameraFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const float at = t + evalFloat(s, TimeOffset, t, ctx);
  camera::readLookAlong(s, PosX, DirX, OffsetX, at, ctx);
  camera::readPerspective(s, Fov, at, ctx);
  evalInput(s, InScene, at, ctx);
}

// ---- target cameras ---------------------------------------------------------------------------

ImageTargetCameraOp::ImageTargetCameraOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Image, std::make_unique<ImageTargetCameraFunction>());
  linkOutput();
}

void ImageTargetCameraOp::ImageTargetCameraFunction::evaluate(float t, const std::vector<Port*>& s,
                                                              Context& ctx) {
  const float at = t + evalFloat(s, TimeOffset, t, ctx);
  camera::readOrbit(s, PosX, at, ctx);
  camera::readPerspective(s, FovOrHeight, at, ctx);
  evalInput(s, InImage, at, ctx);
}

ImageOrthoTargetCameraOp::ImageOrthoTargetCameraOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Image, std::make_unique<ImageOrthoTargetCameraFunction>());
  linkOutput();
}

void ImageOrthoTargetCameraOp::ImageOrthoTargetCameraFunction::evaluate(float t, const std::vector<Port*>& s,
                                                                        Context& ctx) {
  const float at = t + evalFloat(s, TimeOffset, t, ctx);
  camera::readOrbit(s, PosX, at, ctx);
  camera::readOrthographic(s, FovOrHeight, at, ctx);
  evalInput(s, InImage, at, ctx);
}

// ---- ImageCameraBlend -------------------------------------------------------------------------

ImageCameraBlendOp::ImageCameraBlendOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Image, std::make_unique<ImageCameraBlendFunction>());
  linkOutput();
}

void ImageCameraBlendOp::ImageCameraBlendFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  evalInput(s, Camera1, t, ctx);
  const CameraBlock a = CameraBlock::of(ctx);
  evalInput(s, Camera2, t, ctx);
  const CameraBlock b = CameraBlock::of(ctx);
  const float k = evalFloat(s, BlendFactor, t, ctx);
  CameraBlock::blend(a, b, k).storeInto(ctx);
  evalInput(s, ImageMain, t, ctx);
}

#include "image/Generators.h"

#include "engine/Choice.h"
#include "engine/FloatOperators.h"
#include "engine/Globals.h"
#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/ShaderProgram.h"
#include "image/Effects.h"
#include "image/ImagePass.h"

using effects::connected;
using effects::evalImage;
using namespace imagepass;

namespace {

Float4 readColour(const std::vector<Port*>& s, size_t first, float t, Context& ctx) {
  Float4 c;
  c.x = evalFloat(s, first, t, ctx);
  c.y = evalFloat(s, first + 1, t, ctx);
  c.z = evalFloat(s, first + 2, t, ctx);
  c.w = evalFloat(s, first + 3, t, ctx);
  return c;
}

float aspectOf(const Viewport& vp) {
  const float h = float(vp.bottom - vp.top);
  return h > 0.0f ? float(vp.right - vp.left) / h : 1.0f;
}

// What both ramps read before their own values: the input picture and the two colours.
struct RampInputs {
  Texture* input;
  Float4 colour1, colour2;
};
RampInputs readRamp(const std::vector<Port*>& s, size_t imageIn, size_t colour1, size_t colour2, float t,
                    Context& ctx) {
  RampInputs r;
  r.input = evalImage(s, imageIn, t, ctx);
  r.colour1 = readColour(s, colour1, t, ctx);
  r.colour2 = readColour(s, colour2, t, ctx);
  return r;
}

// The rest of both ramps: the program (loaded once), the constants both shaders read and
// the ramp's own (`own(ConstantWriter&)`), then the input picture in slot 0 and the next
// ring image as destination, drawn over the viewport.
template <typename Own>
void drawRamp(std::unique_ptr<ShaderProgram>& program, bool& tried, const char* shader, const RampInputs& r,
              Context& ctx, Own&& own) {
  loadPassProgramOnce(program, tried, shader);
  if (!program) return;
  {
    ConstantWriter w(program.get(), shader, trace);
    w.region(depthRegion(ctx))
        .set("gAspect", aspectOf(ctx.viewport))
        .set("gColor1", r.colour1)
        .set("gColor2", r.colour2)
        .set("gInputImageConnected", int32_t(r.input ? 1 : 0));
    own(w);
  }
  Texture* destination = nextRingTarget(ctx);
  if (!destination) return;
  bindTexture(program.get(), 0, readable(ctx, r.input, destination), pointWrap(deviceOf(ctx)));
  drawOver(program.get(), destination, ctx.viewport);
  ctx.imageResult = destination;
}

}  // namespace

// ---------------------------------------------------------------- Radial

RadialOp::RadialOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(RadialOp, RadialFunction);
}

RadialOp::RadialFunction::RadialFunction() { loadPassProgramOnce(program, tried, "radial"); }
RadialOp::RadialFunction::~RadialFunction() = default;

void RadialOp::RadialFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const RampInputs r = readRamp(s, ImageIn, Color1R, Color2R, t, ctx);
  const Float2 position{evalFloat(s, PositionX, t, ctx), evalFloat(s, PositionY, t, ctx)};
  const float inner = evalFloat(s, RadiusInner, t, ctx);
  const float outer = evalFloat(s, RadiusOuter, t, ctx);
  drawRamp(program, tried, "radial", r, ctx, [&](ConstantWriter& w) {
    w.set("gPosition", position).set("gRadius1", inner).set("gRadius2", outer);
  });
}

// ---------------------------------------------------------------- Gradient

GradientOp::GradientOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(GradientOp, GradientFunction);
}

GradientOp::GradientFunction::GradientFunction() { loadPassProgramOnce(program, tried, "gradient"); }
GradientOp::GradientFunction::~GradientFunction() = default;

void GradientOp::GradientFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const RampInputs r = readRamp(s, ImageIn, Color1R, Color2R, t, ctx);
  const Float2 position1{evalFloat(s, Position1X, t, ctx), evalFloat(s, Position1Y, t, ctx)};
  const Float2 position2{evalFloat(s, Position2X, t, ctx), evalFloat(s, Position2Y, t, ctx)};
  drawRamp(program, tried, "gradient", r, ctx,
           [&](ConstantWriter& w) { w.set("gPosition1", position1).set("gPosition2", position2); });
}

// ---------------------------------------------------------------- ImageShader

ImageShaderOp::ImageShaderOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(ImageShaderOp, ImageShaderFunction);
}

ImageShaderOp::ImageShaderFunction::ImageShaderFunction() = default;
ImageShaderOp::ImageShaderFunction::~ImageShaderFunction() = default;

void ImageShaderOp::ImageShaderFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  if (notLoaded) {
    const std::string path = evalText(s, Filepath, t, ctx);
    // A production may fill in the path later (an animated text): keep looking until one is given.
    if (!path.empty()) {
      notLoaded = 0;
      program = loadPassProgram(path.c_str(), "VS", "PS", true);
    }
  }
  Float4 params[3];
  for (int i = 0; i < 3; ++i) {
    params[i].x = evalFloat(s, Param1X + 3 * i, t, ctx);
    params[i].y = evalFloat(s, Param1Y + 3 * i, t, ctx);
    params[i].z = evalFloat(s, Param1Z + 3 * i, t, ctx);
  }
  if (!usable(program.get())) return;
  Texture* picture = ctx.imageResult;
  Texture* input = nullptr;
  if (connected(s, ImageIn)) {
    input = evalImage(s, ImageIn, t, ctx);
    ctx.imageResult = picture;
  }
  // While loading the constants are not set, so nothing is drawn (the file would run on
  // constants it never got, a zero resolution makes NaNs, and a target kept without
  // clearing would show them for good); the draw is only prepared, so that the frame that
  // first shows it builds nothing.
  Device* device = deviceOf(ctx);
  PrepareOnlyScope prepare(isLoading && device ? device->context() : nullptr);
  if (!isLoading) {
    ConstantWriter(program.get(), "image shader", trace)
        .set("gTime", t)
        .set("gResolution", Float2{float(ctx.viewport.right - ctx.viewport.left),
                                   float(ctx.viewport.bottom - ctx.viewport.top)})
        .region(depthRegion(ctx))
        .set("gParam1", params[0])
        .set("gParam2", params[1])
        .set("gParam3", params[2]);
  }
  if (!picture || !picture->isRenderTarget()) return;
  // Without an input the slot is left empty: a picture from an earlier frame may be the
  // one drawn into now.
  bindTexture(program.get(), 0, readable(ctx, input, picture), linearClamp(device));
  drawOver(program.get(), picture, ctx.viewport);
}

// ---------------------------------------------------------------- Engraver

EngraverOp::EngraverOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(EngraverOp, EngraverFunction);
}

EngraverOp::EngraverFunction::EngraverFunction() = default;
EngraverOp::EngraverFunction::~EngraverFunction() = default;

void EngraverOp::EngraverFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  if (notLoaded) {
    const std::string path = evalText(s, ShaderPath, t, ctx);
    if (!path.empty()) {
      notLoaded = 0;
      program = loadPassProgram(path.c_str(), "VS", "PS", true);
    }
  }
  if (usable(program.get()) && program->constantBuffer(0)) {
    const float scale = evalFloat(s, Scale, t, ctx);
    const float rotation = evalFloat(s, Rotation, t, ctx);
    const float power = evalFloat(s, Power, t, ctx);
    const int32_t distortionType = evalChoice(s, DistortionType, t, ctx);
    const float distortionScale = evalFloat(s, DistortionScale, t, ctx);
    const float lineCenter = evalFloat(s, LineCenter, t, ctx);
    ConstantWriter(program.get(), "engraver", trace)
        .set("gResolution", Float2{float(ctx.viewport.right - ctx.viewport.left),
                                   float(ctx.viewport.bottom - ctx.viewport.top)})
        .region(depthRegion(ctx))
        .set("gScale", scale)
        .set("gRotation", rotation)
        .set("gPower", power)
        .set("gDistortionType", distortionType)
        .set("gDistortionScale", distortionScale)
        .set("gLineCenter", lineCenter);
  }
  Texture* picture = ctx.imageResult;
  Texture* image = nullptr;
  Texture* normalDepth = nullptr;
  if (connected(s, ImageIn)) {
    image = evalImage(s, ImageIn, t, ctx);
    ctx.imageResult = picture;
  }
  if (connected(s, NormalDepthIn)) {
    normalDepth = evalImage(s, NormalDepthIn, t, ctx);
    ctx.imageResult = picture;
  }
  if (!picture || !usable(program.get())) return;
  Device* device = deviceOf(ctx);
  bindTexture(program.get(), 0, readable(ctx, image, picture), pointWrap(device));
  bindTexture(program.get(), 1, readable(ctx, normalDepth, picture), pointWrap(device));
  drawOver(program.get(), picture, ctx.viewport);
}

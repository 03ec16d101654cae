#include "image/Compositing.h"

#include <cmath>

#include "engine/Choice.h"
#include "engine/FloatOperators.h"
#include "gfx/Device.h"
#include "gfx/FatalError.h"
#include "gfx/ShaderProgram.h"
#include "image/Effects.h"
#include "image/ImagePass.h"
#include "scene/GBufferRenderer.h"
#include "scene/Mesh.h"

using effects::connected;
using effects::evalImage;
using namespace imagepass;

// ---------------------------------------------------------------- Blend

BlendOp::BlendOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(BlendOp, BlendFunction);
}

BlendOp::BlendFunction::BlendFunction() { loadPassProgramOnce(program, tried, "blend"); }
BlendOp::BlendFunction::~BlendFunction() = default;

void BlendOp::BlendFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* destination = ctx.imageResult;
  // An input without a connection is no picture (evaluating it would hand on whatever
  // picture is current), so a Blend missing one draws nothing.
  Texture* a = evalImage(s, ImageA, t, ctx);
  if (!connected(s, ImageA)) a = nullptr;
  Texture* b = evalImage(s, ImageB, t, ctx);
  if (!connected(s, ImageB)) b = nullptr;
  if (!a || !b) return;
  Texture* mask = connected(s, ImageMask) ? evalImage(s, ImageMask, t, ctx) : nullptr;
  const int32_t colorMode = evalChoice(s, Color, t, ctx);
  const int32_t alphaMode = evalChoice(s, Alpha, t, ctx);
  // Nothing was current to composite into: the result is that nothing, not an input.
  if (!destination) {
    ctx.imageResult = nullptr;
    return;
  }
  loadPassProgramOnce(program, tried, "blend");
  if (program) {
    Device* device = deviceOf(ctx);
    a = readable(ctx, a, destination);
    b = readable(ctx, b, destination);
    mask = readable(ctx, mask, destination);
    ConstantWriter(program.get(), "blend", trace)
        .set("gColorMode", colorMode)
        .set("gAlphaMode", alphaMode)
        .set("gMaskConnected", int32_t(mask ? 1 : 0));
    bindTexture(program.get(), 0, a, pointWrap(device));
    bindTexture(program.get(), 1, b, pointWrap(device));
    bindTexture(program.get(), 2, mask, pointWrap(device));
    drawOver(program.get(), destination, wholeOf(destination));
  }
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- MaskImage

MaskImageOp::MaskImageOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(MaskImageOp, MaskImageFunction);
}

MaskImageOp::MaskImageFunction::MaskImageFunction() { loadPassProgramOnce(program, tried, "mask"); }
MaskImageOp::MaskImageFunction::~MaskImageFunction() = default;

void MaskImageOp::MaskImageFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* destination = ctx.imageResult;
  Texture* image = evalImage(s, ImageIn, t, ctx);
  Texture* mask = evalImage(s, Mask, t, ctx);
  if (!image || !mask) return;
  const Float4 channels{evalFloat(s, ChannelMaskR, t, ctx), evalFloat(s, ChannelMaskG, t, ctx),
                        evalFloat(s, ChannelMaskB, t, ctx), evalFloat(s, ChannelMaskA, t, ctx)};
  const float invert = evalFloat(s, Invert, t, ctx);
  const float threshold = evalFloat(s, Threshold, t, ctx);
  if (!destination) {
    ctx.imageResult = nullptr;
    return;
  }
  loadPassProgramOnce(program, tried, "mask");
  if (program) {
    Device* device = deviceOf(ctx);
    image = readable(ctx, image, destination);
    mask = readable(ctx, mask, destination);
    ConstantWriter(program.get(), "mask", trace)
        .set("gChannelMask", channels)
        .set("gThreshold", threshold)
        .set("gInvert", invert);
    bindTexture(program.get(), 0, image, pointWrap(device));
    bindTexture(program.get(), 1, mask, pointWrap(device));
    drawOver(program.get(), destination, wholeOf(destination));
  }
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- Sprite

bool SpriteRect::empty() const {
  return !(w != 0.0f && h != 0.0f && std::isfinite(w) && std::isfinite(h) && std::isfinite(x0) &&
           std::isfinite(y0));
}

SpriteRect spriteRect(float W, float H, float tw, float th, float positionX, float positionY, float scaleX,
                      float scaleY, int32_t pivot) {
  SpriteRect r;
  if (!(W > 0.0f && H > 0.0f && tw > 0.0f && th > 0.0f)) return r;
  // Both equal Scale x H / 1080: sizes are referred to a 1920 x 1080 frame.
  r.sy = H * 0.0009259259f * scaleY;
  r.sx = (1.7777778f / (W / H)) * W * 0.00052083336f * scaleX;
  float px = tw * 0.5f, py = th * 0.5f;  // "Center"
  switch (pivot) {
    case 1: px = tw, py = th * 0.5f; break;      // Left
    case 2: px = 0.0f, py = th * 0.5f; break;    // Right
    case 3: px = tw * 0.5f, py = 0.0f; break;    // Bottom
    case 4: px = tw, py = 0.0f; break;           // BottomLeft
    case 5: px = 0.0f, py = 0.0f; break;         // BottomRight
    case 6: px = tw * 0.5f, py = th; break;      // Top
    case 7: px = tw, py = th; break;             // TopLeft
    case 8: px = 0.0f, py = th; break;           // TopRight
    default: break;
  }
  r.w = r.sx * tw;
  r.h = r.sy * th;
  r.x0 = (positionX + 1.0f) * W * 0.5f - r.sx * px;
  r.y0 = (positionY + 1.0f) * H * 0.5f + r.sy * py;
  return r;
}

Float4x4 spriteScreenMatrix(const SpriteRect& r, float W, float H) {
  Float4x4 toClip;
  toClip.setRow(0, {2.0f / W, 0, 0}, 0);
  toClip.setRow(1, {0, -2.0f / H, 0}, 0);
  toClip.setRow(2, {0, 0, -0.01f}, 0);
  toClip.setRow(3, {-1.0f, 1.0f, 0}, 1);
  return mat::scaling({r.w, r.h, 1.0f}) * mat::translation({r.x0, r.y0, 0.0f}) * toClip;
}

namespace {

// No culling, no depth, the sprite blended over the picture by its alpha.
RenderStateDesc spriteState() {
  RenderStateDesc s = passStateDesc();
  s.colourBlend[0] = blendWord(D3D11_BLEND_SRC_ALPHA, D3D11_BLEND_INV_SRC_ALPHA, D3D11_BLEND_OP_ADD);
  s.alphaBlend[0] = blendWord(D3D11_BLEND_ONE, D3D11_BLEND_ONE, D3D11_BLEND_OP_ADD);
  return s;
}

}  // namespace

SpriteOp::SpriteOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addColorGroup("Color", ColorR, 4);
  ZV_IMAGE_OUT(SpriteOp, SpriteFunction);
}

SpriteOp::SpriteFunction::SpriteFunction() = default;
SpriteOp::SpriteFunction::~SpriteFunction() = default;

void SpriteOp::SpriteFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  if (notLoaded) {
    notLoaded = 0;
    const std::string path = evalText(s, ShaderPath, t, ctx);
    program = loadPassProgram(path.c_str(), "VS", "PS", true);
    if (program) program->state = program->device->stateFor(spriteState());
  }
  Texture* picture = evalImage(s, ImageIn, t, ctx);
  const Float4 colour{evalFloat(s, ColorR, t, ctx), evalFloat(s, ColorG, t, ctx), evalFloat(s, ColorB, t, ctx),
                      evalFloat(s, ColorA, t, ctx)};
  if (!(colour.w > 0.0f)) return;
  Texture* texture = nullptr;
  if (connected(s, TextureIn)) {
    texture = evalImage(s, TextureIn, t, ctx);
    ctx.imageResult = picture;
  } else if (ctx.gbufferRenderer) {
    texture = ctx.gbufferRenderer->whiteTexture;
  }
  const float positionX = evalFloat(s, PositionX, t, ctx);
  const float positionY = evalFloat(s, PositionY, t, ctx);
  const float scaleX = evalFloat(s, ScaleX, t, ctx);
  const float scaleY = evalFloat(s, ScaleY, t, ctx);
  if (colour.w <= 1e-6f) return;
  const float W = float(ctx.viewport.right - ctx.viewport.left);
  const float H = float(ctx.viewport.bottom - ctx.viewport.top);
  const float tw = texture ? float(texture->width()) : 0.0f;
  const float th = texture ? float(texture->height()) : 0.0f;
  const SpriteRect rect = spriteRect(W, H, tw, th, positionX, positionY, scaleX, scaleY,
                                     evalChoice(s, Pivot, t, ctx));
  const float glitch = evalFloat(s, Glitch, t, ctx);
  // A texture or viewport without pixels, or a scale of 0, has nothing to draw.
  if (!picture || rect.empty() || !usable(program.get()) || !ctx.quadMesh) return;
  Device* device = deviceOf(ctx);
  texture = readable(ctx, texture, picture);
  bindTexture(program.get(), 0, texture, linearClamp(device));
  ConstantWriter(program.get(), "sprite", trace)
      .matrix("gScreen", spriteScreenMatrix(rect, W, H).m)
      .set("gColor", colour)
      .set("gGlitch", glitch)
      .set("gTime", t);

  RenderPass pass;
  pass.colourTargets[0] = picture;
  pass.rect[0] = ctx.viewport.left;
  pass.rect[1] = ctx.viewport.top;
  pass.rect[2] = ctx.viewport.right;
  pass.rect[3] = ctx.viewport.bottom;
  pass.width = picture->width();
  pass.height = picture->height();
  bindRenderPass(device, pass);
  DrawRequest request;
  request.program = program.get();
  request.mesh = ctx.quadMesh;
  if (trace) trace->runs.push_back(program.get());
  submitDraw(request);
  program->setResource(4, 0, nullptr);
  unbindRenderTargets(device);
}

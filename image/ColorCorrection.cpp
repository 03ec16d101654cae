#include "image/ColorCorrection.h"

#include "gfx/RenderTargets.h"
#include "image/PostProcessManager.h"

using effects::connected;
using effects::evalImage;

namespace {

Float4 readRgb(const std::vector<Port*>& s, size_t first, float t, Context& ctx) {
  const float r = evalFloat(s, first, t, ctx);
  const float g = evalFloat(s, first + 1, t, ctx);
  const float b = evalFloat(s, first + 2, t, ctx);
  return Float4{r, g, b, 0.0f};
}

// The first steps every CC operator shares: the picture, then the mask when "MaskIn" is
// connected (its picture is the mask; an empty one counts as none), and the picture put
// back as the image result. False when there is no picture.
bool pictureAndMask(const std::vector<Port*>& s, float t, Context& ctx, Texture*& source, Texture*& mask) {
  enum : size_t { ImageIn = 0, MaskIn = 1 };
  source = evalImage(s, ImageIn, t, ctx);
  mask = nullptr;
  if (!source) return false;
  if (connected(s, MaskIn)) mask = evalImage(s, MaskIn, t, ctx);
  ctx.imageResult = source;
  return true;
}

}  // namespace

// ---------------------------------------------------------------- ColorCorrection

ColorCorrectionOp::ColorCorrectionOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(ColorCorrectionOp, ColorCorrectionFunction);
}

void ColorCorrectionOp::ColorCorrectionFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  if (!source) return;  // no parameter is read
  const Float4 preAdd = readRgb(s, PreAddR, t, ctx);
  const Float4 mul = readRgb(s, MulR, t, ctx);
  const Float4 pow = readRgb(s, PowR, t, ctx);
  const Float4 postAdd = readRgb(s, PostAddR, t, ctx);
  const Float4 postMul = readRgb(s, PostMulR, t, ctx);
  const Float4 min = readRgb(s, MinR, t, ctx);
  const Float4 max = readRgb(s, MaxR, t, ctx);
  const float saturation = evalFloat(s, Saturation, t, ctx);
  const bool preview = evalFloat(s, Preview, t, ctx) > 0.0f;  // any positive value, unlike bools elsewhere
  Texture* destination = nextRingTarget(ctx);
  if (PostProcessManager* m = gPostProcessManager) {
    ColorCorrectionBlock& b = m->colorCorrection;
    b.preAdd = preAdd;
    b.mul = mul;
    b.pow = pow;
    b.postAdd = postAdd;
    b.postMul = postMul;
    b.min = min;
    b.max = max;
    b.saturation = saturation;
    b.preview = preview;
    m->applyColorCorrection(source, destination, ctx.viewport);
  }
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- CCSplitToning

CCSplitToningOp::CCSplitToningOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addColorGroup("Highlights", HiR, 4);
  addColorGroup("Shadows", LoR, 4);
  ZV_IMAGE_OUT(CCSplitToningOp, CCSplitToningFunction);
}

void CCSplitToningOp::CCSplitToningFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture *source, *mask;
  if (!pictureAndMask(s, t, ctx, source, mask)) return;
  // Colours first, then the influences and the balance.
  const Float4 hi = readRgb(s, HiR, t, ctx);
  const Float4 lo = readRgb(s, LoR, t, ctx);
  const float hiInfluence = evalFloat(s, HiInfluence, t, ctx);
  const float loInfluence = evalFloat(s, LoInfluence, t, ctx);
  const float balance = evalFloat(s, Balance, t, ctx);
  Texture* destination = nextRingTarget(ctx);
  if (PostProcessManager* m = gPostProcessManager) {
    CCSplitToningBlock& b = m->ccSplitToning;
    b.hi = hi;
    b.lo = lo;
    b.hiInfluence = hiInfluence;
    b.loInfluence = loInfluence;
    b.balance = balance;
    m->applyCCSplitToning(source, mask, destination, ctx.viewport);
  }
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- CCColor

CCColorOp::CCColorOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(CCColorOp, CCColorFunction);
}

void CCColorOp::CCColorFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture *source, *mask;
  if (!pictureAndMask(s, t, ctx, source, mask)) return;
  Float4 ranges[CCRangeCount];
  for (uint32_t i = 0; i < CCRangeCount; ++i) ranges[i] = readRgb(s, FirstRange + 3 * i, t, ctx);
  Texture* destination = nextRingTarget(ctx);
  if (PostProcessManager* m = gPostProcessManager) {
    for (uint32_t i = 0; i < CCRangeCount; ++i) m->ccColor.ranges[i] = ranges[i];
    m->applyCCColor(source, mask, destination, ctx.viewport);
  }
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- CCHSL

CCHSLOp::CCHSLOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(CCHSLOp, CCHSLFunction);
}

void CCHSLOp::CCHSLFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture *source, *mask;
  if (!pictureAndMask(s, t, ctx, source, mask)) return;
  const Float4 hsl = readRgb(s, Hue, t, ctx);
  Texture* destination = nextRingTarget(ctx);
  if (PostProcessManager* m = gPostProcessManager) {
    m->ccHSL.hsl = hsl;
    m->applyCCHSL(source, mask, destination, ctx.viewport);
  }
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- CCTone

CCToneOp::CCToneOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(CCToneOp, CCToneFunction);
}

void CCToneOp::CCToneFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture *source, *mask;
  if (!pictureAndMask(s, t, ctx, source, mask)) return;
  float v[6];
  for (uint32_t i = 0; i < 6; ++i) v[i] = evalFloat(s, Exposure + i, t, ctx);
  Texture* destination = nextRingTarget(ctx);
  if (PostProcessManager* m = gPostProcessManager) {
    CCToneBlock& b = m->ccTone;
    b.exposure = v[0];
    b.contrast = v[1];
    b.highlights = v[2];
    b.shadows = v[3];
    b.whites = v[4];
    b.blacks = v[5];
    m->applyCCTone(source, mask, destination, ctx.viewport);
  }
  ctx.imageResult = destination;
}

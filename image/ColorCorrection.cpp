#include "image/ColorCorrection.h"

using effects::drawIntoNextRingImage;
using effects::Field;
using effects::pictureAndMask;
using effects::Reading;
using effects::readRgb;

// ---------------------------------------------------------------- ColorCorrection

ColorCorrectionOp::ColorCorrectionOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(ColorCorrectionOp, ColorCorrectionFunction);
}

constexpr Field<ColorCorrectionBlock, Float4> kLevelFields[] = {
    {ColorCorrectionOp::PreAddR, &ColorCorrectionBlock::preAdd},
    {ColorCorrectionOp::MulR, &ColorCorrectionBlock::mul},
    {ColorCorrectionOp::PowR, &ColorCorrectionBlock::pow},
    {ColorCorrectionOp::PostAddR, &ColorCorrectionBlock::postAdd},
    {ColorCorrectionOp::PostMulR, &ColorCorrectionBlock::postMul},
    {ColorCorrectionOp::MinR, &ColorCorrectionBlock::min},
    {ColorCorrectionOp::MaxR, &ColorCorrectionBlock::max}};

void ColorCorrectionOp::ColorCorrectionFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = effects::evalImage(s, ImageIn, t, ctx);
  if (!source) return;  // no parameter is read
  const Reading levels(kLevelFields, s, t, ctx);
  const float saturation = evalFloat(s, Saturation, t, ctx);
  const bool preview = evalFloat(s, Preview, t, ctx) > 0.0f;  // any positive value, unlike bools elsewhere
  drawIntoNextRingImage(ctx, source, [&](PostProcessManager& m, Texture* destination) {
    levels.storeInto(m.colorCorrection);
    m.colorCorrection.saturation = saturation;
    m.colorCorrection.preview = preview;
    m.applyColorCorrection(source, destination, ctx.viewport);
  });
}

// ---------------------------------------------------------------- CCSplitToning

CCSplitToningOp::CCSplitToningOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addColorGroup("Highlights", HiR, 4);
  addColorGroup("Shadows", LoR, 4);
  ZV_IMAGE_OUT(CCSplitToningOp, CCSplitToningFunction);
}

constexpr Field<CCSplitToningBlock, Float4> kSplitToningColours[] = {
    {CCSplitToningOp::HiR, &CCSplitToningBlock::hi}, {CCSplitToningOp::LoR, &CCSplitToningBlock::lo}};
constexpr Field<CCSplitToningBlock> kSplitToningAmounts[] = {
    {CCSplitToningOp::HiInfluence, &CCSplitToningBlock::hiInfluence},
    {CCSplitToningOp::LoInfluence, &CCSplitToningBlock::loInfluence},
    {CCSplitToningOp::Balance, &CCSplitToningBlock::balance}};

void CCSplitToningOp::CCSplitToningFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture *source, *mask;
  if (!pictureAndMask(s, t, ctx, source, mask)) return;
  // Colours first, then the influences and the balance.
  const Reading colours(kSplitToningColours, s, t, ctx);
  const Reading amounts(kSplitToningAmounts, s, t, ctx);
  drawIntoNextRingImage(ctx, source, [&](PostProcessManager& m, Texture* destination) {
    colours.storeInto(m.ccSplitToning);
    amounts.storeInto(m.ccSplitToning);
    m.applyCCSplitToning(source, mask, destination, ctx.viewport);
  });
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
  drawIntoNextRingImage(ctx, source, [&](PostProcessManager& m, Texture* destination) {
    for (uint32_t i = 0; i < CCRangeCount; ++i) m.ccColor.ranges[i] = ranges[i];
    m.applyCCColor(source, mask, destination, ctx.viewport);
  });
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
  drawIntoNextRingImage(ctx, source, [&](PostProcessManager& m, Texture* destination) {
    m.ccHSL.hsl = hsl;
    m.applyCCHSL(source, mask, destination, ctx.viewport);
  });
}

// ---------------------------------------------------------------- CCTone

CCToneOp::CCToneOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(CCToneOp, CCToneFunction);
}

constexpr Field<CCToneBlock> kToneFields[] = {
    {CCToneOp::Exposure, &CCToneBlock::exposure}, {CCToneOp::Contrast, &CCToneBlock::contrast},
    {CCToneOp::Highlights, &CCToneBlock::highlights}, {CCToneOp::Shadows, &CCToneBlock::shadows},
    {CCToneOp::Whites, &CCToneBlock::whites}, {CCToneOp::Blacks, &CCToneBlock::blacks}};

void CCToneOp::CCToneFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture *source, *mask;
  if (!pictureAndMask(s, t, ctx, source, mask)) return;
  const Reading params(kToneFields, s, t, ctx);
  drawIntoNextRingImage(ctx, source, [&](PostProcessManager& m, Texture* destination) {
    params.storeInto(m.ccTone);
    m.applyCCTone(source, mask, destination, ctx.viewport);
  });
}

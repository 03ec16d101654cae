#include "image/Effects.h"

#include "engine/Globals.h"

namespace effects {

Texture* evalImage(const std::vector<Port*>& sources, size_t i, float t, Context& ctx) {
  evalInput(sources, i, t, ctx);
  return ctx.imageResult;
}

bool connected(const std::vector<Port*>& sources, size_t i) { return !sources[i]->sources.empty(); }

Float4 readRgb(const std::vector<Port*>& s, size_t first, float t, Context& ctx) {
  const float r = evalFloat(s, first, t, ctx);
  const float g = evalFloat(s, first + 1, t, ctx);
  const float b = evalFloat(s, first + 2, t, ctx);
  return Float4{r, g, b, 0.0f};
}

bool pictureAndMask(const std::vector<Port*>& s, float t, Context& ctx, Texture*& source, Texture*& mask) {
  enum : size_t { ImageIn = 0, MaskIn = 1 };
  source = evalImage(s, ImageIn, t, ctx);
  mask = nullptr;
  if (!source) return false;
  if (connected(s, MaskIn)) mask = evalImage(s, MaskIn, t, ctx);
  ctx.imageResult = source;
  return true;
}

Texture* nextRingTargetOtherThan(Context& ctx, const Texture* source) {
  if (!ctx.targets || !ctx.targets->ring) return nullptr;
  PostProcessRing& ring = *ctx.targets->ring;
  for (int tries = 0; tries < 3; ++tries) {
    Texture* candidate = ring.slots[ring.index];
    ring.index = (ring.index + 1) % 3;
    if (candidate && candidate != source) return candidate;
  }
  return nullptr;
}

}  // namespace effects

using effects::drawIntoNextRingImage;
using effects::evalImage;
using effects::Field;
using effects::Reading;

// ---------------------------------------------------------------- ToneMapping

ToneMappingOp::ToneMappingOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(ToneMappingOp, ToneMappingFunction);
}

constexpr Field<ToneMappingBlock> kToneMappingFields[] = {
    {ToneMappingOp::Exposure, &ToneMappingBlock::exposure}, {ToneMappingOp::Sharpen, &ToneMappingBlock::sharpen}};

void ToneMappingOp::ToneMappingFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const Reading params(kToneMappingFields, s, t, ctx);
  if (!source) return;
  // Never the picture it reads, even when that is a ring image.
  Texture* destination = effects::nextRingTargetOtherThan(ctx, source);
  if (!destination) return;
  if (PostProcessManager* m = gPostProcessManager) {
    params.storeInto(m->toneMapping);
    m->applyToneMapping(source, destination, ctx.viewport);
  }
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- SSAO

SSAOOp::SSAOOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(SSAOOp, SSAOFunction);
}

constexpr Field<SSAOBlock> kSSAOFields[] = {
    {SSAOOp::Radius, &SSAOBlock::radius},   {SSAOOp::FadeStart, &SSAOBlock::fadeStart},
    {SSAOOp::FadeEnd, &SSAOBlock::fadeEnd}, {SSAOOp::Power, &SSAOBlock::power},
    {SSAOOp::SurfaceEpsilon, &SSAOBlock::surfaceEpsilon}};

void SSAOOp::SSAOFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const Reading params(kSSAOFields, s, t, ctx);
  drawIntoNextRingImage(ctx, source, [&](PostProcessManager& m, Texture* destination) {
    params.storeInto(m.ssao);
    m.ssao.farPlane = ctx.zFar;
    m.ssao.fieldOfView = ctx.fov;
    m.applySSAO(source, destination, ctx.viewport, ctx.gbuffer[1], ctx.projection);
  });
}

// ---------------------------------------------------------------- Bloom

BloomOp::BloomOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(BloomOp, BloomFunction);
}

constexpr Field<BloomBlock> kBloomFields[] = {
    {BloomOp::ExtractThreshold, &BloomBlock::extractThreshold}, {BloomOp::RadiusX, &BloomBlock::radiusX},
    {BloomOp::RadiusY, &BloomBlock::radiusY}, {BloomOp::Intensity, &BloomBlock::intensity}};

void BloomOp::BloomFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const Reading params(kBloomFields, s, t, ctx);
  Texture* destination = effects::nextRingTargetOtherThan(ctx, source);  // taken even for nothing to draw
  if (!source) return;
  if (PostProcessManager* m = gPostProcessManager) {
    params.storeInto(m->bloom);
    m->applyBloom(source, destination, ctx.viewport);
  }
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- GaussBlur

GaussBlurOp::GaussBlurOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(GaussBlurOp, GaussBlurFunction);
}

constexpr Field<GaussBlurBlock> kGaussBlurFields[] = {
    {GaussBlurOp::Intensity, &GaussBlurBlock::intensity}, {GaussBlurOp::Radius, &GaussBlurBlock::radius}};

void GaussBlurOp::GaussBlurFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const Reading params(kGaussBlurFields, s, t, ctx);
  drawIntoNextRingImage(ctx, source, [&](PostProcessManager& m, Texture* destination) {
    params.storeInto(m.gaussBlur);
    m.applyGaussBlur(source, destination, ctx.viewport);
  });
}

// ---------------------------------------------------------------- RadialBlur

RadialBlurOp::RadialBlurOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(RadialBlurOp, RadialBlurFunction);
}

void RadialBlurOp::RadialBlurFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const float intensity = evalFloat(s, Intensity, t, ctx);
  const float radius = evalFloat(s, Radius, t, ctx);
  if (!(intensity > 1e-5f && radius > 1e-5f)) return;  // the picture passes through
  const Float4 centre = effects::readRgb(s, CenterX, t, ctx);
  drawIntoNextRingImage(ctx, source, [&](PostProcessManager& m, Texture* destination) {
    m.radialBlur.intensity = intensity;
    m.radialBlur.radius = radius;
    m.radialBlur.centre = centre;
    m.applyRadialBlur(source, destination, ctx.viewport);
  });
}

// ---------------------------------------------------------------- Invert

InvertOp::InvertOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(InvertOp, InvertFunction);
}

void InvertOp::InvertFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  // The mask first: whatever picture is current after it is the mask.
  Texture* mask = evalImage(s, MaskIn, t, ctx);
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const float intensity = evalFloat(s, Intensity, t, ctx);
  const bool useMask = evalFloat(s, UseMaskImage, t, ctx) > 0.0f;
  drawIntoNextRingImage(ctx, source, [&](PostProcessManager& m, Texture* destination) {
    m.invert.intensity = intensity;
    m.invert.useMask = useMask;
    m.applyInvert(source, destination, ctx.viewport, mask);
  });
}

// ---------------------------------------------------------------- Grain

GrainOp::GrainOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(GrainOp, GrainFunction);
}

void GrainOp::GrainFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const float strength = evalFloat(s, Strength, t, ctx);
  const float contrast = evalFloat(s, Contrast, t, ctx);
  const float contrastStrength = evalFloat(s, ContrastStr, t, ctx);
  if (!source) return;
  drawIntoNextRingImage(ctx, source, [&](PostProcessManager& m, Texture* destination) {
    m.grain.strength = strength;
    m.applyGrain(source, destination, ctx.viewport, t, contrast, contrastStrength);
  });
}

// ---------------------------------------------------------------- Feedback

FeedbackOp::FeedbackOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(FeedbackOp, FeedbackFunction);
}

constexpr Field<FeedbackBlock> kFeedbackFields[] = {
    {FeedbackOp::Influence, &FeedbackBlock::previousInfluence},
    {FeedbackOp::Intensity, &FeedbackBlock::currentIntensity},
    {FeedbackOp::NoiseStrength, &FeedbackBlock::noiseStrength},
    {FeedbackOp::NoiseFrequency, &FeedbackBlock::noiseFrequency},
    {FeedbackOp::NoisePhase, &FeedbackBlock::noisePhase}};

void FeedbackOp::FeedbackFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const Reading params(kFeedbackFields, s, t, ctx);
  // Stored whether or not there is a picture.
  if (PostProcessManager* m = gPostProcessManager) {
    params.storeInto(m->feedback);
    m->feedback.time = t;
  }
  if (!source) return;
  drawIntoNextRingImage(ctx, source, [&](PostProcessManager& m, Texture* destination) {
    m.applyFeedback(source, destination, ctx.viewport, t);
  });
}

// ---------------------------------------------------------------- DOF

DOFOp::DOFOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(DOFOp, DOFFunction);
}

constexpr Field<DOFBlock> kDOFFields[] = {{DOFOp::FocalLength, &DOFBlock::focalLength},
                                          {DOFOp::FocalPlane, &DOFBlock::focalPlane},
                                          {DOFOp::Aperture, &DOFBlock::aperture}};

void DOFOp::DOFFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const Reading params(kDOFFields, s, t, ctx);
  // The ring image becomes the picture also when there was nothing to draw.
  drawIntoNextRingImage(ctx, source, [&](PostProcessManager& m, Texture* destination) {
    params.storeInto(m.dof);
    m.applyDOF(source, destination, ctx.viewport, ctx.frameDepthTarget, ctx.zNear, ctx.zFar);
  });
}

// ---------------------------------------------------------------- MotionBlur

MotionBlurOp::MotionBlurOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(MotionBlurOp, MotionBlurFunction);
  ++velocityTileReaders;
}

MotionBlurOp::~MotionBlurOp() { --velocityTileReaders; }

constexpr Field<MotionBlurBlock> kMotionBlurFields[] = {
    {MotionBlurOp::Strength, &MotionBlurBlock::strength}, {MotionBlurOp::Alpha, &MotionBlurBlock::alpha}};

void MotionBlurOp::MotionBlurFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  static_assert(ImageIn == 0 && MaskIn == 1, "read by effects::pictureAndMask");
  Texture *source, *mask;
  if (!effects::pictureAndMask(s, t, ctx, source, mask)) return;
  const Reading params(kMotionBlurFields, s, t, ctx);
  drawIntoNextRingImage(ctx, source, [&](PostProcessManager& m, Texture* destination) {
    params.storeInto(m.motionBlur);
    Texture* tiles = ctx.targets && ctx.targets->gbuffer ? ctx.targets->gbuffer->velocityTiles : nullptr;
    m.applyMotionBlur(source, destination, ctx.viewport, tiles, mask);
  });
}

// ---------------------------------------------------------------- FXAA

FXAAOp::FXAAOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(FXAAOp, FXAAFunction);
}

void FXAAOp::FXAAFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  if (!source) return;
  drawIntoNextRingImage(ctx, source, [&](PostProcessManager& m, Texture* destination) {
    m.applyFXAA(source, destination, ctx.viewport);
  });
}

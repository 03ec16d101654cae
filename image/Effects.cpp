#include "image/Effects.h"

#include "gfx/RenderTargets.h"
#include "image/PostProcessManager.h"

namespace effects {

Texture* evalImage(const std::vector<Port*>& sources, size_t i, float t, Context& ctx) {
  evalInput(sources, i, t, ctx);
  return ctx.imageResult;
}

bool connected(const std::vector<Port*>& sources, size_t i) { return !sources[i]->sources.empty(); }

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

using effects::connected;
using effects::evalImage;

// ---------------------------------------------------------------- ToneMapping

ToneMappingOp::ToneMappingOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(ToneMappingOp, ToneMappingFunction);
}

void ToneMappingOp::ToneMappingFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const float exposure = evalFloat(s, Exposure, t, ctx);
  const float sharpen = evalFloat(s, Sharpen, t, ctx);
  if (!source) return;
  // Never the picture it reads, even when that is a ring image.
  Texture* destination = effects::nextRingTargetOtherThan(ctx, source);
  if (!destination) return;
  if (PostProcessManager* m = gPostProcessManager) {
    m->toneMapping.exposure = exposure;
    m->toneMapping.sharpen = sharpen;
    m->applyToneMapping(source, destination, ctx.viewport);
  }
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- SSAO

SSAOOp::SSAOOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(SSAOOp, SSAOFunction);
}

void SSAOOp::SSAOFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const float radius = evalFloat(s, Radius, t, ctx);
  const float fadeStart = evalFloat(s, FadeStart, t, ctx);
  const float fadeEnd = evalFloat(s, FadeEnd, t, ctx);
  const float power = evalFloat(s, Power, t, ctx);
  const float epsilon = evalFloat(s, SurfaceEpsilon, t, ctx);
  Texture* destination = nextRingTarget(ctx);
  if (PostProcessManager* m = gPostProcessManager) {
    SSAOBlock& b = m->ssao;
    b.radius = radius;
    b.fadeStart = fadeStart;
    b.fadeEnd = fadeEnd;
    b.power = power;
    b.surfaceEpsilon = epsilon;
    b.farPlane = ctx.zFar;
    b.fieldOfView = ctx.fov;
    m->applySSAO(source, destination, ctx.viewport, ctx.gbuffer[1], ctx.projection);
  }
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- Bloom

BloomOp::BloomOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(BloomOp, BloomFunction);
}

void BloomOp::BloomFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const float threshold = evalFloat(s, ExtractThreshold, t, ctx);
  const float radiusX = evalFloat(s, RadiusX, t, ctx);
  const float radiusY = evalFloat(s, RadiusY, t, ctx);
  const float intensity = evalFloat(s, Intensity, t, ctx);
  Texture* destination = nextRingTarget(ctx);
  if (!source) return;
  if (PostProcessManager* m = gPostProcessManager) {
    BloomBlock& b = m->bloom;
    b.extractThreshold = threshold;
    b.radiusX = radiusX;
    b.radiusY = radiusY;
    b.intensity = intensity;
    m->applyBloom(source, destination, ctx.viewport);
  }
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- GaussBlur

GaussBlurOp::GaussBlurOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(GaussBlurOp, GaussBlurFunction);
}

void GaussBlurOp::GaussBlurFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const float intensity = evalFloat(s, Intensity, t, ctx);
  const float radius = evalFloat(s, Radius, t, ctx);
  Texture* destination = nextRingTarget(ctx);
  if (PostProcessManager* m = gPostProcessManager) {
    m->gaussBlur.intensity = intensity;
    m->gaussBlur.radius = radius;
    m->applyGaussBlur(source, destination, ctx.viewport);
  }
  ctx.imageResult = destination;
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
  const Float4 centre{evalFloat(s, CenterX, t, ctx), evalFloat(s, CenterY, t, ctx), evalFloat(s, CenterZ, t, ctx),
                      0.0f};
  Texture* destination = nextRingTarget(ctx);
  if (PostProcessManager* m = gPostProcessManager) {
    m->radialBlur.intensity = intensity;
    m->radialBlur.radius = radius;
    m->radialBlur.centre = centre;
    m->applyRadialBlur(source, destination, ctx.viewport);
  }
  ctx.imageResult = destination;
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
  Texture* destination = nextRingTarget(ctx);
  if (PostProcessManager* m = gPostProcessManager) {
    m->invert.intensity = intensity;
    m->invert.useMask = useMask;
    m->applyInvert(source, destination, ctx.viewport, mask);
  }
  ctx.imageResult = destination;
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
  Texture* destination = nextRingTarget(ctx);
  if (PostProcessManager* m = gPostProcessManager) {
    m->grain.strength = strength;
    m->applyGrain(source, destination, ctx.viewport, t, contrast, contrastStrength);
  }
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- Feedback

FeedbackOp::FeedbackOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(FeedbackOp, FeedbackFunction);
}

void FeedbackOp::FeedbackFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const float influence = evalFloat(s, Influence, t, ctx);
  const float intensity = evalFloat(s, Intensity, t, ctx);
  const float noiseStrength = evalFloat(s, NoiseStrength, t, ctx);
  const float noiseFrequency = evalFloat(s, NoiseFrequency, t, ctx);
  const float noisePhase = evalFloat(s, NoisePhase, t, ctx);
  PostProcessManager* m = gPostProcessManager;
  if (m) {
    FeedbackBlock& b = m->feedback;
    b.previousInfluence = influence;
    b.currentIntensity = intensity;
    b.noiseStrength = noiseStrength;
    b.noiseFrequency = noiseFrequency;
    b.noisePhase = noisePhase;
    b.time = t;
  }
  if (!source) return;
  Texture* destination = nextRingTarget(ctx);
  if (m) m->applyFeedback(source, destination, ctx.viewport, t);
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- DOF

DOFOp::DOFOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(DOFOp, DOFFunction);
}

void DOFOp::DOFFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  const float focalLength = evalFloat(s, FocalLength, t, ctx);
  const float focalPlane = evalFloat(s, FocalPlane, t, ctx);
  const float aperture = evalFloat(s, Aperture, t, ctx);
  Texture* destination = nextRingTarget(ctx);
  if (PostProcessManager* m = gPostProcessManager) {
    m->dof.focalLength = focalLength;
    m->dof.focalPlane = focalPlane;
    m->dof.aperture = aperture;
    m->applyDOF(source, destination, ctx.viewport, ctx.frameDepthTarget, ctx.zNear, ctx.zFar);
  }
  ctx.imageResult = destination;  // also when there was nothing to draw
}

// ---------------------------------------------------------------- MotionBlur

MotionBlurOp::MotionBlurOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(MotionBlurOp, MotionBlurFunction);
}

void MotionBlurOp::MotionBlurFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  if (!source) return;
  Texture* mask = nullptr;
  if (connected(s, MaskIn)) {
    mask = evalImage(s, MaskIn, t, ctx);
    ctx.imageResult = source;
  }
  const float strength = evalFloat(s, Strength, t, ctx);
  const float alpha = evalFloat(s, Alpha, t, ctx);
  Texture* destination = nextRingTarget(ctx);
  if (PostProcessManager* m = gPostProcessManager) {
    m->motionBlur.strength = strength;
    m->motionBlur.alpha = alpha;
    Texture* tiles = ctx.targets && ctx.targets->gbuffer ? ctx.targets->gbuffer->velocityTiles : nullptr;
    m->applyMotionBlur(source, destination, ctx.viewport, tiles, mask);
  }
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- FXAA

FXAAOp::FXAAOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(FXAAOp, FXAAFunction);
}

void FXAAOp::FXAAFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = evalImage(s, ImageIn, t, ctx);
  if (!source) return;
  Texture* destination = nextRingTarget(ctx);
  if (PostProcessManager* m = gPostProcessManager) m->applyFXAA(source, destination, ctx.viewport);
  ctx.imageResult = destination;
}

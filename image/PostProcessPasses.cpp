// The passes of the post-process manager: constants, textures, targets and the order of
// the draws of every effect. What the programs compute lives in data/shaders.
#include <algorithm>
#include <cmath>

#include "engine/Globals.h"
#include "gfx/FatalError.h"
#include "gfx/ShaderProgram.h"
#include "gfx/Texture.h"
#include "image/PostProcessManager.h"
#include "image/PostProcessPassSupport.h"
#include "scene/FrameSetup.h"

using namespace postpass;

namespace {

// A pass that reads `read` only at the texel centres of a picture of `at`'s size (its own
// pixel, or whole pixels away, clamped to texel centres) gets the same values from a point
// sampler as from a filtered one, for far less work on a CPU driver. At another size the
// reads fall between texels and keep the filter.
Sampler* centreSampler(const Texture* read, const Texture* at, Sampler* point, Sampler* filtered) {
  return read && at && read->width() == at->width() && read->height() == at->height() ? point : filtered;
}

}  // namespace

bool PostProcessManager::mapsTexelsOneToOne(const Texture* read, const Texture* source, const Viewport& vp) const {
  const RegionConstants rc = regionConstants(source, vp);
  const float w = viewportWidth(vp), h = viewportHeight(vp);
  return read && w >= 1.0f && h >= 1.0f && std::fabs(rc.scale[0] * float(read->width()) - w) < 1e-3f &&
         std::fabs(rc.scale[1] * float(read->height()) - h) < 1e-3f && rc.offset[0] >= 0.0f && rc.offset[1] >= 0.0f &&
         rc.offset[0] + rc.scale[0] <= 1.0f + 1e-6f && rc.offset[1] + rc.scale[1] <= 1.0f + 1e-6f;
}

Sampler* PostProcessManager::texelSampler(const Texture* read, const Texture* source, const Viewport& vp,
                                          Sampler* filtered) const {
  // Reads past the picture's edge (sharpening's neighbours) wrap or clamp as the filter did.
  if (!mapsTexelsOneToOne(read, source, vp)) return filtered;
  return filtered == linearWrap ? pointWrap : pointClamp;
}

// ---------------------------------------------------------------- DOF

void PostProcessManager::applyDOF(Texture* source, Texture* destination, const Viewport&, Texture* depth,
                                  float zNear, float zFar) {
  if (!source) return;
  if (!dof.t1 || !dof.t2 || !dof.t3 || !dof.t4) fatalError("DOF: the intermediate targets are missing");
  const float f = dof.focalLength, p = dof.focalPlane, a = dof.aperture, n = zNear, F = zFar;
  // The circle of confusion is linear in the depth-buffer value: coc = depth * scale + bias.
  float cocScale = (p * f * a * (F - n)) / ((p - f) * n * F) * 53.76344f;
  float cocBias = ((n - p) * f * a) / ((p - f) * n) * 53.76344f;
  // A focal plane at the focal length or a zero near plane has no finite circle: draw sharp
  // rather than spreading infinities and NaNs over the picture.
  if (!std::isfinite(cocScale) || !std::isfinite(cocBias)) cocScale = cocBias = 0.0f;
  ConstantWriter(dof.calcCoC.get(), dof.calcCoC.file, trace).set("gCoCScale", cocScale).set("gCoCBias", cocBias);

  drawPass(Draw(dof.calcCoC, dof.t3, whole(dof.t3))
               .tex(source, centreSampler(source, dof.t3, pointClamp, linearClamp))
               .tex(depth, pointClamp));
  makeDOFBlockTarget(dof.t3->width(), dof.t3->height());
  drawPass(Draw(dof.blockRadius, dof.blocks, whole(dof.blocks)).tex(dof.t3, nullptr));

  // Each blur is drawn in two parts over the blocks: those whose widest circle is at most the
  // narrow radius with the narrow programs, the others with the wide ones. Without the narrow
  // programs every block is wide.
  const bool narrow = dof.narrowBlurs && dof.hexBlur0Narrow.get() && dof.hexBlur1Narrow.get();
  const float narrowRadius = narrow ? kDOFNarrowRadius : -1.0f;
  const uint32_t blockVertices = dof.blocks->width() * dof.blocks->height() * 6;
  auto overBlocks = [&](const PassProgram& p, Draw d) {
    ShaderProgram* program = p.get();
    if (!program) return;
    d.vertices = blockVertices;
    program->setResource(0, 2, dof.blocks);
    if (trace) trace->textures.push_back({program, 0, 2, dof.blocks});
    drawPass(d);
    program->setResource(0, 2, nullptr);
  };
  auto blockConstants = [&](const PassProgram& p, const Texture* target, bool everyBlock) {
    const float size[2] = {float(target->width()), float(target->height())};
    ConstantWriter(p.get(), p.file, trace)
        .set("gTargetSize", size)
        .set("gEveryBlock", everyBlock ? 1.0f : 0.0f)
        .set("gNarrowRadius", narrowRadius);
  };

  // The first blur covers every block: the second reads it around each of its pixels.
  for (const PassProgram* p : {&dof.hexBlur0, &dof.hexBlur0Narrow}) {
    if (p == &dof.hexBlur0Narrow && !narrow) continue;
    blockConstants(*p, dof.t1, true);
    Draw hex0(*p, dof.t1, whole(dof.t1));
    hex0.targets[1] = dof.t2;
    overBlocks(*p, hex0.tex(dof.t3, linearClamp));
  }

  // The combine shows the sharp picture wherever T4 holds a circle of half a pixel or less,
  // whatever its colour, so the second blur draws only the blocks with a wider circle, over
  // T4 cleared to nothing. A combine that filters T4 (another size than its destination)
  // would mix a drawn block into the next: then every block is drawn.
  Sampler* combineT4 = centreSampler(dof.t4, destination, pointClamp, linearClamp);
  const float nothing[4] = {0, 0, 0, 0};
  clearTexture(device_, dof.t4, nothing);
  for (const PassProgram* p : {&dof.hexBlur1, &dof.hexBlur1Narrow}) {
    if (p == &dof.hexBlur1Narrow && !narrow) continue;
    blockConstants(*p, dof.t4, combineT4 != pointClamp);
    overBlocks(*p, Draw(*p, dof.t4, whole(dof.t4)).tex(dof.t1, linearClamp).tex(dof.t2, linearClamp));
  }
  drawPass(Draw(dof.combine, destination, whole(destination))
               .tex(source, centreSampler(source, destination, pointClamp, linearClamp))
               .tex(dof.t4, combineT4));
}

// ---------------------------------------------------------------- single-program passes

void PostProcessManager::applyFXAA(Texture* source, Texture* destination, const Viewport& vp) {
  const RegionConstants rc = regionConstants(source, vp);
  const Float2 texel = source ? Float2{1.0f / float(source->width()), 1.0f / float(source->height())} : Float2{};
  const Float2 area{viewportWidth(vp), viewportHeight(vp)};
  // Most pixels hold no edge and keep their colour. Where the region maps pixels onto texels
  // one to one, the picture is copied, the blocks where some pixel has an edge by the test are
  // marked (reading the same texels as the test), and the anti-aliasing is drawn over those.
  const bool overBlocks = fxaa.overBlocks && mapsTexelsOneToOne(source, source, vp) && fxaa.copy.get() &&
                          fxaa.edgeBlocks.get() && fxaa.overEdges.get();
  for (const PassProgram* p : {&fxaa.program, &fxaa.copy, &fxaa.edgeBlocks, &fxaa.overEdges})
    ConstantWriter(p->get(), p->file, trace).region(rc).set("gTexelSize", texel).set("gAreaSize", area);
  // The same picture twice: filtered for the walk along edges, by texel for the 3 x 3
  // neighbourhood (those reads land on texel centres, where both samplers agree).
  if (!overBlocks) {
    drawPass(Draw(fxaa.program, destination, vp).tex(source, linearWrap).tex(source, pointClamp));
    return;
  }
  // The block target is sized by the destination, so that a viewport changing size makes no
  // new one; the viewport's blocks take its top-left corner.
  const uint32_t blocksX = (uint32_t(area.x) + kFXAABlock - 1) / kFXAABlock;
  const uint32_t blocksY = (uint32_t(area.y) + kFXAABlock - 1) / kFXAABlock;
  makeFXAABlockTarget(std::max(destination->width(), uint32_t(area.x)), std::max(destination->height(), uint32_t(area.y)));
  drawPass(Draw(fxaa.edgeBlocks, fxaa.blocks, Viewport{0, 0, int32_t(blocksX), int32_t(blocksY)}).tex(source, nullptr));
  drawPass(Draw(fxaa.copy, destination, vp).tex(source, pointClamp));
  Draw edges(fxaa.overEdges, destination, vp);
  edges.vertices = blocksX * blocksY * 6;
  edges.keep = true;
  ShaderProgram* const tiles = fxaa.overEdges.get();
  tiles->setResource(0, 2, fxaa.blocks);
  if (trace) trace->textures.push_back({tiles, 0, 2, fxaa.blocks});
  drawPass(edges.tex(source, linearWrap).tex(source, pointClamp));
  tiles->setResource(0, 2, nullptr);
}

void PostProcessManager::applyToneMapping(Texture* source, Texture* destination, const Viewport& vp) {
  const PassProgram& p = toneMapping.sharpen != 0.0f ? toneMapping.sharpened : toneMapping.program;
  ConstantWriter(p.get(), p.file, trace)
      .set("gExposure", toneMapping.exposure)
      .set("gSharpen", toneMapping.sharpen)
      .region(regionConstants(source, vp));
  // The picture is read at its texel centres (the sharpening's neighbours too).
  drawChoice(Draw(p, destination, vp).tex(source, texelSampler(source, vp, linearWrap)),
             &p == &toneMapping.program ? toneMapping.sharpened : toneMapping.program);
}

void PostProcessManager::applyInvert(Texture* source, Texture* destination, const Viewport& vp, Texture* mask) {
  ConstantWriter(invert.program.get(), invert.program.file, trace)
      .set("gIntensity", invert.intensity)
      .set("gUseMaskImage", int32_t(invert.useMask ? 1 : 0))
      .region(regionConstants(source, vp));
  drawPass(Draw(invert.program, destination, vp).tex(source, pointClamp).tex(mask, pointClamp));
}

void PostProcessManager::applyGrain(Texture* source, Texture* destination, const Viewport& vp, float t,
                                    float contrast, float contrastStrength) {
  ConstantWriter(grain.program.get(), grain.program.file, trace)
      .set("gStrength", grain.strength)
      .set("gFadeIn", grain.fadeIn)
      .set("gTime", t)
      .region(regionConstants(source, vp))
      .set("gScreenSize", Float2{viewportWidth(vp), viewportHeight(vp)})
      .set("gContrast", contrast)
      .set("gContrastStr", contrastStrength);
  drawPass(Draw(grain.program, destination, vp).tex(source, texelSampler(source, vp, linearBorder)));
}

void PostProcessManager::applyRadialBlur(Texture* source, Texture* destination, const Viewport& vp) {
  ConstantWriter(radialBlur.program.get(), radialBlur.program.file, trace)
      .set("gRadius", radialBlur.radius)
      .set("gIntensity", radialBlur.intensity)
      .set("gCenter", radialBlur.centre)
      .region(regionConstants(source, vp));
  drawPass(Draw(radialBlur.program, destination, vp).tex(source, linearClamp));
}

// ---------------------------------------------------------------- SSAO

void PostProcessManager::applySSAO(Texture* source, Texture* destination, const Viewport& vp, Texture* normals,
                                   const Float4x4& projection) {
  const float w = viewportWidth(vp), h = viewportHeight(vp);
  const float tanHalf = std::tan(ssao.fieldOfView * 0.5f * kDegToRad);
  const float F = ssao.farPlane;
  ssao.frustumCorner = Float4{tanHalf * F * (h != 0.0f ? w / h : 1.0f), tanHalf * F, F, 0.0f};
  const RegionConstants rc = regionConstants(source, vp);

  ConstantWriter(ssao.ssao.get(), ssao.ssao.file, trace)
      .set("gFrustumCorner", ssao.frustumCorner)
      .set("gOffsets", ssao.offsets)
      .set("gProj", projection.transposed())
      .set("gScreenSize", Float2{w, h})
      .set("gOcclusionFadeEnd", ssao.fadeEnd)
      .set("gOcclusionFadeStart", ssao.fadeStart)
      .set("gOcclusionRadius", ssao.radius)
      .set("gSurfaceEpsilon", ssao.surfaceEpsilon)
      .set("gOcclusionPower", ssao.power)
      .region(rc);
  // The occlusion and its blurs at half the size (a quarter of the work), drawn into the
  // top-left quarter of the full-size targets and brought back to full size by depth in the
  // combine; the passes after the occlusion read no texel outside that quarter.
  const Viewport halfRect{vp.left / 2, vp.top / 2, vp.right / 2, vp.bottom / 2};
  const Float4 halfTexels{float(halfRect.left), float(halfRect.top), float(halfRect.right - 1), float(halfRect.bottom - 1)};
  for (const PassProgram* p : {&ssao.blurV, &ssao.blurH, &ssao.combine})
    ConstantWriter(p->get(), p->file, trace).region(rc).set("gHalfRect", halfTexels);

  Draw occlusion(ssao.ssao, ssao.aoA, halfRect);
  occlusion.vertices = 4;
  drawPass(occlusion.tex(normals, linearClamp)
               .tex(ssao.randomVectors, centreSampler(normals, source, pointClamp, linearWrap)));
  // The blurs read the occlusion at their own pixel and whole pixels away (clamped to the
  // half-size region), the combine gathers it (no filtering), and the G-buffer and the
  // picture are read at the texel centres of the pixels they stand for when their sizes
  // agree.
  Sampler* const normalSampler = centreSampler(normals, source, pointClamp, linearWrap);
  drawPass(Draw(ssao.blurV, ssao.aoB, halfRect).tex(ssao.aoA, pointClamp).tex(normals, normalSampler));
  drawPass(Draw(ssao.blurH, ssao.aoA, halfRect).tex(ssao.aoB, pointClamp).tex(normals, normalSampler));
  drawPass(Draw(ssao.combine, destination, vp)
               .tex(source, centreSampler(source, destination, pointClamp, linearWrap))
               .tex(ssao.aoA, pointClamp)
               .tex(normals, normalSampler));
}

// ---------------------------------------------------------------- Bloom

BloomTaps bloomTaps(float radiusSetting, float targetHeight) {
  BloomTaps t;
  // 17 taps reach the radius (pixels of a 1080-line picture) at 2.5 standard deviations.
  const float radius = std::max(radiusSetting, 0.0f) * targetHeight / 1080.0f;
  if (!(radius >= 0.5f)) return t;
  constexpr int kTapsPerSide = 8;
  const float sigma = radius / 2.5f, step = radius / float(kTapsPerSide);
  float total = 0.0f;
  for (int k = 0; k <= kTapsPerSide; ++k) {
    const float x = float(k) * step;
    const float w = std::exp(-x * x / (2.0f * sigma * sigma));
    t.taps[k] = Float4{x, w, 0.0f, 0.0f};
    total += k == 0 ? w : 2.0f * w;
  }
  for (Float4& tap : t.taps) tap.y /= total;
  t.blurs = 1;
  return t;
}

void PostProcessManager::applyBloom(Texture* source, Texture* destination, const Viewport& vp) {
  const Viewport halfRect{vp.left / 2, vp.top / 2, vp.right / 2, vp.bottom / 2};
  const RegionConstants rc = regionConstants(source, vp);
  ConstantWriter(bloom.extract.get(), bloom.extract.file, trace)
      .set("gExtractThreshold", bloom.extractThreshold)
      .region(rc, "gExtractRegionScale", "gExtractRegionOffset");
  ConstantWriter(bloom.combine.get(), bloom.combine.file, trace)
      .region(rc, "gBloomRegionScale", "gBloomRegionOffset")
      .set("gIntensity", bloom.intensity);

  drawPass(Draw(bloom.extract, bloom.bA, halfRect).tex(source, linearWrap));
  const BloomTaps tapsV = bloomTaps(bloom.radiusY, float(bloom.bA->height()));
  const BloomTaps tapsH = bloomTaps(bloom.radiusX, float(bloom.bA->height()));

  // Light travels from a bright texel through two blurs each way. A tap d texels away
  // filters texels floor(d) and floor(d) + 1 away, one more where rounding the sample point
  // crosses a whole texel. The blurs draw only the blocks it can get to, over targets
  // holding zeros elsewhere: bA outside the bright blocks holds the zeros the extraction
  // left there, and bB is cleared.
  makeBloomBlockTargets(bloom.bA->width(), bloom.bA->height());
  auto travel = [](const BloomTaps& t, uint32_t blocks) {
    const float texels = t.blurs ? 2.0f * (std::floor(t.taps[8].x) + 2.0f) : 0.0f;
    return std::min(float(blocks), std::ceil(texels / float(kBloomBlock)));  // NaN: every block
  };
  const Float2 reach{travel(tapsH, bloom.marked->width()), travel(tapsV, bloom.marked->height())};
  const bool overBlocks = bloom.overBlocks && bloom.marks.get() && bloom.reach.get();
  if (overBlocks) {
    drawPass(Draw(bloom.marks, bloom.marked, whole(bloom.marked)).tex(bloom.bA, nullptr));
    ConstantWriter(bloom.reach.get(), bloom.reach.file, trace).set("gBlockReach", reach);
    if (ShaderProgram* r = bloom.reach.get()) {
      r->setResource(4, 2, bloom.marked);
      if (trace) trace->textures.push_back({r, 4, 2, bloom.marked});
    }
    drawPass(Draw(bloom.reach, bloom.reached, whole(bloom.reached)));
    if (ShaderProgram* r = bloom.reach.get()) r->setResource(4, 2, nullptr);
    const float nothing[4] = {0, 0, 0, 0};
    clearTexture(device_, bloom.bB, nothing);
  }
  const Float2 targetSize{float(bloom.bA->width()), float(bloom.bA->height())};
  const Float2 blocks = overBlocks ? Float2{0.0f, 0.0f} : Float2{-1.0f, -1.0f};
  ConstantWriter(bloom.blurV.get(), bloom.blurV.file, trace)
      .set("gBlurs", tapsV.blurs)
      .set("gTaps", tapsV.taps)
      .set("gTargetSize", targetSize)
      .set("gBlockReach", blocks);
  ConstantWriter(bloom.blurH.get(), bloom.blurH.file, trace)
      .set("gBlurs", tapsH.blurs)
      .set("gTaps", tapsH.taps)
      .set("gTargetSize", targetSize)
      .set("gBlockReach", blocks);
  const uint32_t vertices = bloom.reached->width() * bloom.reached->height() * 6;
  for (ShaderProgram* p : {bloom.blurV.get(), bloom.blurH.get()})
    if (p) {
      p->setResource(0, 2, bloom.reached);
      if (trace) trace->textures.push_back({p, 0, 2, bloom.reached});
    }
  for (int pair = 0; pair < 2; ++pair) {
    Draw v(bloom.blurV, bloom.bB, whole(bloom.bB));
    v.vertices = vertices;
    drawPass(v.tex(bloom.bA, linearClamp));
    Draw h(bloom.blurH, bloom.bA, whole(bloom.bA));
    h.vertices = vertices;
    drawPass(h.tex(bloom.bB, linearClamp));
  }
  for (ShaderProgram* p : {bloom.blurV.get(), bloom.blurH.get()})
    if (p) p->setResource(0, 2, nullptr);
  // The picture is read at the combine's own pixels; the half-size bloom between its texels.
  drawPass(Draw(bloom.combine, destination, vp)
               .tex(source, centreSampler(source, destination, pointClamp, linearWrap))
               .tex(bloom.bA, linearWrap));
}

// ---------------------------------------------------------------- GaussBlur

GaussTaps gaussTaps(float radiusSetting, float regionScaleY, float sourceHeight) {
  GaussTaps t;
  // The radius is given in pixels of a 1080-line picture and reaches three deviations.
  const float radius = std::max(radiusSetting, 0.0f) * regionScaleY * sourceHeight / 1080.0f;
  if (!(radius >= 0.5f)) return t;
  constexpr int kMaxPairs = int(sizeof t.pairTaps / sizeof t.pairTaps[0]);
  const float sigma = radius / 3.0f;
  const float spacing = std::max(1.0f, radius / (2.0f * kMaxPairs));
  t.pairs = std::min(int32_t(std::ceil(radius / (2.0f * spacing))), int32_t(kMaxPairs));
  auto gaussian = [sigma](float x) { return std::exp(-x * x / (2.0f * sigma * sigma)); };
  // Two neighbouring taps x1, x1 + spacing become one bilinear fetch at their weighted mean.
  float total = 1.0f;
  for (int k = 0; k < t.pairs; ++k) {
    const float x1 = (2.0f * float(k) + 1.0f) * spacing, x2 = x1 + spacing;
    const float w1 = gaussian(x1), w2 = gaussian(x2), w = w1 + w2;
    t.pairTaps[k] = Float4{(x1 * w1 + x2 * w2) / w, w, 0.0f, 0.0f};
    total += 2.0f * w;
  }
  t.centre = 1.0f / total;
  for (int k = 0; k < t.pairs; ++k) t.pairTaps[k].y /= total;
  return t;
}

void PostProcessManager::applyGaussBlur(Texture* source, Texture* destination, const Viewport& vp) {
  if (!source) {
    // Nothing to blur: show an empty picture rather than what the ring image held before.
    if (destination && device_) {
      const float zero[4] = {0, 0, 0, 0};
      clearTexture(device_, destination, zero);
    }
    return;
  }
  auto passConstants = [&](const PassProgram& p, Texture* read) {
    const RegionConstants rc = regionConstants(read, vp);
    const GaussTaps taps = gaussTaps(gaussBlur.radius, rc.scale[1], float(read->height()));
    ConstantWriter(p.get(), p.file, trace)
        .region(rc)
        .set("gIntensity", gaussBlur.intensity)
        .set("gCentreWeight", taps.centre)
        .set("gPairs", taps.pairs)
        .set("gPairTaps", taps.pairTaps);
  };
  passConstants(gaussBlur.horizontal, source);
  passConstants(gaussBlur.vertical, gaussBlur.intermediate);
  drawPass(Draw(gaussBlur.horizontal, gaussBlur.intermediate, vp).tex(source, linearClamp));
  drawPass(Draw(gaussBlur.vertical, destination, vp).tex(gaussBlur.intermediate, linearClamp));
}

// ---------------------------------------------------------------- Feedback

void PostProcessManager::applyFeedback(Texture* source, Texture* destination, const Viewport& vp, float t) {
  feedback.time = t;
  // The very first frame has no history to blend. The warm-up while loading draws
  // pictures of another time: it neither shows history nor counts as that first frame.
  float influence = feedback.previousInfluence;
  if (feedback.firstUse || isLoading) influence = 0.0f;
  if (!isLoading) feedback.firstUse = false;

  ConstantWriter(feedback.feedback.get(), feedback.feedback.file, trace)
      .region(regionConstants(source, vp))
      .set("gPreviousFrameInfluence", influence)
      .set("gCurrentFrameIntensity", feedback.currentIntensity)
      .set("gTime", feedback.time)
      .set("gNoiseStrength", feedback.noiseStrength)
      .set("gNoiseFrequency", feedback.noiseFrequency)
      .set("gNoisePhase", feedback.noisePhase);
  drawPass(Draw(feedback.feedback, feedback.historyB, vp).tex(source, linearClamp).tex(feedback.historyA, linearClamp));

  // H-B holds the result at the viewport's own pixels, so the whole-target copies map it
  // one to one (an offset here would shift the picture by the viewport's corner).
  ConstantWriter(feedback.copy.get(), feedback.copy.file, trace)
      .set("gScale", 1.0f)
      .set("gResolution", Float2{viewportWidth(vp), viewportHeight(vp)})
      .set("gRegionScale", Float2{1.0f, 1.0f})
      .set("gRegionOffset", Float2{0.0f, 0.0f});
  drawPass(Draw(feedback.copy, destination, whole(destination)).tex(feedback.historyB, linearClamp));
  drawPass(Draw(feedback.copy, feedback.historyA, whole(feedback.historyA)).tex(feedback.historyB, linearClamp));
}

// ---------------------------------------------------------------- MotionBlur and the velocity tiles

void PostProcessManager::applyMotionBlur(Texture* source, Texture* destination, const Viewport& vp,
                                         Texture* velocityTiles, Texture* mask) {
  makeMotionBlurTargets(uint32_t(vp.right - vp.left), uint32_t(vp.bottom - vp.top));
  ConstantWriter(motionBlur.main.get(), motionBlur.main.file, trace)
      .set("gStrength", motionBlur.strength)
      .set("gAlpha", motionBlur.alpha)
      .region(regionConstants(source, vp))
      .set("gScreenSize", Float2{viewportWidth(vp), viewportHeight(vp)})
      .set("gMaskImageConnected", int32_t(mask ? 1 : 0));
  drawPass(Draw(motionBlur.main, destination, vp)
               .tex(source, linearClamp)
               .tex(velocityTiles, linearClamp)
               .tex(mask, linearClamp));
}

void PostProcessManager::buildVelocityTiles(GBufferSet& set, const Viewport& vp) {
  if (vp.right <= vp.left || vp.bottom <= vp.top || !device_) return;
  const uint32_t w = uint32_t(vp.right - vp.left), h = uint32_t(vp.bottom - vp.top);
  makeMotionBlurTargets(w, h);
  const uint32_t tw = w / 4 ? w / 4 : 1, th = h / 4 ? h / 4 : 1;
  if (!set.velocityTiles || set.velocityTiles->width() != tw || set.velocityTiles->height() != th) {
    deleteTexture(set.velocityTiles);
    set.velocityTiles = makeTarget(device_, kUavTargetFlags, format::RG16F, 0, tw, th);
  }
  Texture* velocity = set.textures[4];
  if (!velocity) return;

  ConstantWriter(motionBlur.downsample.get(), motionBlur.downsample.file, trace)
      .set("gStrength", motionBlur.strength)
      .set("gAlpha", motionBlur.alpha)
      .region(regionConstants(velocity, vp))
      .set("gScreenSize", Float2{float(w), float(h)});
  drawPass(Draw(motionBlur.downsample, motionBlur.half, whole(motionBlur.half)).tex(velocity, linearClamp));

  // Half size -> quarter size keeping the dominant vector of a vertical neighbourhood, then
  // the same horizontally into the tiles.
  const Texture* steps[2] = {motionBlur.quarter, set.velocityTiles};
  for (int i = 0; i < 2; ++i)
    ConstantWriter((i == 0 ? motionBlur.blurV : motionBlur.blurH).get(), motionBlur.blurV.file, trace)
        .set("gRegionScale", Float2{1.0f, 1.0f})
        .set("gRegionOffset", Float2{0.0f, 0.0f})
        .set("gScreenSize", Float2{float(steps[i]->width()), float(steps[i]->height())});
  drawPass(Draw(motionBlur.blurV, motionBlur.quarter, whole(motionBlur.quarter)).tex(motionBlur.half, linearClamp));
  drawPass(Draw(motionBlur.blurH, set.velocityTiles, whole(set.velocityTiles)).tex(motionBlur.quarter, linearClamp));
}

// ---------------------------------------------------------------- colour correction

namespace {

// The levels as the shader reads them: the pre-add folded into the multiply, and the
// post-add, post-multiply and saturation about the luminance (together one affine map of
// the powered value) as three rows, xyz the row of the matrix and w the offset.
struct ColorCorrectionLevels {
  Float4 mul, preAddMul;
  Float4 rows[3];
  bool power = false;  // some channel's power is not 1
};

ColorCorrectionLevels colorCorrectionLevels(const ColorCorrectionBlock& b) {
  ColorCorrectionLevels l;
  const float mul[3] = {b.mul.x, b.mul.y, b.mul.z}, pre[3] = {b.preAdd.x, b.preAdd.y, b.preAdd.z};
  const float postMul[3] = {b.postMul.x, b.postMul.y, b.postMul.z};
  const float post[3] = {b.postAdd.x * b.postMul.x, b.postAdd.y * b.postMul.y, b.postAdd.z * b.postMul.z};
  const float luma[3] = {0.2126f, 0.7152f, 0.0722f};  // Rec. 709, as the shaders' luminance
  const float s = b.saturation;
  l.mul = Float4{mul[0], mul[1], mul[2], 0.0f};
  l.preAddMul = Float4{pre[0] * mul[0], pre[1] * mul[1], pre[2] * mul[2], 0.0f};
  const float greyOffset = (1.0f - s) * (luma[0] * post[0] + luma[1] * post[1] + luma[2] * post[2]);
  for (int i = 0; i < 3; ++i) {
    float row[4];
    for (int j = 0; j < 3; ++j) row[j] = (1.0f - s) * luma[j] * postMul[j] + (i == j ? s * postMul[i] : 0.0f);
    row[3] = s * post[i] + greyOffset;
    l.rows[i] = Float4{row[0], row[1], row[2], row[3]};
  }
  l.power = b.pow.x != 1.0f || b.pow.y != 1.0f || b.pow.z != 1.0f;
  return l;
}

}  // namespace

void PostProcessManager::applyColorCorrection(Texture* source, Texture* destination, const Viewport& vp) {
  const ColorCorrectionBlock& b = colorCorrection;
  const ColorCorrectionLevels l = colorCorrectionLevels(b);
  const PassProgram& p = l.power ? b.withPower : b.program;
  ConstantWriter(p.get(), p.file, trace)
      .set("gMul", l.mul)
      .set("gPreAddMul", l.preAddMul)
      .set("gPow", b.pow)
      .set("gLevelsR", l.rows[0])
      .set("gLevelsG", l.rows[1])
      .set("gLevelsB", l.rows[2])
      .set("gMin", b.min)
      .set("gMax", b.max)
      .set("gPreview", b.preview ? 1.0f : 0.0f)
      .region(regionConstants(source, vp))
      .set("gScreenSize", Float2{viewportWidth(vp), viewportHeight(vp)});
  drawChoice(Draw(p, destination, vp).tex(source, texelSampler(source, vp, linearBorder)),
             l.power ? b.program : b.withPower);
}

namespace {
// The constants every masked grading pass ends with.
void maskedTail(ConstantWriter& c, Texture* source, Texture* mask, const Viewport& vp) {
  c.region(regionConstants(source, vp))
      .set("gScreenSize", Float2{viewportWidth(vp), viewportHeight(vp)})
      .set("gMaskImageConnected", int32_t(mask ? 1 : 0));
}
}  // namespace

// A masked grading pass: the picture and the mask, each read by texel where it can be.
PostProcessManager::Draw PostProcessManager::maskedDraw(const PassProgram& p, Texture* source, Texture* mask,
                                                        Texture* destination, const Viewport& vp) const {
  return Draw(p, destination, vp)
      .tex(source, texelSampler(source, vp, linearClamp))
      .tex(mask, texelSampler(mask, source, vp, linearClamp));
}

void PostProcessManager::applyCCSplitToning(Texture* source, Texture* mask, Texture* destination,
                                            const Viewport& vp) {
  const CCSplitToningBlock& b = ccSplitToning;
  ConstantWriter c(b.program.get(), b.program.file, trace);
  c.set("gHi", b.hi).set("gHiInfluence", b.hiInfluence).set("gBalance", b.balance).set("gLo", b.lo).set(
      "gLoInfluence", b.loInfluence);
  maskedTail(c, source, mask, vp);
  drawPass(maskedDraw(b.program, source, mask, destination, vp));
}

void PostProcessManager::applyCCTone(Texture* source, Texture* mask, Texture* destination, const Viewport& vp) {
  const CCToneBlock& b = ccTone;
  ConstantWriter c(b.program.get(), b.program.file, trace);
  c.set("gExposure", b.exposure)
      .set("gContrast", b.contrast)
      .set("gHighlights", b.highlights)
      .set("gShadows", b.shadows)
      .set("gWhites", b.whites)
      .set("gBlacks", b.blacks);
  maskedTail(c, source, mask, vp);
  drawPass(maskedDraw(b.program, source, mask, destination, vp));
}

void PostProcessManager::applyCCColor(Texture* source, Texture* mask, Texture* destination, const Viewport& vp) {
  const CCColorBlock& b = ccColor;
  static const char* const kNames[CCRangeCount] = {"gRed",  "gOrange", "gYellow", "gGreen",
                                                   "gAqua", "gBlue",   "gPurple", "gMagenta"};
  // A hue turn that every range shares is one rotation, made once in the vertex stage; the
  // pixels then do without a sine and a cosine each.
  bool sameHue = b.sameHue.get() != nullptr;
  for (uint32_t i = 1; i < CCRangeCount; ++i) sameHue = sameHue && b.ranges[i].x == b.ranges[0].x;
  const PassProgram& p = sameHue ? b.sameHue : b.program;
  ConstantWriter c(p.get(), p.file, trace);
  for (uint32_t i = 0; i < CCRangeCount; ++i) c.set(kNames[i], b.ranges[i]);
  maskedTail(c, source, mask, vp);
  drawChoice(maskedDraw(p, source, mask, destination, vp), sameHue ? b.program : b.sameHue);
}

void PostProcessManager::applyCCHSL(Texture* source, Texture* mask, Texture* destination, const Viewport& vp) {
  const CCHSLBlock& b = ccHSL;
  ConstantWriter c(b.program.get(), b.program.file, trace);
  c.set("gHSL", b.hsl);
  maskedTail(c, source, mask, vp);
  drawPass(maskedDraw(b.program, source, mask, destination, vp));
}

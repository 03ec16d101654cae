#include "image/PostProcessManager.h"

#include <cmath>
#include <cstdio>

#include "engine/CrtRand.h"
#include "engine/Globals.h"
#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "gfx/Texture.h"
#include "image/PostProcessPassSupport.h"
#include "image/SSFluids.h"
#include "scene/FrameSetup.h"

PostProcessManager* gPostProcessManager = nullptr;

using namespace postpass;

namespace {

constexpr uint32_t kLinear = 7;  // min, mag and mip linear
constexpr uint32_t kPoint = 0;
constexpr uint32_t kWrap = 0, kClamp = 1, kBorder = 2;

// Full-screen passes: no depth, no culling, no blending, drawing limited to the rectangle.
RenderStateDesc passState() {
  RenderStateDesc s = RenderStateDesc::zeroed();
  s.flags = kScissor;
  s.stencilReadMask = 0xFF;
  s.stencilWriteMask = 0xFF;
  return s;
}

}  // namespace

// ---------------------------------------------------------------- SSAO random data

void makeSSAORandomData(uint8_t texels[64], Float4 offsets[14]) {
  for (int i = 0; i < 64; ++i) texels[i] = uint8_t(int(float(crtRand()) * 0.00778222f));
  static const float kDirections[14][3] = {{1, 1, 1},  {-1, -1, -1}, {-1, 1, 1}, {1, -1, -1}, {1, 1, -1},
                                           {-1, -1, 1}, {-1, 1, -1}, {1, -1, 1}, {-1, 0, 0}, {1, 0, 0},
                                           {0, -1, 0}, {0, 1, 0},    {0, 0, -1}, {0, 0, 1}};
  for (int i = 0; i < 14; ++i) {
    const Float3 d = normalize(Float3{kDirections[i][0], kDirections[i][1], kDirections[i][2]});
    const float length = 0.12f + float(crtRand()) * 1.1597033e-05f;
    offsets[i] = Float4{d.x * length, d.y * length, d.z * length, 0.0f};
  }
}

// ---------------------------------------------------------------- construction

PostProcessManager::PostProcessManager() { gPostProcessManager = this; }

// The programs go with their blocks.
PostProcessManager::~PostProcessManager() {
  for (Texture* t : owned_) deleteTexture(t);
  owned_.clear();
  deleteTexture(motionBlur.half);
  deleteTexture(motionBlur.quarter);
  deleteTexture(dof.blocks);
  deleteTexture(bloom.marked);
  deleteTexture(bloom.reached);
  deleteTexture(fxaa.blocks);
  if (gPostProcessManager == this) gPostProcessManager = nullptr;
}

std::vector<const PassProgram*> PostProcessManager::programs() const {
  return {&dof.hexBlur0,        &dof.hexBlur1,     &dof.calcCoC,       &dof.combine,
          &fxaa.program,        &toneMapping.program, &ssao.ssao,      &ssao.blurV,
          &ssao.blurH,          &ssao.combine,     &bloom.extract,     &bloom.blurV,
          &bloom.blurH,         &bloom.combine,    &gaussBlur.horizontal, &gaussBlur.vertical,
          &invert.program,      &feedback.feedback, &feedback.copy,    &grain.program,
          &colorCorrection.program, &ccSplitToning.program, &ccTone.program, &ccColor.program,
          &ccHSL.program,       &radialBlur.program, &motionBlur.main,  &motionBlur.velocityFromView,
          &motionBlur.blurV,    &motionBlur.blurH, &motionBlur.downsample, &toneMapping.sharpened,
          &colorCorrection.withPower, &dof.blockRadius, &ccColor.sameHue, &bloom.marks, &bloom.reach, &fxaa.copy, &fxaa.edgeBlocks,
          &fxaa.overEdges,      &dof.hexBlur0Narrow, &dof.hexBlur1Narrow};
}

void PostProcessManager::load(PassProgram& p) {
  auto program = std::make_unique<ShaderProgram>(device_);
  if (!loadProgramAuto(p.file, EntryPoints::vsps(p.vertexEntry, p.pixelEntry), program.get())) {
    logMessage("Post-process: failed to load shader %s (%s, %s)\n", p.file, p.vertexEntry, p.pixelEntry);
    return;
  }
  program->state = device_->stateFor(passState());
  p.program = std::move(program);
}

void PostProcessManager::init(Device* device, Screen* screen) {
  init(device, screen ? screen->width : 0, screen ? screen->height : 0);
}

void PostProcessManager::init(Device* device, uint32_t width, uint32_t height) {
  device_ = device;
  width_ = width;
  height_ = height;
  auto own = [this](Texture* t) {
    owned_.push_back(t);
    return t;
  };
  auto sampler = [device](uint32_t filter, uint32_t u, uint32_t v, uint32_t w) {
    return device->samplerFor(SamplerDesc::forMode(samplerMode(filter, u, v, w)));
  };

  logMessage("Initializing PostProcessManager\n");
  linearClamp = sampler(kLinear, kClamp, kClamp, kClamp);
  linearWrap = sampler(kLinear, kWrap, kWrap, kWrap);
  pointClamp = sampler(kPoint, kClamp, kClamp, kClamp);
  pointWrap = sampler(kPoint, kWrap, kWrap, kWrap);
  linearBorder = sampler(kLinear, kBorder, kBorder, kWrap);  // border colour (0, 0, 0, 0)

  logMessage("Initializing DOF\n");
  load(dof.hexBlur0);
  load(dof.hexBlur1);
  load(dof.calcCoC);
  load(dof.combine);
  load(dof.blockRadius);
  load(dof.hexBlur0Narrow);
  load(dof.hexBlur1Narrow);
  dof.t1 = own(makeTarget(device, kTargetFlags, format::RGBA16F, kSizeFull, width, height));
  dof.t2 = own(makeTarget(device, kTargetFlags, format::RGBA16F, kSizeFull, width, height));
  dof.t3 = own(makeTarget(device, kTargetFlags, format::RGBA16F, kSizeFull, width, height));
  dof.t4 = own(makeTarget(device, kTargetFlags, format::RGBA16F, kSizeFull, width, height));
  makeDOFBlockTarget(dof.t3 ? dof.t3->width() : width, dof.t3 ? dof.t3->height() : height);

  logMessage("Initializing FXAA\n");
  load(fxaa.program);
  load(fxaa.copy);
  load(fxaa.edgeBlocks);
  load(fxaa.overEdges);

  logMessage("Initializing Tonemapping\n");
  load(toneMapping.program);
  load(toneMapping.sharpened);

  logMessage("Initializing SSAO\n");
  load(ssao.ssao);
  load(ssao.blurV);
  load(ssao.blurH);
  load(ssao.combine);
  uint8_t texels[64];
  makeSSAORandomData(texels, ssao.offsets);
  ssao.randomVectors = own(makeTarget(device, kImmutableFlags, format::RGBA8, 0, 4, 4, texels));
  ssao.aoA = own(makeTarget(device, kTargetFlags, format::RGBA8, kSizeFull, width, height));
  ssao.aoB = own(makeTarget(device, kTargetFlags, format::RGBA8, kSizeFull, width, height));

  logMessage("Initializing Bloom\n");
  load(bloom.extract);
  load(bloom.blurV);
  load(bloom.blurH);
  load(bloom.combine);
  load(bloom.marks);
  load(bloom.reach);
  bloom.bA = own(makeTarget(device, kTargetFlags, format::RGBA16F, kSizeHalf, width / 2, height / 2));
  bloom.bB = own(makeTarget(device, kTargetFlags, format::RGBA16F, kSizeHalf, width / 2, height / 2));
  makeBloomBlockTargets(bloom.bA ? bloom.bA->width() : width / 2, bloom.bA ? bloom.bA->height() : height / 2);

  logMessage("Initializing GaussBlur\n");
  load(gaussBlur.horizontal);
  load(gaussBlur.vertical);
  gaussBlur.intermediate = own(makeTarget(device, kTargetFlags, format::RGBA16F, kSizeFull, width, height));

  logMessage("Initializing Invert\n");
  load(invert.program);

  logMessage("Initializing Feedback\n");
  load(feedback.feedback);
  load(feedback.copy);
  feedback.historyA = own(makeTarget(device, kTargetFlags, format::RGBA16F, kSizeFull, width, height));
  feedback.historyB = own(makeTarget(device, kTargetFlags, format::RGBA16F, kSizeFull, width, height));

  logMessage("Initializing Grain\n");
  load(grain.program);

  logMessage("Initializing ColorCorrection\n");
  load(colorCorrection.program);
  load(colorCorrection.withPower);
  logMessage("Initializing CCSplitToning\n");
  load(ccSplitToning.program);
  logMessage("Initializing CCTone\n");
  load(ccTone.program);
  logMessage("Initializing CCColor\n");
  load(ccColor.program);
  load(ccColor.sameHue);
  logMessage("Initializing CCHSL\n");
  load(ccHSL.program);

  logMessage("Initializing RadialBlur\n");
  load(radialBlur.program);

  logMessage("Initializing MotionBlur\n");
  load(motionBlur.main);
  load(motionBlur.velocityFromView);
  load(motionBlur.downsample);
  load(motionBlur.blurV);
  load(motionBlur.blurH);
  makeMotionBlurTargets(width, height);

  logMessage("Initializing SSFluids\n");
  ssFluids.solver = std::make_shared<FluidSolver>(device);
  logMessage("Initializing PostProcessManager done\n");
}

void PostProcessManager::makeMotionBlurTargets(uint32_t w, uint32_t h) {
  if (motionBlur.half && motionBlur.viewportWidth == w && motionBlur.viewportHeight == h) return;
  deleteTexture(motionBlur.half);
  deleteTexture(motionBlur.quarter);
  motionBlur.half = makeTarget(device_, kUavTargetFlags, format::RG16F, 0, w / 2, h / 2);
  motionBlur.quarter = makeTarget(device_, kUavTargetFlags, format::RG16F, 0, w / 4, h / 4);
  motionBlur.viewportWidth = w;
  motionBlur.viewportHeight = h;
}

void PostProcessManager::makeBlockTarget(Texture*& target, uint32_t w, uint32_t h, uint32_t edge) {
  const uint32_t bw = (w + edge - 1) / edge, bh = (h + edge - 1) / edge;
  if (target && target->width() == bw && target->height() == bh) return;
  deleteTexture(target);
  target = makeTarget(device_, kTargetFlags, format::R32F, 0, bw, bh);
}

void PostProcessManager::makeDOFBlockTarget(uint32_t w, uint32_t h) { makeBlockTarget(dof.blocks, w, h, kDOFBlock); }

void PostProcessManager::makeBloomBlockTargets(uint32_t w, uint32_t h) {
  makeBlockTarget(bloom.marked, w, h, kBloomBlock);
  makeBlockTarget(bloom.reached, w, h, kBloomBlock);
}

void PostProcessManager::makeFXAABlockTarget(uint32_t w, uint32_t h) { makeBlockTarget(fxaa.blocks, w, h, kFXAABlock); }

// ---------------------------------------------------------------- the full-screen draw

void PostProcessManager::drawChoice(const Draw& d, const PassProgram& other) {
  drawPass(d);
  // The pass picks its program from values that may be animated: while loading, the other
  // program's pipeline is made too (prepared, nothing drawn), so that a value crossing over
  // later in the show does not make one in the middle of it.
  if (!isLoading || !device_ || !other.get() || other.get() == d.program) return;
  PrepareOnlyScope prepare(device_->context());
  ProgramTrace* const traced = trace;
  trace = nullptr;
  Draw alternative = d;
  alternative.program = other.get();
  drawPass(alternative);
  trace = traced;
}

void PostProcessManager::drawPass(const Draw& d) {
  if (!d.program || !device_ || !d.targets[0]) return;
  RenderPass pass;
  pass.colourTargets[0] = d.targets[0];
  pass.colourTargets[1] = d.targets[1];
  // A pass over the whole of every target writes every pixel (these programs neither blend
  // nor discard), so clearing first would only double the memory traffic of the pass. A pass
  // over part of a target clears the whole of it, so that nothing older shows around.
  bool coversEveryTarget = d.rect.left <= 0 && d.rect.top <= 0;
  for (Texture* t : d.targets)
    if (t) coversEveryTarget = coversEveryTarget && d.rect.right >= int32_t(t->width()) && d.rect.bottom >= int32_t(t->height());
  pass.clearFlags = coversEveryTarget || d.keep ? 0 : kClearColour;
  pass.rect[0] = d.rect.left;
  pass.rect[1] = d.rect.top;
  pass.rect[2] = d.rect.right;
  pass.rect[3] = d.rect.bottom;
  pass.width = d.targets[0]->width();
  pass.height = d.targets[0]->height();
  bindRenderPass(device_, pass);
  if (d.rect.right > d.rect.left && d.rect.bottom > d.rect.top) {
    for (uint32_t i = 0; i < d.slots; ++i) {
      d.program->setResource(4, i, d.textures[i]);
      d.program->setSampler(4, i, d.samplers[i]);
      if (trace) {
        trace->textures.push_back({d.program, 4, i, d.textures[i]});
        if (d.samplers[i]) trace->samplers.push_back({d.program, 4, i, nullptr});  // texel loads need none
      }
    }
    if (trace) trace->runs.push_back(d.program);
    drawStrip(d.program, d.vertices);
    // The program keeps no texture between passes: a target may be re-made meanwhile.
    for (uint32_t i = 0; i < d.slots; ++i) d.program->setResource(4, i, nullptr);
  }
  unbindRenderTargets(device_);
}

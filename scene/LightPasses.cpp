#include "scene/LightPasses.h"

#include <algorithm>
#include <cmath>

#include "engine/Globals.h"
#include "gfx/DeviceContext.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "scene/DeferredLighting.h"
#include "scene/FrameSetup.h"
#include "scene/GBufferRenderer.h"
#include "scene/PassSupport.h"
#include "scene/SceneContext.h"
#include "scene/Traversal.h"

namespace {

// A light map for this frame that is not the picture being lit.
Texture* lightMapFor(Context& ctx, const Texture* output) {
  for (int i = 0; i < 3; ++i) {
    Texture* t = nextRingTarget(ctx);
    if (!t) return nullptr;
    if (t != output) return t;
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------- LightPass

LightPassOp::LightPassOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addOutput("ImageOut", PortType::Image, std::make_unique<LightPassFunction>());
  linkOutput();
}

void LightPassOp::LightPassFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  RenderPass* savedPass = ctx.scenePass;
  ShaderProgram* savedShader = ctx.shader;

  // 1: the scene goes into the frame's G-buffer over the region.
  gbufferPass = RenderPass{};
  gbufferPass.depthTarget = ctx.frameDepthTarget;
  for (int i = 0; i < 5; ++i) gbufferPass.colourTargets[i] = ctx.gbuffer[i];
  gbufferPass.width = ctx.gbuffer[0] ? ctx.gbuffer[0]->width() : 0;
  gbufferPass.height = ctx.gbuffer[0] ? ctx.gbuffer[0]->height() : 0;
  gbufferPass.rect[0] = std::clamp(ctx.viewport.left, 0, int32_t(gbufferPass.width));
  gbufferPass.rect[1] = std::clamp(ctx.viewport.top, 0, int32_t(gbufferPass.height));
  gbufferPass.rect[2] = std::clamp(ctx.viewport.right, gbufferPass.rect[0], int32_t(gbufferPass.width));
  gbufferPass.rect[3] = std::clamp(ctx.viewport.bottom, gbufferPass.rect[1], int32_t(gbufferPass.height));
  ctx.scenePass = &gbufferPass;
  if (ctx.gbufferRenderer && ctx.gbufferRenderer->gbufferProgram) ctx.shader = ctx.gbufferRenderer->gbufferProgram.get();

  // 2: drawing the scene fills the light and shadow-caster lists.
  evalInput(s, LightPassOp::SceneIn, t, ctx);

  // 3: lighting and the velocity sequence (when a motion blur exists to read it). While
  // loading they draw nothing, but their draws
  // are prepared, so that the frame that first shows this pass (in a later span, say)
  // creates no GPU object.
  {
    Device* device = deviceOf(ctx);
    PrepareOnlyScope prepare(isLoading && device ? device->context() : nullptr);
    Texture* output = ctx.imageResult;
    if (output && output->isRenderTarget() && gDeferredLighting) {
      Texture* environment = evalImageInput(s, LightPassOp::EnvMap, t, ctx);
      if (Texture* lightMap = lightMapFor(ctx, output)) gDeferredLighting->Render(ctx, lightMap, output, environment);
    }
    VelocityTilePass* velocity = gDeferredLighting ? gDeferredLighting->velocityTiles : nullptr;
    if (velocity && velocityTileReaders > 0 && ctx.targets && ctx.targets->gbuffer)
      velocity->buildVelocityTiles(*ctx.targets->gbuffer, ctx.viewport);
  }
  ctx.scenePass = savedPass;
  ctx.shader = savedShader;
}

// ---------------------------------------------------------------- Transparency

RenderStateDesc transparencyRenderState(bool writeNormals) {
  // The Device's default state: tested against the opaque scene and written into the depth
  // target, so that the passes after it (fog, depth of field, SSAO, SSR) see the transparent
  // surfaces; the nearest surface's colour and alpha are kept for the "over" blend of the copy.
  RenderStateDesc d = RenderStateDesc::defaults();
  if (!writeNormals) {
    d.flags |= kIndependentBlend;
    d.disabledChannels[1] = 15;
  }
  return d;
}

RenderStateDesc transparencyCompositeState() {
  RenderStateDesc d = RenderStateDesc::zeroed();
  d.colourBlend[0] = 0x1185;  // source x source alpha + destination x (1 - source alpha)
  d.alphaBlend[0] = 0x1185;
  d.stencilReadMask = d.stencilWriteMask = 0xFF;
  return d;
}

Viewport scaledRegion(const Viewport& region, float fraction) {
  const float f = std::isfinite(fraction) ? std::clamp(fraction, 0.0f, 1.0f) : 0.0f;
  const auto scale = [f](int32_t v) { return int32_t(float(v) * f); };
  return Viewport{scale(region.left), scale(region.top), scale(region.right), scale(region.bottom)};
}

TransparencyPassOp::TransparencyPassOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addOutput("ImageOut", PortType::Image, std::make_unique<TransparencyFunction>());
  linkOutput();
}

TransparencyPassOp::TransparencyFunction::TransparencyFunction() = default;
TransparencyPassOp::TransparencyFunction::~TransparencyFunction() {
  deleteTexture(target);
  deleteTexture(depth);
}

namespace {

// The frame's depth over `region`, shrunk into `scaled` of `depth` (cleared first).
void shrinkDepth(ShaderProgram* program, Device* device, Texture* frameDepth, Texture* depth, const Viewport& region,
                 const Viewport& scaled) {
  RenderPass p;
  p.depthTarget = depth;
  p.width = depth->width();
  p.height = depth->height();
  p.rect[0] = scaled.left;
  p.rect[1] = scaled.top;
  p.rect[2] = scaled.right;
  p.rect[3] = scaled.bottom;
  p.clearFlags = kClearDepth;
  p.depthClear = 1.0f;
  bindRenderPass(device, p);
  const RegionConstants rc = regionConstants(frameDepth, region);
  {
    ConstantWriter pc(program, "transparencyDepth", gPassTrace);
    pc.region(rc);
  }
  bindPassTexture(program, hlsl::Pixel, 0, frameDepth);
  bindPassSampler(program, hlsl::Pixel, 0, device->samplerFor(SamplerDesc::forMode(0)));
  tracePassDraw(program);
  drawStrip(program, 3);
  unbindRenderTargets(device);
}

}  // namespace

void TransparencyPassOp::TransparencyFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  using T = TransparencyPassOp;
  // 1: the program, again whenever the file name changes; a file that does not load leaves
  // the operator without effect.
  const std::string& path = evalText(s, T::Shader, t, ctx);
  if (!loadedOnce || path != loadedPath) {
    loadedOnce = true;
    loadedPath = path;
    std::unique_ptr<ShaderProgram> fresh;
    if (loadProgramFromFile(path.c_str(), EntryPoints::vsps("VS", "PS"), fresh) && fresh && fresh->device) {
      fullState = fresh->device->stateFor(transparencyRenderState(true));
      reducedState = fresh->device->stateFor(transparencyRenderState(false));
      fresh->state = fullState;
      checkObjectConstants(fresh.get(), path.c_str(), ObjectBlockUse::Whole);
    }
    program = std::move(fresh);
  }

  // 2: the picture to draw over.
  Texture* input = evalImageInput(s, T::ImageIn, t, ctx);
  const float fraction = evalFloat(s, T::ScreenPercent, t, ctx) * 0.01f;
  if (!program || !input) return;
  Device* device = deviceOf(ctx);
  if (!device) return;

  // 3: the private picture, once, at the back buffer's size (it follows resizes).
  if (!target) {
    TextureDesc d;
    d.flags = kPooledColourFlags;
    d.format = format::RGBA16F;
    d.options = kSizeFull;
    d.width = ctx.screenWidth() ? ctx.screenWidth() : input->width();
    d.height = ctx.screenHeight() ? ctx.screenHeight() : input->height();
    target = createTexture(device, d, nullptr);
    if (!target) return;
  }
  const Viewport region = ctx.viewport;
  Viewport scaled = scaledRegion(region, fraction);
  // Inside every target of the pass.
  int32_t maxW = int32_t(target->width()), maxH = int32_t(target->height());
  for (Texture* other : {ctx.gbuffer[1], ctx.frameDepthTarget, depth})
    if (other) maxW = std::min(maxW, int32_t(other->width())), maxH = std::min(maxH, int32_t(other->height()));
  scaled.right = std::min(scaled.right, maxW);
  scaled.bottom = std::min(scaled.bottom, maxH);
  // An empty region (0 %) has nothing to stretch: the input stays as it is.
  if (scaled.right <= scaled.left || scaled.bottom <= scaled.top || fraction <= 0.0f) {
    ctx.imageResult = input;
    return;
  }

  unbindRenderTargets(device);
  // Below full size the opaque scene's depth has to be where the picture is drawn.
  Texture* testDepth = ctx.frameDepthTarget;
  const bool reduced = !(scaled == region);
  if (reduced && ctx.frameDepthTarget) {
    if (!depthProgram) {
      depthProgram = loadPassProgram(device, "transparencyDepth", "VS", "PS");
      if (depthProgram) {
        RenderStateDesc d = RenderStateDesc::zeroed();
        d.flags = kDepthTest | kDepthWrite;
        d.depthFunc = D3D11_COMPARISON_ALWAYS;
        depthProgram->state = device->stateFor(d);
      }
    }
    if (!depth) {
      TextureDesc d;
      d.flags = kDepthTargetFlags;
      d.format = ctx.frameDepthTarget->format();
      d.options = kSizeFull;
      d.width = target->width();
      d.height = target->height();
      depth = createTexture(device, d, nullptr);
    }
    if (depthProgram && depth) {
      shrinkDepth(depthProgram.get(), device, ctx.frameDepthTarget, depth, region, scaled);
      testDepth = depth;
    }
  }
  program->state = reduced ? reducedState : fullState;
  // Last frame's transparent objects must not show through.
  const float clear[4] = {0, 0, 0, 0};
  clearTexture(device, target, clear);
  pass = RenderPass{};
  pass.depthTarget = testDepth;
  pass.colourTargets[0] = target;
  pass.colourTargets[1] = ctx.gbuffer[1];
  pass.rect[0] = scaled.left;
  pass.rect[1] = scaled.top;
  pass.rect[2] = scaled.right;
  pass.rect[3] = scaled.bottom;
  pass.width = target->width();
  pass.height = target->height();

  RenderPass* savedPass = ctx.scenePass;
  ShaderProgram* savedShader = ctx.shader;
  ctx.viewport = scaled;
  ctx.scenePass = &pass;
  ctx.shader = program.get();
  ctx.imageResult = target;
  evalInput(s, T::SceneIn, t, ctx);
  ctx.viewport = region;
  ctx.scenePass = savedPass;
  // Whatever shader drew before, the scene that follows is drawn into the G-buffer.
  ctx.shader = ctx.gbufferRenderer && ctx.gbufferRenderer->gbufferProgram ? ctx.gbufferRenderer->gbufferProgram.get()
                                                                           : savedShader;

  // Over the whole region, the scaled picture stretched by 1 / fraction about the origin,
  // which puts the scaled rectangle back onto the region.
  copyPass(input, target, region, transparencyCompositeState(), false, 1.0f / std::min(fraction, 1.0f));
  ctx.imageResult = input;
}

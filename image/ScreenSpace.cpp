#include "image/ScreenSpace.h"

#include <cmath>
#include <string>

#include "engine/Globals.h"
#include "engine/Math.h"
#include "gfx/Device.h"
#include "gfx/ShaderProgram.h"
#include "image/Effects.h"
#include "image/ImagePass.h"
#include "scene/FrameSetup.h"

using effects::connected;
using effects::evalImage;
using namespace imagepass;

namespace {

Float2 viewportSize(const Viewport& vp) { return Float2{float(vp.right - vp.left), float(vp.bottom - vp.top)}; }

}  // namespace

// ---------------------------------------------------------------- Fog

FogOp::FogOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addOutput("OutImage", PortType::Image, std::make_unique<FogFunction>());
  linkOutput();
}

FogOp::FogFunction::FogFunction() = default;
FogOp::FogFunction::~FogFunction() = default;

void FogOp::FogFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  if (notLoaded) {
    notLoaded = 0;
    program = loadPassProgram(evalText(s, Shader, t, ctx).c_str(), "VS", "PS", true);
  }
  Texture* picture = ctx.imageResult;
  Texture* input = nullptr;
  if (connected(s, ImageIn)) {
    input = evalImage(s, ImageIn, t, ctx);
    ctx.imageResult = picture;
  }
  if (!input) return;
  // Off, or without a shader to draw with, the picture passes through (rather than the
  // whole chain above the fog disappearing).
  if (!(evalFloat(s, Enabled, t, ctx) > 0.5f) || !usable(program.get())) {
    ctx.imageResult = input;
    return;
  }
  Device* device = deviceOf(ctx);
  Texture* destination = effects::nextRingTargetOtherThan(ctx, input);
  if (!destination) return;
  bindTexture(program.get(), 0, input, linearClamp(device));
  bindTexture(program.get(), 1, ctx.gbuffer[1], pointWrap(device));
  bindTexture(program.get(), 2, ctx.gbuffer[2], pointWrap(device));
  bindTexture(program.get(), 3, ctx.frameDepthTarget, pointWrap(device));
  if (program->constantBuffer(0)) {
    const Float4 colour{evalFloat(s, FogColorR, t, ctx), evalFloat(s, FogColorG, t, ctx),
                        evalFloat(s, FogColorB, t, ctx), 0.0f};
    const float maxDistance = evalFloat(s, MaxDistance, t, ctx);
    const Float4x4 viewProjection = mat::rigidInverse(ctx.camera) * ctx.projection;
    ConstantWriter(program.get(), "fog", trace)
        .matrix("gInvWorldViewProj", mat::inverse(viewProjection).m)
        .region(depthRegion(ctx))
        .set("gMaxDist", maxDistance)
        .set("gFogColor", colour)
        .set("gTime", float(wallClockTime));
  }
  drawOver(program.get(), destination, ctx.viewport);
  ctx.imageResult = destination;
}

// ---------------------------------------------------------------- SSR

SSROp::SSROp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addOutput("OutImage", PortType::Image, std::make_unique<SSRFunc>());
  linkOutput();
}

SSROp::SSRFunc::SSRFunc() = default;
SSROp::SSRFunc::~SSRFunc() = default;

namespace {

// The reflections are laid over the picture by their amount (alpha); alphas add.
RenderStateDesc overState() {
  RenderStateDesc d = passStateDesc();
  d.colourBlend[0] = blendWord(D3D11_BLEND_SRC_ALPHA, D3D11_BLEND_INV_SRC_ALPHA, D3D11_BLEND_OP_ADD);
  d.alphaBlend[0] = blendWord(D3D11_BLEND_ONE, D3D11_BLEND_ONE, D3D11_BLEND_OP_ADD);
  return d;
}

// The intermediate picture, at the G-buffer's size: the reflection pass writes it over the
// viewport and the blur reads it through the G-buffer's region constants. (With the frame
// at the window's size this is the usual screen-sized request.)
Texture* intermediateTarget(Context& ctx) {
  if (!ctx.targets) return nullptr;
  const Texture* depth = ctx.frameDepthTarget;
  const uint32_t w = depth ? depth->width() : ctx.screenWidth();
  const uint32_t h = depth ? depth->height() : ctx.screenHeight();
  if (w == ctx.screenWidth() && h == ctx.screenHeight())
    return acquireColourTarget(*ctx.targets, 0, 0, kSizeFull, format::RGBA16F);
  return acquireColourTarget(*ctx.targets, w, h, 0, format::RGBA16F);
}

}  // namespace

void SSROp::SSRFunc::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  if (notLoaded) {
    notLoaded = 0;
    reflection = loadPassProgram(evalText(s, Shader, t, ctx).c_str(), "VS", "PS", true);
    tiles = loadPassProgram(evalText(s, Shader, t, ctx).c_str(), "VS", "TilePS", true);
    // A blur file without the block entries (a production's own, written before them)
    // blurs every pixel, and the copy pass lays the result over the picture, as before.
    const std::string blurFile = evalText(s, BlurShader, t, ctx);
    blur = loadPassProgram(blurFile.c_str(), "TileVS", "PS", true);
    overBlocks = blur != nullptr;
    if (overBlocks) {
      reflectedTiles = loadPassProgram(evalText(s, Shader, t, ctx).c_str(), "VS", "ReflectedTilePS", true);
      composite = loadPassProgram(blurFile.c_str(), "TileVS", "CompositePS", true);
      if (composite) composite->state = gDevice->stateFor(overState());
    } else {
      blur = loadPassProgram(blurFile.c_str(), "VS", "PS", true);
    }
  }
  intermediate = intermediateTarget(ctx);
  Texture* picture = ctx.imageResult;
  Texture* input = nullptr;
  if (connected(s, InImage)) {
    input = evalImage(s, InImage, t, ctx);
    ctx.imageResult = picture;
  }
  if (!input) return;
  // Without its shaders the effect passes its picture through.
  const Viewport& vp = ctx.viewport;
  const Float2 size = viewportSize(vp);
  const uint32_t tilesX = (uint32_t(size.x) + kTileEdge - 1) / kTileEdge;
  const uint32_t tilesY = (uint32_t(size.y) + kTileEdge - 1) / kTileEdge;
  Texture* tileDepth = nullptr;
  Texture* tileReflects = nullptr;
  if (ctx.targets && size.x > 0 && size.y > 0) {
    tileDepth = acquireColourTarget(*ctx.targets, tilesX, tilesY, 0, format::R32F);
    tileReflects = acquireColourTarget(*ctx.targets, tilesX, tilesY, 0, format::R32F);
  }
  const bool blocksUsable = !overBlocks || (usable(reflectedTiles.get()) && usable(composite.get()));
  if (!usable(reflection.get()) || !usable(tiles.get()) || !usable(blur.get()) || !blocksUsable || !intermediate ||
      !tileDepth || !tileReflects) {
    ctx.imageResult = input;
    return;
  }
  Device* device = deviceOf(ctx);
  const RegionConstants region = depthRegion(ctx);

  // The nearest depth of each block of the viewport, which lets the march cross open space
  // a block at a time.
  bindTexture(tiles.get(), 1, ctx.gbuffer[1], pointWrap(device));
  if (tiles->constantBuffer(0)) {
    ConstantWriter(tiles.get(), "ssr tiles", trace).region(region).set("gRegionSize", size);
  }
  drawOver(tiles.get(), tileDepth, wholeOf(tileDepth));

  bindTexture(reflection.get(), 0, input, pointWrap(device));
  bindTexture(reflection.get(), 1, ctx.gbuffer[1], pointWrap(device));
  bindTexture(reflection.get(), 2, ctx.gbuffer[2], pointWrap(device));
  bindTexture(reflection.get(), 3, ctx.gbuffer[0], pointWrap(device));
  bindTexture(reflection.get(), 4, tileDepth, pointWrap(device));
  if (reflection->constantBuffer(0)) {
    const float strideZCutoff = evalFloat(s, StrideZCutoff, t, ctx);
    const float zThickness = evalFloat(s, ZThickness, t, ctx);
    const float stride = evalFloat(s, Stride, t, ctx);
    const float maxSteps = evalFloat(s, MaxSteps, t, ctx);
    ConstantWriter(reflection.get(), "ssr", trace)
        .matrix("gProj", ctx.projection.m)
        .matrix("gInvView", ctx.camera.m)
        .region(region)
        .set("gRegionSize", size)
        .set("gStrideZCutoff", strideZCutoff)
        .set("gZThickness", zThickness)
        .set("gStride", stride)
        .set("gMaxSteps", maxSteps);
  }
  clearWhole(device, intermediate);
  drawOver(reflection.get(), intermediate, vp);

  // Which blocks hold a reflection: the blurs and the composite draw only near them.
  if (overBlocks) {
    bindTexture(reflectedTiles.get(), 5, intermediate, pointWrap(device));
    if (reflectedTiles->constantBuffer(0)) {
      ConstantWriter(reflectedTiles.get(), "ssr reflected tiles", trace).region(region).set("gRegionSize", size);
    }
    drawOver(reflectedTiles.get(), tileReflects, wholeOf(tileReflects));
  }

  // A tap reads up to the blur radius away, and the filter one pixel further.
  const float radius = evalFloat(s, BlurRadius, t, ctx);
  const float reachTiles = std::ceil((std::fabs(radius) + 1.0f) / float(kTileEdge));
  const float reach = reachTiles <= float(kMaxTileReach) ? reachTiles : -1.0f;  // NaN too: every block
  const uint32_t blockVertices = overBlocks ? tilesX * tilesY * 6 : 3;
  // One constant write a pass: the step buffer is mapped afresh each time.
  auto bindBlocks = [&](ShaderProgram* p, const char* name, Float2 offsetScale, Float2 reachXY, float wrapRows) {
    p->setResource(0, 3, tileReflects);
    if (trace) trace->textures.push_back({p, 0, 3, tileReflects});
    ConstantWriter(p, name, trace, 1)
        .set("gTexelOffsetScale", offsetScale)
        .set("gTileReach", reachXY)
        .set("gWrapRows", wrapRows);
  };
  auto drawBlocks = [&](ShaderProgram* p, Texture* target) {
    drawOver(p, target, vp, blockVertices);
    p->setResource(0, 3, nullptr);
  };

  auto bindBlur = [&](Texture* reflections, Sampler* sampler) {
    bindTexture(blur.get(), 0, reflections, sampler);
    bindTexture(blur.get(), 1, ctx.gbuffer[1], pointWrap(device));
    bindTexture(blur.get(), 2, ctx.gbuffer[0], pointWrap(device));
  };
  bindBlur(intermediate, linearClamp(device));
  if (blur->constantBuffer(0)) {
    const float normalBias = evalFloat(s, NormalBias, t, ctx);
    const float depthBias = evalFloat(s, DepthBias, t, ctx);
    ConstantWriter(blur.get(), "ssr blur", trace)
        .region(region)
        .set("gNormalBias", normalBias)
        .set("gDepthBias", depthBias)
        .set("gRegionSize", size);
  }
  bindBlocks(blur.get(), "ssr blur", Float2{size.x > 0 ? radius / size.x : 0.0f, 0.0f}, Float2{reach, 0.0f}, 0.0f);

  // Never the picture being reflected: it is copied into the destination last.
  Texture* destination = effects::nextRingTargetOtherThan(ctx, input);
  if (!destination) return;
  clearWhole(device, destination);
  drawBlocks(blur.get(), destination);
  ctx.imageResult = destination;

  bindBlocks(blur.get(), "ssr blur", Float2{0.0f, size.y > 0 ? radius / size.y : 0.0f}, Float2{reach, reach}, 1.0f);
  bindBlur(destination, linearWrap(device));
  clearWhole(device, intermediate);
  drawBlocks(blur.get(), intermediate);

  RenderStateDesc opaque = passStateDesc();
  copyPass(destination, input, vp, opaque, false);
  if (!overBlocks) {
    copyPass(destination, intermediate, vp, overState(), false);
    return;
  }
  // The blurred reflections over the picture by their amount, where the vertical blur drew:
  // elsewhere they are nothing, which leaves the picture as it is. Read as the copy pass reads.
  bindTexture(composite.get(), 0, intermediate, pointWrap(device));
  if (composite->constantBuffer(0)) {
    ConstantWriter(composite.get(), "ssr composite", trace)
        .region(regionConstants(intermediate, vp))
        .set("gRegionSize", size);
  }
  bindBlocks(composite.get(), "ssr composite", Float2{}, Float2{reach, reach}, 1.0f);
  drawBlocks(composite.get(), destination);
}

#include "scene/Decals.h"

#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "scene/FrameSetup.h"
#include "scene/GBufferRenderer.h"
#include "scene/Mesh.h"
#include "scene/MeshBuilder.h"
#include "scene/PassSupport.h"
#include "scene/SceneContext.h"
#include "scene/Traversal.h"

RenderStateDesc contextRenderState() { return gbufferRenderState(); }

RenderStateDesc decalRenderState() {
  RenderStateDesc d = RenderStateDesc::zeroed();
  d.flags = kCullFront;  // the inside of the box: the decal shows with the camera in it
  d.depthFunc = D3D11_COMPARISON_LESS_EQUAL;
  d.colourBlend[0] = kBlendAdditiveWord;
  d.stencilReadMask = 0xFF;
  d.stencilWriteMask = 0xFF;
  d.frontFace[3] = 1;
  d.backFace[3] = 1;
  return d;
}

RenderStateDesc fsDecalRenderState() {
  RenderStateDesc d = contextRenderState();
  d.colourBlend[0] = kBlendAdditiveWord;
  return d;
}

namespace {

void loadWithState(const std::string& path, std::unique_ptr<ShaderProgram>& program, const RenderStateDesc& state) {
  std::unique_ptr<ShaderProgram> fresh;
  if (loadProgramFromFile(path.c_str(), EntryPoints::vsps("VS", "PS"), fresh) && fresh && fresh->device) {
    fresh->state = fresh->device->stateFor(state);
    program = std::move(fresh);
  }
}

// Constants and textures of a decal draw, then its pass: G-buffer target 3 alone, no clear.
// The constants and the target are taken before "ImageIn" is evaluated: a picture input that
// renders a view of its own (and leaves the Context's camera or world on it) does not move
// the decal. False when there is nothing to draw into.
bool prepareDecal(ShaderProgram* program, const std::vector<Port*>& s, float t, Context& ctx, uint32_t filter,
                  bool hasBrightness) {
  using D = DecalInputs;
  Device* device = deviceOf(ctx);
  Texture* target = ctx.gbuffer[3];
  if (!program || !device || !target || !ctx.frameDepthTarget) return false;
  const Viewport rect = ctx.viewport;
  const Float2 tile{evalFloat(s, D::TileU, t, ctx), evalFloat(s, D::TileV, t, ctx)};
  const float r = evalFloat(s, D::EmissiveR, t, ctx);
  const float g = evalFloat(s, D::EmissiveG, t, ctx);
  const float b = evalFloat(s, D::EmissiveB, t, ctx);
  const float k = hasBrightness ? evalFloat(s, D::Brightness, t, ctx) : 1.0f;

  const Float4x4 view = mat::rigidInverse(ctx.camera);
  const Float4x4 viewProj = view * ctx.projection;
  const RegionConstants region = regionConstants(ctx.frameDepthTarget, rect);
  {
    ConstantWriter pc(program, "decal", gPassTrace);
    pc.matrix("gWorldViewProj", (ctx.world * viewProj).m);
    pc.matrix("gInvWorldViewProj", mat::inverse(viewProj).m);
    pc.matrix("gInvView", ctx.camera.m);
    pc.matrix("gInvModel", mat::inverse(ctx.world).m);
    pc.region(region);
    pc.set<Float2>("gTile", tile);
    pc.set<Float4>("gEmissiveColor", {r * k, g * k, b * k, 0.0f});
  }
  bindPassTexture(program, hlsl::Pixel, 0, ctx.gbuffer[1]);
  bindPassTexture(program, hlsl::Pixel, 1, ctx.frameDepthTarget);
  bindPassSampler(program, hlsl::Pixel, 0, device->samplerFor(SamplerDesc::forMode(filter)));
  // Without a picture the slot reads as zero, never as an earlier frame's picture.
  Texture* picture = evalImageInput(s, D::ImageIn, t, ctx);
  bindPassTexture(program, hlsl::Pixel, 2, picture);
  bindPassSampler(program, hlsl::Pixel, 2, device->samplerFor(SamplerDesc::forMode(7)));

  RenderPass pass;
  pass.colourTargets[0] = target;
  pass.width = target->width();
  pass.height = target->height();
  pass.rect[0] = rect.left;
  pass.rect[1] = rect.top;
  pass.rect[2] = rect.right;
  pass.rect[3] = rect.bottom;
  bindRenderPass(device, pass);
  return true;
}

}  // namespace

// ---------------------------------------------------------------- Decal

DecalOp::DecalOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addColorGroup("EmissiveColor", EmissiveR, 3);
  addOutput("SceneOut", PortType::Scene, std::make_unique<DecalFunction>());
  linkOutput();
}

DecalOp::DecalFunction::DecalFunction() = default;
DecalOp::DecalFunction::~DecalFunction() = default;

void DecalOp::DecalFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  if (needsInit) {
    needsInit = 0;
    loadWithState(evalText(s, Filepath, t, ctx), program, decalRenderState());
    box = buildUnitBoxMesh(deviceOf(ctx));
  }
  if (!box || !prepareDecal(program.get(), s, t, ctx, 0, true)) return;
  tracePassDraw(program.get());
  DrawRequest r;
  r.program = program.get();
  r.mesh = box.get();
  submitDraw(r);
  unbindRenderTargets(deviceOf(ctx));
}

// ---------------------------------------------------------------- FSDecal

FSDecalOp::FSDecalOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addColorGroup("EmissiveColor", EmissiveR, 3);
  addOutput("SceneOut", PortType::Scene, std::make_unique<FSDecalFunction>());
  linkOutput();
}

FSDecalOp::FSDecalFunction::FSDecalFunction() = default;
FSDecalOp::FSDecalFunction::~FSDecalFunction() = default;

void FSDecalOp::FSDecalFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  if (needsInit) {
    needsInit = 0;
    loadWithState(evalText(s, Filepath, t, ctx), program, fsDecalRenderState());
  }
  if (!prepareDecal(program.get(), s, t, ctx, 7, false)) return;
  tracePassDraw(program.get());
  drawStrip(program.get(), 3);
  unbindRenderTargets(deviceOf(ctx));
}

// ---------------------------------------------------------------- RayMarching

RayMarchingOp::RayMarchingOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addOutput("SceneOut", PortType::Scene, std::make_unique<RayMarchingFunction>());
  linkOutput();
}

RayMarchingOp::RayMarchingFunction::RayMarchingFunction() = default;
RayMarchingOp::RayMarchingFunction::~RayMarchingFunction() = default;

void RayMarchingOp::RayMarchingFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  using R = RayMarchingOp;
  if (needsInit) {
    needsInit = 0;
    loadWithState(evalText(s, R::Filepath, t, ctx), program, contextRenderState());
  }
  const Float4 p1{evalFloat(s, R::Param1X, t, ctx), evalFloat(s, R::Param1Y, t, ctx), evalFloat(s, R::Param1Z, t, ctx),
                  evalFloat(s, R::Param1W, t, ctx)};
  const Float4 p2{evalFloat(s, R::Param2X, t, ctx), evalFloat(s, R::Param2Y, t, ctx), evalFloat(s, R::Param2Z, t, ctx),
                  evalFloat(s, R::Param2W, t, ctx)};
  Device* device = deviceOf(ctx);
  ShaderProgram* p = program.get();
  if (!p || !device || !ctx.scenePass) return;

  const Float4x4 view = mat::rigidInverse(ctx.camera);
  const Float4x4 viewPrev = mat::rigidInverse(ctx.cameraPrev);
  const Float3 eye = ctx.camera.row3(3);
  const Float3 forward = ctx.camera.row3(2);
  const RegionConstants region = regionConstants(ctx.frameDepthTarget, ctx.viewport);
  {
    ConstantWriter pc(p, "ray marching", gPassTrace);
    pc.set<float>("gTime", t);
    pc.set<Float2>("gResolution",
                   {float(ctx.viewport.right - ctx.viewport.left), float(ctx.viewport.bottom - ctx.viewport.top)});
    pc.set<Float4>("gParam1", p1);
    pc.set<Float4>("gParam2", p2);
    pc.set<Float4>("gCamPos", {eye.x, eye.y, eye.z, 1.0f});
    pc.set<Float4>("gCamDir", {forward.x, forward.y, forward.z, 0.0f});
    pc.set<float>("gFOV", ctx.fov);
    // What a shader needs to write depth, normals and motion that agree with rasterised
    // geometry: the Context's view and projection, last frame's view-projection, the region.
    pc.matrix("gView", view.m);
    pc.matrix("gProj", ctx.projection.m);
    pc.matrix("gViewProjPrev", (viewPrev * ctx.projection).m);
    pc.set<Float2>("gRegionScale", {region.scale[0], region.scale[1]});
  }
  bindRenderPass(device, *ctx.scenePass);
  tracePassDraw(p);
  drawStrip(p, 3);
  unbindRenderTargets(device);
}

#include "scene/DeferredLighting.h"

#include <cmath>

#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/TextureLoader.h"
#include "scene/FrameSetup.h"
#include "scene/LightMath.h"
#include "scene/Lights.h"
#include "scene/Mesh.h"
#include "scene/MeshBuilder.h"
#include "scene/PassSupport.h"
#include "scene/ShadowCasters.h"

DeferredLighting* gDeferredLighting = nullptr;

namespace {

// Every light adds into the light map: colour = source x source alpha + destination x
// destination alpha, alpha = source alpha squared. A light writes alpha 1, so the first one
// over the cleared (alpha 0) map replaces and every later one adds.
constexpr uint16_t kLightColourBlend = 0x11C5;
constexpr uint16_t kLightAlphaBlend = 0x1045;

RenderStateDesc lightState(uint32_t cull) {
  RenderStateDesc d = RenderStateDesc::zeroed();
  d.flags = cull;
  d.depthFunc = D3D11_COMPARISON_LESS_EQUAL;
  d.colourBlend[0] = kLightColourBlend;
  d.alphaBlend[0] = kLightAlphaBlend;
  return d;
}

Texture* makeDepthMap(Device* device, uint32_t size) {
  TextureDesc d;
  d.flags = kDepthTargetFlags;
  d.format = kShadowMapFormat;
  d.width = size;
  d.height = size;
  return createTexture(device, d, nullptr);
}

RenderPass passOver(Texture* colour, Texture* depth, const Viewport& r, uint8_t clear) {
  RenderPass p;
  p.colourTargets[0] = colour;
  p.depthTarget = depth;
  Texture* sized = colour ? colour : depth;
  p.width = sized ? sized->width() : 0;
  p.height = sized ? sized->height() : 0;
  p.rect[0] = r.left;
  p.rect[1] = r.top;
  p.rect[2] = r.right;
  p.rect[3] = r.bottom;
  p.clearFlags = clear;
  p.depthClear = 1.0f;
  return p;
}

// A light adds no in-scattering unless its multiplier (the scattering's y) is above 0, as
// the shaders test it.
bool withoutScattering(const Float4& scattering) { return !(scattering.y > 0.0f); }

Float4 float4Of(Float3 v, float w) { return {v.x, v.y, v.z, w}; }
Float3 xyz(const Float4& v) { return {v.x, v.y, v.z}; }

}  // namespace

std::unique_ptr<DeferredLighting> DeferredLighting::Create(Device* device) {
  if (!device) return nullptr;
  std::unique_ptr<DeferredLighting> d(new DeferredLighting());
  d->device = device;

  logMessage("CascadeShadowMap\n");
  for (Texture*& map : d->cascadeMaps) map = makeDepthMap(device, kCascadeMapSize);
  logMessage("ShadowMap\n");
  d->spotShadowMap = makeDepthMap(device, kSpotShadowMapSize);
  logMessage("IBL\n");
  TextureDesc lookup;
  lookup.flags = kPooledColourFlags;
  lookup.format = kBrdfLookupFormat;
  lookup.width = kBrdfLookupSize;
  lookup.height = kBrdfLookupSize;
  d->brdfLookup = createTexture(device, lookup, nullptr);

  d->pointProgram = loadPassProgram(device, "pointLight", "VS", "PS");
  d->dirProgram = loadPassProgram(device, "dirlight", "VS", "PS");
  d->spotProgram = loadPassProgram(device, "spotLight", "VS", "PS");
  d->pointUnscatteredProgram = loadPassProgram(device, "pointLight", "VS", "PSUnscattered");
  d->spotUnscatteredProgram = loadPassProgram(device, "spotLight", "VS", "PSUnscattered");
  d->combineProgram = loadPassProgram(device, "copyLightMap", "VS", "PS");
  d->imageProgram = loadPassProgram(device, "imageLighting", "VS", "PS");
  d->imageCombinedProgram = loadPassProgram(device, "imageLighting", "VS", "PSCombined");
  d->shadowProgram = loadPassProgram(device, "shadows", "VS", "PS");
  d->shadowClothProgram = loadPassProgram(device, "shadowsCloth", "VS", "PS");
  d->shadowInstancedProgram = loadPassProgram(device, "shadowsInstanced", "VS", "PS");

  d->sphere = buildSphereMesh(device, kPointSphereDetail);
  d->cone = buildConeMesh(device, kSpotConeSegments);

  d->cullBackLight = device->stateFor(lightState(kCullBack));
  d->cullFrontLight = device->stateFor(lightState(kCullFront));
  RenderStateDesc image = RenderStateDesc::zeroed();
  image.flags = kCullBack;
  image.depthFunc = D3D11_COMPARISON_LESS_EQUAL;
  image.colourBlend[0] = kBlendAdditiveWord;
  d->imageState = device->stateFor(image);
  RenderStateDesc opaque = RenderStateDesc::zeroed();
  opaque.flags = kCullBack;
  opaque.depthFunc = D3D11_COMPARISON_LESS_EQUAL;
  d->combineState = device->stateFor(opaque);
  // Casters are drawn from both sides: open meshes (quads, cloth) cast too.
  RenderStateDesc shadow = RenderStateDesc::zeroed();
  shadow.flags = kDepthTest | kDepthWrite;
  shadow.depthFunc = D3D11_COMPARISON_LESS_EQUAL;
  d->shadowState = device->stateFor(shadow);

  d->pointSampler = device->samplerFor(SamplerDesc::forMode(0));
  d->environmentSampler = device->samplerFor(SamplerDesc::forMode(7));
  d->clothSampler = device->samplerFor(SamplerDesc::forMode(7));
  SamplerDesc cmp = SamplerDesc::forMode(samplerMode(0x13, 2, 2, 2));
  cmp.comparisonFunc = D3D11_COMPARISON_LESS_EQUAL;
  for (float& c : cmp.borderColour) c = 1.0f;  // outside a map nothing is in shadow
  d->shadowSampler = device->samplerFor(cmp);

  for (ShaderProgram* p : {d->dirProgram.get(), d->spotProgram.get(), d->spotUnscatteredProgram.get()})
    if (p) p->state = d->cullBackLight;
  for (ShaderProgram* p : {d->pointProgram.get(), d->pointUnscatteredProgram.get()})
    if (p) p->state = d->cullFrontLight;
  for (ShaderProgram* p : {d->combineProgram.get(), d->imageCombinedProgram.get()})
    if (p) p->state = d->combineState;
  if (d->imageProgram) d->imageProgram->state = d->imageState;
  for (ShaderProgram* p : {d->shadowProgram.get(), d->shadowClothProgram.get(), d->shadowInstancedProgram.get()})
    if (p) p->state = d->shadowState;

  // The lookup texture, once; its program is not needed again.
  if (std::unique_ptr<ShaderProgram> prefilter = loadPassProgram(device, "prefilter_pbr", "mainVS", "mainPS");
      prefilter && d->brdfLookup) {
    prefilter->state = d->combineState;
    bindRenderPass(device, passOver(d->brdfLookup, nullptr,
                                    Viewport{0, 0, int32_t(kBrdfLookupSize), int32_t(kBrdfLookupSize)}, 0));
    drawStrip(prefilter.get(), 3);
    unbindRenderTargets(device);
  }

  d->defaultEnvironment = loadTexture(device, "OutputCube.dds");
  if (!d->defaultEnvironment)
    logMessage("IBL: data/textures/OutputCube.dds could not be loaded; the image-based term is left out\n");
  else if (!d->defaultEnvironment->isCube())
    logMessage("IBL: data/textures/OutputCube.dds is not a cube map; the image-based term is left out\n");
  return d;
}

DeferredLighting::~DeferredLighting() {
  if (gDeferredLighting == this) gDeferredLighting = nullptr;
  for (Texture*& map : cascadeMaps) deleteTexture(map);
  deleteTexture(spotShadowMap);
  deleteTexture(brdfLookup);
}

void DeferredLighting::bindCommonInputs(ShaderProgram* program, const Context& ctx) {
  for (uint32_t i = 0; i < 4; ++i) bindPassTexture(program, hlsl::Pixel, i, ctx.gbuffer[i]);
  bindPassTexture(program, hlsl::Pixel, 4, ctx.frameDepthTarget);
  bindPassSampler(program, hlsl::Pixel, 0, pointSampler);
}

void DeferredLighting::drawCasters(const Float4x4& viewProjection) {
  DeviceContext* dc = device->context();
  for (const ShadowCaster& c : shadowCasters()) {
    const Mesh* mesh = c.geometry;
    if (!mesh) continue;
    ShaderProgram* program = nullptr;
    switch (c.kind) {
      case kCasterMesh: program = shadowProgram.get(); break;
      case kCasterCloth: program = shadowClothProgram.get(); break;
      case kCasterInstanced: program = shadowInstancedProgram.get(); break;
      default: continue;
    }
    if (!program) continue;
    {
      ConstantWriter pc(program, "shadows", gPassTrace);
      pc.matrix("gWorldViewProj", (c.world * viewProjection).m);
    }
    tracePassDraw(program);
    if (c.kind == kCasterCloth) {
      if (!mesh->indexBuffer || !mesh->vertexBuffers[0]) continue;
      bindPassTexture(program, hlsl::Vertex, 1, mesh->vertexBuffers[0]);
      bindPassSampler(program, hlsl::Vertex, 1, clothSampler);
      bindProgram(program);
      dc->setInputLayout(nullptr);
      dc->setIndexBuffer(mesh->indexBuffer, mesh->indexFormat, 0);
      dc->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
      dc->drawIndexed(mesh->indexCount, mesh->firstIndex, 0);
      unbindResources(program);
    } else {
      DrawRequest r;
      r.program = program;
      r.mesh = mesh;
      if (c.kind == kCasterInstanced) {
        r.instanceCount = c.instanceCount;
        r.flags = kDrawInstanced;
      }
      submitDraw(r);
    }
  }
}

void DeferredLighting::renderCascades(const Context& ctx, const DirLightRecord& light) {
  lightBasis = directionalLightBasis(xyz(light.direction));
  const Float4x4 view = lightBasis.transposed();
  const float w = float(ctx.viewport.right - ctx.viewport.left);
  const float h = float(ctx.viewport.bottom - ctx.viewport.top);
  const float aspect = h > 0.0f ? w / h : 1.0f;
  for (int c = 0; c < 2; ++c) {
    cascadeProjections[c] = cascadeProjection(ctx.camera, view, ctx.fov, aspect, kCascadeSlices[c]);
    cascadeViewProjection[c] = view * cascadeProjections[c];
    if (!cascadeMaps[c]) continue;
    const Viewport whole{0, 0, int32_t(kCascadeMapSize), int32_t(kCascadeMapSize)};
    bindRenderPass(device, passOver(nullptr, cascadeMaps[c], whole, kClearDepth));
    drawCasters(cascadeViewProjection[c]);
    unbindRenderTargets(device);
  }
  clipZ = cascadeSplitDepths(ctx.projection);
}

void DeferredLighting::renderSpotShadow(const SpotLightRecord& light) {
  const Float3 dir = directionOr(xyz(light.direction), {0.0f, -1.0f, 0.0f});
  spotView = spotLightView(xyz(light.position), dir);
  spotProjection = spotLightProjection(light.angle, light.farPlane);
  if (!spotShadowMap) return;
  const Viewport whole{0, 0, int32_t(kSpotShadowMapSize), int32_t(kSpotShadowMapSize)};
  bindRenderPass(device, passOver(nullptr, spotShadowMap, whole, kClearDepth));
  drawCasters(spotView * spotProjection);
  unbindRenderTargets(device);
}

void DeferredLighting::Render(Context& ctx, Texture* lightMap, Texture* output, Texture* environment) {
  if (!device || !lightMap || !output || !ctx.gbuffer[0] || !ctx.frameDepthTarget) return;
  DeviceContext* dc = device->context();
  dc->beginEvent("Lighting");

  const Float4x4 view = mat::rigidInverse(ctx.camera);
  const Float4x4 viewProj = view * ctx.projection;
  const Float4x4 invViewProj = mat::inverse(viewProj);
  const Float4 eye = float4Of(ctx.camera.row3(3), 1.0f);
  const RegionConstants region = regionConstants(ctx.frameDepthTarget, ctx.viewport);
  const Float2 regionScale{region.scale[0], region.scale[1]};
  const Float2 regionOffset{region.offset[0], region.offset[1]};
  auto commonConstants = [&](ConstantWriter& pc) {
    pc.matrix("gInvWorldViewProj", invViewProj.m);
    pc.matrix("gInvView", ctx.camera.m);
    pc.set<Float4>("gEyePos", eye);
    pc.set<Float2>("gRegionScale", regionScale);
    pc.set<Float2>("gRegionOffset", regionOffset);
  };

  // 1: the light map, cleared once; later re-binds (after a shadow map) keep it.
  RenderPass lightPass = passOver(lightMap, nullptr, ctx.viewport, kClearColour);
  bindRenderPass(device, lightPass);
  lightPass.clearFlags = 0;

  // 2: directional lights.
  if (dirProgram) {
    ShaderProgram* p = dirProgram.get();
    for (const DirLightRecord& l : dirLights()) {
      if (!l.enabled) continue;
      if (l.castsShadows) {
        renderCascades(ctx, l);
        bindRenderPass(device, lightPass);
      }
      bindCommonInputs(p, ctx);
      bindPassSampler(p, hlsl::Pixel, 1, shadowSampler);
      bindPassTexture(p, hlsl::Pixel, 5, cascadeMaps[0]);
      bindPassTexture(p, hlsl::Pixel, 6, cascadeMaps[1]);
      {
        ConstantWriter pc(p, "dirlight", gPassTrace);
        commonConstants(pc);
        pc.set<Float4>("gLightDir", l.direction);
        pc.set<Float4>("gLightColor", l.colour);
        pc.matrix("gLightWVPcs0", cascadeViewProjection[0].m);
        pc.matrix("gLightWVPcs1", cascadeViewProjection[1].m);
        pc.set<float>("gShadows", l.castsShadows ? 1.0f : 0.0f);
        pc.set<Float2>("gClipZ", clipZ);
      }
      tracePassDraw(p);
      drawStrip(p, 3);
    }
  }

  // 3: point lights as spheres.
  if (pointProgram && sphere) {
    for (const PointLightRecord& l : pointLights()) {
      if (!l.enabled) continue;
      ShaderProgram* p = withoutScattering(l.scattering) && pointUnscatteredProgram ? pointUnscatteredProgram.get()
                                                                                    : pointProgram.get();
      bindCommonInputs(p, ctx);
      {
        ConstantWriter pc(p, "pointLight", gPassTrace);
        commonConstants(pc);
        pc.matrix("gWorldViewProj", (pointLightVolume(xyz(l.position), l.radius) * viewProj).m);
        pc.set<Float4>("gLightPos", l.position);
        pc.set<Float4>("gLightCol", l.colour);
        pc.set<float>("gLightRadius", l.radius);
        pc.set<float>("gLightBrightness", l.brightness);
        pc.set<Float4>("gLightScattParams", l.scattering);
      }
      tracePassDraw(p);
      DrawRequest r;
      r.program = p;
      r.mesh = sphere.get();
      submitDraw(r);
    }
  }

  // 4: spot lights as cones.
  if (spotProgram && cone) {
    for (const SpotLightRecord& l : spotLights()) {
      if (!l.enabled) continue;
      ShaderProgram* p = withoutScattering(l.scattering) && spotUnscatteredProgram ? spotUnscatteredProgram.get()
                                                                                  : spotProgram.get();
      if (l.castsShadows) {
        renderSpotShadow(l);
        bindRenderPass(device, lightPass);
      }
      const Float3 pos = xyz(l.position);
      const Float3 dir = directionOr(xyz(l.direction), {0.0f, -1.0f, 0.0f});
      const float angle = clampSpotAngle(l.angle);
      bindCommonInputs(p, ctx);
      bindPassSampler(p, hlsl::Pixel, 1, shadowSampler);
      bindPassTexture(p, hlsl::Pixel, 5, spotShadowMap);
      {
        ConstantWriter pc(p, "spotLight", gPassTrace);
        commonConstants(pc);
        pc.matrix("gWorldViewProj", (spotLightVolume(pos, dir, angle, l.farPlane) * viewProj).m);
        pc.set<Float4>("gLightPos", l.position);
        pc.set<Float4>("gLightCol", l.colour);
        pc.set<float>("gLightHeight", l.farPlane);
        pc.set<float>("gLightCosAngle", std::cos(angle * 0.5f * kDegToRad));
        pc.set<Float4>("gLightDir", float4Of(dir, 0.0f));
        pc.matrix("gLightWVP", (spotView * spotProjection).m);
        pc.set<float>("gShadows", l.castsShadows ? 1.0f : 0.0f);
        pc.set<Float4>("gLightScattParams", l.scattering);
        pc.set<float>("gScattSteps", l.scatteringSteps);
      }
      // Seen from inside the cone its inner (back) faces are the ones in front of the eye.
      p->state = spotCullsFrontFaces(pos, dir, xyz(eye), l.angle) ? cullFrontLight : cullBackLight;
      tracePassDraw(p);
      DrawRequest r;
      r.program = p;
      r.mesh = cone.get();
      submitDraw(r);
    }
  }
  unbindRenderTargets(device);

  // 5 and 6: light map plus emission into the output, the image-based term on top. An
  // "EnvMap" that is not a cube cannot be sampled as one.
  bindRenderPass(device, passOver(output, nullptr, ctx.viewport, 0));
  Texture* env = environment && environment->isCube() ? environment : defaultEnvironment;
  const bool imageTerm = imageProgram && brdfLookup && env && env->isCube();
  auto bindImageInputs = [&](ShaderProgram* p) {
    bindCommonInputs(p, ctx);
    bindPassTexture(p, hlsl::Pixel, 5, env);
    bindPassTexture(p, hlsl::Pixel, 6, brdfLookup);
    bindPassSampler(p, hlsl::Pixel, 2, environmentSampler);
    ConstantWriter pc(p, "imageLighting", gPassTrace);
    commonConstants(pc);
  };
  if (imageTerm && imageCombinedProgram) {
    ShaderProgram* p = imageCombinedProgram.get();
    bindPassTexture(p, hlsl::Pixel, 7, lightMap);
    bindImageInputs(p);
    tracePassDraw(p);
    drawStrip(p, 3);
  } else {
    if (combineProgram) {
      ShaderProgram* p = combineProgram.get();
      bindPassTexture(p, hlsl::Pixel, 0, lightMap);
      bindPassTexture(p, hlsl::Pixel, 1, ctx.gbuffer[3]);
      bindPassSampler(p, hlsl::Pixel, 0, pointSampler);
      {
        ConstantWriter pc(p, "copyLightMap", gPassTrace);
        pc.set<Float2>("gRegionScale", regionScale);
        pc.set<Float2>("gRegionOffset", regionOffset);
      }
      tracePassDraw(p);
      drawStrip(p, 3);
    }
    if (imageTerm) {
      ShaderProgram* p = imageProgram.get();
      bindImageInputs(p);
      tracePassDraw(p);
      drawStrip(p, 3);
    }
  }
  unbindRenderTargets(device);
  dc->endEvent();
}

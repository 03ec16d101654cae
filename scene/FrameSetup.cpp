#include "scene/FrameSetup.h"

#include <algorithm>

#include "gfx/DeviceContext.h"
#include "gfx/Screen.h"
#include "gfx/ShaderProgram.h"

// ---------------------------------------------------------------- pools

GBufferSet* acquireGBufferSet(ContextTargets& t, uint32_t width, uint32_t height, bool fullSize) {
  const uint32_t options = fullSize ? uint32_t(kSizeFull) : 0u;
  return acquirePooled(t, t.gbufferPool, "G-buffer set", width, height, 0, options, options,
                       [&](uint32_t w, uint32_t h) {
                         auto* set = new GBufferSet;
                         for (int i = 0; i < 5; ++i)
                           set->textures[i] = makeTexture(t.device, kPooledColourFlags,
                                                          i == 4 ? format::RG16F : format::RGBA16F, options, w, h);
                         return set;
                       });
}

void releaseAllTargets(ContextTargets& t) {
  releaseAllTargets(static_cast<TargetPools&>(t));
  releasePool(t.gbufferPool);
}

void releaseAllTargets(Context& ctx) {
  if (ctx.targets) releaseAllTargets(*ctx.targets);
}

ContextTargets::~ContextTargets() {
  for (auto& e : gbufferPool) {
    for (Texture* tex : e.object->textures) deleteTexture(tex);
    deleteTexture(e.object->velocityTiles);
    delete e.object;
  }
}

Texture* nextRingTarget(Context& ctx) {
  if (!ctx.targets || !ctx.targets->ring) return nullptr;
  return ctx.targets->ring->next();
}

// ---------------------------------------------------------------- per-frame lists

namespace {

std::vector<PerFrameListClear>& perFrameLists() {
  static std::vector<PerFrameListClear> lists;
  return lists;
}

}  // namespace

void registerPerFrameList(PerFrameListClear clear) {
  auto& lists = perFrameLists();
  if (clear && std::find(lists.begin(), lists.end(), clear) == lists.end()) lists.push_back(clear);
}

void unregisterPerFrameList(PerFrameListClear clear) {
  auto& lists = perFrameLists();
  lists.erase(std::remove(lists.begin(), lists.end(), clear), lists.end());
}

void clearPerFrameLists() {
  for (PerFrameListClear clear : perFrameLists()) clear();
}

// ---------------------------------------------------------------- beginFrame

const float kGBufferClearValues[5][4] = {
    {0, 0, 0, 0}, {0, 0, 0, 65504.0f}, {65504.0f, 65504.0f, 65504.0f, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}};

void clearGBuffer(Context& ctx) {
  Device* device = ctx.targets ? ctx.targets->device : gDevice;
  if (!device) return;
  for (int i = 0; i < 5; ++i)
    if (ctx.gbuffer[i]) clearTexture(device, ctx.gbuffer[i], kGBufferClearValues[i]);
  const float depth[4] = {1.0f, 0.0f, 0.0f, 0.0f};
  if (ctx.frameDepthTarget) clearTexture(device, ctx.frameDepthTarget, depth);
  unbindRenderTargets(device);
}

void beginFrame(Context& ctx, uint32_t width, uint32_t height, bool fullSize, bool releaseAll) {
  ContextTargets* t = ctx.targets;
  if (!t) return;
  if (t->screen) t->screenDepth = t->screen->depthBuffer;  // remade by every resize
  // 1-3: ring and depth target.
  if (releaseAll) {
    releasePool(t->depthPool);
    releasePool(t->ringPool);
    releasePool(t->colourPool);
  }
  t->ring = acquireRing(*t, width, height, fullSize);
  t->depthTarget = acquireDepthTarget(*t, width, height, fullSize);
  ctx.frameDepthTarget = t->depthTarget;

  // 4-5: a fresh G-buffer set and its pass over the region.
  if (releaseAll) releasePool(t->gbufferPool);
  t->gbuffer = acquireGBufferSet(*t, width, height, fullSize);
  GBufferSet* set = t->gbuffer;
  for (int i = 0; i < 5; ++i) ctx.gbuffer[i] = set ? set->textures[i] : nullptr;
  if (set) {
    RenderPass& pass = set->pass;
    pass = RenderPass{};
    pass.depthTarget = t->depthTarget;
    for (int i = 0; i < 5; ++i) pass.colourTargets[i] = set->textures[i];
    pass.width = set->textures[0] ? set->textures[0]->width() : 0;
    pass.height = set->textures[0] ? set->textures[0]->height() : 0;
    // The region, kept inside the targets: a sub-image frame is often begun before the
    // region shrinks to its size.
    pass.rect[0] = std::clamp(ctx.viewport.left, 0, int32_t(pass.width));
    pass.rect[1] = std::clamp(ctx.viewport.top, 0, int32_t(pass.height));
    pass.rect[2] = std::clamp(ctx.viewport.right, pass.rect[0], int32_t(pass.width));
    pass.rect[3] = std::clamp(ctx.viewport.bottom, pass.rect[1], int32_t(pass.height));
    ctx.scenePass = &pass;

    // 6: the G-buffer's clear values.
    for (int i = 0; i < 5; ++i)
      if (set->textures[i]) clearTexture(t->device, set->textures[i], kGBufferClearValues[i]);

    // 7: depth 1.0 and stencil 0 through a pass over the region, then unbind.
    if (t->depthTarget) {
      RenderPass clearPass;
      clearPass.depthTarget = t->depthTarget;
      clearPass.colourTargets[0] = set->textures[0];
      clearPass.clearFlags = kClearDepth;
      for (int i = 0; i < 4; ++i) clearPass.rect[i] = pass.rect[i];
      clearPass.width = pass.width;
      clearPass.height = pass.height;
      clearPass.depthClear = 1.0f;
      clearPass.stencilClear = 0;
      bindRenderPass(t->device, clearPass);
      unbindRenderTargets(t->device);
    }
  } else {
    ctx.scenePass = nullptr;
  }

  // 8: camera and scene defaults, empty per-frame lists. The projection is left alone: the
  // frame step sets the default projection just before, and camera operators set their own.
  ctx.world = Float4x4::identity();
  ctx.worldPrev = Float4x4::identity();
  ctx.camera = Float4x4::identity();
  ctx.cameraPrev = Float4x4::identity();
  ctx.zNear = 0.1f;
  ctx.zFar = 1000.0f;
  ctx.fov = 45.0f;
  clearPerFrameLists();
}

void TargetFrameHooks::beginFrame(Context& ctx, uint32_t width, uint32_t height, bool fullSize,
                                  bool releaseAll) {
  ::beginFrame(ctx, width, height, fullSize, releaseAll);
}

uint32_t TargetFrameHooks::screenWidth() const { return targets ? targets->screenWidth() : 0; }
uint32_t TargetFrameHooks::screenHeight() const { return targets ? targets->screenHeight() : 0; }

ContextTargets* initContextTargets(Context& ctx, Device* device, Screen* screen, uint32_t width,
                                   uint32_t height) {
  auto* t = new ContextTargets;
  t->device = device;
  t->screen = screen;
  t->fallbackWidth = width;
  t->fallbackHeight = height;
  t->hooks.targets = t;
  if (screen) {
    t->depthFormat = screen->depthFormat ? screen->depthFormat : kDefaultDepthFormat;
    t->screenDepth = screen->depthBuffer;
  }
  ctx.targets = t;
  ctx.hooks = &t->hooks;
  const uint32_t w = t->screenWidth(), h = t->screenHeight();
  ctx.viewport = Viewport{0, 0, int32_t(w), int32_t(h)};
  beginFrame(ctx, w, h, true, true);
  return t;
}

void releaseContextTargets(Context& ctx) {
  releaseCopyPass();
  delete ctx.targets;
  ctx.targets = nullptr;
  ctx.hooks = nullptr;
  ctx.frameDepthTarget = nullptr;
  ctx.scenePass = nullptr;
  for (auto& g : ctx.gbuffer) g = nullptr;
}

#include "gfx/RenderTargets.h"

#include <algorithm>
#include <cstdio>

#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"

// ---------------------------------------------------------------- region constants

RegionConstants regionConstants(uint32_t sw, uint32_t sh, const Viewport& r) {
  RegionConstants c;
  if (sw == 0 || sh == 0) return c;
  c.scale[0] = float(r.right - r.left) / float(sw);
  c.scale[1] = float(r.bottom - r.top) / float(sh);
  c.offset[0] = float(r.left) / float(sw);
  c.offset[1] = float(r.top) / float(sh);
  return c;
}

RegionConstants regionConstants(const Texture* source, const Viewport& region) {
  // Without a Screen there is no frame whose region could be mapped (tools, offscreen
  // checks): every pass reads its whole source.
  if (!gDevice || !gScreen || !source) return RegionConstants{};
  return regionConstants(source->width(), source->height(), region);
}

// ---------------------------------------------------------------- pools

namespace {

// Back-buffer size, or the size the targets were set up with when there is no Screen.
void screenSize(const ContextTargets& t, uint32_t& w, uint32_t& h) {
  if (t.screen) {
    w = t.screen->width;
    h = t.screen->height;
  } else {
    w = t.hooks.fallbackWidth;
    h = t.hooks.fallbackHeight;
  }
}

// The size a texture of this size class is made at (the resize list keeps it so).
bool creationSize(const ContextTargets& t, uint32_t sizeClass, uint32_t& w, uint32_t& h) {
  if (sizeClass != 0) {
    uint32_t sw, sh;
    screenSize(t, sw, sh);
    const uint32_t div = sizeClass == kSizeHalf ? 2 : sizeClass == kSizeQuarter ? 4 : 1;
    w = sw / div;
    h = sh / div;
  }
  return w != 0 && h != 0;
}

Texture* makeTexture(Device* device, uint32_t flags, uint32_t format, uint32_t options, uint32_t w,
                     uint32_t h) {
  TextureDesc d;
  d.flags = flags;
  d.format = format;
  d.options = options;
  d.width = w;
  d.height = h;
  return createTexture(device, d, nullptr);
}

template <typename T>
ContextTargets::Entry<T>* findFree(std::vector<ContextTargets::Entry<T>>& pool, uint32_t w, uint32_t h,
                                   uint32_t format, uint32_t options) {
  for (auto& e : pool) {
    if (!e.inUse && e.width == w && e.height == h && e.format == format && e.options == options) {
      e.inUse = true;
      return &e;
    }
  }
  return nullptr;
}

template <typename T>
void release(std::vector<ContextTargets::Entry<T>>& pool) {
  for (auto& e : pool) e.inUse = false;
}

void logSizeFailure(const char* what, uint32_t w, uint32_t h) {
  logMessage("Cannot create %s of size %u x %u\n", what, w, h);
}

std::vector<PerFrameListClear>& perFrameLists() {
  static std::vector<PerFrameListClear> lists;
  return lists;
}

}  // namespace

Texture* PostProcessRing::next() {
  for (int tries = 0; tries < 3; ++tries) {
    Texture* candidate = slots[index];
    index = (index + 1) % 3;
    if (candidate) return candidate;
  }
  return nullptr;
}

namespace {

// The reuse rule shared by the four pools: a free entry with an equal key is taken,
// otherwise a new object of the key's size is made and entered in the pool in use.
template <typename T, typename Make>
T* acquirePooled(ContextTargets& t, std::vector<ContextTargets::Entry<T>>& pool, const char* what,
                 uint32_t width, uint32_t height, uint32_t format, uint32_t sizeClass, uint32_t keyOptions,
                 Make make) {
  const uint32_t kw = sizeClass ? 0 : width, kh = sizeClass ? 0 : height;
  if (auto* e = findFree(pool, kw, kh, format, keyOptions)) return e->object;
  uint32_t w = width, h = height;
  if (!creationSize(t, sizeClass, w, h)) {
    logSizeFailure(what, w, h);
    return nullptr;
  }
  T* object = make(w, h);
  if (!object) return nullptr;
  pool.push_back({kw, kh, format, keyOptions, true, object});
  return object;
}

}  // namespace

Texture* acquireColourTarget(ContextTargets& t, uint32_t width, uint32_t height, uint32_t sizeClass,
                             uint32_t formatCode, uint32_t options) {
  sizeClass &= kSizeClassMask;
  const uint32_t keyOptions = (options & ~uint32_t(kSizeClassMask)) | sizeClass;
  return acquirePooled(t, t.colourPool, "colour target", width, height, formatCode, sizeClass, keyOptions,
                       [&](uint32_t w, uint32_t h) {
                         return makeTexture(t.device, kPooledColourFlags, formatCode, keyOptions, w, h);
                       });
}

Texture* acquireDepthTarget(ContextTargets& t, uint32_t width, uint32_t height, bool fullSize) {
  const uint32_t options = fullSize ? uint32_t(kSizeFull) : 0u;
  return acquirePooled(t, t.depthPool, "depth target", width, height, 0, options, options,
                       [&](uint32_t w, uint32_t h) {
                         return makeTexture(t.device, kDepthTargetFlags, t.depthFormat, options, w, h);
                       });
}

GBufferSet* acquireGBufferSet(ContextTargets& t, uint32_t width, uint32_t height, bool fullSize) {
  const uint32_t options = fullSize ? uint32_t(kSizeFull) : 0u;
  return acquirePooled(t, t.gbufferPool, "G-buffer set", width, height, 0, options, options,
                       [&](uint32_t w, uint32_t h) {
                         auto* set = new GBufferSet;
                         for (int i = 0; i < 5; ++i)
                           set->textures[i] = makeTexture(t.device, kPooledColourFlags,
                                                          i == 4 ? kRg16fFormat : kRgba16fFormat, options, w, h);
                         return set;
                       });
}

PostProcessRing* acquireRing(ContextTargets& t, uint32_t width, uint32_t height, bool fullSize) {
  const uint32_t options = fullSize ? uint32_t(kSizeFull) : 0u;
  return acquirePooled(t, t.ringPool, "post-process ring", width, height, 0, options, options,
                       [&](uint32_t w, uint32_t h) {
                         auto* ring = new PostProcessRing;
                         for (auto& slot : ring->slots)
                           slot = makeTexture(t.device, kRingFlags, kRgba16fFormat, options, w, h);
                         return ring;
                       });
}

void releaseAllTargets(ContextTargets& t) {
  release(t.colourPool);
  release(t.depthPool);
  release(t.gbufferPool);
  release(t.ringPool);
}

void releaseAllTargets(Context& ctx) {
  if (ctx.targets) releaseAllTargets(*ctx.targets);
}

ContextTargets::~ContextTargets() {
  for (auto& e : colourPool) deleteTexture(e.object);
  for (auto& e : depthPool) deleteTexture(e.object);
  for (auto& e : gbufferPool) {
    for (Texture* tex : e.object->textures) deleteTexture(tex);
    deleteTexture(e.object->velocityTiles);
    delete e.object;
  }
  for (auto& e : ringPool) {
    for (Texture* tex : e.object->slots) deleteTexture(tex);
    delete e.object;
  }
}

Texture* nextRingTarget(Context& ctx) {
  if (!ctx.targets || !ctx.targets->ring) return nullptr;
  return ctx.targets->ring->next();
}

// ---------------------------------------------------------------- per-frame lists

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
    release(t->depthPool);
    release(t->ringPool);
    release(t->colourPool);
  }
  t->ring = acquireRing(*t, width, height, fullSize);
  t->depthTarget = acquireDepthTarget(*t, width, height, fullSize);
  ctx.frameDepthTarget = t->depthTarget;

  // 4-5: a fresh G-buffer set and its pass over the region.
  if (releaseAll) release(t->gbufferPool);
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

uint32_t TargetFrameHooks::screenWidth() const { return screen ? screen->width : fallbackWidth; }
uint32_t TargetFrameHooks::screenHeight() const { return screen ? screen->height : fallbackHeight; }

ContextTargets* initContextTargets(Context& ctx, Device* device, Screen* screen, uint32_t width,
                                   uint32_t height) {
  auto* t = new ContextTargets;
  t->device = device;
  t->screen = screen;
  t->hooks.screen = screen;
  t->hooks.fallbackWidth = width;
  t->hooks.fallbackHeight = height;
  if (screen) {
    t->depthFormat = screen->depthFormat ? screen->depthFormat : kDefaultDepthFormat;
    t->screenDepth = screen->depthBuffer;
  }
  ctx.targets = t;
  ctx.hooks = &t->hooks;
  const uint32_t w = t->hooks.screenWidth(), h = t->hooks.screenHeight();
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

// ---------------------------------------------------------------- copy pass

namespace {

struct CopyPrograms {
  std::unique_ptr<ShaderProgram> colour, depth;
  bool colourTried = false, depthTried = false;
  Device* device = nullptr;
};

CopyPrograms& copyPrograms() {
  static CopyPrograms programs;
  return programs;
}

ShaderProgram* copyProgram(Device* device, bool depthVariant) {
  CopyPrograms& p = copyPrograms();
  // A program whose stage objects were detached belongs to a Device that is gone, even
  // when a new Device has the same address.
  auto detached = [](const std::unique_ptr<ShaderProgram>& program) {
    return program && (!program->shaders[4] || !program->shaders[4]->device);
  };
  if (p.device != device || detached(p.colour) || detached(p.depth)) {
    releaseCopyPass();
    p.device = device;
  }
  auto& program = depthVariant ? p.depth : p.colour;
  bool& tried = depthVariant ? p.depthTried : p.colourTried;
  if (!program && !tried) {
    tried = true;
    auto loaded = std::make_unique<ShaderProgram>(device);
    if (loadProgramAuto("copy", EntryPoints::vsps("VS", depthVariant ? "PSDepth" : "PS"), loaded.get()))
      program = std::move(loaded);
    else
      logMessage("Copy pass: failed to load shader copy (%s)\n", depthVariant ? "PSDepth" : "PS");
  }
  return program.get();
}

bool sameShape(const Texture* a, const Texture* b) {
  return a->desc.width == b->desc.width && a->desc.height == b->desc.height && a->desc.depth == b->desc.depth &&
         a->desc.arraySize == b->desc.arraySize && a->desc.mipLevels == b->desc.mipLevels &&
         a->isBuffer() == b->isBuffer();
}

}  // namespace

void releaseCopyPass() {
  CopyPrograms& p = copyPrograms();
  p.colour.reset();
  p.depth.reset();
  p.colourTried = p.depthTried = false;
  p.device = nullptr;
}

void copyPass(Texture* destination, Texture* source, const Viewport& region, const RenderStateDesc& stateDesc,
              bool clear, float scale, bool depthVariant) {
  if (!destination || !source || destination == source) return;
  Device* device = destination->device ? destination->device : gDevice;
  if (!device) return;

  // 1: a destination that cannot be drawn into gets a plain copy of equal resources.
  if (!destination->isRenderTarget()) {
    if (destination->format() == source->format() && sameShape(destination, source))
      copyTexture(device, destination, source);
    return;
  }

  FormatInfo info;
  const bool depthSource = lookupFormat(source->format(), info) && info.depth;
  ShaderProgram* program = copyProgram(device, depthVariant || depthSource);
  if (!program) return;

  // 2: constants in b0.
  {
    const float resolution[2] = {float(region.right - region.left), float(region.bottom - region.top)};
    ConstantWriter(program, "copy", nullptr, 0, MapFailure::Skip)
        .region(regionConstants(source, region))
        .set("gResolution", resolution)
        .set("gScale", scale);
  }

  // 3: state, source in t0, point-wrap sampler in s0.
  program->state = device->stateFor(stateDesc);
  program->setResource(4, 0, source);
  program->setSampler(4, 0, device->samplerFor(SamplerDesc::forMode(0)));

  // 4: the destination alone over the region.
  RenderPass pass;
  pass.colourTargets[0] = destination;
  pass.rect[0] = region.left;
  pass.rect[1] = region.top;
  pass.rect[2] = region.right;
  pass.rect[3] = region.bottom;
  pass.width = destination->width();
  pass.height = destination->height();
  pass.slice = 0;
  pass.clearFlags = clear ? (kClearColour | kClearDepth) : 0;
  pass.depthClear = 1.0f;
  pass.stencilClear = 0;
  bindRenderPass(device, pass);

  // 5: one triangle as a 3-vertex strip, then unbind.
  drawStrip(program, 3);
  program->setResource(4, 0, nullptr);
  unbindRenderTargets(device);
}

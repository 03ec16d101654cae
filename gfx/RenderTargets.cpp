#include "gfx/RenderTargets.h"

#include <cstdio>

#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"

// ---------------------------------------------------------------- region constants

RegionConstants regionConstants(uint32_t sw, uint32_t sh, const PixelRect& r) {
  RegionConstants c;
  if (sw == 0 || sh == 0) return c;
  c.scale[0] = float(r.right - r.left) / float(sw);
  c.scale[1] = float(r.bottom - r.top) / float(sh);
  c.offset[0] = float(r.left) / float(sw);
  c.offset[1] = float(r.top) / float(sh);
  return c;
}

RegionConstants regionConstants(const Texture* source, const PixelRect& region) {
  // Without a Screen there is no frame whose region could be mapped (tools, offscreen
  // checks): every pass reads its whole source.
  if (!gDevice || !gScreen || !source) return RegionConstants{};
  return regionConstants(source->width(), source->height(), region);
}

// ---------------------------------------------------------------- pools

uint32_t TargetPools::screenWidth() const { return screen ? screen->width : fallbackWidth; }
uint32_t TargetPools::screenHeight() const { return screen ? screen->height : fallbackHeight; }

// The size a texture of this size class is made at (the resize list keeps it so).
bool TargetPools::creationSize(uint32_t sizeClass, uint32_t& w, uint32_t& h) const {
  if (sizeClass != 0) {
    const uint32_t div = sizeClass == kSizeHalf ? 2 : sizeClass == kSizeQuarter ? 4 : 1;
    w = screenWidth() / div;
    h = screenHeight() / div;
  }
  return w != 0 && h != 0;
}

void logPoolSizeFailure(const char* what, uint32_t w, uint32_t h) {
  logMessage("Cannot create %s of size %u x %u\n", what, w, h);
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

Texture* PostProcessRing::next() {
  for (int tries = 0; tries < 3; ++tries) {
    Texture* candidate = slots[index];
    index = (index + 1) % 3;
    if (candidate) return candidate;
  }
  return nullptr;
}

Texture* acquireColourTarget(TargetPools& t, uint32_t width, uint32_t height, uint32_t sizeClass,
                             uint32_t formatCode, uint32_t options) {
  sizeClass &= kSizeClassMask;
  const uint32_t keyOptions = (options & ~uint32_t(kSizeClassMask)) | sizeClass;
  return acquirePooled(t, t.colourPool, "colour target", width, height, formatCode, sizeClass, keyOptions,
                       [&](uint32_t w, uint32_t h) {
                         return makeTexture(t.device, kPooledColourFlags, formatCode, keyOptions, w, h);
                       });
}

Texture* acquireDepthTarget(TargetPools& t, uint32_t width, uint32_t height, bool fullSize) {
  const uint32_t options = fullSize ? uint32_t(kSizeFull) : 0u;
  return acquirePooled(t, t.depthPool, "depth target", width, height, 0, options, options,
                       [&](uint32_t w, uint32_t h) {
                         return makeTexture(t.device, kDepthTargetFlags, t.depthFormat, options, w, h);
                       });
}

PostProcessRing* acquireRing(TargetPools& t, uint32_t width, uint32_t height, bool fullSize) {
  const uint32_t options = fullSize ? uint32_t(kSizeFull) : 0u;
  return acquirePooled(t, t.ringPool, "post-process ring", width, height, 0, options, options,
                       [&](uint32_t w, uint32_t h) {
                         auto* ring = new PostProcessRing;
                         for (auto& slot : ring->slots)
                           slot = makeTexture(t.device, kRingFlags, format::RGBA16F, options, w, h);
                         return ring;
                       });
}

void releaseAllTargets(TargetPools& t) {
  releasePool(t.colourPool);
  releasePool(t.depthPool);
  releasePool(t.ringPool);
}

TargetPools::~TargetPools() {
  for (auto& e : colourPool) deleteTexture(e.object);
  for (auto& e : depthPool) deleteTexture(e.object);
  for (auto& e : ringPool) {
    for (Texture* tex : e.object->slots) deleteTexture(tex);
    delete e.object;
  }
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

void copyPass(Texture* destination, Texture* source, const PixelRect& region, const RenderStateDesc& stateDesc,
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

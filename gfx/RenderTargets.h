#pragma once
// Render targets for the drawing layers: pools whose objects are marked free between
// frames and never deleted, the post-process ring, the region constants every image pass
// sets, and the copy pass. What a frame takes from the pools (and the G-buffer set) is the
// scene layer's frame setup (scene/FrameSetup.h).
//
// Pools and their keys (a full-size request stores width and height 0 and is created with
// the full-size class, so it follows window resizes through the Device resize list):
//   colour targets   {format, options + size class, width, height}   flags 0x10009
//   depth targets    {full size, width, height}    flags 0x10211, the pools' depth format
//   post-process rings {full size, width, height}  three 0x10049 textures of format::RGBA16F
// An acquisition returns the first free entry with an equal key (marking it in use) or
// creates one; releaseAllTargets() frees them all again.
#include <cstdint>
#include <memory>
#include <vector>

#include "gfx/ConstantWriter.h"
#include "gfx/Device.h"
#include "gfx/Formats.h"

class Screen;
class ShaderProgram;

// Texture codes used by the pools.
constexpr uint32_t kPooledColourFlags = 0x10009;  // texture, shader resource, render target
constexpr uint32_t kRingFlags = 0x10049;          // the same with unordered access
constexpr uint32_t kDepthTargetFlags = 0x10211;   // texture, shader resource, depth-stencil
constexpr uint32_t kDefaultDepthFormat = format::D24S8;

// A rectangle of pixels of a target: left, top, right, bottom.
struct PixelRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  bool operator==(const PixelRect&) const = default;
};

// The region constants (gfx/ConstantWriter.h) of a region of a source:
// scale = ((r - l) / sw, (b - t) / sh), offset = (l / sw, t / sh); a source of zero size
// gives (1, 1) and (0, 0).
RegionConstants regionConstants(uint32_t sourceWidth, uint32_t sourceHeight, const PixelRect& region);
// From the source texture's size; (1, 1) and (0, 0) without a Device, a Screen or a source.
RegionConstants regionConstants(const Texture* source, const PixelRect& region);

struct PostProcessRing {
  Texture* slots[3] = {};
  uint32_t index = 0;  // the next slot to hand out
  // The next non-empty slot, advancing the index (null when all three are empty).
  Texture* next();
};

template <typename T>
struct PoolEntry {
  uint32_t width = 0;   // 0 for full-size (and other size-class) keys
  uint32_t height = 0;
  uint32_t format = 0;  // colour pool only
  uint32_t options = 0; // colour pool: options + size class; others: 4 when full size
  bool inUse = false;
  T* object = nullptr;
};

struct TargetPools {
  TargetPools() = default;
  ~TargetPools();  // deletes every pooled object
  TargetPools(const TargetPools&) = delete;
  TargetPools& operator=(const TargetPools&) = delete;

  Device* device = nullptr;
  Screen* screen = nullptr;
  uint32_t depthFormat = kDefaultDepthFormat;
  uint32_t fallbackWidth = 0, fallbackHeight = 0;  // the screen size without a Screen

  std::vector<PoolEntry<Texture>> colourPool;
  std::vector<PoolEntry<Texture>> depthPool;
  std::vector<PoolEntry<PostProcessRing>> ringPool;

  // The back-buffer size, or the fallback size without a Screen.
  uint32_t screenWidth() const;
  uint32_t screenHeight() const;
  // The size a target of sizeClass is made at (width and height are kept for class 0);
  // false when that size is empty.
  bool creationSize(uint32_t sizeClass, uint32_t& width, uint32_t& height) const;
};

// Acquisitions. sizeClass 0 uses width and height; 4 full, 8 half, 16 quarter of the
// back buffer (the key then stores 0 x 0). Null when no size can be had.
Texture* acquireColourTarget(TargetPools& targets, uint32_t width, uint32_t height, uint32_t sizeClass,
                             uint32_t formatCode, uint32_t options = 0);
Texture* acquireDepthTarget(TargetPools& targets, uint32_t width, uint32_t height, bool fullSize);
PostProcessRing* acquireRing(TargetPools& targets, uint32_t width, uint32_t height, bool fullSize);

// Clears the in-use flag of every entry of the three pools; the objects stay.
void releaseAllTargets(TargetPools& targets);

// For pools of other objects kept beside these (the scene's G-buffer sets): the same
// bookkeeping and reuse rule.
template <typename T>
void releasePool(std::vector<PoolEntry<T>>& pool) {
  for (auto& e : pool) e.inUse = false;
}
void logPoolSizeFailure(const char* what, uint32_t width, uint32_t height);
// A texture of a pool: no initial data, the flags, format, options and size given.
Texture* makeTexture(Device* device, uint32_t flags, uint32_t format, uint32_t options, uint32_t width,
                     uint32_t height);
// A free entry with an equal key is taken; otherwise make(width, height) makes a new object
// at the key's size (logged and null when that size is empty), entered in the pool in use.
template <typename T, typename Make>
T* acquirePooled(const TargetPools& t, std::vector<PoolEntry<T>>& pool, const char* what, uint32_t width,
                 uint32_t height, uint32_t format, uint32_t sizeClass, uint32_t keyOptions, Make make) {
  const uint32_t kw = sizeClass ? 0 : width, kh = sizeClass ? 0 : height;
  for (auto& e : pool) {
    if (!e.inUse && e.width == kw && e.height == kh && e.format == format && e.options == keyOptions) {
      e.inUse = true;
      return e.object;
    }
  }
  uint32_t w = width, h = height;
  if (!t.creationSize(sizeClass, w, h)) {
    logPoolSizeFailure(what, w, h);
    return nullptr;
  }
  T* object = make(w, h);
  if (!object) return nullptr;
  pool.push_back({kw, kh, format, keyOptions, true, object});
  return object;
}

// The copy pass: draws source into destination over region (program "copy", pixel entry
// "PS", or "PSDepth" for a depth source or when asked). A destination without render-target
// binding gets a plain resource copy when format and size are equal, else nothing.
// scale is gScale: 2 stretches the top-left half of the region over it.
void copyPass(Texture* destination, Texture* source, const PixelRect& region, const RenderStateDesc& state,
              bool clear, float scale = 1.0f, bool depthVariant = false);
// Releases the copy programs (at shutdown, before the Device goes).
void releaseCopyPass();

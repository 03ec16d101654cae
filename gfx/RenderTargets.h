#pragma once
// The render targets of the Context: four pools whose objects are marked free between
// frames and never deleted, the region constants every image pass sets, the copy pass,
// and the per-frame preparation of targets (beginFrame).
//
// Pools and their keys (a full-size request stores width and height 0 and is created with
// the full-size class, so it follows window resizes through the Device resize list):
//   colour targets   {format, options + size class, width, height}   flags 0x10009
//   depth targets    {full size, width, height}    flags 0x10211, the context's depth format
//   G-buffer sets    {full size, width, height}    five 0x10009 textures: four 0x50304, one 0x50302
//   post-process rings {full size, width, height}  three 0x10049 textures of 0x50304
// An acquisition returns the first free entry with an equal key (marking it in use) or
// creates one; releaseAllTargets() (or beginFrame with releaseAll) frees them all again.
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/Context.h"
#include "gfx/ConstantWriter.h"
#include "gfx/Device.h"

class Screen;
class ShaderProgram;

// Texture codes used by the pools.
constexpr uint32_t kPooledColourFlags = 0x10009;  // texture, shader resource, render target
constexpr uint32_t kRingFlags = 0x10049;          // the same with unordered access
constexpr uint32_t kDepthTargetFlags = 0x10211;   // texture, shader resource, depth-stencil
constexpr uint32_t kRgba16fFormat = 0x50304;
constexpr uint32_t kRg16fFormat = 0x50302;
constexpr uint32_t kDefaultDepthFormat = 0x10506;

// The region constants (gfx/ConstantWriter.h) of a region of a source:
// scale = ((r - l) / sw, (b - t) / sh), offset = (l / sw, t / sh); a source of zero size
// gives (1, 1) and (0, 0).
RegionConstants regionConstants(uint32_t sourceWidth, uint32_t sourceHeight, const Viewport& region);
// From the source texture's size; (1, 1) and (0, 0) without a Device, a Screen or a source.
RegionConstants regionConstants(const Texture* source, const Viewport& region);

struct GBufferSet {
  Texture* textures[5] = {};       // 0 albedo, 1 normal, 2 material, 3 emissive, 4 velocity (two channels)
  Texture* velocityTiles = nullptr;  // the sixth place: made by the lighting's velocity pass, owned here
  RenderPass pass;                 // the G-buffer pass of the frame that acquired this set
};

struct PostProcessRing {
  Texture* slots[3] = {};
  uint32_t index = 0;  // the next slot to hand out
  // The next non-empty slot, advancing the index (null when all three are empty).
  Texture* next();
};

// What the Context's beginFrame calls; installed by initContextTargets.
class TargetFrameHooks : public FrameHooks {
 public:
  void beginFrame(Context& ctx, uint32_t width, uint32_t height, bool fullSize, bool releaseAll) override;
  uint32_t screenWidth() const override;
  uint32_t screenHeight() const override;
  Screen* screen = nullptr;
  uint32_t fallbackWidth = 0, fallbackHeight = 0;  // without a Screen
};

struct ContextTargets {
  template <typename T>
  struct Entry {
    uint32_t width = 0;   // 0 for full-size (and other size-class) keys
    uint32_t height = 0;
    uint32_t format = 0;  // colour pool only
    uint32_t options = 0; // colour pool: options + size class; others: 4 when full size
    bool inUse = false;
    T* object = nullptr;
  };

  ContextTargets() = default;
  ~ContextTargets();  // deletes every pooled object
  ContextTargets(const ContextTargets&) = delete;
  ContextTargets& operator=(const ContextTargets&) = delete;

  Device* device = nullptr;
  Screen* screen = nullptr;
  uint32_t depthFormat = kDefaultDepthFormat;
  Texture* screenDepth = nullptr;  // the Screen's depth buffer of this frame

  std::vector<Entry<Texture>> colourPool;
  std::vector<Entry<Texture>> depthPool;
  std::vector<Entry<GBufferSet>> gbufferPool;
  std::vector<Entry<PostProcessRing>> ringPool;

  // This frame's objects (set by beginFrame).
  PostProcessRing* ring = nullptr;
  GBufferSet* gbuffer = nullptr;
  Texture* depthTarget = nullptr;

  TargetFrameHooks hooks;
};

// Creates the Context's targets and hooks and takes the first ring, depth target and
// G-buffer set at the screen size (a full beginFrame). Without a Screen, width and height
// give the size.
ContextTargets* initContextTargets(Context& ctx, Device* device, Screen* screen, uint32_t width = 0,
                                   uint32_t height = 0);
// Deletes the pools and everything in them; also releases the copy pass programs.
void releaseContextTargets(Context& ctx);

// Acquisitions. sizeClass 0 uses width and height; 4 full, 8 half, 16 quarter of the
// back buffer (the key then stores 0 x 0). Null when no size can be had.
Texture* acquireColourTarget(ContextTargets& targets, uint32_t width, uint32_t height, uint32_t sizeClass,
                             uint32_t formatCode, uint32_t options = 0);
Texture* acquireDepthTarget(ContextTargets& targets, uint32_t width, uint32_t height, bool fullSize);
GBufferSet* acquireGBufferSet(ContextTargets& targets, uint32_t width, uint32_t height, bool fullSize);
PostProcessRing* acquireRing(ContextTargets& targets, uint32_t width, uint32_t height, bool fullSize);

// Clears the in-use flag of every entry of the four pools; the objects stay.
void releaseAllTargets(ContextTargets& targets);
void releaseAllTargets(Context& ctx);

// The next non-empty slot of the current post-process ring (null without one).
Texture* nextRingTarget(Context& ctx);

// The G-buffer's "nothing drawn here" values, per texture (65504 is the largest 16-bit
// float): albedo 0, normal (0, 0, 0, 65504), material (65504, 65504, 65504, 0), emissive and
// velocity 0.
extern const float kGBufferClearValues[5][4];
// Clears the Context's five G-buffer textures to those values and its frame depth target to
// depth 1.0 and stencil 0 (whole textures), leaving no target bound.
void clearGBuffer(Context& ctx);

// Per-frame preparation: ring, depth target, fresh cleared G-buffer set and its pass,
// camera defaults, and the per-frame scene lists emptied.
void beginFrame(Context& ctx, uint32_t width, uint32_t height, bool fullSize, bool releaseAll);

// The process-wide per-frame lists (shadow casters, lights, attractors, colliders) live
// with the code that fills them; each registers how to empty itself and beginFrame empties
// them all. Registering the same function again has no effect.
using PerFrameListClear = void (*)();
void registerPerFrameList(PerFrameListClear clear);
void unregisterPerFrameList(PerFrameListClear clear);
void clearPerFrameLists();

// The copy pass: draws source into destination over region (program "copy", pixel entry
// "PS", or "PSDepth" for a depth source or when asked). A destination without render-target
// binding gets a plain resource copy when format and size are equal, else nothing.
// scale is gScale: 2 stretches the top-left half of the region over it.
void copyPass(Texture* destination, Texture* source, const Viewport& region, const RenderStateDesc& state,
              bool clear, float scale = 1.0f, bool depthVariant = false);
// Releases the copy programs (at shutdown, before the Device goes).
void releaseCopyPass();

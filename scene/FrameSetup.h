#pragma once
// The Context's frame setup: which pooled targets a frame draws into, the G-buffer set and
// its clear values, the camera defaults and the per-frame scene lists. The pools themselves,
// the ring and the copy pass are the device layer's (gfx/RenderTargets.h).
//
// The G-buffer sets are pooled beside the device layer's pools, with their reuse rule:
//   G-buffer sets    {full size, width, height}    five 0x10009 textures: four format::RGBA16F, one RG16F
// Every beginFrame takes a ring, a depth target and a fresh cleared G-buffer set; with
// releaseAll it frees everything pooled first.
#include <cstdint>
#include <vector>

#include "engine/Context.h"
#include "gfx/RenderTargets.h"

class Screen;

// The device layer's rectangle for the Context's region.
inline PixelRect pixelRect(const Viewport& v) { return PixelRect{v.left, v.top, v.right, v.bottom}; }
// The region constants and the copy pass over a Context's region.
inline RegionConstants regionConstants(uint32_t sourceWidth, uint32_t sourceHeight, const Viewport& region) {
  return regionConstants(sourceWidth, sourceHeight, pixelRect(region));
}
inline RegionConstants regionConstants(const Texture* source, const Viewport& region) {
  return regionConstants(source, pixelRect(region));
}
inline void copyPass(Texture* destination, Texture* source, const Viewport& region, const RenderStateDesc& state,
                     bool clear, float scale = 1.0f, bool depthVariant = false) {
  copyPass(destination, source, pixelRect(region), state, clear, scale, depthVariant);
}

struct GBufferSet {
  Texture* textures[5] = {};       // 0 albedo, 1 normal, 2 material, 3 emissive, 4 velocity (two channels)
  Texture* velocityTiles = nullptr;  // the sixth place: made by the lighting's velocity pass, owned here
  RenderPass pass;                 // the G-buffer pass of the frame that acquired this set
};

struct ContextTargets;

// What the Context's beginFrame calls; installed by initContextTargets.
class TargetFrameHooks : public FrameHooks {
 public:
  void beginFrame(Context& ctx, uint32_t width, uint32_t height, bool fullSize, bool releaseAll) override;
  uint32_t screenWidth() const override;
  uint32_t screenHeight() const override;
  const ContextTargets* targets = nullptr;
};

// The device layer's pools plus the G-buffer sets, and what the current frame took from them.
struct ContextTargets : TargetPools {
  ContextTargets() = default;
  ~ContextTargets();  // deletes the G-buffer sets (the pools delete the rest)

  std::vector<PoolEntry<GBufferSet>> gbufferPool;
  Texture* screenDepth = nullptr;  // the Screen's depth buffer of this frame

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

GBufferSet* acquireGBufferSet(ContextTargets& targets, uint32_t width, uint32_t height, bool fullSize);

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

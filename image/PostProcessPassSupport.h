#pragma once
// Inside the post-process manager: texture codes, target helpers and the description
// of one full-screen step, shared by the manager's set-up and its passes.
#include <cstdint>

#include "gfx/ConstantWriter.h"
#include "gfx/Device.h"
#include "gfx/Formats.h"
#include "gfx/FatalError.h"
#include "gfx/ShaderProgram.h"
#include "gfx/Texture.h"
#include "image/PostProcessManager.h"
#include "scene/FrameSetup.h"

namespace postpass {

constexpr uint32_t kTargetFlags = 0x10009;     // texture, shader resource, render target
constexpr uint32_t kUavTargetFlags = 0x10049;  // the same with unordered access
constexpr uint32_t kImmutableFlags = 0x10101;  // texture, shader resource, immutable

constexpr uint32_t kDOFBlock = 16;  // the edge in pixels of the blocks of dof.hlsl's TileVS
// The widest circle, in pixels of the picture, of a block that the depth of field blurs with
// its narrow programs: four taps a direction, a pixel apart at most.
constexpr float kDOFNarrowRadius = 4.0f;
constexpr uint32_t kBloomBlock = 16;  // and of bloomBlur.hlsl's
constexpr uint32_t kFXAABlock = 16;   // and of fxaa.hlsl's

inline Texture* makeTarget(Device* device, uint32_t flags, uint32_t format, uint32_t options, uint32_t w,
                           uint32_t h, const void* data = nullptr) {
  TextureDesc d;
  d.flags = flags;
  d.format = format;
  d.options = options;
  d.width = w < 1 ? 1 : w;
  d.height = h < 1 ? 1 : h;
  return createTexture(device, d, data);
}

inline Viewport whole(const Texture* t) {
  return Viewport{0, 0, int32_t(t ? t->width() : 0), int32_t(t ? t->height() : 0)};
}
inline float viewportWidth(const Viewport& vp) { return float(vp.right - vp.left); }
inline float viewportHeight(const Viewport& vp) { return float(vp.bottom - vp.top); }

}  // namespace postpass

// One full-screen step: targets, rectangle, textures with their samplers.
struct PostProcessManager::Draw {
  ShaderProgram* program = nullptr;
  Texture* targets[2] = {};
  Viewport rect;
  Texture* textures[3] = {};
  Sampler* samplers[3] = {};
  uint32_t slots = 0;
  uint32_t vertices = 3;
  bool keep = false;  // a pass over part of a target leaves the rest as it was instead of clearing it

  Draw(const PassProgram& p, Texture* target, const Viewport& r) : program(p.get()), rect(r) { targets[0] = target; }
  Draw& tex(Texture* t, Sampler* s) {
    textures[slots] = t;
    samplers[slots] = s;
    ++slots;
    return *this;
  }
};

// Device-layer pieces that do not touch the backend: descriptions, caches, lists, passes.
#include "gfx/Device.h"

#include <cstring>

#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/Hash.h"
#include "gfx/InputLayout.h"

Device* gDevice = nullptr;
RenderPass gCurrentRenderPass;

RenderStateDesc RenderStateDesc::zeroed() {
  RenderStateDesc d;
  std::memset(&d, 0, sizeof(d));
  return d;
}

RenderStateDesc RenderStateDesc::defaults() {
  RenderStateDesc d = zeroed();
  d.flags = kDepthTest | kDepthWrite | kCullBack;
  d.depthFunc = D3D11_COMPARISON_LESS_EQUAL;
  d.stencilReadMask = 0xFF;
  d.stencilWriteMask = 0xFF;
  d.frontFace[3] = 1;
  d.backFace[3] = 1;
  return d;
}

TargetBlend effectiveBlend(const RenderStateDesc& desc, uint32_t target) {
  TargetBlend b;
  if (target >= 5) return b;
  uint32_t source = (desc.flags & kIndependentBlend) ? target : 0;
  uint16_t colour = desc.colourBlend[source];
  uint16_t alpha = desc.alphaBlend[source];
  b.writeMask = uint8_t((desc.disabledChannels[source] ^ 15) & 15);
  if (colour == 0 && alpha == 0) return b;
  if (colour == 0) colour = kBlendOpaqueWord;
  if (alpha == 0) alpha = kBlendAdditiveWord;
  b.enable = true;
  b.colour = colour;
  b.alpha = alpha;
  return b;
}

SamplerDesc SamplerDesc::zeroed() {
  SamplerDesc d;
  std::memset(&d, 0, sizeof(d));
  return d;
}

SamplerDesc SamplerDesc::forMode(uint32_t mode) {
  SamplerDesc d = zeroed();
  d.mode = mode;
  d.minLod = -1e-37f;
  d.maxLod = 1e37f;
  d.maxAnisotropy = 8;
  d.comparisonFunc = 1;
  return d;
}

RenderState* Device::stateFor(const RenderStateDesc& desc) {
  uint32_t hash = descHash(desc);
  auto& bucket = states_[hash];
  for (RenderState* s : bucket)
    if (std::memcmp(&s->desc, &desc, sizeof(desc)) == 0) return s;
  // A second description with the same hash gets its own object: sharing would silently
  // draw with the wrong state.
  auto* s = new RenderState;
  s->desc = desc;
  s->hash = hash;
  bucket.push_back(s);
  counters_.renderStates++;
  return s;
}

static const uint32_t kDefaultLayoutCodes[6][6] = {
    {1, 2, 3, 16, 8 | (4u << 16), 0},  // COLOR0 as four 32-bit floats
    {1, 2, 3, 16, 0, 0},
    {1, 2, 16, 0, 0, 0},
    {1, 2, 0, 0, 0, 0},
    {1, 0, 0, 0, 0, 0},
    {1, 8, 0, 0, 0, 0},
};

const uint32_t* Device::defaultInputLayoutCodes(uint32_t index) {
  return index < 6 ? kDefaultLayoutCodes[index] : nullptr;
}

InputLayout* Device::inputLayout(const uint32_t* codes) { return createInputLayout(this, codes); }

InputLayout* Device::defaultInputLayout(uint32_t index) {
  if (index >= 6) return nullptr;
  if (!defaultLayouts_[index]) defaultLayouts_[index] = createInputLayout(this, kDefaultLayoutCodes[index]);
  return defaultLayouts_[index];
}

void Device::resizeTargets(uint32_t width, uint32_t height) {
  // Copy: resizing never changes the list, but be safe against it anyway.
  std::vector<ResizeEntry> entries = resizeList;
  for (const ResizeEntry& e : entries) {
    uint32_t w = width, h = height;
    if (e.sizeClass == 8) {
      w /= 2;
      h /= 2;
    } else if (e.sizeClass == 16) {
      w /= 4;
      h /= 4;
    }
    // A target never becomes empty: Vulkan (and Direct3D) reject zero-sized resources.
    resizeTexture(e.texture, w ? w : 1, h ? h : 1);
  }
}

void bindRenderPass(Device* device, const RenderPass& pass) {
  gCurrentRenderPass = pass;
  DeviceContext* ctx = device->context();
  Texture* targets[5] = {};
  uint32_t count = 0;
  while (count < 5 && pass.colourTargets[count]) {
    targets[count] = pass.colourTargets[count];
    ++count;
  }
  ctx->setRenderTargets(count, targets, pass.depthTarget, pass.slice);
  ScissorRect rect{pass.rect[0], pass.rect[1], pass.rect[2], pass.rect[3]};
  ctx->setScissorRects(1, &rect);
  D3DViewport vp;
  vp.x = float(pass.rect[0]);
  vp.y = float(pass.rect[1]);
  vp.width = float(pass.rect[2] - pass.rect[0]);
  vp.height = float(pass.rect[3] - pass.rect[1]);
  ctx->setViewports(1, &vp);
  if (pass.clearFlags & kClearColour)
    for (uint32_t i = 0; i < count; ++i) ctx->clearRenderTargetView(targets[i], pass.colourClear, pass.slice);
  if ((pass.clearFlags & kClearDepth) && pass.depthTarget)
    ctx->clearDepthStencilView(pass.depthTarget, D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL, pass.depthClear,
                               pass.stencilClear);
}

void clearTexture(Device* device, Texture* texture, const float value[4]) {
  if (!device || !texture) return;
  if (texture->isDepthTarget())
    device->context()->clearDepthStencilView(texture, D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL, value[0], 0);
  else if (texture->isRenderTarget())
    for (uint32_t s = 0; s < (texture->isCube() ? 6u : 1u); ++s)
      device->context()->clearRenderTargetView(texture, value, s);
}

bool copyTexture(Device* device, Texture* destination, Texture* source) {
  if (!destination || !source) return true;
  if (destination->isRenderTarget()) return false;
  if (destination->format() == source->format() && device) device->context()->copyResource(destination, source);
  return true;
}

// The immediate context on Vulkan, transfers: copies, maps, updates and clears.
#include "gfx/vulkan/VkContextState.h"

using namespace gfxbackend;

namespace gfxbackend {
namespace {

// The stencil of a depth-stencil copy into a staging buffer, one byte a texel in a buffer of
// its own, in the same order as the depth regions; merged when the copy is mapped.
void copyStencil(ContextImpl& c, VkCommandBuffer cmd, Resource& s, Resource& d,
                 std::vector<VkBufferImageCopy>& regions) {
  VkDeviceSize bytes = 0;
  for (const VkBufferImageCopy& r : regions) bytes += VkDeviceSize(r.imageExtent.width) * r.imageExtent.height;
  DeviceImpl& dev = *c.d;
  if (d.stencilSize < bytes) {
    if (d.stencilBuffer) {
      VkDevice device = dev.device;
      VkBuffer old = d.stencilBuffer;
      Allocation oldAlloc = d.stencilAlloc;
      DeviceImpl* owner = c.d;
      dev.deferDelete([device, old, oldAlloc, owner] {
        vkDestroyBuffer(device, old, nullptr);
        owner->release(oldAlloc);
      });
    }
    VkBufferCreateInfo bi{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
    bi.size = bytes;
    bi.usage = VK_BUFFER_USAGE_TRANSFER_DST_BIT;
    if (vkCreateBuffer(dev.device, &bi, nullptr, &d.stencilBuffer) != VK_SUCCESS) fatalError("Vulkan: buffer creation failed");
    dev.counters->buffers++;
    VkMemoryRequirements req;
    vkGetBufferMemoryRequirements(dev.device, d.stencilBuffer, &req);
    d.stencilAlloc = dev.allocate(req, MemoryUse::Readback, false);
    vkBindBufferMemory(dev.device, d.stencilBuffer, d.stencilAlloc.memory, d.stencilAlloc.offset);
    d.stencilSize = bytes;
  }
  VkDeviceSize at = 0;
  for (VkBufferImageCopy& r : regions) {
    r.bufferOffset = at;
    r.imageSubresource.aspectMask = VK_IMAGE_ASPECT_STENCIL_BIT;
    at += VkDeviceSize(r.imageExtent.width) * r.imageExtent.height;
  }
  vkCmdCopyImageToBuffer(cmd, s.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, d.stencilBuffer, uint32_t(regions.size()),
                         regions.data());
  d.repackFrom = s.format;
}

// Direct3D's 24/8 layout from the copied depth (unorm or float) and stencil.
void mergeStencil(Resource& r) {
  if (r.repackFrom == VK_FORMAT_UNDEFINED || !r.stencilAlloc.mapped) return;
  const uint8_t* stencil = r.stencilAlloc.mapped;
  VkDeviceSize at = 0;
  for (const Resource::Sub& s : r.subs) {
    const size_t texels = size_t(s.width) * s.height;
    if (at + texels > r.stencilSize) break;
    for (size_t i = 0; i < texels; ++i) {
      uint32_t word;
      std::memcpy(&word, r.mapped + s.offset + i * 4, 4);
      uint32_t depth24 = word & 0xFFFFFF;
      if (r.repackFrom == VK_FORMAT_D32_SFLOAT_S8_UINT) {
        float f;
        std::memcpy(&f, &word, 4);
        depth24 = uint32_t(std::clamp(f, 0.0f, 1.0f) * 16777215.0f + 0.5f);
      }
      word = depth24 | (uint32_t(stencil[at + i]) << 24);
      std::memcpy(r.mapped + s.offset + i * 4, &word, 4);
    }
    at += texels;
  }
  r.repackFrom = VK_FORMAT_UNDEFINED;
}

}  // namespace
}  // namespace gfxbackend

void DeviceContext::copyResource(Texture* dst, Texture* src) {
  ContextImpl& c = *impl_;
  if (!dst || !src || !dst->resource || !src->resource || dst == src) return;
  c.endRendering();
  Resource& d = *dst->resource;
  Resource& s = *src->resource;
  // A dynamic source copies from its latest ring copy; putting it back into the ring may
  // submit (a full ring), so it comes before the command buffer is taken.
  VkBuffer srcBuffer = s.buffer;
  VkDeviceSize srcOffset = 0;
  const bool fromRing = !s.isImage && !d.isImage && s.dynamic && !s.copyOnUnmap;
  if (fromRing) {
    ensureRing(c, s);
    srcBuffer = s.ringBuffer;
    srcOffset = s.ringOffset;
  }
  // Dynamic buffers that live in the upload ring have no GPU buffer to copy into; an image
  // whose format refused copies cannot be a source.
  if ((!d.isImage && !d.buffer) || (!s.isImage && !s.buffer && !fromRing) ||
      (s.isImage && !(s.usage & VK_IMAGE_USAGE_TRANSFER_SRC_BIT)))
    return;
  VkCommandBuffer cmd = c.d->cmd();
  BarrierBatch& batch = c.d->batch;
  if (s.isImage && d.isImage) {
    transition(*c.d, cmd, s, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, false, &batch);
    transition(*c.d, cmd, d, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, true, &batch);
    batch.flush(*c.d, cmd);
    std::vector<VkImageCopy>& regions = c.imageCopies;
    regions.clear();
    uint32_t mips = std::min(s.mipLevels, d.mipLevels);
    VkImageAspectFlags aspect = s.aspect;
    for (uint32_t m = 0; m < mips; ++m) {
      VkImageCopy r{};
      r.srcSubresource = {aspect, m, 0, std::min(s.layers, d.layers)};
      r.dstSubresource = r.srcSubresource;
      r.extent = {std::max(std::min(s.extent.width, d.extent.width) >> m, 1u),
                  std::max(std::min(s.extent.height, d.extent.height) >> m, 1u),
                  std::max(std::min(s.extent.depth, d.extent.depth) >> m, 1u)};
      regions.push_back(r);
    }
    vkCmdCopyImage(cmd, s.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, d.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                   uint32_t(regions.size()), regions.data());
  } else if (s.isImage && !d.isImage) {
    transition(*c.d, cmd, s, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, false, &batch);
    bufferBarrier(*c.d, cmd, d, true, &batch);
    batch.flush(*c.d, cmd);
    std::vector<VkBufferImageCopy>& regions = c.bufferImageCopies;
    regions.clear();
    uint32_t i = 0;
    VkImageAspectFlags aspect = (s.aspect & VK_IMAGE_ASPECT_DEPTH_BIT) ? VkImageAspectFlags(VK_IMAGE_ASPECT_DEPTH_BIT) : s.aspect;
    for (uint32_t layer = 0; layer < s.layers; ++layer)
      for (uint32_t m = 0; m < s.mipLevels; ++m, ++i) {
        if (i >= d.subs.size()) break;
        VkBufferImageCopy r{};
        r.bufferOffset = d.subs[i].offset;
        r.imageSubresource = {aspect, m, layer, 1};
        r.imageExtent = {std::max(s.extent.width >> m, 1u), std::max(s.extent.height >> m, 1u),
                         std::max(s.extent.depth >> m, 1u)};
        regions.push_back(r);
      }
    if (!regions.empty())
      vkCmdCopyImageToBuffer(cmd, s.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, d.buffer, uint32_t(regions.size()),
                             regions.data());
    if ((s.aspect & VK_IMAGE_ASPECT_STENCIL_BIT) && !regions.empty()) copyStencil(c, cmd, s, d, regions);
    d.written = true;
    trackingChanged();
  } else if (!s.isImage && d.isImage) {
    bufferBarrier(*c.d, cmd, s, false, &batch);
    transition(*c.d, cmd, d, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, true, &batch);
    batch.flush(*c.d, cmd);
    std::vector<VkBufferImageCopy>& regions = c.bufferImageCopies;
    regions.clear();
    uint32_t i = 0;
    for (uint32_t layer = 0; layer < d.layers; ++layer)
      for (uint32_t m = 0; m < d.mipLevels; ++m, ++i) {
        if (i >= s.subs.size()) break;
        VkBufferImageCopy r{};
        r.bufferOffset = s.subs[i].offset;
        r.imageSubresource = {(d.aspect & VK_IMAGE_ASPECT_DEPTH_BIT) ? VkImageAspectFlags(VK_IMAGE_ASPECT_DEPTH_BIT) : d.aspect, m, layer,
                              1};
        r.imageExtent = {std::max(d.extent.width >> m, 1u), std::max(d.extent.height >> m, 1u),
                         std::max(d.extent.depth >> m, 1u)};
        regions.push_back(r);
      }
    if (!regions.empty())
      vkCmdCopyBufferToImage(cmd, s.buffer, d.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, uint32_t(regions.size()),
                             regions.data());
  } else {
    // A dynamic destination keeps its CPU copy: the GPU copy wins until the next map
    // (dynamic destinations are not a Direct3D use either).
    if (!fromRing) bufferBarrier(*c.d, cmd, s, false, &batch);
    bufferBarrier(*c.d, cmd, d, true, &batch);
    batch.flush(*c.d, cmd);
    VkBufferCopy r{srcOffset, 0, std::min(s.size, d.size)};
    vkCmdCopyBuffer(cmd, srcBuffer, d.buffer, 1, &r);
  }
}

bool DeviceContext::map(Texture* t, uint32_t subresource, D3DMap type, MappedSubresource& out) {
  ContextImpl& c = *impl_;
  out = MappedSubresource{};
  if (!t || !t->resource) return false;
  Resource& r = *t->resource;
  if (r.hostVisible) {
    if (type == D3D11_MAP_WRITE_DISCARD || type == D3D11_MAP_WRITE_NO_OVERWRITE) return false;
    if (r.written) {
      // A fence only orders device accesses: the GPU's writes reach the host through a
      // barrier into the host stage.
      c.endRendering();
      VkMemoryBarrier b{VK_STRUCTURE_TYPE_MEMORY_BARRIER, nullptr, r.writeAccess ? r.writeAccess : VkAccessFlags(VK_ACCESS_MEMORY_WRITE_BIT),
                        VK_ACCESS_HOST_READ_BIT};
      vkCmdPipelineBarrier(c.d->cmd(), r.writeStages ? r.writeStages : VkPipelineStageFlags(VK_PIPELINE_STAGE_ALL_COMMANDS_BIT),
                           VK_PIPELINE_STAGE_HOST_BIT, 0, 1, &b, 0, nullptr, 0, nullptr);
      c.d->counters->barriers++;
    }
    c.d->submit(true);  // the GPU's copies into it must have landed
    r.written = false;
    trackingChanged();
    mergeStencil(r);
    if (r.subs.empty()) {
      out.data = r.mapped;
      out.rowPitch = out.depthPitch = uint32_t(r.size);
      return true;
    }
    if (subresource >= r.subs.size()) return false;
    const auto& s = r.subs[subresource];
    out.data = r.mapped + s.offset;
    out.rowPitch = s.rowPitch;
    out.depthPitch = s.slicePitch;
    return true;
  }
  if (r.isImage && t->usage() == kUsageDynamic && type == D3D11_MAP_WRITE_DISCARD) {
    // Written on the CPU, uploaded at unmap like UpdateSubresource.
    uint32_t mip = subresource % r.mipLevels;
    if (subresource / r.mipLevels >= r.layers) return false;
    SubresourceLayout l = subresourceLayout(t->format(), t->desc.bitsPerPixel, std::max(r.extent.width >> mip, 1u),
                                            t->desc.height ? std::max(r.extent.height >> mip, 1u) : 0,
                                            t->desc.depth ? std::max(r.extent.depth >> mip, 1u) : 0);
    r.shadow.assign(l.size(), 0);
    out.data = r.shadow.data();
    out.rowPitch = l.rowPitch;
    out.depthPitch = l.slicePitch;
    return true;
  }
  if (r.dynamic && !r.isImage && (type == D3D11_MAP_WRITE_DISCARD || type == D3D11_MAP_WRITE_NO_OVERWRITE)) {
#ifndef NDEBUG
    // A discarding map hands out memory whose contents are undefined. The last draw's
    // constants would still be here, so a pass that forgets one would work by luck; debug
    // builds fill the memory with NaNs (-1 as integers) so that such a pass shows in tests.
    if (type == D3D11_MAP_WRITE_DISCARD && (t->flags() & kBindConstantBuffer))
      std::fill(r.shadow.begin(), r.shadow.end(), uint8_t(0xFF));
#endif
    out.data = r.shadow.data();
    out.rowPitch = out.depthPitch = uint32_t(r.size);
    return true;
  }
  return false;
}

void DeviceContext::unmap(Texture* t, uint32_t subresource) {
  (void)subresource;
  ContextImpl& c = *impl_;
  if (!t || !t->resource) return;
  Resource& r = *t->resource;
  if (r.isImage && t->usage() == kUsageDynamic && !r.shadow.empty()) {
    std::vector<uint8_t> pixels;
    pixels.swap(r.shadow);
    updateSubresource(t, subresource, pixels.data(), 0, 0);
    pixels.swap(r.shadow);  // keep the memory for the next map
    return;
  }
  if (!r.dynamic) return;
  r.ringEpoch = UINT64_MAX;
  ensureRing(c, r);
  if (r.copyOnUnmap) {
    c.endRendering();
    VkCommandBuffer cmd = c.d->cmd();
    bufferBarrier(*c.d, cmd, r, true);
    VkBufferCopy region{r.ringOffset, 0, r.size};
    vkCmdCopyBuffer(cmd, r.ringBuffer, r.buffer, 1, &region);
    r.written = true;
    trackingChanged();
  }
}

void DeviceContext::updateSubresource(Texture* t, uint32_t subresource, const void* data, uint32_t rowPitch,
                                      uint32_t depthPitch) {
  ContextImpl& c = *impl_;
  if (!t || !t->resource || !data) return;
  Resource& r = *t->resource;
  if (r.hostVisible) return;
  if (!r.isImage) {
    if (r.dynamic) {
      std::memcpy(r.shadow.data(), data, size_t(r.size));
      unmap(t, 0);
      return;
    }
    c.endRendering();
    Staging s = c.d->staging(r.size, 16);
    std::memcpy(s.ptr, data, size_t(r.size));
    VkCommandBuffer cmd = c.d->cmd();
    bufferBarrier(*c.d, cmd, r, true);
    VkBufferCopy region{s.offset, 0, r.size};
    vkCmdCopyBuffer(cmd, s.buffer, r.buffer, 1, &region);
    return;
  }
  uint32_t mip = subresource % r.mipLevels, layer = subresource / r.mipLevels;
  if (layer >= r.layers) return;
  uint32_t w = std::max(r.extent.width >> mip, 1u), h = std::max(r.extent.height >> mip, 1u),
           dd = std::max(r.extent.depth >> mip, 1u);
  SubresourceLayout l = subresourceLayout(t->format(), t->desc.bitsPerPixel, w, t->desc.height ? h : 0,
                                          t->desc.depth ? dd : 0);
  if (rowPitch == 0) rowPitch = l.rowPitch;
  if (depthPitch == 0) depthPitch = rowPitch * l.rows;
  c.endRendering();
  Staging s = c.d->staging(l.size(), 16);
  const auto* src = static_cast<const uint8_t*>(data);
  for (uint32_t z = 0; z < l.depth; ++z)
    for (uint32_t y = 0; y < l.rows; ++y)
      std::memcpy(s.ptr + size_t(z) * l.slicePitch + size_t(y) * l.rowPitch,
                  src + size_t(z) * depthPitch + size_t(y) * rowPitch, l.rowPitch);
  VkCommandBuffer cmd = c.d->cmd();
  transition(*c.d, cmd, r, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, true);
  FormatInfo info;
  lookupFormat(t->format(), info);
  VkBufferImageCopy region{};
  region.bufferOffset = s.offset;
  region.bufferRowLength = info.blockCompressed ? ((w + 3) / 4) * 4 : 0;
  region.bufferImageHeight = info.blockCompressed ? l.rows * 4 : 0;
  region.imageSubresource = {(r.aspect & VK_IMAGE_ASPECT_DEPTH_BIT) ? VkImageAspectFlags(VK_IMAGE_ASPECT_DEPTH_BIT) : r.aspect, mip, layer, 1};
  region.imageExtent = {w, h, dd};
  vkCmdCopyBufferToImage(cmd, s.buffer, r.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
}

namespace {
bool isIntegerFormat(VkFormat f) {
  switch (f) {
    case VK_FORMAT_R16_SINT:
    case VK_FORMAT_R16G16_SINT:
    case VK_FORMAT_R16G16B16A16_SINT:
    case VK_FORMAT_R32_SINT:
    case VK_FORMAT_R32G32_SINT:
    case VK_FORMAT_R32G32B32A32_SINT:
    case VK_FORMAT_R8G8B8A8_SINT:
    case VK_FORMAT_R8_UINT:
    case VK_FORMAT_R8G8_UINT:
    case VK_FORMAT_R16_UINT:
    case VK_FORMAT_R16G16_UINT:
    case VK_FORMAT_R16G16B16A16_UINT:
    case VK_FORMAT_R32_UINT:
    case VK_FORMAT_R32G32_UINT:
    case VK_FORMAT_R32G32B32A32_UINT:
    case VK_FORMAT_R8G8B8A8_UINT: return true;
    default: return false;
  }
}

void clearImage(ContextImpl& c, Resource& r, const VkClearColorValue& v, uint32_t layer, uint32_t layerCount) {
  c.endRendering();
  VkCommandBuffer cmd = c.d->cmd();
  transition(*c.d, cmd, r, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, true);
  VkImageSubresourceRange range{VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, layer, layerCount};
  vkCmdClearColorImage(cmd, r.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &v, 1, &range);
}
}  // namespace

void DeviceContext::clearRenderTargetView(Texture* target, const float colour[4], uint32_t slice) {
  if (!target || !target->resource || !target->resource->isImage) return;
  Resource& r = *target->resource;
  if (r.aspect != VK_IMAGE_ASPECT_COLOR_BIT) return;
  VkClearColorValue v{};
  if (isIntegerFormat(r.format))
    for (int i = 0; i < 4; ++i) v.int32[i] = int32_t(colour[i]);
  else
    for (int i = 0; i < 4; ++i) v.float32[i] = colour[i];
  clearImage(*impl_, r, v, std::min(slice, r.layers - 1), 1);
}

void DeviceContext::clearDepthStencilView(Texture* depth, uint32_t flags, float depthValue, uint8_t stencil) {
  ContextImpl& c = *impl_;
  if (!depth || !depth->resource || !depth->resource->isImage) return;
  Resource& r = *depth->resource;
  VkImageAspectFlags aspect = 0;
  if (flags & D3D11_CLEAR_DEPTH) aspect |= VK_IMAGE_ASPECT_DEPTH_BIT;
  if (flags & D3D11_CLEAR_STENCIL) aspect |= r.aspect & VK_IMAGE_ASPECT_STENCIL_BIT;
  aspect &= r.aspect;
  if (!aspect) return;
  c.endRendering();
  VkCommandBuffer cmd = c.d->cmd();
  transition(*c.d, cmd, r, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, true);
  VkClearDepthStencilValue v{std::clamp(depthValue, 0.0f, 1.0f), stencil};
  VkImageSubresourceRange range{aspect, 0, VK_REMAINING_MIP_LEVELS, 0, VK_REMAINING_ARRAY_LAYERS};
  vkCmdClearDepthStencilImage(cmd, r.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &v, 1, &range);
}

namespace {

float halfToFloat(uint32_t h) {
  const uint32_t sign = (h >> 15) & 1, exponent = (h >> 10) & 31, mantissa = h & 1023;
  float v;
  if (exponent == 0) v = std::ldexp(float(mantissa), -24);
  else if (exponent == 31) v = mantissa ? std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::infinity();
  else v = std::ldexp(float(mantissa | 1024), int(exponent) - 25);
  return sign ? -v : v;
}

// The clear value that writes the lowest bits of each of `values` into the channels of
// `format` unchanged, as Direct3D's integer clear of any view does. False for formats it does
// not know (sRGB among them: its encoding is not a plain division).
bool bitCopyClear(VkFormat format, const uint32_t values[4], VkClearColorValue& out) {
  enum Kind { Unorm, Snorm, Float, Uint, Sint };
  Kind kind;
  uint32_t bits;
  switch (format) {
    case VK_FORMAT_R8_UNORM: case VK_FORMAT_R8G8_UNORM: case VK_FORMAT_R8G8B8A8_UNORM: case VK_FORMAT_B8G8R8A8_UNORM:
      kind = Unorm, bits = 8; break;
    case VK_FORMAT_R16_UNORM: case VK_FORMAT_R16G16_UNORM: case VK_FORMAT_R16G16B16A16_UNORM:
      kind = Unorm, bits = 16; break;
    case VK_FORMAT_R8G8B8A8_SNORM: kind = Snorm, bits = 8; break;
    case VK_FORMAT_R16_SNORM: case VK_FORMAT_R16G16_SNORM: case VK_FORMAT_R16G16B16A16_SNORM:
      kind = Snorm, bits = 16; break;
    case VK_FORMAT_R16_SFLOAT: case VK_FORMAT_R16G16_SFLOAT: case VK_FORMAT_R16G16B16A16_SFLOAT:
      kind = Float, bits = 16; break;
    case VK_FORMAT_R32_SFLOAT: case VK_FORMAT_R32G32_SFLOAT: case VK_FORMAT_R32G32B32A32_SFLOAT:
      kind = Float, bits = 32; break;
    case VK_FORMAT_R8_UINT: case VK_FORMAT_R8G8B8A8_UINT: kind = Uint, bits = 8; break;
    case VK_FORMAT_R16_UINT: case VK_FORMAT_R16G16_UINT: case VK_FORMAT_R16G16B16A16_UINT: kind = Uint, bits = 16; break;
    case VK_FORMAT_R32_UINT: case VK_FORMAT_R32G32_UINT: case VK_FORMAT_R32G32B32A32_UINT: kind = Uint, bits = 32; break;
    case VK_FORMAT_R8G8B8A8_SINT: kind = Sint, bits = 8; break;
    case VK_FORMAT_R16_SINT: case VK_FORMAT_R16G16_SINT: case VK_FORMAT_R16G16B16A16_SINT: kind = Sint, bits = 16; break;
    case VK_FORMAT_R32_SINT: case VK_FORMAT_R32G32_SINT: case VK_FORMAT_R32G32B32A32_SINT: kind = Sint, bits = 32; break;
    default: return false;
  }
  const uint32_t mask = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
  for (int i = 0; i < 4; ++i) {
    const uint32_t v = values[i] & mask;
    const int32_t signedValue = bits == 32 ? int32_t(v) : (v >> (bits - 1)) ? int32_t(v) - int32_t(1u << bits) : int32_t(v);
    switch (kind) {
      case Unorm: out.float32[i] = float(v) / float(mask); break;
      case Snorm: out.float32[i] = std::max(-1.0f, float(signedValue) / float(mask >> 1)); break;
      case Float:
        if (bits == 32) std::memcpy(&out.float32[i], &v, 4);
        else out.float32[i] = halfToFloat(v);
        break;
      case Uint: out.uint32[i] = v; break;
      case Sint: out.int32[i] = signedValue; break;
    }
  }
  return true;
}

}  // namespace

void DeviceContext::clearUnorderedAccessViewUint(Texture* t, const uint32_t values[4]) {
  ContextImpl& c = *impl_;
  if (!t || !t->resource) return;
  Resource& r = *t->resource;
  if (r.isImage) {
    VkClearColorValue v{};
    if (!bitCopyClear(r.viewFormat, values, v)) {
      if (isIntegerFormat(r.format))
        for (int i = 0; i < 4; ++i) v.uint32[i] = values[i];
      else
        for (int i = 0; i < 4; ++i) v.float32[i] = float(values[i]);
    }
    clearImage(c, r, v, 0, VK_REMAINING_ARRAY_LAYERS);
    return;
  }
  if (!r.buffer) return;
  c.endRendering();
  VkCommandBuffer cmd = c.d->cmd();
  bufferBarrier(*c.d, cmd, r, true);
  if (r.size >= 4) vkCmdFillBuffer(cmd, r.buffer, 0, r.size / 4 * 4, values[0]);
}

void DeviceContext::clearUnorderedAccessViewFloat(Texture* t, const float values[4]) {
  ContextImpl& c = *impl_;
  if (!t || !t->resource) return;
  Resource& r = *t->resource;
  if (r.isImage) {
    VkClearColorValue v{};
    for (int i = 0; i < 4; ++i) v.float32[i] = values[i];
    clearImage(c, r, v, 0, VK_REMAINING_ARRAY_LAYERS);
    return;
  }
  uint32_t bits;
  std::memcpy(&bits, &values[0], 4);
  if (!r.buffer) return;
  c.endRendering();
  VkCommandBuffer cmd = c.d->cmd();
  bufferBarrier(*c.d, cmd, r, true);
  if (r.size >= 4) vkCmdFillBuffer(cmd, r.buffer, 0, r.size / 4 * 4, bits);
}

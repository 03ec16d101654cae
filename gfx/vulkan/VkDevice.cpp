// Vulkan device: instance, validation messages, queue and submission, memory, resources and
// their views, samplers.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/Hash.h"
#include "gfx/InputLayout.h"
#include "gfx/vulkan/Backend.h"

namespace gfxbackend {
namespace {

constexpr VkDeviceSize kRingSize = 16u << 20;

VKAPI_ATTR VkBool32 VKAPI_CALL onDebugMessage(VkDebugUtilsMessageSeverityFlagBitsEXT severity,
                                              VkDebugUtilsMessageTypeFlagsEXT types,
                                              const VkDebugUtilsMessengerCallbackDataEXT* data, void* user) {
  auto* d = static_cast<DeviceImpl*>(user);
  // Performance hints (unused vertex attributes and the like) are not faults.
  if (types == VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT) return VK_FALSE;
  if (severity < VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT) return VK_FALSE;
  d->messages++;
  logMessage("Vulkan validation: %s\n", data && data->pMessage ? data->pMessage : "(no text)");
  return VK_FALSE;
}

[[noreturn]] void deviceFailed(const char* what, VkResult r) {
  logMessage("Vulkan: %s failed: %s (%d)\n", what, vkResultText(r), int(r));
  fatalError("Failed to create dx11 device");
}

void check(VkResult r, const char* what) {
  if (r != VK_SUCCESS) {
    char text[256];
    std::snprintf(text, sizeof(text), "Vulkan: %s failed: %s (%d)", what, vkResultText(r), int(r));
    fatalError(text);
  }
}

bool hasExtension(const std::vector<VkExtensionProperties>& list, const char* name) {
  for (const auto& e : list)
    if (std::strcmp(e.extensionName, name) == 0) return true;
  return false;
}

void createRing(DeviceImpl& d, Ring& ring) {
  VkBufferCreateInfo bi{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
  bi.size = kRingSize;
  bi.usage = VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT | VK_BUFFER_USAGE_STORAGE_BUFFER_BIT |
             VK_BUFFER_USAGE_VERTEX_BUFFER_BIT | VK_BUFFER_USAGE_INDEX_BUFFER_BIT | VK_BUFFER_USAGE_TRANSFER_SRC_BIT;
  check(vkCreateBuffer(d.device, &bi, nullptr, &ring.buffer), "ring buffer");
  d.counters->buffers++;
  VkMemoryRequirements req;
  vkGetBufferMemoryRequirements(d.device, ring.buffer, &req);
  ring.memory = d.allocate(req, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT);
  vkBindBufferMemory(d.device, ring.buffer, ring.memory, 0);
  void* p = nullptr;
  check(vkMapMemory(d.device, ring.memory, 0, VK_WHOLE_SIZE, 0, &p), "map ring");
  ring.mapped = static_cast<uint8_t*>(p);
  ring.size = kRingSize;
  ring.used = 0;
}

}  // namespace

uint32_t DeviceImpl::memoryType(uint32_t bits, VkMemoryPropertyFlags flags) const {
  for (uint32_t i = 0; i < memory.memoryTypeCount; ++i)
    if ((bits & (1u << i)) && (memory.memoryTypes[i].propertyFlags & flags) == flags) return i;
  return UINT32_MAX;
}

VkDeviceMemory DeviceImpl::allocate(VkMemoryRequirements req, VkMemoryPropertyFlags flags) {
  uint32_t type = memoryType(req.memoryTypeBits, flags);
  if (type == UINT32_MAX) type = memoryType(req.memoryTypeBits, 0);
  VkMemoryAllocateInfo ai{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
  ai.allocationSize = req.size;
  ai.memoryTypeIndex = type;
  VkDeviceMemory mem = VK_NULL_HANDLE;
  check(vkAllocateMemory(device, &ai, nullptr, &mem), "memory allocation");
  counters->memoryAllocations++;
  return mem;
}

VkCommandBuffer DeviceImpl::cmd() {
  Frame& f = frame();
  if (!recording) {
    VkCommandBufferBeginInfo bi{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
    bi.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    check(vkBeginCommandBuffer(f.cmd, &bi), "begin command buffer");
    recording = true;
  }
  return f.cmd;
}

// Waits for a frame's work, then runs its deletions. The ring is emptied only for a frame that
// is about to be reused: the current frame's ring still holds data of the current epoch.
static void finishFrame(DeviceImpl& d, Frame& f, bool resetRing) {
  if (f.pending) {
    vkWaitForFences(d.device, 1, &f.fence, VK_TRUE, UINT64_MAX);
    f.pending = false;
  }
  auto deletions = std::move(f.deletions);
  f.deletions.clear();
  for (auto& fn : deletions) fn();
  if (resetRing) f.ring.used = 0;
}

void DeviceImpl::submit(bool wait) {
  if (endRenderingHook) endRenderingHook();
  Frame& f = frame();
  if (!recording && waitSemaphore == VK_NULL_HANDLE && signalSemaphore == VK_NULL_HANDLE) {
    if (wait) waitAll();
    return;
  }
  VkCommandBuffer c = cmd();
  check(vkEndCommandBuffer(c), "end command buffer");
  recording = false;
  vkResetFences(device, 1, &f.fence);
  VkSubmitInfo si{VK_STRUCTURE_TYPE_SUBMIT_INFO};
  VkPipelineStageFlags waitStage = VK_PIPELINE_STAGE_ALL_COMMANDS_BIT;
  if (waitSemaphore) {
    si.waitSemaphoreCount = 1;
    si.pWaitSemaphores = &waitSemaphore;
    si.pWaitDstStageMask = &waitStage;
  }
  if (signalSemaphore) {
    si.signalSemaphoreCount = 1;
    si.pSignalSemaphores = &signalSemaphore;
  }
  si.commandBufferCount = 1;
  si.pCommandBuffers = &c;
  check(vkQueueSubmit(queue, 1, &si, f.fence), "queue submit");
  counters->submits++;
  waitSemaphore = VK_NULL_HANDLE;
  signalSemaphore = VK_NULL_HANDLE;
  f.pending = true;
  epoch++;
  frameIndex = (frameIndex + 1) % kFrames;
  Frame& next = frame();
  finishFrame(*this, next, true);
  vkResetCommandPool(device, next.pool, 0);
  if (wait) waitAll();
}

void DeviceImpl::waitAll() {
  // Every submitted frame must be done before any deletion runs: the current frame's list
  // holds resources dropped since the last submit, which earlier frames may still be using
  // (a resize straight after a present drops the targets the presented frame drew into).
  for (Frame& f : frames)
    if (f.pending) {
      vkWaitForFences(device, 1, &f.fence, VK_TRUE, UINT64_MAX);
      f.pending = false;
    }
  // A frame still recording keeps its deletions: its commands use them.
  for (uint32_t i = 0; i < kFrames; ++i)
    if (i != frameIndex || !recording) finishFrame(*this, frames[i], false);
}

bool DeviceImpl::ringAlloc(VkDeviceSize size, VkDeviceSize align, Staging& out) {
  Ring& r = frame().ring;
  VkDeviceSize offset = (r.used + align - 1) / align * align;
  if (offset + size > r.size) return false;
  r.used = offset + size;
  out.buffer = r.buffer;
  out.offset = offset;
  out.ptr = r.mapped + offset;
  return true;
}

Staging DeviceImpl::staging(VkDeviceSize size, VkDeviceSize align) {
  Staging s;
  if (size <= kRingSize / 4) {
    if (ringAlloc(size, align, s)) return s;
    submit(true);
    if (ringAlloc(size, align, s)) return s;
  }
  // A large upload (a big texture at load time): a buffer of its own for this frame.
  VkBufferCreateInfo bi{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
  bi.size = size;
  bi.usage = VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT | VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_VERTEX_BUFFER_BIT |
             VK_BUFFER_USAGE_INDEX_BUFFER_BIT | VK_BUFFER_USAGE_TRANSFER_SRC_BIT;
  VkBuffer buffer;
  check(vkCreateBuffer(device, &bi, nullptr, &buffer), "staging buffer");
  counters->buffers++;
  VkMemoryRequirements req;
  vkGetBufferMemoryRequirements(device, buffer, &req);
  VkDeviceMemory mem = allocate(req, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT);
  vkBindBufferMemory(device, buffer, mem, 0);
  void* p = nullptr;
  check(vkMapMemory(device, mem, 0, VK_WHOLE_SIZE, 0, &p), "map staging");
  VkDevice dev = device;
  deferDelete([dev, buffer, mem] {
    vkDestroyBuffer(dev, buffer, nullptr);
    vkFreeMemory(dev, mem, nullptr);
  });
  s.buffer = buffer;
  s.offset = 0;
  s.ptr = static_cast<uint8_t*>(p);
  return s;
}

static VkAccessFlags kAllAccess = VK_ACCESS_MEMORY_READ_BIT | VK_ACCESS_MEMORY_WRITE_BIT;

void transition(DeviceImpl& d, VkCommandBuffer cmd, Resource& r, VkImageLayout layout, bool write) {
  if (r.layout == layout && !r.written && !write) return;
  VkImageMemoryBarrier b{VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER};
  b.srcAccessMask = kAllAccess;
  b.dstAccessMask = kAllAccess;
  b.oldLayout = r.layout;
  b.newLayout = layout;
  b.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.image = r.image;
  b.subresourceRange = {r.aspect, 0, VK_REMAINING_MIP_LEVELS, 0, VK_REMAINING_ARRAY_LAYERS};
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, 0, 0, nullptr, 0,
                       nullptr, 1, &b);
  (void)d;
  r.layout = layout;
  r.written = write;
}

void bufferBarrier(DeviceImpl& d, VkCommandBuffer cmd, Resource& r, bool write) {
  (void)d;
  if (!r.written && !write) return;
  VkMemoryBarrier b{VK_STRUCTURE_TYPE_MEMORY_BARRIER};
  b.srcAccessMask = kAllAccess;
  b.dstAccessMask = kAllAccess;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, 0, 1, &b, 0,
                       nullptr, 0, nullptr);
  r.written = write;
}

static void endRendering(DeviceImpl& d) {
  if (d.endRenderingHook) d.endRenderingHook();
}

void createResource(Device* device, Texture* t, const void* initialData) {
  DeviceImpl& d = *device->impl();
  auto* r = new Resource;
  t->resource = r;
  const TextureDesc& desc = t->desc;
  uint32_t usage = desc.flags & kUsageMask;
  bool staging = usage == kUsageStaging;
  endRendering(d);

  if (t->isBuffer() || staging) {
    // Buffers, and staging textures laid out like Direct3D subresources in one buffer.
    VkDeviceSize size;
    if (t->isBuffer()) {
      size = std::max<VkDeviceSize>(t->byteSize(), 4);
    } else {
      size = 0;
      uint32_t w = desc.width, h = desc.height, dd = desc.depth;
      for (uint32_t s = 0; s < desc.arraySize; ++s) {
        w = desc.width, h = desc.height, dd = desc.depth;
        for (uint32_t m = 0; m < desc.mipLevels; ++m) {
          SubresourceLayout l = subresourceLayout(desc.format, desc.bitsPerPixel, w, h, dd);
          r->subs.push_back({size, l.rowPitch, l.slicePitch, std::max(w, 1u), std::max(h, 1u), l.depth});
          size += l.size();
          size = (size + 15) / 16 * 16;
          w = std::max(w / 2, 1u), h = std::max(h / 2, 1u), dd = std::max(dd / 2, 1u);
        }
      }
    }
    r->size = size;
    VkDeviceSize total = size;
    bool uav = (desc.flags & kBindUnorderedAccess) != 0;
    if (t->isBuffer() && uav && (desc.flags & kStructuredBuffer)) {
      // Append/consume counter after the data, on a storage-buffer offset boundary.
      VkDeviceSize align = std::max<VkDeviceSize>(d.properties.limits.minStorageBufferOffsetAlignment, 4);
      r->counterOffset = (size + align - 1) / align * align;
      r->hasCounter = true;
      total = r->counterOffset + 16;
    }
    VkBufferCreateInfo bi{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
    bi.size = total;
    bi.usage = VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT;
    if (!staging) {
      if (desc.flags & kBindVertexBuffer) bi.usage |= VK_BUFFER_USAGE_VERTEX_BUFFER_BIT;
      if (desc.flags & kBindIndexBuffer) bi.usage |= VK_BUFFER_USAGE_INDEX_BUFFER_BIT;
      if (desc.flags & kBindConstantBuffer) bi.usage |= VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT;
      if (desc.flags & (kBindShaderResource | kBindUnorderedAccess)) {
        bi.usage |= VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;
        if (toVkFormat(t->viewFormat) != VK_FORMAT_UNDEFINED) {
          if (desc.flags & kBindShaderResource) bi.usage |= VK_BUFFER_USAGE_UNIFORM_TEXEL_BUFFER_BIT;
          if (uav) bi.usage |= VK_BUFFER_USAGE_STORAGE_TEXEL_BUFFER_BIT;
        }
      }
      bi.usage |= VK_BUFFER_USAGE_INDIRECT_BUFFER_BIT;
    }
    check(vkCreateBuffer(d.device, &bi, nullptr, &r->buffer), "buffer creation");
    d.counters->buffers++;
    VkMemoryRequirements req;
    vkGetBufferMemoryRequirements(d.device, r->buffer, &req);
    VkMemoryPropertyFlags mp = staging ? (VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT |
                                          VK_MEMORY_PROPERTY_HOST_CACHED_BIT)
                                       : VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT;
    if (staging && d.memoryType(req.memoryTypeBits, mp) == UINT32_MAX)
      mp = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
    r->memory = d.allocate(req, mp);
    vkBindBufferMemory(d.device, r->buffer, r->memory, 0);
    if (staging) {
      void* p = nullptr;
      check(vkMapMemory(d.device, r->memory, 0, VK_WHOLE_SIZE, 0, &p), "map staging texture");
      r->mapped = static_cast<uint8_t*>(p);
      r->hostVisible = true;
      std::memset(r->mapped, 0, size_t(total));
      if (initialData) {
        // Tightly packed subresources with Direct3D pitches: the same layout as `subs`.
        const auto* src = static_cast<const uint8_t*>(initialData);
        for (const auto& s : r->subs) {
          std::memcpy(r->mapped + s.offset, src, size_t(s.slicePitch) * s.depth);
          src += size_t(s.slicePitch) * s.depth;
        }
        if (t->isBuffer()) std::memcpy(r->mapped, initialData, t->byteSize());
      }
      return;
    }
    r->dynamic = usage == kUsageDynamic;
    if (r->dynamic) {
      r->shadow.assign(size_t(size), 0);
      if (initialData) std::memcpy(r->shadow.data(), initialData, t->byteSize());
      r->copyOnUnmap = (desc.flags & (kBindShaderResource | kBindUnorderedAccess)) != 0;
    }
    VkCommandBuffer c = d.cmd();
    vkCmdFillBuffer(c, r->buffer, 0, VK_WHOLE_SIZE, 0);
    if (initialData) {
      Staging s = d.staging(t->byteSize(), 16);
      std::memcpy(s.ptr, initialData, t->byteSize());
      c = d.cmd();
      VkMemoryBarrier b{VK_STRUCTURE_TYPE_MEMORY_BARRIER, nullptr, kAllAccess, kAllAccess};
      vkCmdPipelineBarrier(c, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, 0, 1, &b, 0,
                           nullptr, 0, nullptr);
      VkBufferCopy region{s.offset, 0, t->byteSize()};
      vkCmdCopyBuffer(c, s.buffer, r->buffer, 1, &region);
    }
    r->written = true;
    return;
  }

  // Images.
  r->isImage = true;
  r->format = toVkFormat(t->resourceFormat);
  r->viewFormat = toVkFormat(t->viewFormat);
  r->targetFormat = toVkFormat(t->targetFormat);
  FormatInfo info;
  lookupFormat(desc.format, info);
  if (info.depth) {
    r->aspect = VK_IMAGE_ASPECT_DEPTH_BIT | (info.stencil ? VK_IMAGE_ASPECT_STENCIL_BIT : 0);
    // Vulkan reads a depth image through a depth-aspect view of the same format (there is
    // no typeless resource), so all three formats are the depth format.
    if (info.stencil) r->format = d.depth24;
    r->viewFormat = r->targetFormat = r->format;
  }
  if (r->format == VK_FORMAT_UNDEFINED) fatalError("Could not create texture: no Vulkan format");
  r->mipLevels = desc.mipLevels;
  r->layers = desc.arraySize;
  r->extent = {std::max(desc.width, 1u), std::max(desc.height, 1u), std::max(desc.depth, 1u)};
  r->imageType = desc.depth ? VK_IMAGE_TYPE_3D : (desc.height ? VK_IMAGE_TYPE_2D : VK_IMAGE_TYPE_1D);
  VkImageCreateInfo ii{VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO};
  ii.imageType = r->imageType;
  ii.format = r->format;
  ii.extent = r->extent;
  ii.mipLevels = r->mipLevels;
  ii.arrayLayers = r->imageType == VK_IMAGE_TYPE_3D ? 1 : r->layers;
  if (r->imageType == VK_IMAGE_TYPE_3D) r->layers = 1;
  ii.samples = VK_SAMPLE_COUNT_1_BIT;
  ii.tiling = VK_IMAGE_TILING_OPTIMAL;
  ii.usage = VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT | VK_IMAGE_USAGE_SAMPLED_BIT;
  if (desc.flags & kBindRenderTarget) ii.usage |= VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT;
  if (desc.flags & kBindDepthStencil) ii.usage |= VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT;
  if (desc.flags & kBindUnorderedAccess) ii.usage |= VK_IMAGE_USAGE_STORAGE_BIT;
  if (t->isCube() && r->layers >= 6) ii.flags |= VK_IMAGE_CREATE_CUBE_COMPATIBLE_BIT;
  if (r->imageType == VK_IMAGE_TYPE_3D && (desc.flags & kBindRenderTarget))
    ii.flags |= VK_IMAGE_CREATE_2D_ARRAY_COMPATIBLE_BIT;
  ii.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  check(vkCreateImage(d.device, &ii, nullptr, &r->image), "image creation");
  d.counters->images++;
  VkMemoryRequirements req;
  vkGetImageMemoryRequirements(d.device, r->image, &req);
  r->memory = d.allocate(req, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
  vkBindImageMemory(d.device, r->image, r->memory, 0);

  // Start zero-filled (or with the given data).
  VkCommandBuffer c = d.cmd();
  transition(d, c, *r, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, true);
  if (initialData || info.blockCompressed) {
    size_t bytes = initialDataSize(desc);
    Staging s = d.staging(bytes, 16);
    if (initialData)
      std::memcpy(s.ptr, initialData, bytes);
    else
      std::memset(s.ptr, 0, bytes);
    c = d.cmd();
    std::vector<VkBufferImageCopy> regions;
    VkDeviceSize offset = s.offset;
    for (uint32_t layer = 0; layer < r->layers; ++layer) {
      uint32_t w = r->extent.width, h = r->extent.height, dd = r->extent.depth;
      for (uint32_t m = 0; m < r->mipLevels; ++m) {
        SubresourceLayout l = subresourceLayout(desc.format, desc.bitsPerPixel, w, desc.height ? h : 0,
                                                desc.depth ? dd : 0);
        VkBufferImageCopy region{};
        region.bufferOffset = offset;
        region.bufferRowLength = info.blockCompressed ? ((w + 3) / 4) * 4 : 0;
        region.bufferImageHeight = info.blockCompressed ? l.rows * 4 : 0;
        VkImageAspectFlags aspect = r->aspect & VK_IMAGE_ASPECT_STENCIL_BIT ? VkImageAspectFlags(VK_IMAGE_ASPECT_DEPTH_BIT) : r->aspect;
        region.imageSubresource = {aspect, m, layer, 1};
        region.imageExtent = {w, h, dd};
        regions.push_back(region);
        offset += l.size();
        w = std::max(w / 2, 1u), h = std::max(h / 2, 1u), dd = std::max(dd / 2, 1u);
      }
    }
    vkCmdCopyBufferToImage(c, s.buffer, r->image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, uint32_t(regions.size()),
                           regions.data());
  } else if (info.depth) {
    VkClearDepthStencilValue v{0.0f, 0};
    VkImageSubresourceRange range{r->aspect, 0, VK_REMAINING_MIP_LEVELS, 0, VK_REMAINING_ARRAY_LAYERS};
    vkCmdClearDepthStencilImage(c, r->image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &v, 1, &range);
  } else {
    VkClearColorValue v{};
    VkImageSubresourceRange range{r->aspect, 0, VK_REMAINING_MIP_LEVELS, 0, VK_REMAINING_ARRAY_LAYERS};
    vkCmdClearColorImage(c, r->image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &v, 1, &range);
  }
  r->written = true;
}

void destroyResource(Device* device, Texture* t) {
  Resource* r = t->resource;
  if (!r) return;
  t->resource = nullptr;
  DeviceImpl& d = *device->impl();
  VkDevice dev = d.device;
  d.deferDelete([dev, r] {
    for (VkImageView v : {r->srv, r->uav, r->dsv, r->rtv[0], r->rtv[1], r->rtv[2], r->rtv[3], r->rtv[4], r->rtv[5]})
      if (v) vkDestroyImageView(dev, v, nullptr);
    if (r->srvTexel) vkDestroyBufferView(dev, r->srvTexel, nullptr);
    if (r->uavTexel) vkDestroyBufferView(dev, r->uavTexel, nullptr);
    if (r->image) vkDestroyImage(dev, r->image, nullptr);
    if (r->buffer) vkDestroyBuffer(dev, r->buffer, nullptr);
    if (r->memory) vkFreeMemory(dev, r->memory, nullptr);
    delete r;
  });
}

VkImageView imageView(DeviceImpl& d, Texture* t, int kind, uint32_t slice) {
  Resource& r = *t->resource;
  VkImageView* slot = kind == 0 ? &r.srv : kind == 1 ? &r.uav : kind == 3 ? &r.dsv : &r.rtv[std::min(slice, 5u)];
  if (*slot) return *slot;
  VkImageViewCreateInfo vi{VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO};
  vi.image = r.image;
  vi.format = kind >= 2 ? r.targetFormat : r.viewFormat;
  VkImageAspectFlags aspect = r.aspect;
  if (kind < 2 && (aspect & VK_IMAGE_ASPECT_DEPTH_BIT)) aspect = VK_IMAGE_ASPECT_DEPTH_BIT;
  vi.subresourceRange = {aspect, 0, r.mipLevels, 0, r.layers};
  if (kind >= 2) {
    // One slice (cube face) of mip 0.
    vi.subresourceRange.levelCount = 1;
    vi.subresourceRange.baseArrayLayer = std::min(slice, r.layers - 1);
    vi.subresourceRange.layerCount = 1;
    vi.viewType = r.imageType == VK_IMAGE_TYPE_1D ? VK_IMAGE_VIEW_TYPE_1D : VK_IMAGE_VIEW_TYPE_2D;
    if (r.imageType == VK_IMAGE_TYPE_3D) vi.subresourceRange.baseArrayLayer = 0;
  } else if (r.imageType == VK_IMAGE_TYPE_3D) {
    vi.viewType = VK_IMAGE_VIEW_TYPE_3D;
  } else if (t->isCube() && r.layers >= 6 && kind == 0) {
    vi.viewType = r.layers > 6 ? VK_IMAGE_VIEW_TYPE_CUBE_ARRAY : VK_IMAGE_VIEW_TYPE_CUBE;
  } else if (r.imageType == VK_IMAGE_TYPE_1D) {
    vi.viewType = r.layers > 1 ? VK_IMAGE_VIEW_TYPE_1D_ARRAY : VK_IMAGE_VIEW_TYPE_1D;
  } else {
    vi.viewType = r.layers > 1 ? VK_IMAGE_VIEW_TYPE_2D_ARRAY : VK_IMAGE_VIEW_TYPE_2D;
  }
  if (kind == 1) vi.subresourceRange.levelCount = 1;  // unordered access: mip 0
  check(vkCreateImageView(d.device, &vi, nullptr, slot), "view creation");
  d.counters->imageViews++;
  return *slot;
}

VkBufferView texelView(DeviceImpl& d, Texture* t, bool uav) {
  Resource& r = *t->resource;
  VkBufferView* slot = uav ? &r.uavTexel : &r.srvTexel;
  if (*slot) return *slot;
  VkFormat f = toVkFormat(t->viewFormat);
  if (f == VK_FORMAT_UNDEFINED) return VK_NULL_HANDLE;
  VkBufferViewCreateInfo vi{VK_STRUCTURE_TYPE_BUFFER_VIEW_CREATE_INFO};
  vi.buffer = r.buffer;
  vi.format = f;
  vi.offset = 0;
  vi.range = r.size;
  check(vkCreateBufferView(d.device, &vi, nullptr, slot), "buffer view creation");
  d.counters->bufferViews++;
  return *slot;
}

}  // namespace gfxbackend

using namespace gfxbackend;

Device::Device(const DeviceOptions& options) {
  impl_ = new DeviceImpl;
  DeviceImpl& d = *impl_;
  d.owner = this;
  d.counters = &counters_;
  const char* env = std::getenv("ZV_VALIDATION");
  d.validation = options.validation || (env && std::strcmp(env, "1") == 0);

  // Instance, with the surface extensions the loader offers (a window may come later).
  uint32_t count = 0;
  vkEnumerateInstanceExtensionProperties(nullptr, &count, nullptr);
  std::vector<VkExtensionProperties> instExts(count);
  vkEnumerateInstanceExtensionProperties(nullptr, &count, instExts.data());
  std::vector<const char*> extensions;
  for (const char* name : {"VK_KHR_surface", "VK_KHR_xlib_surface", "VK_KHR_xcb_surface", "VK_KHR_wayland_surface",
                           "VK_KHR_win32_surface", "VK_EXT_metal_surface"})
    if (hasExtension(instExts, name)) extensions.push_back(name);
  bool debugUtils = hasExtension(instExts, VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
  if (debugUtils) extensions.push_back(VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
  std::vector<const char*> layers;
  if (d.validation) {
    vkEnumerateInstanceLayerProperties(&count, nullptr);
    std::vector<VkLayerProperties> layerProps(count);
    vkEnumerateInstanceLayerProperties(&count, layerProps.data());
    bool found = false;
    for (const auto& l : layerProps)
      if (std::strcmp(l.layerName, "VK_LAYER_KHRONOS_validation") == 0) found = true;
    if (found)
      layers.push_back("VK_LAYER_KHRONOS_validation");
    else
      logMessage("Vulkan: validation requested but VK_LAYER_KHRONOS_validation is not installed\n");
  }
  VkApplicationInfo app{VK_STRUCTURE_TYPE_APPLICATION_INFO};
  app.pApplicationName = "player";
  app.apiVersion = VK_API_VERSION_1_3;
  VkInstanceCreateInfo ici{VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
  ici.pApplicationInfo = &app;
  ici.enabledExtensionCount = uint32_t(extensions.size());
  ici.ppEnabledExtensionNames = extensions.data();
  ici.enabledLayerCount = uint32_t(layers.size());
  ici.ppEnabledLayerNames = layers.data();
  VkDebugUtilsMessengerCreateInfoEXT mci{VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT};
  mci.messageSeverity = VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
  mci.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                    VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT;
  mci.pfnUserCallback = onDebugMessage;
  mci.pUserData = &d;
  if (!layers.empty() && debugUtils) ici.pNext = &mci;
  VkValidationFeatureEnableEXT syncval = VK_VALIDATION_FEATURE_ENABLE_SYNCHRONIZATION_VALIDATION_EXT;
  VkValidationFeaturesEXT features{VK_STRUCTURE_TYPE_VALIDATION_FEATURES_EXT};
  features.enabledValidationFeatureCount = 1;
  features.pEnabledValidationFeatures = &syncval;
  // Synchronisation validation reports missing barriers, which a driver that runs every
  // command in order (lavapipe) would otherwise hide.
  const char* syncEnv = std::getenv("ZV_SYNC_VALIDATION");
  if (!layers.empty() && (options.synchronizationValidation || (syncEnv && std::strcmp(syncEnv, "1") == 0))) {
    features.pNext = ici.pNext;
    ici.pNext = &features;
  }
  VkResult res = vkCreateInstance(&ici, nullptr, &d.instance);
  if (res != VK_SUCCESS) deviceFailed("vkCreateInstance", res);
  if (!layers.empty() && debugUtils) {
    auto create = reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(
        vkGetInstanceProcAddr(d.instance, "vkCreateDebugUtilsMessengerEXT"));
    if (create) create(d.instance, &mci, nullptr, &d.messenger);
  }

  // The first device with Vulkan 1.3, push descriptors and a graphics+compute queue;
  // discrete GPUs first.
  vkEnumeratePhysicalDevices(d.instance, &count, nullptr);
  std::vector<VkPhysicalDevice> physicals(count);
  vkEnumeratePhysicalDevices(d.instance, &count, physicals.data());
  std::string reasons;
  int bestScore = -1;
  std::vector<VkExtensionProperties> chosenExts;
  for (VkPhysicalDevice p : physicals) {
    VkPhysicalDeviceProperties props;
    vkGetPhysicalDeviceProperties(p, &props);
    uint32_t n = 0;
    vkEnumerateDeviceExtensionProperties(p, nullptr, &n, nullptr);
    std::vector<VkExtensionProperties> exts(n);
    vkEnumerateDeviceExtensionProperties(p, nullptr, &n, exts.data());
    if (props.apiVersion < VK_API_VERSION_1_3) {
      reasons += std::string(props.deviceName) + ": no Vulkan 1.3; ";
      continue;
    }
    if (!hasExtension(exts, VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME)) {
      reasons += std::string(props.deviceName) + ": no push descriptors; ";
      continue;
    }
    vkGetPhysicalDeviceQueueFamilyProperties(p, &n, nullptr);
    std::vector<VkQueueFamilyProperties> families(n);
    vkGetPhysicalDeviceQueueFamilyProperties(p, &n, families.data());
    uint32_t family = UINT32_MAX;
    for (uint32_t i = 0; i < n; ++i)
      if ((families[i].queueFlags & VK_QUEUE_GRAPHICS_BIT) && (families[i].queueFlags & VK_QUEUE_COMPUTE_BIT)) {
        family = i;
        break;
      }
    if (family == UINT32_MAX) continue;
    int score = props.deviceType == VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU     ? 3
                : props.deviceType == VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU ? 2
                                                                             : 1;
    if (score > bestScore) {
      bestScore = score;
      d.physical = p;
      d.queueFamily = family;
      chosenExts = exts;
    }
  }
  if (!d.physical) {
    logMessage("Vulkan: no usable device (%s)\n", reasons.empty() ? "none found" : reasons.c_str());
    fatalError("Failed to create dx11 device");
  }
  vkGetPhysicalDeviceProperties(d.physical, &d.properties);
  vkGetPhysicalDeviceMemoryProperties(d.physical, &d.memory);

  std::vector<const char*> devExts = {VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME};
  d.hlslExtensions = hasExtension(chosenExts, "VK_GOOGLE_hlsl_functionality1") &&
                     hasExtension(chosenExts, "VK_GOOGLE_decorate_string");
  if (d.hlslExtensions) {
    devExts.push_back("VK_GOOGLE_hlsl_functionality1");
    devExts.push_back("VK_GOOGLE_decorate_string");
  }
  d.swapchainExtension = hasExtension(chosenExts, VK_KHR_SWAPCHAIN_EXTENSION_NAME);
  if (d.swapchainExtension) devExts.push_back(VK_KHR_SWAPCHAIN_EXTENSION_NAME);
  bool robustness2 = hasExtension(chosenExts, VK_EXT_ROBUSTNESS_2_EXTENSION_NAME);

  VkPhysicalDeviceFeatures supported;
  vkGetPhysicalDeviceFeatures(d.physical, &supported);
  VkPhysicalDeviceRobustness2FeaturesEXT robust{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ROBUSTNESS_2_FEATURES_EXT};
  VkPhysicalDeviceVulkan13Features f13{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_FEATURES};
  VkPhysicalDeviceVulkan12Features f12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES};
  f13.pNext = &f12;
  if (robustness2) f12.pNext = &robust;
  VkPhysicalDeviceFeatures2 query{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2};
  query.pNext = &f13;
  vkGetPhysicalDeviceFeatures2(d.physical, &query);
  if (!f13.dynamicRendering) {
    logMessage("Vulkan: %s has no dynamic rendering\n", d.properties.deviceName);
    fatalError("Failed to create dx11 device");
  }
  // Direct3D reads zeros outside what is bound and drops such writes; shaders written for it
  // may rely on that, so bounds checks are asked for where the driver has them.
  VkPhysicalDeviceRobustness2FeaturesEXT robustOn{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ROBUSTNESS_2_FEATURES_EXT};
  robustOn.nullDescriptor = robust.nullDescriptor;
  robustOn.robustBufferAccess2 = supported.robustBufferAccess && robust.robustBufferAccess2;
  robustOn.robustImageAccess2 = robust.robustImageAccess2;
  d.nullDescriptor = robustness2 && robust.nullDescriptor;
  const bool useRobustness2 =
      robustness2 && (robustOn.nullDescriptor || robustOn.robustBufferAccess2 || robustOn.robustImageAccess2);
  VkPhysicalDeviceVulkan12Features on12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES};
  on12.scalarBlockLayout = f12.scalarBlockLayout;
  on12.uniformBufferStandardLayout = f12.uniformBufferStandardLayout;
  on12.samplerMirrorClampToEdge = f12.samplerMirrorClampToEdge;
  d.mirrorOnce = f12.samplerMirrorClampToEdge == VK_TRUE;
  VkPhysicalDeviceVulkan13Features on13{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_FEATURES};
  on13.dynamicRendering = VK_TRUE;
  on13.synchronization2 = f13.synchronization2;
  on13.robustImageAccess = f13.robustImageAccess;
  on13.pNext = &on12;
  if (useRobustness2) {
    on12.pNext = &robustOn;
    devExts.push_back(VK_EXT_ROBUSTNESS_2_EXTENSION_NAME);
  }
  VkPhysicalDeviceFeatures2 enable{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2};
  enable.pNext = &on13;
  VkPhysicalDeviceFeatures& fe = enable.features;
  fe.robustBufferAccess = supported.robustBufferAccess;
  fe.geometryShader = supported.geometryShader;
  fe.tessellationShader = supported.tessellationShader;
  fe.fillModeNonSolid = supported.fillModeNonSolid;
  fe.independentBlend = supported.independentBlend;
  fe.dualSrcBlend = supported.dualSrcBlend;
  fe.samplerAnisotropy = supported.samplerAnisotropy;
  d.anisotropy = supported.samplerAnisotropy == VK_TRUE;
  fe.depthBiasClamp = supported.depthBiasClamp;
  fe.textureCompressionBC = supported.textureCompressionBC;
  fe.imageCubeArray = supported.imageCubeArray;
  fe.fragmentStoresAndAtomics = supported.fragmentStoresAndAtomics;
  fe.vertexPipelineStoresAndAtomics = supported.vertexPipelineStoresAndAtomics;
  fe.shaderStorageImageWriteWithoutFormat = supported.shaderStorageImageWriteWithoutFormat;
  fe.shaderStorageImageExtendedFormats = supported.shaderStorageImageExtendedFormats;
  fe.shaderImageGatherExtended = supported.shaderImageGatherExtended;
  fe.multiDrawIndirect = supported.multiDrawIndirect;
  fe.drawIndirectFirstInstance = supported.drawIndirectFirstInstance;
  fe.shaderClipDistance = supported.shaderClipDistance;
  fe.sampleRateShading = supported.sampleRateShading;
  fe.largePoints = supported.largePoints;
  float priority = 1.0f;
  VkDeviceQueueCreateInfo qi{VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
  qi.queueFamilyIndex = d.queueFamily;
  qi.queueCount = 1;
  qi.pQueuePriorities = &priority;
  VkDeviceCreateInfo dci{VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO};
  dci.pNext = &enable;
  dci.queueCreateInfoCount = 1;
  dci.pQueueCreateInfos = &qi;
  dci.enabledExtensionCount = uint32_t(devExts.size());
  dci.ppEnabledExtensionNames = devExts.data();
  res = vkCreateDevice(d.physical, &dci, nullptr, &d.device);
  if (res != VK_SUCCESS) deviceFailed("vkCreateDevice", res);
  vkGetDeviceQueue(d.device, d.queueFamily, 0, &d.queue);
  d.pushDescriptorSet =
      reinterpret_cast<PFN_vkCmdPushDescriptorSetKHR>(vkGetDeviceProcAddr(d.device, "vkCmdPushDescriptorSetKHR"));
  if (debugUtils) {
    d.beginLabel = reinterpret_cast<PFN_vkCmdBeginDebugUtilsLabelEXT>(
        vkGetInstanceProcAddr(d.instance, "vkCmdBeginDebugUtilsLabelEXT"));
    d.endLabel =
        reinterpret_cast<PFN_vkCmdEndDebugUtilsLabelEXT>(vkGetInstanceProcAddr(d.instance, "vkCmdEndDebugUtilsLabelEXT"));
  }
  // 24-bit depth with stencil is not everywhere; 32-bit float depth with stencil stands in.
  VkFormatProperties fp;
  vkGetPhysicalDeviceFormatProperties(d.physical, VK_FORMAT_D24_UNORM_S8_UINT, &fp);
  if (!(fp.optimalTilingFeatures & VK_FORMAT_FEATURE_DEPTH_STENCIL_ATTACHMENT_BIT))
    d.depth24 = VK_FORMAT_D32_SFLOAT_S8_UINT;

  for (Frame& f : d.frames) {
    VkCommandPoolCreateInfo pi{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
    pi.queueFamilyIndex = d.queueFamily;
    pi.flags = VK_COMMAND_POOL_CREATE_TRANSIENT_BIT;
    check(vkCreateCommandPool(d.device, &pi, nullptr, &f.pool), "command pool");
    VkCommandBufferAllocateInfo ai{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
    ai.commandPool = f.pool;
    ai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    ai.commandBufferCount = 1;
    check(vkAllocateCommandBuffers(d.device, &ai, &f.cmd), "command buffer");
    VkFenceCreateInfo fi{VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
    check(vkCreateFence(d.device, &fi, nullptr, &f.fence), "fence");
    createRing(d, f.ring);
  }
  VkSamplerCreateInfo si = toVkSampler(SamplerDesc::forMode(0));
  check(vkCreateSampler(d.device, &si, nullptr, &d.defaultSampler), "sampler");
  counters_.samplers++;

  context_ = new DeviceContext(this);
  defaultState_ = stateFor(RenderStateDesc::defaults());
  for (uint32_t i = 0; i < 6; ++i) defaultInputLayout(i);
  if (!gDevice) gDevice = this;
}

Device::~Device() {
  DeviceImpl& d = *impl_;
  if (d.device) vkDeviceWaitIdle(d.device);
  for (InputLayout*& l : defaultLayouts_) {
    delete l;
    l = nullptr;
  }
  // Textures that outlive the Device must not touch it when they are deleted later.
  std::vector<Texture*> live = textures;
  for (Texture* t : live) {
    destroyResource(this, t);
    t->device = nullptr;
  }
  textures.clear();
  resizeList.clear();
  for (Shader* s : d.shaders) s->device = nullptr;
  for (VertexLayout* l : d.layouts) l->device = nullptr;
  d.shaders.clear();
  d.layouts.clear();
  delete context_;
  context_ = nullptr;
  d.submit(true);
  vkDeviceWaitIdle(d.device);
  d.waitAll();
  for (auto& [hash, bucket] : samplers_)
    for (Sampler* s : bucket) delete s;
  for (auto& [hash, bucket] : states_)
    for (RenderState* s : bucket) delete s;
  samplers_.clear();
  states_.clear();
  for (Frame& f : d.frames) {
    for (auto& fn : f.deletions) fn();
    f.deletions.clear();
    vkDestroyBuffer(d.device, f.ring.buffer, nullptr);
    vkFreeMemory(d.device, f.ring.memory, nullptr);
    vkDestroyFence(d.device, f.fence, nullptr);
    vkDestroyCommandPool(d.device, f.pool, nullptr);
  }
  vkDestroySampler(d.device, d.defaultSampler, nullptr);
  vkDestroyDevice(d.device, nullptr);
  if (d.messenger) {
    auto destroy = reinterpret_cast<PFN_vkDestroyDebugUtilsMessengerEXT>(
        vkGetInstanceProcAddr(d.instance, "vkDestroyDebugUtilsMessengerEXT"));
    if (destroy) destroy(d.instance, d.messenger, nullptr);
  }
  vkDestroyInstance(d.instance, nullptr);
  delete impl_;
  impl_ = nullptr;
  if (gDevice == this) gDevice = nullptr;
}

uint64_t Device::validationMessageCount() const { return impl_->messages; }
bool Device::validationEnabled() const { return impl_->validation && impl_->messenger; }

uint32_t Device::maxImageSize() const { return impl_->properties.limits.maxImageDimension2D; }
void Device::waitIdle() { impl_->submit(true); }

Sampler* Device::samplerFor(const SamplerDesc& desc) {
  uint32_t hash = descHash(desc);
  auto& bucket = samplers_[hash];
  for (Sampler* s : bucket)
    if (std::memcmp(&s->desc, &desc, sizeof(desc)) == 0) return s;
  auto* s = new Sampler;
  s->desc = desc;
  s->hash = hash;
  s->device = this;
  s->impl = new SamplerImpl;
  VkSamplerCreateInfo si = toVkSampler(desc);
  si.anisotropyEnable = si.anisotropyEnable && impl_->anisotropy;
  // Without the feature, mirror once becomes mirror: the same for coordinates in [-1, 1].
  for (VkSamplerAddressMode* mode : {&si.addressModeU, &si.addressModeV, &si.addressModeW})
    if (*mode == VK_SAMPLER_ADDRESS_MODE_MIRROR_CLAMP_TO_EDGE && !impl_->mirrorOnce)
      *mode = VK_SAMPLER_ADDRESS_MODE_MIRRORED_REPEAT;
  check(vkCreateSampler(impl_->device, &si, nullptr, &s->impl->sampler), "sampler creation");
  counters_.samplers++;
  bucket.push_back(s);
  return s;
}

Sampler::~Sampler() {
  if (impl && device && device->impl()) vkDestroySampler(device->impl()->device, impl->sampler, nullptr);
  delete impl;
}

// Vulkan device: instance, validation messages, queue and submission, memory, resources and
// their views, samplers.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <SDL2/SDL_vulkan.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "gfx/DeviceCaches.h"
#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/Hash.h"
#include "gfx/InputLayout.h"
#include "gfx/vulkan/Backend.h"

namespace gfxbackend {
namespace {

constexpr VkDeviceSize kRingSize = 16u << 20;
// Upload buffers of their own held by one frame before it is submitted and waited for.
constexpr VkDeviceSize kLargeStagingCap = 64u << 20;

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
  if (r == VK_ERROR_DEVICE_LOST) deviceLost(what);
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
  ring.alloc = d.allocate(req, MemoryUse::Upload, false);
  check(vkBindBufferMemory(d.device, ring.buffer, ring.alloc.memory, ring.alloc.offset), "ring memory");
  ring.mapped = ring.alloc.mapped;
  ring.size = kRingSize;
  ring.used = 0;
}

}  // namespace

void deviceLost(const char* during) {
  char text[256];
  std::snprintf(text, sizeof(text),
                "The GPU stopped responding (Vulkan device lost) while %s; the driver may have reset it", during);
  fatalError(text);
}

VkFormatFeatureFlags DeviceImpl::formatFeatures(VkFormat format) {
  const uint32_t n = uint32_t(format);
  if (n < kCoreFormats && coreFormatKnown[n]) return coreFormatFeatures[n];
  auto it = formatFeatureCache.find(format);
  if (it != formatFeatureCache.end()) return it->second;
  VkFormatProperties fp{};
  vkGetPhysicalDeviceFormatProperties(physical, format, &fp);
  formatFeatureCache[format] = fp.optimalTilingFeatures;
  if (n < kCoreFormats) {
    coreFormatFeatures[n] = fp.optimalTilingFeatures;
    coreFormatKnown[n] = true;
  }
  return fp.optimalTilingFeatures;
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

static void waitFence(DeviceImpl& d, Frame& f) {
  if (!f.pending) return;
  VkResult r = vkWaitForFences(d.device, 1, &f.fence, VK_TRUE, UINT64_MAX);
  if (r == VK_ERROR_DEVICE_LOST) deviceLost("waiting for a frame to finish");
  check(r, "waiting for a fence");
  f.pending = false;
}

// Waits for a frame's work, then runs its deletions. The ring and descriptor pools are emptied
// only for a frame that is about to be reused: the current frame's ring still holds data of
// the current epoch.
static void finishFrame(DeviceImpl& d, Frame& f, bool resetRing) {
  waitFence(d, f);
  auto deletions = std::move(f.deletions);
  f.deletions.clear();
  for (auto& fn : deletions) fn();
  f.largeStaging = 0;
  if (resetRing) {
    f.ring.used = 0;
    // The frame's descriptor sets were only used by its finished work.
    for (size_t i = 0; i <= f.poolsUsed && i < f.descriptorPools.size(); ++i)
      vkResetDescriptorPool(d.device, f.descriptorPools[i], 0);
    f.poolsUsed = 0;
  }
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
  // The acquired swap-chain image is only written by the final blit or copy: the rest of
  // the frame need not wait for the presentation engine.
  VkPipelineStageFlags waitStage = VK_PIPELINE_STAGE_TRANSFER_BIT;
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
  VkResult submitted = vkQueueSubmit(queue, 1, &si, f.fence);
  if (submitted == VK_ERROR_DEVICE_LOST) deviceLost("submitting work to the GPU");
  check(submitted, "queue submit");
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
  for (Frame& f : frames) waitFence(*this, f);
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
  // A large upload (a big texture at load time): a buffer of its own for this frame. Past
  // the cap the frame's work is finished first, which frees the earlier ones.
  if (frame().largeStaging > 0 && frame().largeStaging + size > kLargeStagingCap) submit(true);
  frame().largeStaging += size;
  VkBufferCreateInfo bi{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
  bi.size = size;
  bi.usage = VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT | VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_VERTEX_BUFFER_BIT |
             VK_BUFFER_USAGE_INDEX_BUFFER_BIT | VK_BUFFER_USAGE_TRANSFER_SRC_BIT;
  VkBuffer buffer;
  check(vkCreateBuffer(device, &bi, nullptr, &buffer), "staging buffer");
  counters->buffers++;
  VkMemoryRequirements req;
  vkGetBufferMemoryRequirements(device, buffer, &req);
  Allocation a = allocate(req, MemoryUse::Upload, false);
  check(vkBindBufferMemory(device, buffer, a.memory, a.offset), "staging memory");
  VkDevice dev = device;
  deferDelete([this, dev, buffer, a] {
    vkDestroyBuffer(dev, buffer, nullptr);
    release(a);
  });
  s.buffer = buffer;
  s.offset = 0;
  s.ptr = a.mapped;
  return s;
}

static VkAccessFlags kAllAccess = VK_ACCESS_MEMORY_READ_BIT | VK_ACCESS_MEMORY_WRITE_BIT;

namespace {

// The access an image layout stands for when the caller names only the layout.
Access accessOfLayout(VkImageLayout layout, bool write) {
  switch (layout) {
    case VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL: return {VK_PIPELINE_STAGE_TRANSFER_BIT, VK_ACCESS_TRANSFER_READ_BIT, write};
    case VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL: return {VK_PIPELINE_STAGE_TRANSFER_BIT, VK_ACCESS_TRANSFER_WRITE_BIT, write};
    case VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL:
      return {VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT,
              VK_ACCESS_COLOR_ATTACHMENT_READ_BIT | VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT, write};
    case VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL:
      return {VK_PIPELINE_STAGE_EARLY_FRAGMENT_TESTS_BIT | VK_PIPELINE_STAGE_LATE_FRAGMENT_TESTS_BIT,
              VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_READ_BIT | VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT, write};
    default: return {VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, kAllAccess, write};
  }
}

// Whether a read must wait for the last write: the write is visible to the stages and
// accesses of earlier barriers (each barrier covers all of both, so the pairs stay a product).
bool readWaits(const Resource& r, const Access& a) {
  return r.written && ((a.stages & ~r.visibleStages) || (a.access & ~r.visibleAccess));
}

// Decides the barrier for an access and updates the tracking; false when none is needed.
bool order(Resource& r, bool image, VkImageLayout layout, const Access& a, VkPipelineStageFlags& src,
           VkAccessFlags& srcAccess, VkPipelineStageFlags& dst, VkAccessFlags& dstAccess) {
  trackingChanged();
  const bool relayout = image && r.layout != layout;
  const bool needed = relayout || (a.write ? (r.written || r.readStages) : readWaits(r, a));
  src = (r.written ? r.writeStages : 0) | ((a.write || relayout) ? r.readStages : 0);
  srcAccess = r.written ? r.writeAccess : 0;
  dst = a.stages;
  dstAccess = a.access;
  if (a.write) {
    r.written = true;
    r.writeStages = a.stages;
    r.writeAccess = a.access;
    r.visibleStages = 0;
    r.visibleAccess = 0;
    r.readStages = 0;
  } else if (relayout) {
    // The layout change is itself a write, ordered before this access's stages.
    r.written = true;
    r.writeStages = a.stages;
    r.writeAccess = 0;
    r.visibleStages = r.readStages = a.stages;
    r.visibleAccess = a.access;
  } else {
    if (needed) {
      dst = r.visibleStages |= a.stages;
      dstAccess = r.visibleAccess |= a.access;
    }
    r.readStages |= a.stages;
  }
  if (image) r.layout = layout;
  if (!src) src = VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT;
  return needed;
}

}  // namespace

bool needsBarrier(const Resource& r, VkImageLayout layout, const Access& a) {
  if (r.isImage && r.layout != layout) return true;
  return a.write ? (r.written || r.readStages) : readWaits(r, a);
}

void BarrierBatch::flush(DeviceImpl& d, VkCommandBuffer cmd) {
  if (images.empty() && buffers.empty()) return;
  vkCmdPipelineBarrier(cmd, src, dst, 0, 0, nullptr, uint32_t(buffers.size()), buffers.data(), uint32_t(images.size()),
                       images.data());
  d.counters->barriers++;
  images.clear();
  buffers.clear();
  src = dst = 0;
}

void transition(DeviceImpl& d, VkCommandBuffer cmd, Resource& r, VkImageLayout layout, const Access& a,
                BarrierBatch* batch) {
  const VkImageLayout old = r.layout;
  VkPipelineStageFlags src = 0, dst = 0;
  VkAccessFlags srcAccess = 0, dstAccess = 0;
  if (!order(r, true, layout, a, src, srcAccess, dst, dstAccess)) return;
  VkImageMemoryBarrier b{VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER};
  b.srcAccessMask = srcAccess;
  b.dstAccessMask = dstAccess;
  b.oldLayout = old;
  b.newLayout = layout;
  b.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.image = r.image;
  b.subresourceRange = {r.aspect, 0, VK_REMAINING_MIP_LEVELS, 0, VK_REMAINING_ARRAY_LAYERS};
  BarrierBatch& into = batch ? *batch : d.single;
  into.src |= src;
  into.dst |= dst;
  into.images.push_back(b);
  if (!batch) d.single.flush(d, cmd);
}

void bufferBarrier(DeviceImpl& d, VkCommandBuffer cmd, Resource& r, const Access& a, BarrierBatch* batch) {
  VkPipelineStageFlags src = 0, dst = 0;
  VkAccessFlags srcAccess = 0, dstAccess = 0;
  if (!order(r, false, VK_IMAGE_LAYOUT_UNDEFINED, a, src, srcAccess, dst, dstAccess)) return;
  VkBufferMemoryBarrier b{VK_STRUCTURE_TYPE_BUFFER_MEMORY_BARRIER};
  b.srcAccessMask = srcAccess;
  b.dstAccessMask = dstAccess;
  b.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.buffer = r.buffer;
  b.offset = 0;
  b.size = VK_WHOLE_SIZE;
  BarrierBatch& into = batch ? *batch : d.single;
  into.src |= src;
  into.dst |= dst;
  into.buffers.push_back(b);
  if (!batch) d.single.flush(d, cmd);
}

void transition(DeviceImpl& d, VkCommandBuffer cmd, Resource& r, VkImageLayout layout, bool write,
                BarrierBatch* batch) {
  transition(d, cmd, r, layout, accessOfLayout(layout, write), batch);
}

void bufferBarrier(DeviceImpl& d, VkCommandBuffer cmd, Resource& r, bool write, BarrierBatch* batch) {
  bufferBarrier(d, cmd, r,
                {VK_PIPELINE_STAGE_TRANSFER_BIT, write ? VkAccessFlags(VK_ACCESS_TRANSFER_WRITE_BIT | VK_ACCESS_TRANSFER_READ_BIT)
                                                        : VkAccessFlags(VK_ACCESS_TRANSFER_READ_BIT),
                 write},
                batch);
}

std::atomic<uint64_t> gTrackingChanges{0};

void markWritten(Resource& r, VkPipelineStageFlags stages, VkAccessFlags access) {
  trackingChanged();
  r.written = true;
  r.writeStages = stages;
  r.writeAccess = access;
  r.visibleStages = 0;
  r.visibleAccess = 0;
  r.readStages = 0;
}

static std::string megabytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f MiB", double(bytes) / (1024.0 * 1024.0));
  return text;
}

// Said for the first target refused; loading then names the operators that asked for most.
static void refuseOverBudget(DeviceImpl& d, Texture* t, uint64_t bytes) {
  d.refusedBytes += bytes;
  if (d.refusals++ > 0) return;
  const std::string owner = d.memoryOwner.empty() ? std::string() : " of " + d.memoryOwner;
  logMessage("A %ux%u target (format 0x%x, %s)%s is refused: with it the GPU memory in use would be %s, over this "
             "device's budget of %s; it draws nothing (targets refused after it are not reported one by one)\n",
             t->desc.width, t->desc.height, t->desc.format, megabytes(bytes).c_str(), owner.c_str(),
             megabytes(d.memoryInUse + bytes).c_str(), megabytes(d.limits.memoryBudget).c_str());
}

static void endRendering(DeviceImpl& d) {
  if (d.endRenderingHook) d.endRenderingHook();
}

// The usage an image is made with: what its flags ask for, plus copies and sampling where
// the format allows them. A format that cannot take all of it loses, in this order, what
// nothing asked for and then unordered access (binding such a texture as a UAV then binds
// nothing, with a message); anything else it cannot take, or a size beyond its limits, ends
// the program with a message naming the format, rather than making an invalid image.
static VkImageUsageFlags chooseImageUsage(DeviceImpl& d, Texture* t, const VkImageCreateInfo& ii) {
  const uint32_t flags = t->desc.flags;
  VkImageUsageFlags wanted = VK_IMAGE_USAGE_TRANSFER_DST_BIT;  // zero-filled or uploaded at creation
  if (flags & kBindShaderResource) wanted |= VK_IMAGE_USAGE_SAMPLED_BIT;
  if (flags & kBindRenderTarget) wanted |= VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT;
  if (flags & kBindDepthStencil) wanted |= VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT;
  const VkImageUsageFlags storage = (flags & kBindUnorderedAccess) ? VK_IMAGE_USAGE_STORAGE_BIT : 0;
  const VkImageUsageFlags optional = (VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_SAMPLED_BIT) & ~wanted;
  const VkImageUsageFlags tries[4] = {wanted | storage | optional, wanted | optional, wanted | storage, wanted};
  VkImageFormatProperties props{};
  VkImageUsageFlags usage = 0;
  bool found = false;
  for (VkImageUsageFlags u : tries) {
    if (vkGetPhysicalDeviceImageFormatProperties(d.physical, ii.format, ii.imageType, ii.tiling, u, ii.flags, &props) ==
        VK_SUCCESS) {
      usage = u;
      found = true;
      break;
    }
  }
  char text[320];
  if (!found) {
    std::snprintf(text, sizeof(text),
                  "Could not create texture: this device cannot use format %s (code 0x%x) as %s",
                  vkFormatName(ii.format), t->desc.format, imageUsageText(wanted | storage).c_str());
    fatalError(text);
  }
  if (ii.extent.width > props.maxExtent.width || ii.extent.height > props.maxExtent.height ||
      ii.extent.depth > props.maxExtent.depth || ii.mipLevels > props.maxMipLevels ||
      ii.arrayLayers > props.maxArrayLayers) {
    std::snprintf(text, sizeof(text),
                  "Could not create texture: %ux%ux%u with %u levels and %u slices is more than this device "
                  "allows for format %s (%ux%ux%u, %u levels, %u slices)",
                  ii.extent.width, ii.extent.height, ii.extent.depth, ii.mipLevels, ii.arrayLayers,
                  vkFormatName(ii.format), props.maxExtent.width, props.maxExtent.height, props.maxExtent.depth,
                  props.maxMipLevels, props.maxArrayLayers);
    fatalError(text);
  }
  if (storage && !(usage & storage)) {
    static std::map<VkFormat, bool> told;
    if (!told[ii.format])
      logMessage("Textures of format %s (code 0x%x) cannot be unordered-access views on this device; they are made "
                 "without, and binding one as a UAV binds nothing\n",
                 vkFormatName(ii.format), t->desc.format);
    told[ii.format] = true;
  }
  return usage;
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
    r->dynamic = !staging && usage == kUsageDynamic;
    if (r->dynamic) {
      r->shadow.assign(size_t(size), 0);
      if (initialData) std::memcpy(r->shadow.data(), initialData, t->byteSize());
      r->copyOnUnmap = (desc.flags & (kBindShaderResource | kBindUnorderedAccess)) != 0;
      // Constant, vertex and index data that the CPU rewrites is read from the frame's
      // upload ring; only a buffer the shaders read as a resource needs one of its own.
      if (!r->copyOnUnmap) return;
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
    r->alloc = d.allocate(req, staging ? MemoryUse::Readback : MemoryUse::DeviceLocal, false);
    check(vkBindBufferMemory(d.device, r->buffer, r->alloc.memory, r->alloc.offset), "buffer memory");
    if (staging) {
      r->mapped = r->alloc.mapped;
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
    VkCommandBuffer c = d.cmd();
    if (initialData) {
      // The data covers the buffer but a counter and the tail past a 4-byte multiple: those
      // are filled first, the copy ordered after the fill.
      vkCmdFillBuffer(c, r->buffer, 0, VK_WHOLE_SIZE, 0);
      markWritten(*r, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_ACCESS_TRANSFER_WRITE_BIT);
      Staging s = d.staging(t->byteSize(), 16);
      std::memcpy(s.ptr, initialData, t->byteSize());
      c = d.cmd();
      bufferBarrier(d, c, *r, true);
      VkBufferCopy region{s.offset, 0, t->byteSize()};
      vkCmdCopyBuffer(c, s.buffer, r->buffer, 1, &region);
    } else {
      vkCmdFillBuffer(c, r->buffer, 0, VK_WHOLE_SIZE, 0);
    }
    markWritten(*r, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_ACCESS_TRANSFER_WRITE_BIT);
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
  if (t->isCube() && r->layers >= 6) ii.flags |= VK_IMAGE_CREATE_CUBE_COMPATIBLE_BIT;
  if (r->imageType == VK_IMAGE_TYPE_3D && (desc.flags & kBindRenderTarget))
    ii.flags |= VK_IMAGE_CREATE_2D_ARRAY_COMPATIBLE_BIT;
  ii.usage = chooseImageUsage(d, t, ii);
  r->usage = ii.usage;
  ii.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  check(vkCreateImage(d.device, &ii, nullptr, &r->image), "image creation");
  d.counters->images++;
  VkMemoryRequirements req;
  vkGetImageMemoryRequirements(d.device, r->image, &req);
  if (desc.flags & (kBindRenderTarget | kBindDepthStencil | kBindUnorderedAccess)) {
    if (!d.memoryOwner.empty()) d.memoryByOwner[d.memoryOwner] += req.size;
    else d.unattributedBytes += req.size;
    if (d.memoryInUse + req.size > d.limits.memoryBudget) {
      // Over budget: no target, so whatever draws into it draws nothing (rather than the
      // system ending the process for want of memory).
      refuseOverBudget(d, t, req.size);
      vkDestroyImage(d.device, r->image, nullptr);
      delete r;
      t->resource = nullptr;
      return;
    }
  }
  r->alloc = d.allocate(req, MemoryUse::DeviceLocal, true);
  check(vkBindImageMemory(d.device, r->image, r->alloc.memory, r->alloc.offset), "image memory");

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
}

void destroyResource(Device* device, Texture* t) {
  Resource* r = t->resource;
  if (!r) return;
  t->resource = nullptr;
  DeviceImpl& d = *device->impl();
  VkDevice dev = d.device;
  DeviceImpl* owner = &d;
  d.deferDelete([owner, dev, r] {
    for (VkImageView v : {r->srv, r->uav, r->dsv, r->rtv[0], r->rtv[1], r->rtv[2], r->rtv[3], r->rtv[4], r->rtv[5]})
      if (v) vkDestroyImageView(dev, v, nullptr);
    for (auto& [key, v] : r->typedViews) vkDestroyImageView(dev, v, nullptr);
    if (r->srvTexel) vkDestroyBufferView(dev, r->srvTexel, nullptr);
    if (r->uavTexel) vkDestroyBufferView(dev, r->uavTexel, nullptr);
    if (r->image) vkDestroyImage(dev, r->image, nullptr);
    if (r->buffer) vkDestroyBuffer(dev, r->buffer, nullptr);
    if (r->stencilBuffer) vkDestroyBuffer(dev, r->stencilBuffer, nullptr);
    owner->release(r->alloc);
    owner->release(r->stencilAlloc);
    delete r;
  });
}

VkImageView imageView(DeviceImpl& d, Texture* t, int kind, uint32_t slice) {
  Resource& r = *t->resource;
  VkImageView* slot = kind == 0 ? &r.srv : kind == 1 ? &r.uav : kind == 3 ? &r.dsv : &r.rtv[std::min(slice, 5u)];
  if (*slot) return *slot;
  // The format may have refused a use the flags asked for (see chooseImageUsage).
  static const VkImageUsageFlags kNeeds[4] = {VK_IMAGE_USAGE_SAMPLED_BIT, VK_IMAGE_USAGE_STORAGE_BIT,
                                              VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT,
                                              VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT};
  if (!(r.usage & kNeeds[kind & 3])) return VK_NULL_HANDLE;
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

VkImageView shaderView(DeviceImpl& d, Texture* t, bool storage, VkImageViewType wanted) {
  VkImageView own = imageView(d, t, storage ? 1 : 0, 0);
  if (!own) return VK_NULL_HANDLE;
  Resource& r = *t->resource;
  const bool cube = t->isCube() && r.layers >= 6 && !storage;
  VkImageViewType natural;
  if (r.imageType == VK_IMAGE_TYPE_3D) natural = VK_IMAGE_VIEW_TYPE_3D;
  else if (cube) natural = r.layers > 6 ? VK_IMAGE_VIEW_TYPE_CUBE_ARRAY : VK_IMAGE_VIEW_TYPE_CUBE;
  else if (r.imageType == VK_IMAGE_TYPE_1D) natural = r.layers > 1 ? VK_IMAGE_VIEW_TYPE_1D_ARRAY : VK_IMAGE_VIEW_TYPE_1D;
  else natural = r.layers > 1 ? VK_IMAGE_VIEW_TYPE_2D_ARRAY : VK_IMAGE_VIEW_TYPE_2D;
  if (wanted == natural) return own;
  const uint32_t key = uint32_t(wanted) | (storage ? 0x100u : 0u);
  auto found = r.typedViews.find(key);
  if (found != r.typedViews.end()) return found->second;
  uint32_t layers = 0;  // 0: the texture cannot be seen as `wanted`
  switch (wanted) {
    case VK_IMAGE_VIEW_TYPE_1D: layers = r.imageType == VK_IMAGE_TYPE_1D ? 1 : 0; break;
    case VK_IMAGE_VIEW_TYPE_1D_ARRAY: layers = r.imageType == VK_IMAGE_TYPE_1D ? r.layers : 0; break;
    case VK_IMAGE_VIEW_TYPE_2D: layers = r.imageType == VK_IMAGE_TYPE_2D ? 1 : 0; break;
    case VK_IMAGE_VIEW_TYPE_2D_ARRAY: layers = r.imageType == VK_IMAGE_TYPE_2D ? r.layers : 0; break;
    case VK_IMAGE_VIEW_TYPE_CUBE: layers = cube ? 6 : 0; break;
    case VK_IMAGE_VIEW_TYPE_CUBE_ARRAY:
      layers = cube && r.layers % 6 == 0 && d.features.core.imageCubeArray ? r.layers : 0;
      break;
    default: break;
  }
  VkImageView view = VK_NULL_HANDLE;
  if (layers) {
    VkImageViewCreateInfo vi{VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO};
    vi.image = r.image;
    vi.viewType = wanted;
    vi.format = r.viewFormat;
    VkImageAspectFlags aspect = r.aspect & VK_IMAGE_ASPECT_DEPTH_BIT ? VkImageAspectFlags(VK_IMAGE_ASPECT_DEPTH_BIT) : r.aspect;
    vi.subresourceRange = {aspect, 0, storage ? 1u : r.mipLevels, 0, layers};
    check(vkCreateImageView(d.device, &vi, nullptr, &view), "view creation");
    d.counters->imageViews++;
  }
  r.typedViews[key] = view;
  return view;
}

VkBufferView texelView(DeviceImpl& d, Texture* t, bool uav) {
  Resource& r = *t->resource;
  VkBufferView* slot = uav ? &r.uavTexel : &r.srvTexel;
  if (*slot) return *slot;
  if (!r.buffer) return VK_NULL_HANDLE;  // a dynamic buffer that lives in the upload ring
  VkFormat f = toVkFormat(t->viewFormat);
  if (f == VK_FORMAT_UNDEFINED) return VK_NULL_HANDLE;
  const uint32_t texelBytes = t->desc.bitsPerPixel ? t->desc.bitsPerPixel / 8 : 0;
  const uint64_t elements = texelBytes ? r.size / texelBytes : 0;
  if (elements > d.limits.texelBufferElements) {
    char text[200];
    std::snprintf(text, sizeof(text),
                  "A typed buffer of %llu elements cannot be read on this device, which allows %u "
                  "(maxTexelBufferElements)",
                  static_cast<unsigned long long>(elements), d.limits.texelBufferElements);
    fatalError(text);
  }
  VkBufferViewCreateInfo vi{VK_STRUCTURE_TYPE_BUFFER_VIEW_CREATE_INFO};
  vi.buffer = r.buffer;
  vi.format = f;
  vi.offset = 0;
  vi.range = r.size;
  check(vkCreateBufferView(d.device, &vi, nullptr, slot), "buffer view creation");
  d.counters->bufferViews++;
  return *slot;
}

// ---------------------------------------------------------------- stand-ins for unbound slots

Resource* dummyBuffer(DeviceImpl& d, bool writable) {
  Resource*& slot = writable ? d.dummies.scratch : d.dummies.zero;
  if (slot) return slot;
  endRendering(d);
  auto* r = new Resource;
  VkBufferCreateInfo bi{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
  bi.size = kDummyBufferSize;
  bi.usage = VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT | VK_BUFFER_USAGE_STORAGE_BUFFER_BIT |
             VK_BUFFER_USAGE_UNIFORM_TEXEL_BUFFER_BIT | VK_BUFFER_USAGE_STORAGE_TEXEL_BUFFER_BIT |
             VK_BUFFER_USAGE_TRANSFER_DST_BIT;
  check(vkCreateBuffer(d.device, &bi, nullptr, &r->buffer), "buffer creation");
  d.counters->buffers++;
  VkMemoryRequirements req;
  vkGetBufferMemoryRequirements(d.device, r->buffer, &req);
  r->alloc = d.allocate(req, MemoryUse::DeviceLocal, false);
  check(vkBindBufferMemory(d.device, r->buffer, r->alloc.memory, r->alloc.offset), "buffer memory");
  r->size = kDummyBufferSize;
  vkCmdFillBuffer(d.cmd(), r->buffer, 0, VK_WHOLE_SIZE, 0);
  markWritten(*r, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_ACCESS_TRANSFER_WRITE_BIT);
  slot = r;
  return r;
}

Resource* dummyImage(DeviceImpl& d, VkImageViewType type, VkFormat format, bool storage) {
  const uint64_t key = uint64_t(type) | (uint64_t(format) << 8) | (uint64_t(storage) << 40);
  auto found = d.dummies.images.find(key);
  if (found != d.dummies.images.end()) return found->second;
  Resource*& slot = d.dummies.images[key];
  const bool cube = type == VK_IMAGE_VIEW_TYPE_CUBE || type == VK_IMAGE_VIEW_TYPE_CUBE_ARRAY;
  VkImageCreateInfo ii{VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO};
  ii.imageType = type == VK_IMAGE_VIEW_TYPE_1D || type == VK_IMAGE_VIEW_TYPE_1D_ARRAY ? VK_IMAGE_TYPE_1D
                 : type == VK_IMAGE_VIEW_TYPE_3D                                       ? VK_IMAGE_TYPE_3D
                                                                                       : VK_IMAGE_TYPE_2D;
  ii.format = format;
  ii.extent = {1, 1, 1};
  ii.mipLevels = 1;
  ii.arrayLayers = cube ? 6 : 1;
  ii.samples = VK_SAMPLE_COUNT_1_BIT;
  ii.tiling = VK_IMAGE_TILING_OPTIMAL;
  ii.usage = VK_IMAGE_USAGE_TRANSFER_DST_BIT | (storage ? VK_IMAGE_USAGE_STORAGE_BIT : VK_IMAGE_USAGE_SAMPLED_BIT);
  ii.flags = cube ? VK_IMAGE_CREATE_CUBE_COMPATIBLE_BIT : 0;
  VkImageFormatProperties props;
  if (format == VK_FORMAT_UNDEFINED ||
      (type == VK_IMAGE_VIEW_TYPE_CUBE_ARRAY && !d.features.core.imageCubeArray) ||
      vkGetPhysicalDeviceImageFormatProperties(d.physical, format, ii.imageType, ii.tiling, ii.usage, ii.flags,
                                               &props) != VK_SUCCESS)
    return slot = nullptr;
  endRendering(d);
  auto* r = new Resource;
  r->isImage = true;
  r->format = r->viewFormat = r->targetFormat = format;
  r->imageType = ii.imageType;
  r->layers = ii.arrayLayers;
  r->usage = ii.usage;
  check(vkCreateImage(d.device, &ii, nullptr, &r->image), "image creation");
  d.counters->images++;
  VkMemoryRequirements req;
  vkGetImageMemoryRequirements(d.device, r->image, &req);
  r->alloc = d.allocate(req, MemoryUse::DeviceLocal, true);
  check(vkBindImageMemory(d.device, r->image, r->alloc.memory, r->alloc.offset), "image memory");
  const bool depth = format == VK_FORMAT_D32_SFLOAT;  // a stand-in for a texture compared with SampleCmp
  r->aspect = depth ? VK_IMAGE_ASPECT_DEPTH_BIT : VK_IMAGE_ASPECT_COLOR_BIT;
  VkImageViewCreateInfo vi{VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO};
  vi.image = r->image;
  vi.viewType = type;
  vi.format = format;
  vi.subresourceRange = {r->aspect, 0, 1, 0, ii.arrayLayers};
  check(vkCreateImageView(d.device, &vi, nullptr, storage ? &r->uav : &r->srv), "view creation");
  d.counters->imageViews++;
  VkCommandBuffer c = d.cmd();
  transition(d, c, *r, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, true);
  VkImageSubresourceRange range{r->aspect, 0, 1, 0, ii.arrayLayers};
  if (depth) {
    VkClearDepthStencilValue zero{0.0f, 0};
    vkCmdClearDepthStencilImage(c, r->image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &zero, 1, &range);
  } else {
    VkClearColorValue zero{};
    vkCmdClearColorImage(c, r->image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &zero, 1, &range);
  }
  return slot = r;
}

VkBufferView dummyTexelView(DeviceImpl& d, VkFormat format, bool storage) {
  const uint64_t key = uint64_t(format) | (uint64_t(storage) << 32);
  auto found = d.dummies.texelViews.find(key);
  if (found != d.dummies.texelViews.end()) return found->second;
  VkBufferView& view = d.dummies.texelViews[key];
  VkFormatProperties fp{};
  vkGetPhysicalDeviceFormatProperties(d.physical, format, &fp);
  const VkFormatFeatureFlags need =
      storage ? VK_FORMAT_FEATURE_STORAGE_TEXEL_BUFFER_BIT : VK_FORMAT_FEATURE_UNIFORM_TEXEL_BUFFER_BIT;
  if (format == VK_FORMAT_UNDEFINED || !(fp.bufferFeatures & need)) return view = VK_NULL_HANDLE;
  Resource* buffer = dummyBuffer(d, storage);
  VkBufferViewCreateInfo vi{VK_STRUCTURE_TYPE_BUFFER_VIEW_CREATE_INFO};
  vi.buffer = buffer->buffer;
  vi.format = format;
  vi.range = VK_WHOLE_SIZE;
  check(vkCreateBufferView(d.device, &vi, nullptr, &view), "buffer view creation");
  d.counters->bufferViews++;
  return view;
}

void destroyDummies(DeviceImpl& d) {
  for (auto& [key, view] : d.dummies.texelViews)
    if (view) vkDestroyBufferView(d.device, view, nullptr);
  d.dummies.texelViews.clear();
  auto destroy = [&d](Resource* r) {
    if (!r) return;
    if (r->srv) vkDestroyImageView(d.device, r->srv, nullptr);
    if (r->uav) vkDestroyImageView(d.device, r->uav, nullptr);
    if (r->image) vkDestroyImage(d.device, r->image, nullptr);
    if (r->buffer) vkDestroyBuffer(d.device, r->buffer, nullptr);
    d.release(r->alloc);
    delete r;
  };
  for (auto& [key, r] : d.dummies.images) destroy(r);
  d.dummies.images.clear();
  destroy(d.dummies.zero);
  destroy(d.dummies.scratch);
  d.dummies.zero = d.dummies.scratch = nullptr;
}

}  // namespace gfxbackend

using namespace gfxbackend;

namespace {

// The instance, with the surface extensions the loader offers (a window may come later), the
// validation layer when asked for, and its messenger. True when debug labels can be used.
bool createInstance(DeviceImpl& d, const DeviceOptions& options) {
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
  return debugUtils;
}

// A CPU driver bins each render pass's work into heap blocks it frees when the pass is done.
// glibc hands a freed top of the heap back to the system at once, so the next pass faults
// every page in afresh: on lavapipe that was a fifth of the sample's frame time, in the
// kernel. Up to this much freed heap is kept for the next pass instead.
constexpr int kCpuDriverHeapKept = 512 << 20;

void keepFreedHeapForCpuDriver() {
#if defined(__GLIBC__)
  mallopt(M_TRIM_THRESHOLD, kCpuDriverHeapKept);
#endif
}

// The window's surface, then the physical device: its properties, memory and queue family.
void choosePhysicalDevice(DeviceImpl& d, const DeviceOptions& options) {
  uint32_t count = 0;
  // The window's surface first: the device must have a queue that can present to it.
  if (options.window) {
    if (SDL_Vulkan_CreateSurface(options.window, d.instance, &d.surface))
      d.surfaceWindow = options.window;
    else
      logMessage("Could not create a Vulkan surface for the window: %s\n", SDL_GetError());
  }

  // Every device is described with what would keep it from being used; ZV_DEVICE may name
  // one, otherwise discrete GPUs come first.
  vkEnumeratePhysicalDevices(d.instance, &count, nullptr);
  std::vector<VkPhysicalDevice> physicals(count);
  vkEnumeratePhysicalDevices(d.instance, &count, physicals.data());
  std::vector<DeviceCandidate> candidates;
  std::vector<uint32_t> families;
  for (VkPhysicalDevice p : physicals) {
    VkPhysicalDeviceProperties props;
    vkGetPhysicalDeviceProperties(p, &props);
    DeviceCandidate c;
    c.name = props.deviceName;
    c.type = props.deviceType;
    uint32_t family = UINT32_MAX;
    uint32_t n = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(p, &n, nullptr);
    std::vector<VkQueueFamilyProperties> queues(n);
    vkGetPhysicalDeviceQueueFamilyProperties(p, &n, queues.data());
    bool graphics = false;
    for (uint32_t i = 0; i < n && family == UINT32_MAX; ++i) {
      if (!(queues[i].queueFlags & VK_QUEUE_GRAPHICS_BIT) || !(queues[i].queueFlags & VK_QUEUE_COMPUTE_BIT)) continue;
      graphics = true;
      VkBool32 present = VK_TRUE;
      if (d.surface) vkGetPhysicalDeviceSurfaceSupportKHR(p, i, d.surface, &present);
      if (present) family = i;
    }
    VkPhysicalDeviceVulkan13Features f13{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_FEATURES};
    VkPhysicalDeviceFeatures2 f2{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2, &f13};
    if (props.apiVersion >= VK_API_VERSION_1_3) vkGetPhysicalDeviceFeatures2(p, &f2);
    char text[96];
    if (props.apiVersion < VK_API_VERSION_1_3) {
      std::snprintf(text, sizeof(text), "its driver offers Vulkan %u.%u, below 1.3", VK_API_VERSION_MAJOR(props.apiVersion),
                    VK_API_VERSION_MINOR(props.apiVersion));
      c.problem = text;
    } else if (!graphics) {
      c.problem = "no queue runs both graphics and compute";
    } else if (family == UINT32_MAX) {
      c.problem = "it cannot present to the window";
    } else if (!f13.dynamicRendering) {
      c.problem = "no dynamic rendering";
    }
    candidates.push_back(c);
    families.push_back(family);
  }
  std::string choiceLog;
  const int chosen = chooseDevice(candidates, std::getenv("ZV_DEVICE"), choiceLog);
  logMessage("%s", choiceLog.c_str());
  if (chosen < 0) fatalError("Failed to create dx11 device");
  d.physical = physicals[size_t(chosen)];
  d.queueFamily = families[size_t(chosen)];
  vkGetPhysicalDeviceProperties(d.physical, &d.properties);
  vkGetPhysicalDeviceMemoryProperties(d.physical, &d.memory);
  if (d.properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU) keepFreedHeapForCpuDriver();
}

// What the logical device is created with: its extensions, and the feature structures chained
// from `enable` (they point at one another, so the set-up is filled in place and never copied).
struct DeviceSetup {
  std::vector<const char*> extensions;
  bool pushDescriptors = false;
  bool memoryBudgetExtension = false;
  VkPhysicalDeviceFeatures2 enable{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2};
  VkPhysicalDeviceVulkan11Features on11{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_1_FEATURES};
  VkPhysicalDeviceVulkan12Features on12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES};
  VkPhysicalDeviceVulkan13Features on13{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_FEATURES};
  VkPhysicalDeviceRobustness2FeaturesEXT robustOn{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ROBUSTNESS_2_FEATURES_EXT};
  VkPhysicalDeviceCustomBorderColorFeaturesEXT borderOn{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_CUSTOM_BORDER_COLOR_FEATURES_EXT};
  DeviceSetup() = default;
  DeviceSetup(const DeviceSetup&) = delete;
  DeviceSetup& operator=(const DeviceSetup&) = delete;
};

// The extensions and features to enable: what the driver offers, less what the options force off.
void chooseFeatures(DeviceImpl& d, const DeviceOptions& options, DeviceSetup& s) {
  uint32_t extCount = 0;
  vkEnumerateDeviceExtensionProperties(d.physical, nullptr, &extCount, nullptr);
  std::vector<VkExtensionProperties> chosenExts(extCount);
  vkEnumerateDeviceExtensionProperties(d.physical, nullptr, &extCount, chosenExts.data());

  std::vector<const char*>& devExts = s.extensions;
  const bool pushDescriptors = s.pushDescriptors = hasExtension(chosenExts, VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME);
  if (pushDescriptors) devExts.push_back(VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME);
  d.hlslExtensions = hasExtension(chosenExts, "VK_GOOGLE_hlsl_functionality1") &&
                     hasExtension(chosenExts, "VK_GOOGLE_decorate_string");
  if (d.hlslExtensions) {
    devExts.push_back("VK_GOOGLE_hlsl_functionality1");
    devExts.push_back("VK_GOOGLE_decorate_string");
  }
  const bool memoryBudgetExtension = s.memoryBudgetExtension = hasExtension(chosenExts, VK_EXT_MEMORY_BUDGET_EXTENSION_NAME);
  if (memoryBudgetExtension) devExts.push_back(VK_EXT_MEMORY_BUDGET_EXTENSION_NAME);
  d.swapchainExtension = hasExtension(chosenExts, VK_KHR_SWAPCHAIN_EXTENSION_NAME);
  if (d.swapchainExtension) devExts.push_back(VK_KHR_SWAPCHAIN_EXTENSION_NAME);
  const uint32_t off = options.disabledFeatures;
  const bool robustness2 = hasExtension(chosenExts, VK_EXT_ROBUSTNESS_2_EXTENSION_NAME) &&
                           (off & (kFeatureNullDescriptor | kFeatureRobustAccess)) !=
                               (kFeatureNullDescriptor | kFeatureRobustAccess);

  VkPhysicalDeviceFeatures supported;
  vkGetPhysicalDeviceFeatures(d.physical, &supported);
  VkPhysicalDeviceRobustness2FeaturesEXT robust{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ROBUSTNESS_2_FEATURES_EXT};
  VkPhysicalDeviceVulkan13Features f13{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_FEATURES};
  VkPhysicalDeviceVulkan12Features f12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES};
  VkPhysicalDeviceVulkan11Features f11{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_1_FEATURES};
  f13.pNext = &f12;
  f12.pNext = &f11;
  if (robustness2) f11.pNext = &robust;
  // Border colours other than Vulkan's three fixed ones.
  const bool customBorderExtension = hasExtension(chosenExts, VK_EXT_CUSTOM_BORDER_COLOR_EXTENSION_NAME) &&
                                     !(options.disabledFeatures & kFeatureCustomBorderColour);
  VkPhysicalDeviceCustomBorderColorFeaturesEXT border{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_CUSTOM_BORDER_COLOR_FEATURES_EXT};
  VkPhysicalDeviceFeatures2 query{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2};
  query.pNext = &f13;
  if (customBorderExtension) {
    border.pNext = query.pNext;
    query.pNext = &border;
  }
  vkGetPhysicalDeviceFeatures2(d.physical, &query);
  // Direct3D reads zeros outside what is bound and drops such writes; shaders written for it
  // may rely on that, so bounds checks are asked for where the driver has them.
  const bool robustAccess = !(off & kFeatureRobustAccess);
  VkPhysicalDeviceRobustness2FeaturesEXT& robustOn = s.robustOn;
  robustOn.nullDescriptor = robust.nullDescriptor && !(off & kFeatureNullDescriptor);
  robustOn.robustBufferAccess2 = robustAccess && supported.robustBufferAccess && robust.robustBufferAccess2;
  robustOn.robustImageAccess2 = robustAccess && robust.robustImageAccess2;
  d.nullDescriptor = robustness2 && robustOn.nullDescriptor;
  d.features.robustBufferAccess2 = robustOn.robustBufferAccess2;
  d.features.robustImageAccess2 = robustOn.robustImageAccess2;
  const bool useRobustness2 =
      robustness2 && (robustOn.nullDescriptor || robustOn.robustBufferAccess2 || robustOn.robustImageAccess2);
  VkPhysicalDeviceVulkan11Features& on11 = s.on11;
  on11.shaderDrawParameters = f11.shaderDrawParameters;
  d.features.shaderDrawParameters = f11.shaderDrawParameters;
  VkPhysicalDeviceVulkan12Features& on12 = s.on12;
  on12.scalarBlockLayout = f12.scalarBlockLayout;
  on12.uniformBufferStandardLayout = f12.uniformBufferStandardLayout;
  on12.samplerMirrorClampToEdge = f12.samplerMirrorClampToEdge;
  on12.shaderFloat16 = f12.shaderFloat16;
  on12.shaderInt8 = f12.shaderInt8;
  on12.shaderOutputViewportIndex = f12.shaderOutputViewportIndex;
  on12.shaderOutputLayer = f12.shaderOutputLayer;
  d.features.shaderFloat16 = f12.shaderFloat16;
  d.features.shaderInt8 = f12.shaderInt8;
  d.features.shaderOutputViewportIndex = f12.shaderOutputViewportIndex;
  d.features.shaderOutputLayer = f12.shaderOutputLayer;
  d.mirrorOnce = f12.samplerMirrorClampToEdge == VK_TRUE && !(off & kFeatureMirrorOnce);
  on12.samplerMirrorClampToEdge = d.mirrorOnce ? VK_TRUE : VK_FALSE;
  if (!f12.scalarBlockLayout) logMessage("Vulkan: %s has no scalar block layout; constant buffers may not draw\n",
                                         d.properties.deviceName);
  VkPhysicalDeviceVulkan13Features& on13 = s.on13;
  on13.dynamicRendering = VK_TRUE;
  on13.synchronization2 = f13.synchronization2;
  on13.robustImageAccess = robustAccess && f13.robustImageAccess;
  // discard in HLSL leaves the pixel running as a helper, so derivatives stay defined.
  on13.shaderDemoteToHelperInvocation = f13.shaderDemoteToHelperInvocation;
  on13.maintenance4 = f13.maintenance4;  // compute group sizes given by constant ids
  d.features.demoteToHelper = f13.shaderDemoteToHelperInvocation;
  d.features.maintenance4 = f13.maintenance4;
  on13.pNext = &on12;
  on12.pNext = &on11;
  if (useRobustness2) {
    on11.pNext = &robustOn;
    devExts.push_back(VK_EXT_ROBUSTNESS_2_EXTENSION_NAME);
  }
  VkPhysicalDeviceFeatures2& enable = s.enable;
  enable.pNext = &on13;
  // Samplers are made before the textures they meet, so only colours without a format serve.
  VkPhysicalDeviceCustomBorderColorFeaturesEXT& borderOn = s.borderOn;
  if (customBorderExtension && border.customBorderColors && border.customBorderColorWithoutFormat) {
    borderOn.customBorderColors = VK_TRUE;
    borderOn.customBorderColorWithoutFormat = VK_TRUE;
    borderOn.pNext = enable.pNext;
    enable.pNext = &borderOn;
    devExts.push_back(VK_EXT_CUSTOM_BORDER_COLOR_EXTENSION_NAME);
    VkPhysicalDeviceCustomBorderColorPropertiesEXT borderProps{
        VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_CUSTOM_BORDER_COLOR_PROPERTIES_EXT};
    VkPhysicalDeviceProperties2 p2{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2, &borderProps};
    vkGetPhysicalDeviceProperties2(d.physical, &p2);
    d.customBorderSamplersLeft = borderProps.maxCustomBorderColorSamplers;
  }
  VkPhysicalDeviceFeatures& fe = enable.features;
  auto unless = [off](uint32_t bit, VkBool32 v) { return (off & bit) ? VK_FALSE : v; };
  fe.robustBufferAccess = unless(kFeatureRobustAccess, supported.robustBufferAccess);
  fe.geometryShader = unless(kFeatureGeometryShader, supported.geometryShader);
  fe.tessellationShader = unless(kFeatureTessellation, supported.tessellationShader);
  fe.shaderTessellationAndGeometryPointSize = supported.shaderTessellationAndGeometryPointSize;
  fe.fillModeNonSolid = unless(kFeatureWireframe, supported.fillModeNonSolid);
  fe.independentBlend = unless(kFeatureIndependentBlend, supported.independentBlend);
  fe.dualSrcBlend = unless(kFeatureDualSourceBlend, supported.dualSrcBlend);
  fe.samplerAnisotropy = supported.samplerAnisotropy;
  d.anisotropy = supported.samplerAnisotropy == VK_TRUE;
  fe.depthBiasClamp = unless(kFeatureDepthBiasClamp, supported.depthBiasClamp);
  fe.textureCompressionBC = supported.textureCompressionBC;
  fe.imageCubeArray = supported.imageCubeArray;
  fe.fragmentStoresAndAtomics = supported.fragmentStoresAndAtomics;
  fe.vertexPipelineStoresAndAtomics = supported.vertexPipelineStoresAndAtomics;
  fe.shaderStorageImageWriteWithoutFormat = unless(kFeatureStorageWithoutFormat, supported.shaderStorageImageWriteWithoutFormat);
  fe.shaderStorageImageReadWithoutFormat = unless(kFeatureStorageWithoutFormat, supported.shaderStorageImageReadWithoutFormat);
  fe.shaderStorageImageExtendedFormats = supported.shaderStorageImageExtendedFormats;
  fe.shaderStorageImageMultisample = supported.shaderStorageImageMultisample;
  fe.shaderImageGatherExtended = supported.shaderImageGatherExtended;
  fe.shaderUniformBufferArrayDynamicIndexing = supported.shaderUniformBufferArrayDynamicIndexing;
  fe.shaderSampledImageArrayDynamicIndexing = supported.shaderSampledImageArrayDynamicIndexing;
  fe.shaderStorageBufferArrayDynamicIndexing = supported.shaderStorageBufferArrayDynamicIndexing;
  fe.shaderStorageImageArrayDynamicIndexing = supported.shaderStorageImageArrayDynamicIndexing;
  fe.multiDrawIndirect = supported.multiDrawIndirect;
  fe.drawIndirectFirstInstance = supported.drawIndirectFirstInstance;
  fe.shaderClipDistance = supported.shaderClipDistance;
  fe.shaderCullDistance = supported.shaderCullDistance;
  fe.shaderFloat64 = unless(kFeatureFloat64, supported.shaderFloat64);
  fe.shaderInt64 = unless(kFeatureInt64, supported.shaderInt64);
  fe.shaderInt16 = supported.shaderInt16;
  fe.shaderResourceMinLod = supported.shaderResourceMinLod;
  fe.shaderResourceResidency = supported.shaderResourceResidency;
  fe.sampleRateShading = supported.sampleRateShading;
  fe.multiViewport = supported.multiViewport;
  fe.largePoints = supported.largePoints;
  d.features.core = fe;
}

// The logical device and its one queue.
void createQueues(DeviceImpl& d, const DeviceSetup& s) {
  float priority = 1.0f;
  VkDeviceQueueCreateInfo qi{VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
  qi.queueFamilyIndex = d.queueFamily;
  qi.queueCount = 1;
  qi.pQueuePriorities = &priority;
  VkDeviceCreateInfo dci{VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO};
  dci.pNext = &s.enable;
  dci.queueCreateInfoCount = 1;
  dci.pQueueCreateInfos = &qi;
  dci.enabledExtensionCount = uint32_t(s.extensions.size());
  dci.ppEnabledExtensionNames = s.extensions.data();
  VkResult res = vkCreateDevice(d.physical, &dci, nullptr, &d.device);
  if (res != VK_SUCCESS) deviceFailed("vkCreateDevice", res);
  vkGetDeviceQueue(d.device, d.queueFamily, 0, &d.queue);
}

// Limits read once the device exists: descriptors, allocations, what a production may meet,
// the memory budget, debug labels and the depth format that stands in for 24-bit depth.
void readLimits(DeviceImpl& d, const DeviceOptions& options, const DeviceSetup& s, bool debugUtils) {
  const bool pushDescriptors = s.pushDescriptors;
  const bool memoryBudgetExtension = s.memoryBudgetExtension;
  // Descriptor limits: what may be pushed, and how many live allocations the driver allows
  // (a few are left for the swap chain and the driver's own).
  if (pushDescriptors) {
    VkPhysicalDevicePushDescriptorPropertiesKHR push{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PUSH_DESCRIPTOR_PROPERTIES_KHR};
    VkPhysicalDeviceProperties2 p2{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2, &push};
    vkGetPhysicalDeviceProperties2(d.physical, &p2);
    d.pushDescriptorLimit = std::min(push.maxPushDescriptors, options.pushDescriptorLimit);
    d.pushDescriptorSet =
        reinterpret_cast<PFN_vkCmdPushDescriptorSetKHR>(vkGetDeviceProcAddr(d.device, "vkCmdPushDescriptorSetKHR"));
    if (!d.pushDescriptorSet) d.pushDescriptorLimit = 0;
  }
  const uint32_t driverAllocations = d.properties.limits.maxMemoryAllocationCount;
  d.allocationLimit = driverAllocations > 1024 ? driverAllocations - 64 : driverAllocations;
  if (options.memoryAllocationLimit) d.allocationLimit = std::min(d.allocationLimit, options.memoryAllocationLimit);
  d.memoryBlockSize = options.memoryBlockSize;

  // Limits a production may meet, queried rather than assumed (what Direct3D guarantees is
  // more than Vulkan does: five colour targets, 64 KB constant buffers, anisotropy 16, 1024
  // threads a group, float32 filtering and blending).
  const VkPhysicalDeviceLimits& lim = d.properties.limits;
  auto lower = [](uint64_t driver, uint64_t forced) { return forced && forced < driver ? forced : driver; };
  d.limits.colourTargets = uint32_t(lower(lim.maxColorAttachments, options.limits.colourTargets));
  d.limits.uniformRange = uint32_t(lower(lim.maxUniformBufferRange, options.limits.uniformRange));
  d.limits.anisotropy =
      uint32_t(lower(d.anisotropy ? uint32_t(lim.maxSamplerAnisotropy) : 1u, options.limits.anisotropy));
  d.limits.computeInvocations =
      uint32_t(lower(lim.maxComputeWorkGroupInvocations, options.limits.computeInvocations));
  d.limits.texelBufferElements = uint32_t(lower(lim.maxTexelBufferElements, options.limits.texelBufferElements));
  for (VkFormat f : {VK_FORMAT_R32_SFLOAT, VK_FORMAT_R32G32_SFLOAT, VK_FORMAT_R32G32B32A32_SFLOAT}) {
    const VkFormatFeatureFlags ff = d.formatFeatures(f);
    d.float32Filtering = d.float32Filtering && (ff & VK_FORMAT_FEATURE_SAMPLED_IMAGE_FILTER_LINEAR_BIT);
    d.float32Blending = d.float32Blending && (ff & VK_FORMAT_FEATURE_COLOR_ATTACHMENT_BLEND_BIT);
  }
  if (options.disabledFeatures & kFeatureFloat32Filtering) d.float32Filtering = false;
  if (options.disabledFeatures & kFeatureFloat32Blending) d.float32Blending = false;
  // The memory budget: the driver's (VK_EXT_memory_budget) where it tells one, else what the
  // device-local heaps hold.
  uint64_t heaps = 0, budget = 0;
  VkPhysicalDeviceMemoryBudgetPropertiesEXT budgets{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_MEMORY_BUDGET_PROPERTIES_EXT};
  if (memoryBudgetExtension) {
    VkPhysicalDeviceMemoryProperties2 mp{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_MEMORY_PROPERTIES_2, &budgets};
    vkGetPhysicalDeviceMemoryProperties2(d.physical, &mp);
  }
  for (uint32_t h = 0; h < d.memory.memoryHeapCount; ++h) {
    if (!(d.memory.memoryHeaps[h].flags & VK_MEMORY_HEAP_DEVICE_LOCAL_BIT)) continue;
    heaps += d.memory.memoryHeaps[h].size;
    budget += memoryBudgetExtension && budgets.heapBudget[h] ? budgets.heapBudget[h] : d.memory.memoryHeaps[h].size;
  }
  d.limits.memoryBudget = lower(budget ? budget : heaps, options.limits.memoryBudget);
  if (debugUtils) {
    d.beginLabel = reinterpret_cast<PFN_vkCmdBeginDebugUtilsLabelEXT>(
        vkGetInstanceProcAddr(d.instance, "vkCmdBeginDebugUtilsLabelEXT"));
    d.endLabel =
        reinterpret_cast<PFN_vkCmdEndDebugUtilsLabelEXT>(vkGetInstanceProcAddr(d.instance, "vkCmdEndDebugUtilsLabelEXT"));
  }
  // 24-bit depth with stencil is not everywhere; 32-bit float depth with stencil stands in.
  VkFormatProperties fp;
  vkGetPhysicalDeviceFormatProperties(d.physical, VK_FORMAT_D24_UNORM_S8_UINT, &fp);
  if (!(fp.optimalTilingFeatures & VK_FORMAT_FEATURE_DEPTH_STENCIL_ATTACHMENT_BIT) ||
      (options.disabledFeatures & kFeatureDepth24))
    d.depth24 = VK_FORMAT_D32_SFLOAT_S8_UINT;
}

}  // namespace

Device::Device(const DeviceOptions& options) {
  impl_ = new DeviceImpl;
  DeviceImpl& d = *impl_;
  d.owner = this;
  d.counters = &counters_;
  const char* env = std::getenv("ZV_VALIDATION");
  d.validation = options.validation || (env && std::strcmp(env, "1") == 0);

  const bool debugUtils = createInstance(d, options);
  choosePhysicalDevice(d, options);
  DeviceSetup setup;
  chooseFeatures(d, options, setup);
  createQueues(d, setup);
  readLimits(d, options, setup, debugUtils);

  d.pipelineCachePath = options.pipelineCachePath;
  loadPipelineCache(d);

  for (Frame& f : d.frames) {
    VkCommandPoolCreateInfo pi{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
    pi.queueFamilyIndex = d.queueFamily;
    pi.flags = VK_COMMAND_POOL_CREATE_TRANSIENT_BIT;
    f.commandMemory = std::make_unique<CommandMemory>();
    check(vkCreateCommandPool(d.device, &pi, f.commandMemory->callbacks(), &f.pool), "command pool");
    VkCommandBufferAllocateInfo ai{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
    ai.commandPool = f.pool;
    ai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    ai.commandBufferCount = 1;
    check(vkAllocateCommandBuffers(d.device, &ai, &f.cmd), "command buffer");
    VkFenceCreateInfo fi{VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
    check(vkCreateFence(d.device, &fi, nullptr, &f.fence), "fence");
    createRing(d, f.ring);
  }
  // A sampler slot nothing is bound to samples as Direct3D's default sampler does: linear
  // filtering, clamped coordinates, border 1, no anisotropy. Shaders written for it rely on that.
  SamplerDesc unbound = SamplerDesc::forMode(samplerMode(7, 1, 1, 1));
  unbound.maxAnisotropy = 1;
  for (float& c : unbound.borderColour) c = 1.0f;
  VkSamplerCreateInfo si = toVkSampler(unbound);
  check(vkCreateSampler(d.device, &si, nullptr, &d.defaultSampler), "sampler");
  counters_.samplers++;

  context_ = new DeviceContext(this);
  defaultState_ = stateFor(RenderStateDesc::defaults());
  for (uint32_t i = 0; i < 6; ++i) defaultInputLayout(i);
  if (!gDevice) gDevice = this;
}

Device::~Device() {
  // The process-wide caches give back what they hold of this Device while it still works.
  forgetDeviceObjects(this);
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
  d.lastSampler = nullptr;
  states_.clear();
  for (Frame& f : d.frames) {
    for (auto& fn : f.deletions) fn();
    f.deletions.clear();
    vkDestroyBuffer(d.device, f.ring.buffer, nullptr);
    d.release(f.ring.alloc);
    vkDestroyFence(d.device, f.fence, nullptr);
    vkDestroyCommandPool(d.device, f.pool, f.commandMemory ? f.commandMemory->callbacks() : nullptr);
    for (VkDescriptorPool pool : f.descriptorPools) vkDestroyDescriptorPool(d.device, pool, nullptr);
    f.descriptorPools.clear();
  }
  destroyDummies(d);
  savePipelineCache();
  if (d.pipelineCache) vkDestroyPipelineCache(d.device, d.pipelineCache, nullptr);
  d.releaseAllMemory();
  vkDestroySampler(d.device, d.defaultSampler, nullptr);
  vkDestroyDevice(d.device, nullptr);
  if (d.surface) vkDestroySurfaceKHR(d.instance, d.surface, nullptr);
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
uint32_t Device::memoryAllocationCount() const { return impl_->liveAllocations; }
uint64_t Device::memoryInUse() const { return impl_->memoryInUse; }
uint64_t Device::memoryBudget() const { return impl_->limits.memoryBudget; }
const DeviceLimits& Device::limits() const { return impl_->limits; }
bool Device::pipelineCacheLoaded() const { return impl_->pipelineCacheLoaded; }
const char* Device::deviceName() const { return impl_->properties.deviceName; }

bool Device::cpuDriver() const { return impl_->properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU; }
bool Device::savePipelineCache() { return gfxbackend::savePipelineCache(*impl_); }
bool Device::validationEnabled() const { return impl_->validation && impl_->messenger; }

uint32_t Device::maxImageSize() const { return impl_->properties.limits.maxImageDimension2D; }
void Device::waitIdle() { impl_->submit(true); }

Sampler* Device::samplerFor(const SamplerDesc& desc) {
  Sampler* last = impl_->lastSampler;
  if (last && std::memcmp(&last->desc, &desc, sizeof(desc)) == 0) return last;
  uint32_t hash = descHash(desc);
  auto& bucket = samplers_[hash];
  for (Sampler* s : bucket)
    if (std::memcmp(&s->desc, &desc, sizeof(desc)) == 0) return impl_->lastSampler = s;
  auto* s = new Sampler;
  s->desc = desc;
  s->hash = hash;
  s->device = this;
  s->impl = new SamplerImpl;
  VkSamplerCreateInfo si = toVkSampler(desc);
  si.anisotropyEnable = si.anisotropyEnable && impl_->anisotropy;
  if (si.anisotropyEnable && si.maxAnisotropy > float(impl_->limits.anisotropy)) {
    if (!impl_->anisotropyFallbackTold)
      logMessage("Anisotropy %g is drawn as %u, the most this device allows (maxSamplerAnisotropy); other "
                 "samplers are limited the same way\n",
                 double(si.maxAnisotropy), impl_->limits.anisotropy);
    impl_->anisotropyFallbackTold = true;
    si.maxAnisotropy = float(impl_->limits.anisotropy);
    si.anisotropyEnable = impl_->limits.anisotropy > 1 ? VK_TRUE : VK_FALSE;
  }
  // A border colour of Direct3D's own: the device's custom colours where it has them, else
  // the nearest fixed one (said once).
  VkSamplerCustomBorderColorCreateInfoEXT custom{VK_STRUCTURE_TYPE_SAMPLER_CUSTOM_BORDER_COLOR_CREATE_INFO_EXT};
  const float* b = desc.borderColour;
  bool border = false;
  for (VkSamplerAddressMode mode : {si.addressModeU, si.addressModeV, si.addressModeW})
    border = border || mode == VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_BORDER;
  auto same = [b](float r, float g, float bl, float a) { return b[0] == r && b[1] == g && b[2] == bl && b[3] == a; };
  if (border && !same(0, 0, 0, 0) && !same(0, 0, 0, 1) && !same(1, 1, 1, 1)) {
    if (impl_->customBorderSamplersLeft > 0) {
      --impl_->customBorderSamplersLeft;
      si.borderColor = VK_BORDER_COLOR_FLOAT_CUSTOM_EXT;
      for (int i = 0; i < 4; ++i) custom.customBorderColor.float32[i] = b[i];
      custom.format = VK_FORMAT_UNDEFINED;
      si.pNext = &custom;
    } else if (!impl_->borderSnapTold) {
      impl_->borderSnapTold = true;
      const char* nearest = si.borderColor == VK_BORDER_COLOR_FLOAT_TRANSPARENT_BLACK ? "(0, 0, 0, 0)"
                            : si.borderColor == VK_BORDER_COLOR_FLOAT_OPAQUE_WHITE   ? "(1, 1, 1, 1)"
                                                                                     : "(0, 0, 0, 1)";
      logMessage("Border colour (%g, %g, %g, %g) is drawn as %s: this device has no custom border colours left; "
                 "other border colours are rounded the same way\n",
                 double(b[0]), double(b[1]), double(b[2]), double(b[3]), nearest);
    }
  }
  // Without the feature, mirror once becomes mirror: the same for coordinates in [-1, 1],
  // repeating beyond them where Direct3D holds the edge. Said once.
  for (VkSamplerAddressMode* mode : {&si.addressModeU, &si.addressModeV, &si.addressModeW})
    if (*mode == VK_SAMPLER_ADDRESS_MODE_MIRROR_CLAMP_TO_EDGE && !impl_->mirrorOnce) {
      *mode = VK_SAMPLER_ADDRESS_MODE_MIRRORED_REPEAT;
      if (!impl_->mirrorOnceTold)
        logMessage("Mirror-once addressing is drawn as mirrored repeat on this device: the same for coordinates in "
                   "[-1, 1], beyond them the picture repeats mirrored where Direct3D repeats its edge\n");
      impl_->mirrorOnceTold = true;
    }
  check(vkCreateSampler(impl_->device, &si, nullptr, &s->impl->sampler), "sampler creation");
  counters_.samplers++;
  bucket.push_back(s);
  impl_->lastSampler = s;
  return s;
}

Sampler::~Sampler() {
  if (impl && device && device->impl()) vkDestroySampler(device->impl()->device, impl->sampler, nullptr);
  delete impl;
}

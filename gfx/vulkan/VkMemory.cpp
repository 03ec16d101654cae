// Device memory: resources are placed in large blocks instead of one vkAllocateMemory each.
// Drivers cap the number of live allocations (4096 is common) and a production holds
// thousands of buffers and textures; allocations are also slow and often rounded up to
// large pages. Blocks are sized by their heap; a resource larger than half a block gets an
// allocation of its own. Buffers and images live in separate blocks, so the driver's
// buffer-image granularity never has to be considered inside a block.
#include <algorithm>
#include <cstdio>

#include "gfx/FatalError.h"
#include "gfx/vulkan/Backend.h"

namespace gfxbackend {


namespace {

constexpr VkDeviceSize kMiB = 1024 * 1024;

VkDeviceSize alignUp(VkDeviceSize v, VkDeviceSize a) { return a <= 1 ? v : (v + a - 1) / a * a; }

bool takeFrom(MemoryBlock& b, VkDeviceSize size, VkDeviceSize align, VkDeviceSize& offset) {
  for (auto it = b.free.begin(); it != b.free.end(); ++it) {
    const VkDeviceSize start = it->first, length = it->second;
    const VkDeviceSize at = alignUp(start, align);
    if (at + size > start + length) continue;
    b.free.erase(it);
    if (at > start) b.free.emplace(start, at - start);
    if (at + size < start + length) b.free.emplace(at + size, start + length - at - size);
    b.used += size;
    offset = at;
    return true;
  }
  return false;
}

void giveBack(MemoryBlock& b, VkDeviceSize offset, VkDeviceSize size) {
  b.used -= size;
  auto next = b.free.lower_bound(offset);
  if (next != b.free.end() && offset + size == next->first) {
    size += next->second;
    next = b.free.erase(next);
  }
  if (next != b.free.begin()) {
    auto prev = std::prev(next);
    if (prev->first + prev->second == offset) {
      prev->second += size;
      return;
    }
  }
  b.free.emplace(offset, size);
}

}  // namespace

// Memory types in the order worth trying for a use: the flags it needs first, then the heap
// it should live on (device-local resources on the device's own heap and not in the small
// host-visible window of it; uploads and read-backs in host memory, read-backs cached).
std::vector<uint32_t> DeviceImpl::memoryTypesFor(uint32_t bits, MemoryUse use) const {
  std::vector<std::pair<int, uint32_t>> scored;
  const VkMemoryPropertyFlags hostCoherent = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
  for (uint32_t i = 0; i < memory.memoryTypeCount; ++i) {
    if (!(bits & (1u << i))) continue;
    const VkMemoryPropertyFlags f = memory.memoryTypes[i].propertyFlags;
    const bool deviceHeap = (memory.memoryHeaps[memory.memoryTypes[i].heapIndex].flags & VK_MEMORY_HEAP_DEVICE_LOCAL_BIT) != 0;
    // Memory that needs extensions or special handling is never ours.
    if (f & (VK_MEMORY_PROPERTY_PROTECTED_BIT | VK_MEMORY_PROPERTY_LAZILY_ALLOCATED_BIT | 0x40 /* device coherent */))
      continue;
    int score = 0;
    if (use == MemoryUse::DeviceLocal) {
      if (f & VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT) score += 100;
      if (deviceHeap) score += 20;
      if (f & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT) score -= 10;  // keep the host-visible window free
    } else {
      if ((f & hostCoherent) != hostCoherent) continue;  // mapped memory is written and read without flushes
      if (!deviceHeap) score += 20;
      if (use == MemoryUse::Readback && (f & VK_MEMORY_PROPERTY_HOST_CACHED_BIT)) score += 40;
      if (use == MemoryUse::Upload && !(f & VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT)) score += 10;
    }
    scored.emplace_back(score, i);
  }
  std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<uint32_t> types;
  for (const auto& s : scored) types.push_back(s.second);
  return types;
}

VkDeviceSize DeviceImpl::blockSizeFor(uint32_t type) const {
  if (memoryBlockSize) return memoryBlockSize;
  const VkDeviceSize heap = memory.memoryHeaps[memory.memoryTypes[type].heapIndex].size;
  if (heap >= 2048 * kMiB) return 256 * kMiB;
  return std::clamp<VkDeviceSize>(heap / 8, 16 * kMiB, 256 * kMiB);
}

bool DeviceImpl::allocateMemory(VkDeviceSize size, uint32_t type, VkDeviceMemory& out) {
  if (liveAllocations >= allocationLimit) {
    // Empty blocks kept for reuse are the first to go.
    for (auto it = blocks.begin(); it != blocks.end() && liveAllocations >= allocationLimit;) {
      if ((*it)->used == 0) {
        vkFreeMemory(device, (*it)->memory, nullptr);
        --liveAllocations;
        it = blocks.erase(it);
      } else {
        ++it;
      }
    }
    if (liveAllocations >= allocationLimit) return false;
  }
  VkMemoryAllocateInfo ai{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
  ai.allocationSize = size;
  ai.memoryTypeIndex = type;
  VkResult r = vkAllocateMemory(device, &ai, nullptr, &out);
  if (r == VK_ERROR_DEVICE_LOST) deviceLost("allocating memory");
  if (r != VK_SUCCESS) return false;
  counters->memoryAllocations++;
  ++liveAllocations;
  return true;
}

Allocation DeviceImpl::allocate(const VkMemoryRequirements& req, MemoryUse use, bool image) {
  const std::vector<uint32_t> types = memoryTypesFor(req.memoryTypeBits, use);
  const bool host = use != MemoryUse::DeviceLocal;
  for (uint32_t type : types) {
    const VkDeviceSize blockSize = blockSizeFor(type);
    Allocation a;
    a.deviceLocal = !host;
    if (req.size > blockSize / 2) {
      // Large resources get memory of their own (a block would be mostly them anyway).
      if (!allocateMemory(req.size, type, a.memory)) continue;
      a.size = req.size;
      if (host) {
        void* p = nullptr;
        if (vkMapMemory(device, a.memory, 0, VK_WHOLE_SIZE, 0, &p) != VK_SUCCESS) {
          vkFreeMemory(device, a.memory, nullptr);
          --liveAllocations;
          continue;
        }
        a.mapped = static_cast<uint8_t*>(p);
      }
      if (!host) memoryInUse += a.size;
      return a;
    }
    for (auto& b : blocks) {
      if (b->type != type || b->image != image || b->size - b->used < req.size) continue;
      if (!takeFrom(*b, req.size, req.alignment, a.offset)) continue;
      a.memory = b->memory;
      a.size = req.size;
      a.block = b.get();
      a.mapped = b->mapped ? b->mapped + a.offset : nullptr;
      if (!host) memoryInUse += a.size;
      return a;
    }
    // A new block; where the heap cannot give one that large, smaller ones are tried.
    for (VkDeviceSize size = blockSize; size >= req.size; size /= 2) {
      auto b = std::make_unique<MemoryBlock>();
      if (!allocateMemory(size, type, b->memory)) {
        if (liveAllocations >= allocationLimit) break;
        continue;
      }
      b->size = size;
      b->type = type;
      b->image = image;
      b->free.emplace(0, size);
      // Every block the host can see is mapped, whatever it was made for first: on devices
      // with one kind of memory, uploads and GPU-only resources share blocks.
      if (memory.memoryTypes[type].propertyFlags & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT) {
        void* p = nullptr;
        if (vkMapMemory(device, b->memory, 0, VK_WHOLE_SIZE, 0, &p) != VK_SUCCESS) {
          vkFreeMemory(device, b->memory, nullptr);
          --liveAllocations;
          break;
        }
        b->mapped = static_cast<uint8_t*>(p);
      }
      takeFrom(*b, req.size, req.alignment, a.offset);
      a.memory = b->memory;
      a.size = req.size;
      a.block = b.get();
      a.mapped = b->mapped ? b->mapped + a.offset : nullptr;
      blocks.push_back(std::move(b));
      if (!host) memoryInUse += a.size;
      return a;
    }
  }
  char text[256];
  if (liveAllocations >= allocationLimit)
    std::snprintf(text, sizeof(text),
                  "Out of GPU memory: %llu bytes needed, and all %u memory allocations the device allows are in use",
                  static_cast<unsigned long long>(req.size), allocationLimit);
  else
    std::snprintf(text, sizeof(text), "Out of GPU memory: no memory type could hold %llu more bytes",
                  static_cast<unsigned long long>(req.size));
  fatalError(text);
}

void DeviceImpl::release(const Allocation& a) {
  if (!a.memory) return;
  if (a.deviceLocal) memoryInUse -= std::min(memoryInUse, uint64_t(a.size));
  if (!a.block) {
    vkFreeMemory(device, a.memory, nullptr);
    --liveAllocations;
    return;
  }
  MemoryBlock* b = a.block;
  giveBack(*b, a.offset, a.size);
  if (b->used != 0) return;
  // One empty block per kind stays for the next resources; more are handed back.
  for (const auto& other : blocks)
    if (other.get() != b && other->used == 0 && other->type == b->type && other->image == b->image) {
      vkFreeMemory(device, b->memory, nullptr);
      --liveAllocations;
      blocks.erase(std::find_if(blocks.begin(), blocks.end(), [b](const auto& p) { return p.get() == b; }));
      return;
    }
}

void DeviceImpl::releaseAllMemory() {
  for (auto& b : blocks) {
    vkFreeMemory(device, b->memory, nullptr);
    --liveAllocations;
  }
  blocks.clear();
}

}  // namespace gfxbackend

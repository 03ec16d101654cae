#include "gfx/vulkan/VkCommandMemory.h"

#include <cstdlib>
#include <cstring>

namespace gfxbackend {

namespace {

// In front of every block handed out: its size class (or kLarge) and the size asked for.
struct Header {
  uint32_t cls;
  uint32_t offset;  // kLarge: from the heap block's start to the memory handed out
  uint64_t size;
};
static_assert(sizeof(Header) == 16, "a header keeps 16-byte alignment");
constexpr uint32_t kLarge = UINT32_MAX;

Header* headerOf(void* memory) { return reinterpret_cast<Header*>(static_cast<uint8_t*>(memory) - sizeof(Header)); }

void* VKAPI_PTR allocateCallback(void* user, size_t size, size_t alignment, VkSystemAllocationScope) {
  return static_cast<CommandMemory*>(user)->allocate(size, alignment);
}
void* VKAPI_PTR reallocateCallback(void* user, void* original, size_t size, size_t alignment,
                                   VkSystemAllocationScope) {
  return static_cast<CommandMemory*>(user)->reallocate(original, size, alignment);
}
void VKAPI_PTR freeCallback(void* user, void* memory) { static_cast<CommandMemory*>(user)->release(memory); }

}  // namespace

CommandMemory::CommandMemory() {
  callbacks_.pUserData = this;
  callbacks_.pfnAllocation = allocateCallback;
  callbacks_.pfnReallocation = reallocateCallback;
  callbacks_.pfnFree = freeCallback;
}

CommandMemory::~CommandMemory() {
  for (void* chunk : chunks_) std::free(chunk);
}

void CommandMemory::lock() {
  while (locked_.exchange(true, std::memory_order_acquire)) {
  }
}

void* CommandMemory::carve(size_t cls) {
  const size_t bytes = (cls + 1) * kGranule;
  if (size_t(chunkEnd_ - chunkNext_) < bytes) {
    // What is left of the old chunk is too small for this class; it stays unused.
    auto* chunk = static_cast<uint8_t*>(std::malloc(kChunkBytes));
    if (!chunk) return nullptr;
    chunks_.push_back(chunk);
    chunkBytes_ += kChunkBytes;
    chunkNext_ = chunk;
    chunkEnd_ = chunk + kChunkBytes;
  }
  void* block = chunkNext_;
  chunkNext_ += bytes;
  return block;
}

void* CommandMemory::allocate(size_t size, size_t alignment) {
  // A driver may copy an empty array and take null for a failure, as from malloc(0) it would not.
  if (size == 0) size = 1;
  const size_t cls = (size + sizeof(Header) + kGranule - 1) / kGranule - 1;
  if (alignment <= kGranule && cls < kClasses) {
    lock();
    void* block;
    if (free_[cls]) {
      block = free_[cls];
      free_[cls] = free_[cls]->next;
    } else {
      block = carve(cls);
    }
    unlock();
    if (!block) return nullptr;
    auto* h = static_cast<Header*>(block);
    h->cls = uint32_t(cls);
    h->offset = 0;
    h->size = size;
    return h + 1;
  }
  // Large or strictly aligned: a heap block of its own, with room to align and a header.
  const size_t align = alignment > kGranule ? alignment : kGranule;
  auto* base = static_cast<uint8_t*>(std::malloc(size + align + sizeof(Header)));
  if (!base) return nullptr;
  const uintptr_t first = reinterpret_cast<uintptr_t>(base) + sizeof(Header);
  auto* memory = reinterpret_cast<uint8_t*>((first + align - 1) & ~uintptr_t(align - 1));
  Header* h = headerOf(memory);
  h->cls = kLarge;
  h->offset = uint32_t(memory - base);
  h->size = size;
  return memory;
}

void CommandMemory::release(void* memory) {
  if (!memory) return;
  Header* h = headerOf(memory);
  if (h->cls == kLarge) {
    std::free(static_cast<uint8_t*>(memory) - h->offset);
    return;
  }
  const uint32_t cls = h->cls;  // the list link overwrites the header
  auto* block = reinterpret_cast<Free*>(h);
  lock();
  block->next = free_[cls];
  free_[cls] = block;
  unlock();
}

void* CommandMemory::reallocate(void* original, size_t size, size_t alignment) {
  if (!original) return allocate(size, alignment);
  if (size == 0) {
    release(original);
    return nullptr;
  }
  void* moved = allocate(size, alignment);
  if (!moved) return nullptr;  // the original stays as it was
  const size_t old = size_t(headerOf(original)->size);
  std::memcpy(moved, original, old < size ? old : size);
  release(original);
  return moved;
}

}  // namespace gfxbackend

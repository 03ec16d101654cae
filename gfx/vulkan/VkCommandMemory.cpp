#include "gfx/vulkan/VkCommandMemory.h"

#include <cstdlib>
#include <cstring>

#include "gfx/FatalError.h"

namespace gfxbackend {

struct CommandMemory::Chunk {
  size_t used;  // bytes cut from the start of data
  size_t out;   // blocks handed out and not yet freed
  alignas(16) uint8_t data[kChunkBytes];
};

#ifndef NDEBUG
// Two calls at once mean two threads use one pool: stop before the lists are corrupted.
struct CommandMemoryCall {
  explicit CommandMemoryCall(CommandMemory& m) : m_(m) {
    if (m_.inside_.fetch_add(1) != 0) fatalError("Vulkan: a command pool's memory was used by two threads at once");
  }
  ~CommandMemoryCall() { m_.inside_.fetch_sub(1); }
  CommandMemory& m_;
};
#define ZV_ONE_CALL_AT_A_TIME CommandMemoryCall oneCall(*this)
#else
#define ZV_ONE_CALL_AT_A_TIME
#endif

namespace {

// How far past a block handed out the chunk is fetched ahead.
constexpr size_t kPrefetchAhead = 256;

// In front of every block handed out: its chunk (null: a heap block of its own) and the size
// asked for; a heap block also keeps where its heap memory starts.
struct Header {
  void* chunk;
  uint32_t size;
  uint32_t offset;  // heap blocks: from the heap memory's start to the block
};
static_assert(sizeof(Header) == 16, "a header keeps 16-byte alignment");

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
  for (Chunk* chunk : chunks_) std::free(chunk);
}

void* CommandMemory::cut(size_t bytes) {
  if (!current_ || current_->used + bytes > kChunkBytes) {
    Chunk* next = nullptr;
    if (!spare_.empty()) {
      next = spare_.back();
      spare_.pop_back();
    } else {
      next = static_cast<Chunk*>(std::aligned_alloc(alignof(Chunk), sizeof(Chunk)));
      if (!next) return nullptr;
      chunks_.push_back(next);
      spare_.reserve(chunks_.size());  // giving a chunk back never allocates
    }
    next->used = 0;
    next->out = 0;
    // The chunk left behind goes to the spares when its last block comes back.
    current_ = next;
  }
  uint8_t* block = current_->data + current_->used;
  current_->used += bytes;
  current_->out++;
  // The chunk was last written a frame or more ago; the driver writes the blocks that follow
  // in a moment. Fetching them now (a hint: it changes nothing and never faults) spares that
  // write the wait for memory.
  __builtin_prefetch(block + kPrefetchAhead, 1, 3);
  return block;
}

void CommandMemory::give(Chunk* chunk) {
  if (chunk == current_)
    chunk->used = 0;
  else
    spare_.push_back(chunk);
}

void* CommandMemory::allocate(size_t size, size_t alignment) {
  ZV_ONE_CALL_AT_A_TIME;
  // A driver may copy an empty array and take null for a failure, as from malloc(0) it would not.
  if (size == 0) size = 1;
  if (alignment <= 16 && size <= kLargest) {
    const size_t bytes = (sizeof(Header) + size + 15) & ~size_t(15);
    void* block = cut(bytes);
    if (!block) return nullptr;
    auto* h = static_cast<Header*>(block);
    h->chunk = current_;
    h->size = uint32_t(size);
    h->offset = 0;
    return h + 1;
  }
  // Large or strictly aligned: a heap block of its own, with room to align and a header.
  const size_t align = alignment > 16 ? alignment : 16;
  auto* base = static_cast<uint8_t*>(std::malloc(size + align + sizeof(Header)));
  if (!base) return nullptr;
  const uintptr_t first = reinterpret_cast<uintptr_t>(base) + sizeof(Header);
  auto* memory = reinterpret_cast<uint8_t*>((first + align - 1) & ~uintptr_t(align - 1));
  Header* h = headerOf(memory);
  h->chunk = nullptr;
  h->size = size > UINT32_MAX ? UINT32_MAX : uint32_t(size);
  h->offset = uint32_t(memory - base);
  return memory;
}

void CommandMemory::release(void* memory) {
  if (!memory) return;
  ZV_ONE_CALL_AT_A_TIME;
  Header* h = headerOf(memory);
  if (!h->chunk) {
    std::free(static_cast<uint8_t*>(memory) - h->offset);
    return;
  }
  auto* chunk = static_cast<Chunk*>(h->chunk);
  if (--chunk->out == 0) give(chunk);
}

void* CommandMemory::reallocate(void* original, size_t size, size_t alignment) {
  if (!original) return allocate(size, alignment);
  if (size == 0) {
    release(original);
    return nullptr;
  }
  void* moved = allocate(size, alignment);
  if (!moved) return nullptr;  // the original stays as it was
  const size_t old = headerOf(original)->size;
  std::memcpy(moved, original, old < size ? old : size);
  release(original);
  return moved;
}

}  // namespace gfxbackend

#pragma once
// Host memory for a command pool's recorded commands. A driver that records on the CPU
// allocates a few small blocks per command (the command, copies of its arrays) and frees them
// all when the pool is reset: tens of thousands of allocations a frame for a scene of small
// draws, which cost the general-purpose heap more than the recording itself. Here blocks are
// cut one after another from chunks, each chunk counting the blocks it has out; a chunk whose
// blocks have all come back is cut again from its start. Recording then writes memory in
// address order, and after the first frames a frame takes nothing new from the heap.
//
// A driver calls these only from the thread that called it with the pool, and a pool is used
// by one thread at a time (Vulkan's rules), so there is no lock; debug builds stop the
// program when two calls ever overlap.
#include <vulkan/vulkan.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace gfxbackend {

class CommandMemory {
 public:
  CommandMemory();
  ~CommandMemory();  // the pool using it must be destroyed first
  CommandMemory(const CommandMemory&) = delete;
  CommandMemory& operator=(const CommandMemory&) = delete;

  // The callbacks to create a command pool with (they point at this object).
  const VkAllocationCallbacks* callbacks() const { return &callbacks_; }

  // The same as the callbacks, for tests. Alignment is a power of two (Vulkan's rule).
  void* allocate(size_t size, size_t alignment);
  void* reallocate(void* original, size_t size, size_t alignment);
  void release(void* memory);

  // Bytes of chunks taken from the heap (blocks too large for a chunk, or more strictly
  // aligned, are the heap's own and go back to it when freed).
  size_t chunkBytes() const { return chunks_.size() * kChunkBytes; }

 private:
  struct Chunk;
  static constexpr size_t kChunkBytes = 64 * 1024;
  static constexpr size_t kLargest = 2048;  // larger blocks come from the heap

  void* cut(size_t bytes);
  void give(Chunk* chunk);  // a chunk with nothing out: to the spares, or rewound if current

  VkAllocationCallbacks callbacks_{};
  std::vector<Chunk*> chunks_;  // every chunk, for the destructor
  std::vector<Chunk*> spare_;   // chunks with nothing out, not current
  Chunk* current_ = nullptr;
#ifndef NDEBUG
  std::atomic<int> inside_{0};
  friend struct CommandMemoryCall;
#endif
};

}  // namespace gfxbackend

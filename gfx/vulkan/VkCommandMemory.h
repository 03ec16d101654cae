#pragma once
// Host memory for a command pool's recorded commands. A driver that records on the CPU
// allocates a few small blocks per command (the command, copies of its arrays) and frees them
// all when the pool is reset: tens of thousands of allocations a frame for a scene of small
// draws. The general-purpose heap spends more on that than the recording itself; here a freed
// block goes onto a list of its size class and is handed out again, so after the first frames
// a frame takes nothing new from the heap.
//
// The driver calls these only from the thread that called it with the pool, and a pool is
// used by one thread at a time; a lock that is never contended guards against a driver that
// does otherwise.
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

  // Bytes the size classes have taken from the heap (blocks too large for a class, or more
  // strictly aligned, are the heap's own and go back to it when freed).
  size_t chunkBytes() const { return chunkBytes_; }

 private:
  struct Free {
    Free* next;
  };
  static constexpr size_t kGranule = 16;
  static constexpr size_t kClasses = 64;  // blocks of 16 .. 1024 bytes, header included
  static constexpr size_t kChunkBytes = 256 * 1024;

  void* carve(size_t cls);
  void lock();
  void unlock() { locked_.store(false, std::memory_order_release); }

  VkAllocationCallbacks callbacks_{};
  Free* free_[kClasses] = {};
  std::vector<void*> chunks_;
  uint8_t* chunkNext_ = nullptr;
  uint8_t* chunkEnd_ = nullptr;
  size_t chunkBytes_ = 0;
  std::atomic<bool> locked_{false};
};

}  // namespace gfxbackend

// The command pools' host memory: blocks of every size and alignment a driver asks for, that
// never overlap, reallocation that keeps the contents, and frames that reuse what the last
// one freed instead of taking more.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "gfx/vulkan/VkCommandMemory.h"

using gfxbackend::CommandMemory;

namespace {

struct Block {
  uint8_t* p;
  size_t size;
  uint8_t mark;
};

// One "frame" of allocations of mixed sizes and alignments (the same every frame), each
// filled with its own byte.
std::vector<Block> allocateFrame(CommandMemory& m, uint32_t seed) {
  static const size_t kSizes[] = {1, 8, 24, 40, 64, 136, 200, 512, 1000, 1008, 1009, 4096, 70000};
  static const size_t kAligns[] = {1, 8, 16, 64, 256};
  std::vector<Block> blocks;
  for (uint32_t i = 0; i < 600; ++i) {
    const size_t size = kSizes[(i * 7) % 13], align = kAligns[i % 5];
    auto* p = static_cast<uint8_t*>(m.allocate(size, align));
    EXPECT_NE(p, nullptr);
    if (!p) continue;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u) << size << " bytes aligned to " << align;
    const auto mark = uint8_t(i * 31 + seed);
    std::memset(p, mark, size);
    blocks.push_back({p, size, mark});
  }
  return blocks;
}

void expectIntactAndRelease(CommandMemory& m, std::vector<Block> blocks, bool backwards = false) {
  if (backwards) std::reverse(blocks.begin(), blocks.end());
  size_t damaged = 0;
  for (const Block& b : blocks) {
    for (size_t i = 0; i < b.size; ++i)
      if (b.p[i] != b.mark) {
        ++damaged;
        break;
      }
    m.release(b.p);
  }
  EXPECT_EQ(damaged, 0u) << "blocks overwritten by others";
}

}  // namespace

TEST(CommandMemory, BlocksAreAlignedApartAndReusedFrameAfterFrame) {
  CommandMemory m;
  // A block that lives on (as the command buffer itself does) while frames come and go.
  auto* kept = static_cast<uint8_t*>(m.allocate(100, 8));
  ASSERT_NE(kept, nullptr);
  std::memset(kept, 0x5A, 100);
  expectIntactAndRelease(m, allocateFrame(m, 0));
  expectIntactAndRelease(m, allocateFrame(m, 1));
  const size_t settled = m.chunkBytes();
  EXPECT_GT(settled, 0u);
  // Later frames of the same shape take nothing new, whichever order the last one was freed in.
  for (uint32_t frame = 2; frame < 8; ++frame) expectIntactAndRelease(m, allocateFrame(m, frame), frame % 2 == 1);
  EXPECT_EQ(m.chunkBytes(), settled);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(kept[i], 0x5A) << "the long-lived block was handed out again";
  m.release(kept);
  // An empty request still gets memory: drivers copy empty arrays and take null for failure.
  void* empty = m.allocate(0, 8);
  EXPECT_NE(empty, nullptr);
  m.release(empty);
  m.release(nullptr);
}

TEST(CommandMemory, ReallocationKeepsTheContents) {
  CommandMemory m;
  const size_t sizes[] = {8, 300, 2000, 40, 70000, 16};
  auto* p = static_cast<uint8_t*>(m.reallocate(nullptr, sizes[0], 8));
  ASSERT_NE(p, nullptr);
  for (size_t i = 0; i < sizes[0]; ++i) p[i] = uint8_t(i);
  size_t kept = sizes[0];
  for (size_t k = 1; k < sizeof(sizes) / sizeof(sizes[0]); ++k) {
    p = static_cast<uint8_t*>(m.reallocate(p, sizes[k], k % 2 ? 64 : 8));
    ASSERT_NE(p, nullptr);
    kept = std::min(kept, sizes[k]);
    for (size_t i = 0; i < kept; ++i) ASSERT_EQ(p[i], uint8_t(i)) << "byte " << i << " after growing to " << sizes[k];
    for (size_t i = kept; i < sizes[k]; ++i) p[i] = uint8_t(i);
    kept = sizes[k];
  }
  EXPECT_EQ(m.reallocate(p, 0, 8), nullptr);  // a size of zero frees
}

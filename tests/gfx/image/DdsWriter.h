#pragma once
#include <cstdint>
#include <vector>

// Writes DDS files the way common exporters lay them out, so the reader is tested against
// the format rather than against itself.
struct DdsWriter {
  std::vector<uint8_t> bytes;
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(v >> (8 * i)));
  }
  void header(uint32_t w, uint32_t h, uint32_t mips, uint32_t pfFlags, uint32_t fourcc, uint32_t bits,
              const uint32_t masks[4], uint32_t caps2) {
    bytes.insert(bytes.end(), {'D', 'D', 'S', ' '});
    u32(124);
    u32(0x1 | 0x2 | 0x4 | 0x1000 | (mips > 1 ? 0x20000 : 0));
    u32(h);
    u32(w);
    u32(0);
    u32(0);
    u32(mips);
    for (int i = 0; i < 11; ++i) u32(0);
    u32(32);
    u32(pfFlags);
    u32(fourcc);
    u32(bits);
    for (int i = 0; i < 4; ++i) u32(masks ? masks[i] : 0);
    u32(0x1000 | (mips > 1 ? 0x400008 : 0) | (caps2 ? 0x8 : 0));
    u32(caps2);
    u32(0);
    u32(0);
    u32(0);
  }
  void dx10(uint32_t w, uint32_t h, uint32_t mips, uint32_t dxgi, uint32_t dim, uint32_t misc, uint32_t arraySize) {
    header(w, h, mips, 0x4, 0x30315844 /* "DX10" */, 0, nullptr, 0);
    u32(dxgi);
    u32(dim);
    u32(misc);
    u32(arraySize);
    u32(0);
  }
  void fill(size_t n, uint8_t seed) {
    for (size_t i = 0; i < n; ++i) bytes.push_back(uint8_t(seed + i * 7));
  }
};

inline constexpr uint32_t kDXT1 = 0x31545844;
inline constexpr uint32_t kDXT5 = 0x35545844;

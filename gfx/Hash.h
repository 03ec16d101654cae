#pragma once
// The 32-bit hash every cache and the constant lookup use: CRC-32 (IEEE 802.3, reflected
// polynomial 0xEDB88320, initial value 0xFFFFFFFF, final complement) of the bytes, then
// exclusive-or 1. Descriptions are hashed over their stored bytes, so they must be
// zero-filled before their fields are set.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace gfxhash {
struct Crc32Table {
  uint32_t entries[256];
  constexpr Crc32Table() : entries() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
      entries[i] = c;
    }
  }
};
inline constexpr Crc32Table kCrc32Table{};
}  // namespace gfxhash

// Plain CRC-32 of `size` bytes.
inline uint32_t crc32(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) c = gfxhash::kCrc32Table.entries[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

// The cache key: CRC-32 exclusive-or 1.
inline uint32_t nameHash(const void* data, size_t size) { return crc32(data, size) ^ 1u; }

// A name without its terminating zero ("gRegionScale").
inline uint32_t nameHash(const char* name) { return nameHash(name, std::strlen(name)); }

// A description record, over all of its bytes (gaps included).
template <typename T>
inline uint32_t descHash(const T& record) {
  return nameHash(&record, sizeof(T));
}

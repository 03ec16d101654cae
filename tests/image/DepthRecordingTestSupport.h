#pragma once
// Small depth recordings written by the tests themselves, in both layouts.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "image/DepthRecordings.h"

namespace depthtest {

inline void put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(char((v >> (8 * i)) & 0xFF));
}

// Stores `length` at bytes 16 to 19 of a .xed recording.
inline void setLength(std::string& s, uint64_t length) {
  for (int i = 0; i < 4; ++i) s[size_t(16 + i)] = char((length >> (8 * i)) & 0xFF);
}

// A .xed recording: a 24-byte header whose bytes 16 to 19 hold the length (the file's size
// unless `storedLength` says otherwise), then for every frame `gap` bytes of other data
// (a multiple of 4), the marker and 307200 big-endian values made by value(frame, pixel).
template <typename Value>
std::string xed(int frames, uint32_t gap, Value value, int64_t storedLength = -1) {
  std::string s(24, '\0');
  for (int f = 0; f < frames; ++f) {
    s.append(gap, '\x55');
    put32(s, kXedFrameMarker);
    for (uint32_t i = 0; i < kDepthFramePixels; ++i) {
      const uint16_t v = value(f, i);
      s.push_back(char(v >> 8));
      s.push_back(char(v & 0xFF));
    }
  }
  const uint32_t length = uint32_t(storedLength < 0 ? int64_t(s.size()) : storedLength);
  for (int i = 0; i < 4; ++i) s[size_t(16 + i)] = char((length >> (8 * i)) & 0xFF);
  return s;
}

// Raw frames: frame f is 307200 bytes of value(f, pixel); `extra` bytes of a partial frame after them.
template <typename Value>
std::string raw(int frames, uint32_t extra, Value value) {
  std::string s;
  for (int f = 0; f < frames; ++f)
    for (uint32_t i = 0; i < kDepthFramePixels; ++i) s.push_back(char(value(f, i)));
  s.append(extra, '\x7F');
  return s;
}

// A file under the temporary folder, removed with the object.
struct TempFile {
  explicit TempFile(const std::string& name) {
    path = (std::filesystem::temp_directory_path() / ("zarvo-" + std::to_string(::getpid()) + "-" + name)).string();
  }
  ~TempFile() { std::remove(path.c_str()); }
  void write(const std::string& bytes) const {
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  std::string path;
};

}  // namespace depthtest

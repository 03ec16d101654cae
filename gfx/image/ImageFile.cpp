#include "gfx/image/ImageFile.h"

#include <stb_image.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "gfx/image/ImageLog.h"

uint32_t fullMipCount(uint32_t width, uint32_t height) {
  uint32_t largest = std::max(width, height);
  uint32_t levels = 1;
  while (largest > 1) {
    largest >>= 1;
    ++levels;
  }
  return levels;
}

uint32_t bytesPerElement(uint32_t formatCode, bool* blockCompressed) {
  bool block = false;
  uint32_t bytes = 0;
  switch (formatCode) {
    case imagefmt::RGBA8:
    case imagefmt::BGRA8: bytes = 4; break;
    case imagefmt::RGBA32F: bytes = 16; break;
    case imagefmt::BC1:
    case imagefmt::BC1_SRGB: bytes = 8; block = true; break;
    case imagefmt::BC2:
    case imagefmt::BC2_SRGB:
    case imagefmt::BC3:
    case imagefmt::BC3_SRGB: bytes = 16; block = true; break;
    default: break;
  }
  if (blockCompressed) *blockCompressed = block;
  return bytes;
}

void levelSize(uint32_t formatCode, uint32_t width, uint32_t height, uint32_t& rowPitch, size_t& size) {
  bool block = false;
  uint32_t bytes = bytesPerElement(formatCode, &block);
  if (block) {
    uint32_t bw = std::max(1u, (width + 3) / 4);
    uint32_t bh = std::max(1u, (height + 3) / 4);
    rowPitch = bw * bytes;
    size = size_t(rowPitch) * bh;
  } else {
    rowPitch = width * bytes;
    size = size_t(rowPitch) * height;
  }
}

bool readFileBytes(const std::string& path, std::vector<uint8_t>& bytes) {
  bytes.clear();
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    imageLog("Failed to open %s\n", path.c_str());
    return false;
  }
  // A folder opens like a file but reports a nonsense length; only regular files are read.
  struct stat st {};
  if (::fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fclose(f);
    imageLog("Failed to read %s: not a regular file\n", path.c_str());
    return false;
  }
  bytes.resize(size_t(st.st_size));
  bool ok = bytes.empty() || std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
  std::fclose(f);
  if (!ok) {
    bytes.clear();
    imageLog("Failed to read %s\n", path.c_str());
  }
  return ok;
}

// Each destination texel averages the source texels its footprint covers, so exact halving
// is the classic 2x2 box and an odd edge folds its last row or column into the final texel.
static void downsampleRgba8(const uint8_t* src, uint32_t sw, uint32_t sh, uint8_t* dst, uint32_t dw,
                            uint32_t dh) {
  for (uint32_t y = 0; y < dh; ++y) {
    uint32_t y0 = uint32_t(uint64_t(y) * sh / dh);
    uint32_t y1 = std::max(y0 + 1, uint32_t((uint64_t(y + 1) * sh + dh - 1) / dh));
    for (uint32_t x = 0; x < dw; ++x) {
      uint32_t x0 = uint32_t(uint64_t(x) * sw / dw);
      uint32_t x1 = std::max(x0 + 1, uint32_t((uint64_t(x + 1) * sw + dw - 1) / dw));
      uint32_t sum[4] = {0, 0, 0, 0};
      for (uint32_t sy = y0; sy < y1; ++sy)
        for (uint32_t sx = x0; sx < x1; ++sx) {
          const uint8_t* p = src + (size_t(sy) * sw + sx) * 4;
          for (int c = 0; c < 4; ++c) sum[c] += p[c];
        }
      uint32_t count = (y1 - y0) * (x1 - x0);
      uint8_t* d = dst + (size_t(y) * dw + x) * 4;
      for (int c = 0; c < 4; ++c) d[c] = uint8_t((sum[c] + count / 2) / count);
    }
  }
}

void buildRgba8MipChain(const uint8_t* rgba, uint32_t width, uint32_t height, ImageSet& out) {
  out.clear();
  out.formatCode = imagefmt::RGBA8;
  out.width = width;
  out.height = height;
  out.arraySize = 1;
  out.mipLevels = fullMipCount(width, height);
  size_t total = 0;
  uint32_t w = width, h = height;
  for (uint32_t level = 0; level < out.mipLevels; ++level) {
    ImageSubresource sub;
    sub.offset = total;
    sub.width = w;
    sub.height = h;
    levelSize(out.formatCode, w, h, sub.rowPitch, sub.size);
    total += sub.size;
    out.subresources.push_back(sub);
    w = std::max(1u, w / 2);
    h = std::max(1u, h / 2);
  }
  out.pixels.resize(total);
  std::copy(rgba, rgba + out.subresources[0].size, out.pixels.begin());
  for (uint32_t level = 1; level < out.mipLevels; ++level) {
    const ImageSubresource& s = out.subresources[level - 1];
    const ImageSubresource& d = out.subresources[level];
    downsampleRgba8(out.pixels.data() + s.offset, s.width, s.height, out.pixels.data() + d.offset, d.width,
                    d.height);
  }
}

// Pictures larger than this are refused rather than risking a multi-gigabyte allocation.
static constexpr int kMaxPictureSide = 16384;

bool decodePicture(const uint8_t* data, size_t size, const std::string& nameForLog, ImageSet& out) {
  out.clear();
  if (size > size_t(std::numeric_limits<int>::max())) {
    imageLog("Failed to decode %s: file too large\n", nameForLog.c_str());
    return false;
  }
  int w = 0, h = 0, comp = 0;
  if (!stbi_info_from_memory(data, int(size), &w, &h, &comp)) {
    imageLog("Failed to decode %s: %s\n", nameForLog.c_str(), stbi_failure_reason());
    return false;
  }
  if (w <= 0 || h <= 0 || w > kMaxPictureSide || h > kMaxPictureSide) {
    imageLog("Failed to decode %s: unsupported size %d x %d\n", nameForLog.c_str(), w, h);
    return false;
  }
  stbi_uc* rgba = stbi_load_from_memory(data, int(size), &w, &h, &comp, 4);
  if (!rgba) {
    imageLog("Failed to decode %s: %s\n", nameForLog.c_str(), stbi_failure_reason());
    return false;
  }
  buildRgba8MipChain(rgba, uint32_t(w), uint32_t(h), out);
  stbi_image_free(rgba);
  return true;
}

bool readPicture(const std::string& path, ImageSet& out) {
  out.clear();
  std::vector<uint8_t> bytes;
  if (!readFileBytes(path, bytes)) return false;
  return decodePicture(bytes.data(), bytes.size(), path, out);
}

#include "gfx/image/ImageFile.h"

#include <stb_image.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
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
    case format::R8: bytes = 1; break;
    case format::R16: bytes = 2; break;
    case format::RGBA8:
    case format::BGRA8:
    case format::BGRA8_SRGB: bytes = 4; break;
    case format::RGBA32F: bytes = 16; break;
    case format::BC1:
    case format::BC1_SRGB: bytes = 8; block = true; break;
    case format::BC2:
    case format::BC2_SRGB:
    case format::BC3:
    case format::BC3_SRGB: bytes = 16; block = true; break;
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

namespace {

float srgbToLinear(float v) { return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f); }
float linearToSrgb(float v) { return v <= 0.0031308f ? v * 12.92f : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f; }

// How the texels of a decoded format are averaged.
struct TexelShape {
  uint32_t channels;  // 1 or 4
  uint32_t bytes;     // per channel: 1 or 2
  bool srgb;          // the first three channels are sRGB-encoded
};

TexelShape shapeOf(uint32_t code) {
  switch (code) {
    case format::R8: return {1, 1, false};
    case format::R16: return {1, 2, false};
    case format::BGRA8_SRGB: return {4, 1, true};
    default: return {4, 1, false};
  }
}

// Each destination texel averages the source texels its footprint covers, so exact halving
// is the classic 2x2 box and an odd edge folds its last row or column into the final texel.
// sRGB colours are averaged as light (decoded, averaged, encoded again); alpha is linear.
void downsample(const TexelShape& shape, const uint8_t* src, uint32_t sw, uint32_t sh, uint8_t* dst, uint32_t dw,
                uint32_t dh) {
  static const std::vector<float> kDecode = [] {
    std::vector<float> t(256);
    for (int i = 0; i < 256; ++i) t[size_t(i)] = srgbToLinear(float(i) / 255.0f);
    return t;
  }();
  const uint32_t n = shape.channels, texel = n * shape.bytes;
  for (uint32_t y = 0; y < dh; ++y) {
    uint32_t y0 = uint32_t(uint64_t(y) * sh / dh);
    uint32_t y1 = std::max(y0 + 1, uint32_t((uint64_t(y + 1) * sh + dh - 1) / dh));
    for (uint32_t x = 0; x < dw; ++x) {
      uint32_t x0 = uint32_t(uint64_t(x) * sw / dw);
      uint32_t x1 = std::max(x0 + 1, uint32_t((uint64_t(x + 1) * sw + dw - 1) / dw));
      uint64_t sum[4] = {0, 0, 0, 0};
      double light[3] = {0, 0, 0};
      for (uint32_t sy = y0; sy < y1; ++sy)
        for (uint32_t sx = x0; sx < x1; ++sx) {
          const uint8_t* p = src + (size_t(sy) * sw + sx) * texel;
          for (uint32_t c = 0; c < n; ++c) {
            uint32_t v = shape.bytes == 2 ? uint32_t(p[2 * c]) | (uint32_t(p[2 * c + 1]) << 8) : p[c];
            sum[c] += v;
            if (shape.srgb && c < 3) light[c] += kDecode[v];
          }
        }
      const uint32_t count = (y1 - y0) * (x1 - x0);
      uint8_t* d = dst + (size_t(y) * dw + x) * texel;
      for (uint32_t c = 0; c < n; ++c) {
        uint64_t v = (sum[c] + count / 2) / count;
        if (shape.srgb && c < 3)
          v = uint64_t(std::lround(linearToSrgb(float(light[c] / count)) * 255.0f));
        if (shape.bytes == 2) {
          d[2 * c] = uint8_t(v & 0xFF);
          d[2 * c + 1] = uint8_t(v >> 8);
        } else {
          d[c] = uint8_t(v);
        }
      }
    }
  }
}

uint32_t bigEndian32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }

bool pngSaysSrgb(const uint8_t* data, size_t size) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size < 8 || std::memcmp(data, kSignature, 8) != 0) return false;
  // Chunks: length, type, data, CRC. Colour-space chunks must come before the image data.
  for (size_t at = 8; at + 8 <= size;) {
    const uint32_t length = bigEndian32(data + at);
    const uint8_t* type = data + at + 4;
    if (std::memcmp(type, "sRGB", 4) == 0) return true;
    if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0) return false;
    if (length > size - at - 8) return false;
    at += size_t(length) + 12;
  }
  return false;
}

// Exif in a JPEG: an APP1 segment "Exif\0\0" holding a TIFF structure whose first directory
// points (tag 0x8769) to the Exif directory, where tag 0xA001 ColorSpace = 1 means sRGB.
bool jpegSaysSrgb(const uint8_t* data, size_t size) {
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
  for (size_t at = 2; at + 4 <= size;) {
    if (data[at] != 0xFF) return false;
    const uint8_t marker = data[at + 1];
    if (marker == 0xD9 || marker == 0xDA) return false;  // end of image, start of scan
    const size_t length = (size_t(data[at + 2]) << 8) | data[at + 3];
    if (length < 2 || at + 2 + length > size) return false;
    const uint8_t* seg = data + at + 4;
    const size_t segSize = length - 2;
    if (marker == 0xE1 && segSize >= 14 && std::memcmp(seg, "Exif\0\0", 6) == 0) {
      const uint8_t* tiff = seg + 6;
      const size_t tiffSize = segSize - 6;
      const bool little = tiff[0] == 'I' && tiff[1] == 'I';
      if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return false;
      auto u16 = [&](size_t o) -> uint32_t {
        if (o + 2 > tiffSize) return 0;
        return little ? uint32_t(tiff[o]) | (uint32_t(tiff[o + 1]) << 8) : (uint32_t(tiff[o]) << 8) | tiff[o + 1];
      };
      auto u32 = [&](size_t o) -> uint32_t {
        if (o + 4 > tiffSize) return 0;
        return little ? u16(o) | (u16(o + 2) << 16) : (u16(o) << 16) | u16(o + 2);
      };
      // The value of `tag` in the directory at `dir` (the first 32 bits of its value field).
      auto find = [&](size_t dir, uint32_t tag, uint32_t& value, uint32_t& type) {
        const uint32_t entries = u16(dir);
        for (uint32_t i = 0; i < entries && dir + 2 + (i + 1) * 12 <= tiffSize; ++i) {
          const size_t e = dir + 2 + size_t(i) * 12;
          if (u16(e) != tag) continue;
          type = u16(e + 2);
          value = type == 3 ? u16(e + 8) : u32(e + 8);
          return true;
        }
        return false;
      };
      uint32_t exifDir = 0, type = 0, colourSpace = 0;
      const uint32_t first = u32(4);
      if (!first || !find(first, 0x8769, exifDir, type) || !exifDir) return false;
      return find(exifDir, 0xA001, colourSpace, type) && colourSpace == 1;
    }
    at += 2 + length;
  }
  return false;
}

}  // namespace

bool pictureSaysSrgb(const uint8_t* data, size_t size) {
  return data && (pngSaysSrgb(data, size) || jpegSaysSrgb(data, size));
}

void buildMipChain(uint32_t formatCode, const uint8_t* level0, uint32_t width, uint32_t height, ImageSet& out) {
  out.clear();
  out.formatCode = formatCode;
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
  std::copy(level0, level0 + out.subresources[0].size, out.pixels.begin());
  const TexelShape shape = shapeOf(formatCode);
  for (uint32_t level = 1; level < out.mipLevels; ++level) {
    const ImageSubresource& s = out.subresources[level - 1];
    const ImageSubresource& d = out.subresources[level];
    downsample(shape, out.pixels.data() + s.offset, s.width, s.height, out.pixels.data() + d.offset, d.width,
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
  // One grey channel stays one channel (R8, or R16 when the PNG has 16 bits); everything
  // else decodes to four 8-bit channels, in BGRA order when they are sRGB (the only sRGB
  // layout of 8-bit colour the texture formats have).
  const bool grey = comp == 1;
  const bool wide = grey && stbi_is_16_bit_from_memory(data, int(size));
  const bool srgb = !grey && pictureSaysSrgb(data, size);
  void* pixels = wide ? static_cast<void*>(stbi_load_16_from_memory(data, int(size), &w, &h, &comp, 1))
                      : static_cast<void*>(stbi_load_from_memory(data, int(size), &w, &h, &comp, grey ? 1 : 4));
  if (!pixels) {
    imageLog("Failed to decode %s: %s\n", nameForLog.c_str(), stbi_failure_reason());
    return false;
  }
  uint32_t code = wide ? format::R16 : grey ? format::R8 : srgb ? format::BGRA8_SRGB : format::RGBA8;
  auto* bytes = static_cast<uint8_t*>(pixels);
  if (srgb)
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i) std::swap(bytes[i * 4], bytes[i * 4 + 2]);
  // 16-bit texels are handed over little-endian, as the GPU reads them.
  buildMipChain(code, bytes, uint32_t(w), uint32_t(h), out);
  stbi_image_free(pixels);
  return true;
}

bool readPicture(const std::string& path, ImageSet& out) {
  out.clear();
  std::vector<uint8_t> bytes;
  if (!readFileBytes(path, bytes)) return false;
  return decodePicture(bytes.data(), bytes.size(), path, out);
}

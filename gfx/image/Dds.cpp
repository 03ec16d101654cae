// DDS reader: the legacy header with an optional "DX10" extension, two-dimensional textures,
// texture arrays and cube maps, in the handful of formats the renderer samples.
#include <algorithm>
#include <cstring>

#include "gfx/image/ImageFile.h"
#include "gfx/image/ImageLog.h"

namespace {

constexpr uint32_t fourCC(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 | uint32_t(uint8_t(d)) << 24;
}

constexpr size_t kHeaderSize = 124;
constexpr size_t kDx10Size = 20;
constexpr uint32_t kPixelFormatFourCC = 0x4;
constexpr uint32_t kPixelFormatRgb = 0x40;
constexpr uint32_t kCaps2Cubemap = 0x200;
constexpr uint32_t kCaps2AllFaces = 0xFC00;
constexpr uint32_t kCaps2Volume = 0x200000;
constexpr uint32_t kHeaderFlagDepth = 0x800000;
constexpr uint32_t kDx10MiscCube = 0x4;
constexpr uint32_t kDx10Texture2D = 3;
constexpr uint32_t kMaxSide = 16384;
constexpr uint32_t kMaxArray = 2048;

uint32_t u32At(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;  // little-endian host, as the format
}

uint32_t formatFromDxgi(uint32_t dxgi) {
  switch (dxgi) {
    case 2: return format::RGBA32F;   // R32G32B32A32_FLOAT
    case 71: return format::BC1;      // BC1_UNORM
    case 72: return format::BC1_SRGB;
    case 74: return format::BC2;
    case 75: return format::BC2_SRGB;
    case 77: return format::BC3;
    case 78: return format::BC3_SRGB;
    case 87: return format::BGRA8;    // B8G8R8A8_UNORM
    default: return 0;
  }
}

uint32_t formatFromLegacy(const uint8_t* pf) {
  uint32_t flags = u32At(pf + 4);
  if (flags & kPixelFormatFourCC) {
    switch (u32At(pf + 8)) {
      case fourCC('D', 'X', 'T', '1'): return format::BC1;
      case fourCC('D', 'X', 'T', '2'):
      case fourCC('D', 'X', 'T', '3'): return format::BC2;
      case fourCC('D', 'X', 'T', '4'):
      case fourCC('D', 'X', 'T', '5'): return format::BC3;
      case 116: return format::RGBA32F;  // D3DFMT_A32B32G32R32F
      default: return 0;
    }
  }
  if ((flags & kPixelFormatRgb) && u32At(pf + 12) == 32 && u32At(pf + 16) == 0x00FF0000 &&
      u32At(pf + 20) == 0x0000FF00 && u32At(pf + 24) == 0x000000FF && u32At(pf + 28) == 0xFF000000)
    return format::BGRA8;
  return 0;
}

}  // namespace

bool parseDds(const uint8_t* data, size_t size, const std::string& name, ImageSet& out) {
  out.clear();
  auto fail = [&](const char* why) {
    imageLog("Failed to read DDS file %s: %s\n", name.c_str(), why);
    out.clear();
    return false;
  };
  if (size < 4 + kHeaderSize || std::memcmp(data, "DDS ", 4) != 0) return fail("not a DDS file");
  const uint8_t* h = data + 4;
  if (u32At(h) != kHeaderSize || u32At(h + 72) != 32) return fail("corrupt header");
  uint32_t headerFlags = u32At(h + 4);
  uint32_t height = u32At(h + 8);
  uint32_t width = u32At(h + 12);
  uint32_t depth = u32At(h + 20);
  uint32_t mips = std::max(1u, u32At(h + 24));
  uint32_t caps2 = u32At(h + 108);
  const uint8_t* pf = h + 72;
  size_t dataOffset = 4 + kHeaderSize;

  uint32_t format = 0;
  uint32_t arraySize = 1;
  bool cube = false;
  if ((u32At(pf + 4) & kPixelFormatFourCC) && u32At(pf + 8) == fourCC('D', 'X', '1', '0')) {
    if (size < dataOffset + kDx10Size) return fail("truncated extension header");
    const uint8_t* x = data + dataOffset;
    dataOffset += kDx10Size;
    format = formatFromDxgi(u32At(x));
    if (u32At(x + 4) != kDx10Texture2D) return fail("only two-dimensional textures are supported");
    cube = (u32At(x + 8) & kDx10MiscCube) != 0;
    arraySize = u32At(x + 12);
    if (arraySize == 0 || arraySize > kMaxArray) return fail("bad array size");
    if (cube) arraySize *= 6;
    // Six slices are a cube map even when the file does not flag it (as its writers mean).
    if (!cube && arraySize == 6 && u32At(h + 8) == u32At(h + 12)) cube = true;
  } else {
    if ((caps2 & kCaps2Volume) || ((headerFlags & kHeaderFlagDepth) && depth > 1))
      return fail("volume textures are not supported");
    if (caps2 & kCaps2Cubemap) {
      if ((caps2 & kCaps2AllFaces) != kCaps2AllFaces) return fail("partial cube maps are not supported");
      cube = true;
      arraySize = 6;
    }
    format = formatFromLegacy(pf);
  }
  if (format == 0) return fail("unsupported pixel format");
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return fail("bad size");
  if (cube && width != height) return fail("cube faces are not square");
  if (mips > fullMipCount(width, height)) return fail("too many mip levels");

  out.formatCode = format;
  out.width = width;
  out.height = height;
  out.arraySize = arraySize;
  out.mipLevels = mips;
  out.cube = cube;
  size_t total = 0;
  for (uint32_t slice = 0; slice < arraySize; ++slice) {
    uint32_t w = width, hgt = height;
    for (uint32_t level = 0; level < mips; ++level) {
      ImageSubresource sub;
      sub.offset = total;
      sub.width = w;
      sub.height = hgt;
      levelSize(format, w, hgt, sub.rowPitch, sub.size);
      total += sub.size;
      out.subresources.push_back(sub);
      w = std::max(1u, w / 2);
      hgt = std::max(1u, hgt / 2);
    }
  }
  if (size - dataOffset < total) return fail("file is truncated");
  out.pixels.assign(data + dataOffset, data + dataOffset + total);
  return true;
}

bool readDds(const std::string& path, ImageSet& out) {
  out.clear();
  std::vector<uint8_t> bytes;
  if (!readFileBytes(path, bytes)) return false;
  return parseDds(bytes.data(), bytes.size(), path, out);
}

#include "gfx/Texture.h"

#include <algorithm>
#include <cstdio>

#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/Backend.h"
#include "gfx/Formats.h"

namespace {

struct FormatRow {
  uint32_t code;
  DxgiFormat resource, view, target;
};

const FormatRow kFormats[] = {
    {format::R8, DXGI_FORMAT_R8_UNORM, DXGI_FORMAT_R8_UNORM, DXGI_FORMAT_R8_UNORM},
    {format::RGB8, DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_FORMAT_R8G8B8A8_UNORM},
    {format::RGBA8, DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_FORMAT_R8G8B8A8_UNORM},
    {format::BGRA8, DXGI_FORMAT_B8G8R8A8_UNORM, DXGI_FORMAT_B8G8R8A8_UNORM, DXGI_FORMAT_B8G8R8A8_UNORM},
    {format::BGRA8_SRGB, DXGI_FORMAT_B8G8R8A8_UNORM_SRGB, DXGI_FORMAT_B8G8R8A8_UNORM_SRGB, DXGI_FORMAT_B8G8R8A8_UNORM_SRGB},
    {format::R16, DXGI_FORMAT_R16_UNORM, DXGI_FORMAT_R16_UNORM, DXGI_FORMAT_R16_UNORM},
    {format::R16_SINT, DXGI_FORMAT_R16_SINT, DXGI_FORMAT_R16_SINT, DXGI_FORMAT_R16_SINT},
    {format::RGBA16_SNORM, DXGI_FORMAT_R16G16B16A16_SNORM, DXGI_FORMAT_R16G16B16A16_SNORM, DXGI_FORMAT_R16G16B16A16_SNORM},
    {format::RG16F, DXGI_FORMAT_R16G16_FLOAT, DXGI_FORMAT_R16G16_FLOAT, DXGI_FORMAT_R16G16_FLOAT},
    {format::RGBA16F, DXGI_FORMAT_R16G16B16A16_FLOAT, DXGI_FORMAT_R16G16B16A16_FLOAT, DXGI_FORMAT_R16G16B16A16_FLOAT},
    {format::R32F, DXGI_FORMAT_R32_FLOAT, DXGI_FORMAT_R32_FLOAT, DXGI_FORMAT_R32_FLOAT},
    {format::RG32F, DXGI_FORMAT_R32G32_FLOAT, DXGI_FORMAT_R32G32_FLOAT, DXGI_FORMAT_R32G32_FLOAT},
    {format::RGBA32F, DXGI_FORMAT_R32G32B32A32_FLOAT, DXGI_FORMAT_R32G32B32A32_FLOAT, DXGI_FORMAT_R32G32B32A32_FLOAT},
    {format::D32F, DXGI_FORMAT_R32_TYPELESS, DXGI_FORMAT_R32_FLOAT, DXGI_FORMAT_D32_FLOAT},
    {format::D24S8, DXGI_FORMAT_R24G8_TYPELESS, DXGI_FORMAT_R24_UNORM_X8_TYPELESS, DXGI_FORMAT_D24_UNORM_S8_UINT},
    {format::BC1, DXGI_FORMAT_BC1_UNORM, DXGI_FORMAT_BC1_UNORM, DXGI_FORMAT_BC1_UNORM},
    {format::BC1_SRGB, DXGI_FORMAT_BC1_UNORM_SRGB, DXGI_FORMAT_BC1_UNORM_SRGB, DXGI_FORMAT_BC1_UNORM_SRGB},
    {format::BC2, DXGI_FORMAT_BC2_UNORM, DXGI_FORMAT_BC2_UNORM, DXGI_FORMAT_BC2_UNORM},
    {format::BC2_SRGB, DXGI_FORMAT_BC2_UNORM_SRGB, DXGI_FORMAT_BC2_UNORM_SRGB, DXGI_FORMAT_BC2_UNORM_SRGB},
    {format::BC3, DXGI_FORMAT_BC3_UNORM, DXGI_FORMAT_BC3_UNORM, DXGI_FORMAT_BC3_UNORM},
    {format::BC3_SRGB, DXGI_FORMAT_BC3_UNORM_SRGB, DXGI_FORMAT_BC3_UNORM_SRGB, DXGI_FORMAT_BC3_UNORM_SRGB},
};

// Bits per pixel from the width class and channel count (channel counts 5 and 6 count as
// 1 and 2, 7 as 4).
uint32_t bitsFromCode(uint32_t code) {
  uint32_t channels = code & 0xFF;
  uint32_t widthClass = (code >> 8) & 0xFF;
  if (channels == 5) channels = 1;
  else if (channels == 6) channels = 2;
  else if (channels == 7) channels = 4;
  switch (widthClass) {
    case 1: return 4 * channels;
    case 2: return 8 * channels;
    case 3: return 16 * channels;
    case 4: return 32 * channels;
    case 5: return 32;
    case 0x11: return 4;
    case 0x12:
    case 0x13: return 8;
    default: return 0;
  }
}

uint32_t halve(uint32_t v) { return v > 1 ? v / 2 : (v == 0 ? 0 : 1); }

// Slices of a texture: a cube map has six, a cube array keeps its multiple of six.
uint32_t sliceCount(const TextureDesc& desc) {
  if (!(desc.flags & kCubeMap)) return std::max(desc.arraySize, 1u);
  return desc.arraySize > 6 && desc.arraySize % 6 == 0 ? desc.arraySize : 6;
}

}  // namespace

bool lookupFormat(uint32_t code, FormatInfo& out) {
  out = FormatInfo{};
  if (code == 0) return true;
  for (const FormatRow& row : kFormats) {
    if (row.code != code) continue;
    out.resourceFormat = row.resource;
    out.viewFormat = row.view;
    out.targetFormat = row.target;
    out.bitsPerPixel = bitsFromCode(code);
    uint32_t widthClass = (code >> 8) & 0xFF;
    out.blockCompressed = widthClass >= 0x11 && widthClass <= 0x13;
    out.depth = (code & 0xFF) == 5 || (code & 0xFF) == 6;
    out.stencil = (code & 0xFF) == 6;
    return true;
  }
  return false;
}

FormatInfo formatInfo(uint32_t code) {
  FormatInfo info;
  if (!lookupFormat(code, info)) fatalError("Could not find format");
  return info;
}

SubresourceLayout subresourceLayout(uint32_t code, uint32_t bitsPerPixel, uint32_t width, uint32_t height,
                                    uint32_t depth) {
  SubresourceLayout l;
  FormatInfo info;
  bool block = lookupFormat(code, info) && info.blockCompressed;
  if (bitsPerPixel == 0) bitsPerPixel = bitsFromCode(code);
  uint32_t w = std::max(width, 1u), h = std::max(height, 1u);
  if (block) {
    uint32_t blockBytes = bitsPerPixel * 16 / 8;  // 8 for BC1, 16 for BC2/BC3
    l.rowPitch = ((w + 3) / 4) * blockBytes;
    l.rows = (h + 3) / 4;
  } else {
    l.rowPitch = uint32_t((uint64_t(w) * bitsPerPixel + 7) / 8);
    l.rows = h;
  }
  l.slicePitch = l.rowPitch * l.rows;
  l.depth = std::max(depth, 1u);
  return l;
}

size_t textureDataSize(const TextureDesc& desc) {
  uint32_t bpp = desc.bitsPerPixel ? desc.bitsPerPixel : bitsFromCode(desc.format);
  uint32_t mips = desc.mipLevels ? desc.mipLevels : 1;
  uint64_t w = desc.width, h = desc.height, d = desc.depth;
  size_t total = 0;
  for (uint32_t m = 0; m < mips; ++m) {
    total += size_t(w * bpp * std::max<uint64_t>(d, 1) * std::max<uint64_t>(h, 1) / 8);
    w = halve(uint32_t(w));
    h = halve(uint32_t(h));
    d = halve(uint32_t(d));
  }
  return total;
}

size_t initialDataSize(const TextureDesc& desc) {
  uint32_t bpp = desc.bitsPerPixel ? desc.bitsPerPixel : bitsFromCode(desc.format);
  if (!(desc.flags & kTextureFlag)) return size_t(uint64_t(desc.width) * bpp / 8);
  uint32_t layers = sliceCount(desc);
  uint32_t mips = std::max(desc.mipLevels, 1u);
  size_t total = 0;
  for (uint32_t s = 0; s < layers; ++s) {
    uint32_t w = desc.width, h = desc.height, d = desc.depth;
    for (uint32_t m = 0; m < mips; ++m) {
      total += subresourceLayout(desc.format, bpp, w, h, d).size();
      w = halve(w);
      h = halve(h);
      d = halve(d);
    }
  }
  return total;
}

size_t Texture::byteSize() const {
  if (isBuffer()) return size_t(uint64_t(desc.width) * desc.bitsPerPixel / 8);
  return textureDataSize(desc);
}

Texture* createTexture(Device* device, const TextureDesc& descIn, const void* initialData) {
  if (!device) fatalError("Could not create texture: no device");
  FormatInfo info = formatInfo(descIn.format);
  if (descIn.format != 0 && info.bitsPerPixel == 0) fatalError("Could not find format");
  auto* t = new Texture;
  t->desc = descIn;
  t->device = device;
  t->cube = (t->desc.flags & kCubeMap) != 0;
  t->desc.arraySize = sliceCount(t->desc);
  if (t->desc.arraySize == 0) t->desc.arraySize = 1;
  if (t->desc.mipLevels == 0) t->desc.mipLevels = 1;
  if (t->desc.bitsPerPixel == 0) {
    t->desc.bitsPerPixel = info.bitsPerPixel;
  } else if (t->desc.bitsPerPixel != info.bitsPerPixel && descIn.format != 0 &&
             !(t->desc.flags & kBindUnorderedAccess)) {
    fatalError("Could not create texture: bits per pixel differ from the format");
  }
  if (t->desc.bitsPerPixel == 0) fatalError("Could not create texture: no format and no element size");
  if ((t->desc.flags & kUsageMask) == kUsageImmutable && !initialData)
    fatalError("Could not create texture: immutable texture without data");
  if (t->desc.width == 0) fatalError("Could not create texture: zero width");
  t->resourceFormat = info.resourceFormat;
  t->viewFormat = info.viewFormat;
  t->targetFormat = info.targetFormat;
  if (t->isTexture() && (t->desc.options & kSizeClassMask))
    device->resizeList.push_back({t, t->desc.options & kSizeClassMask});
  device->textures.push_back(t);
  if (!t->isWrapper()) gfxbackend::createResource(device, t, initialData);
  return t;
}

void resizeTexture(Texture* t, uint32_t width, uint32_t height) {
  if (!t || width == 0) return;
  // The old views die with the old resource: bindings must not keep them.
  if (t->device && t->device->context()) t->device->context()->unbindEverywhere(t);
  if (t->device && !t->isWrapper()) gfxbackend::destroyResource(t->device, t);
  t->desc.width = width;
  t->desc.height = height;
  if (t->device && !t->isWrapper()) gfxbackend::createResource(t->device, t, nullptr);
}

Texture::~Texture() {
  if (!device) return;
  if (device->context()) device->context()->unbindEverywhere(this);
  auto& list = device->textures;
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
  auto& sized = device->resizeList;
  sized.erase(std::remove_if(sized.begin(), sized.end(), [this](const ResizeEntry& e) { return e.texture == this; }),
              sized.end());
  if (resource) gfxbackend::destroyResource(device, this);
}

void deleteTexture(Texture* texture) { delete texture; }

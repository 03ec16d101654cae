#pragma once
// Every GPU buffer and texture of the system is a Texture, created from a TextureDesc that
// names a pixel-format code and usage flags.
//
// Pixel-format code: bits 0-7 channel count (1-4; 5 and 6 depth layouts; 7 four channels in
// blue-green-red-alpha order), bits 8-15 channel width class, bits 16-23 numeric type
// (1 unorm, 2 snorm, 4 sint, 5 float, 7 unorm sRGB). Codes outside the table end the
// program with fatalError("Could not find format").
#include <cstddef>
#include <cstdint>

#include "gfx/D3DEnums.h"
#include "gfx/Formats.h"

class Device;
namespace gfxbackend {
struct Resource;  // the backend's image or buffer with its views
}

// Texture flags.
enum TextureFlag : uint32_t {
  kBindShaderResource = 0x1,
  kBindIndexBuffer = 0x2,
  kBindVertexBuffer = 0x4,
  kBindRenderTarget = 0x8,
  kBindDepthStencil = 0x10,
  kBindConstantBuffer = 0x20,
  kBindUnorderedAccess = 0x40,
  kBindMask = 0x7F,
  kUsageImmutable = 0x100,  // initial data required
  kUsageDefault = 0x200,
  kUsageDynamic = 0x300,    // CPU write (Map with write-discard)
  kUsageStaging = 0x400,    // CPU read (Map for reading)
  kUsageMask = 0xF00,
  kTextureFlag = 0x10000,   // clear: a buffer
  kCubeMap = 0x20000,       // six array slices
  kStructuredBuffer = 0x40000,
};

// Texture options.
enum TextureOption : uint32_t {
  kOptionWrap = 0x2,        // wraps a resource that exists; no resource is created
  kSizeFull = 0x4,          // follows the back-buffer size
  kSizeHalf = 0x8,          // half of it (rounding down)
  kSizeQuarter = 0x10,      // a quarter of it (rounding down)
  kSizeClassMask = 0x1C,
};

struct TextureDesc {
  uint32_t flags = 0;
  uint32_t format = 0;        // pixel-format code
  uint32_t options = 0;
  uint32_t bitsPerPixel = 0;  // 0: from the format
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t depth = 0;
  uint32_t arraySize = 0;     // 0 means 1 (a cube map has 6, a cube array a multiple of 6)
  uint32_t mipLevels = 0;     // 0 means 1
  uint8_t one = 1;            // carried along unchanged, not used by creation
  int32_t minusOne = -1;      // carried along unchanged, not used by creation
};

// What a format code stands for (the table of formats).
struct FormatInfo {
  DxgiFormat resourceFormat = DXGI_FORMAT_UNKNOWN;  // of the resource
  DxgiFormat viewFormat = DXGI_FORMAT_UNKNOWN;      // of shader-resource and unordered-access views
  DxgiFormat targetFormat = DXGI_FORMAT_UNKNOWN;    // of render-target or depth-stencil views
  uint32_t bitsPerPixel = 0;
  bool blockCompressed = false;  // 4 x 4 blocks
  bool depth = false;
  bool stencil = false;
};

// False for a code outside the table (code 0 is "none": true with all formats unknown).
bool lookupFormat(uint32_t code, FormatInfo& out);
// Like lookupFormat, but a code outside the table is fatalError("Could not find format").
FormatInfo formatInfo(uint32_t code);

// Row pitch, number of rows (of blocks for compressed codes) and slice pitch of one mip
// level of size w x h, as Direct3D lays out initial data. bitsPerPixel 0: from the format.
struct SubresourceLayout {
  uint32_t rowPitch = 0;
  uint32_t rows = 0;
  uint32_t slicePitch = 0;  // rowPitch * rows (one depth slice)
  uint32_t depth = 1;       // depth slices of a 3-D level
  size_t size() const { return size_t(slicePitch) * depth; }
};
SubresourceLayout subresourceLayout(uint32_t formatCode, uint32_t bitsPerPixel, uint32_t width,
                                    uint32_t height, uint32_t depth);

// The byte size of the data: width x bits per pixel x max(depth,1) x max(height,1) / 8,
// summed over the mip levels with every non-zero dimension halving per level.
size_t textureDataSize(const TextureDesc& desc);

// Bytes of the initial data that createTexture reads: one block per array slice and mip
// level, slice after slice, level after level, each with Direct3D pitches.
size_t initialDataSize(const TextureDesc& desc);

class Texture {
 public:
  // Use createTexture / deleteTexture.
  Texture() = default;
  ~Texture();
  Texture(const Texture&) = delete;
  Texture& operator=(const Texture&) = delete;

  TextureDesc desc;  // as given, with arraySize / mipLevels / bitsPerPixel filled in
  DxgiFormat resourceFormat = DXGI_FORMAT_UNKNOWN;
  DxgiFormat viewFormat = DXGI_FORMAT_UNKNOWN;
  DxgiFormat targetFormat = DXGI_FORMAT_UNKNOWN;
  Device* device = nullptr;               // null once the Device was deleted first
  gfxbackend::Resource* resource = nullptr;  // views are created on first use, inside

  uint32_t width() const { return desc.width; }
  uint32_t height() const { return desc.height; }
  uint32_t flags() const { return desc.flags; }
  uint32_t format() const { return desc.format; }
  bool isTexture() const { return (desc.flags & kTextureFlag) != 0; }
  bool isBuffer() const { return !isTexture(); }
  // A cube map: made with the cube flag, or a picture file of six slices per cube (loaded
  // textures keep flags 0x10101 and are cubes by their slices).
  bool isCube() const { return cube; }
  bool cube = false;
  bool isRenderTarget() const { return (desc.flags & kBindRenderTarget) != 0; }
  bool isDepthTarget() const { return (desc.flags & kBindDepthStencil) != 0; }
  bool isWrapper() const { return (desc.options & kOptionWrap) != 0; }
  uint32_t usage() const { return desc.flags & kUsageMask; }
  uint32_t sizeClass() const { return desc.options & kSizeClassMask; }
  // Buffers: the byte width (width x bits per pixel / 8); textures: textureDataSize().
  size_t byteSize() const;
};

// Creates the texture and its resource (zero-filled unless initial data is given; an
// immutable texture without data is unrecoverable). Joins the Device texture list, and the
// resize list when it is a texture with a size class. `initialData` holds
// initialDataSize(desc) bytes or is null.
Texture* createTexture(Device* device, const TextureDesc& desc, const void* initialData);

// Releases the resource and its views, sets the new size and creates them again (zero-filled,
// without data). Bound views of the texture become invalid: rebind after a resize.
void resizeTexture(Texture* texture, uint32_t width, uint32_t height);

// Leaves the Device lists and releases everything (null is allowed). Same as delete.
void deleteTexture(Texture* texture);

#pragma once
// Picture files on the CPU: JPEG/PNG decoding with a full mip chain, DDS reading and the
// TIFF writer of the frame dump. Nothing here touches the GPU; the texture loader turns an
// ImageSet into a Texture.
//
// Failures never stop the program: every reader returns false (and leaves the set empty)
// after one log line on stderr that names the file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gfx/Formats.h"


// One mip level of one array slice inside ImageSet::pixels.
struct ImageSubresource {
  size_t offset = 0;      // byte offset into ImageSet::pixels
  size_t size = 0;        // bytes of this level
  uint32_t width = 0;     // texels
  uint32_t height = 0;
  uint32_t rowPitch = 0;  // bytes per row (per row of 4x4 blocks for block-compressed formats)
};

// A decoded picture: slice after slice, and inside a slice level after level, packed
// without padding - the order in which a texture takes its initial data.
struct ImageSet {
  uint32_t formatCode = 0;
  uint32_t width = 0;   // of level 0
  uint32_t height = 0;
  uint32_t arraySize = 0;  // 6 for a cube map
  uint32_t mipLevels = 0;
  bool cube = false;
  std::vector<uint8_t> pixels;
  std::vector<ImageSubresource> subresources;  // index = slice * mipLevels + level

  const ImageSubresource& at(uint32_t slice, uint32_t level) const {
    return subresources[size_t(slice) * mipLevels + level];
  }
  void clear() { *this = ImageSet{}; }
};

// Number of levels of a full chain down to 1 x 1 (256 x 128 gives 9).
uint32_t fullMipCount(uint32_t width, uint32_t height);

// Bytes per texel (or per 4x4 block for BC formats) and whether the code is block compressed.
// Returns 0 for codes this module does not know.
uint32_t bytesPerElement(uint32_t formatCode, bool* blockCompressed = nullptr);

// Row pitch and byte size of one level of the given format.
void levelSize(uint32_t formatCode, uint32_t width, uint32_t height, uint32_t& rowPitch, size_t& size);

// Decodes a JPEG or PNG file and adds a full mip chain (box filter). The format follows the
// file: one grey channel gives R8, or R16 for a 16-bit PNG (sampled as (v, 0, 0, 1)); colour
// gives RGBA8, or BGRA8 sRGB when the file says it holds sRGB colours (a PNG sRGB chunk, the
// Exif colour space of a JPEG), so that sampling linearises it. Grey with alpha and 16-bit
// colour become RGBA8.
bool readPicture(const std::string& path, ImageSet& out);
bool decodePicture(const uint8_t* data, size_t size, const std::string& nameForLog, ImageSet& out);

// Whether a PNG or JPEG file declares its colours sRGB (PNG: an sRGB chunk before the image
// data; JPEG: Exif colour space 1). False for anything else or anything unreadable.
bool pictureSaysSrgb(const uint8_t* data, size_t size);

// Builds a full mip chain from one level of R8, R16, RGBA8, BGRA8 or BGRA8 sRGB texels (box
// filter over the covered source texels; sRGB colour channels are averaged as linear light).
void buildMipChain(uint32_t formatCode, const uint8_t* level0, uint32_t width, uint32_t height, ImageSet& out);
inline void buildRgba8MipChain(const uint8_t* rgba, uint32_t width, uint32_t height, ImageSet& out) {
  buildMipChain(format::RGBA8, rgba, width, height, out);
}

// Reads a DDS file (legacy header or "DX10" extension) of a supported format.
bool readDds(const std::string& path, ImageSet& out);
bool parseDds(const uint8_t* data, size_t size, const std::string& nameForLog, ImageSet& out);

// Writes an RGBA 8-bit picture, top row first, as an uncompressed TIFF.
bool writeTiffRgba8(const std::string& path, uint32_t width, uint32_t height, const uint8_t* rgba,
                    size_t rowPitch);

// Reads the whole file; false (with a log line) when it cannot be opened or read.
bool readFileBytes(const std::string& path, std::vector<uint8_t>& bytes);

#pragma once
// Baking of environment cube maps for image-based lighting: a radiance source (a procedural
// sky or an equirectangular picture) is rendered into the six faces of a cube, and every
// further mip level holds the environment pre-filtered with the GGX lobe of the renderer's
// BRDF, for roughness level / (levels - 1). The result is written as a DDS cube of 32-bit
// float RGBA texels, which the texture loader reads as it is.
//
// Faces and texel directions follow Direct3D's (and Vulkan's) cube layout: faces +X, -X, +Y,
// -Y, +Z, -Z; within a face u runs to the right and v downwards, row 0 at the top.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/Math.h"

namespace envbake {

// Radiance arriving from direction dir (unit length, pointing away from the viewer).
using RadianceSource = std::function<Float3(Float3 dir)>;

// Direction through (u, v) in [-1, 1]^2 of a face (v downwards).
Float3 cubeDirection(uint32_t face, float u, float v);
// Direction through the centre of texel (x, y) of a face of size x size.
Float3 cubeTexelDirection(uint32_t face, uint32_t x, uint32_t y, uint32_t size);
// Solid angle of that texel.
float cubeTexelSolidAngle(uint32_t x, uint32_t y, uint32_t size);

struct SkySettings {
  Float3 sunDirection{-0.45f, 0.55f, 0.70f};  // towards the sun (need not be unit length)
  Float3 sunRadiance{60.0f, 55.0f, 48.0f};
  float sunRadiusDegrees = 2.0f;
  Float3 zenith{0.16f, 0.32f, 0.75f};
  Float3 horizon{0.85f, 0.90f, 1.00f};
  Float3 ground{0.22f, 0.20f, 0.18f};
};
// A clear sky: zenith to horizon gradient above, a darker ground below, a sun disk with a
// soft rim. Finite and non-negative for every direction.
Float3 proceduralSky(const SkySettings& sky, Float3 dir);

// An equirectangular picture as linear RGB (HDR files as stored; 8-bit pictures converted
// from gamma 2.2 by stb_image).
struct Panorama {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<float> rgb;  // width * height * 3, top row first
};
// Reads any picture stb_image reads (.hdr, .png, .jpg, ...). False with a message naming
// the file in `error`.
bool loadPanorama(const std::string& path, Panorama& out, std::string& error);
// Bilinear look-up: longitude atan2(x, z) maps to u (0.5 at +Z), the zenith to the top row.
Float3 samplePanorama(const Panorama& p, Float3 dir);

// Texels of one cube: faces[face][level] holds size >> level squared RGBA texels (w = 1).
struct CubeImage {
  uint32_t size = 0;
  uint32_t mipLevels = 0;
  std::vector<Float4> texels[6][16];

  const Float4& at(uint32_t face, uint32_t level, uint32_t x, uint32_t y) const;
};

uint32_t levelSize(uint32_t size, uint32_t level);

// Roughness that mip `level` of `levels` is pre-filtered for.
float levelRoughness(uint32_t level, uint32_t levels);

struct BakeSettings {
  uint32_t size = 64;       // face size of level 0 (a power of two, 1 .. 4096)
  uint32_t mipLevels = 0;   // 0: the full chain down to 1 x 1
  uint32_t supersample = 4; // samples per texel side for level 0
};

// Progress is reported as (level done, levels).
using BakeProgress = std::function<void(uint32_t, uint32_t)>;

// Level 0 is the source averaged over each texel; level m > 0 is the source convolved with
// the GGX lobe (view = normal) for levelRoughness(m), weighted by the cosine of each
// direction, taken from a box-filtered copy of level 0 fine enough for the lobe. False when
// the settings are out of range.
bool bakeCube(const RadianceSource& source, const BakeSettings& settings, CubeImage& out,
              const BakeProgress& progress = {});

// The DDS file of a cube: "DX10" header, R32G32B32A32_FLOAT, cube flag, faces in order and
// each face's levels in order.
std::vector<uint8_t> encodeDdsCube(const CubeImage& cube);
bool writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

}  // namespace envbake

#include "tools/envbake/EnvBake.h"

#include <stb_image.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

namespace envbake {

namespace {

constexpr float kPi = 3.14159265358979f;

float clamp01(float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }

Float3 lerp3(Float3 a, Float3 b, float t) { return a + (b - a) * t; }

float smoothstep(float e0, float e1, float x) {
  float t = clamp01((x - e0) / (e1 - e0));
  return t * t * (3.0f - 2.0f * t);
}

// GGX distribution, the renderer's lobe (common/brdf.hlsli).
float ggxDistribution(float NdotH, float alpha) {
  float a2 = alpha * alpha;
  float d = NdotH * NdotH * (a2 - 1.0f) + 1.0f;
  return a2 / (kPi * d * d);
}

// One face level as a flat array with its size, for the convolution.
struct FaceSet {
  uint32_t size = 0;
  std::vector<Float4> texels[6];
};

// Halves every face by averaging 2 x 2 texels (cube texels of one level have nearly equal
// solid angles, so the plain mean keeps the energy well enough for a filter source).
FaceSet downsample(const FaceSet& in) {
  FaceSet out;
  out.size = std::max(1u, in.size / 2);
  for (uint32_t f = 0; f < 6; ++f) {
    out.texels[f].resize(size_t(out.size) * out.size);
    for (uint32_t y = 0; y < out.size; ++y)
      for (uint32_t x = 0; x < out.size; ++x) {
        Float4 s{0, 0, 0, 0};
        for (uint32_t dy = 0; dy < 2; ++dy)
          for (uint32_t dx = 0; dx < 2; ++dx) {
            const Float4& t = in.texels[f][size_t(std::min(in.size - 1, 2 * y + dy)) * in.size +
                                           std::min(in.size - 1, 2 * x + dx)];
            s.x += t.x, s.y += t.y, s.z += t.z;
          }
        out.texels[f][size_t(y) * out.size + x] = {s.x * 0.25f, s.y * 0.25f, s.z * 0.25f, 1.0f};
      }
  }
  return out;
}

}  // namespace

Float3 cubeDirection(uint32_t face, float u, float v) {
  Float3 d;
  switch (face) {
    case 0: d = {1.0f, -v, -u}; break;   // +X
    case 1: d = {-1.0f, -v, u}; break;   // -X
    case 2: d = {u, 1.0f, v}; break;     // +Y
    case 3: d = {u, -1.0f, -v}; break;   // -Y
    case 4: d = {u, -v, 1.0f}; break;    // +Z
    default: d = {-u, -v, -1.0f}; break; // -Z
  }
  return normalize(d);
}

Float3 cubeTexelDirection(uint32_t face, uint32_t x, uint32_t y, uint32_t size) {
  float u = (2.0f * (float(x) + 0.5f)) / float(size) - 1.0f;
  float v = (2.0f * (float(y) + 0.5f)) / float(size) - 1.0f;
  return cubeDirection(face, u, v);
}

float cubeTexelSolidAngle(uint32_t x, uint32_t y, uint32_t size) {
  // Exact area of the texel projected on the unit sphere (integral of the face's Jacobian).
  auto areaElement = [](float u, float v) { return std::atan2(u * v, std::sqrt(u * u + v * v + 1.0f)); };
  float inv = 1.0f / float(size);
  float u0 = 2.0f * float(x) * inv - 1.0f, u1 = 2.0f * float(x + 1) * inv - 1.0f;
  float v0 = 2.0f * float(y) * inv - 1.0f, v1 = 2.0f * float(y + 1) * inv - 1.0f;
  return areaElement(u0, v0) - areaElement(u0, v1) - areaElement(u1, v0) + areaElement(u1, v1);
}

Float3 proceduralSky(const SkySettings& sky, Float3 dir) {
  Float3 d = normalize(dir);
  if (length(d) == 0.0f) d = {0.0f, 1.0f, 0.0f};
  float h = d.y;
  Float3 colour;
  if (h >= 0.0f) {
    // Brighter and whiter towards the horizon, deep blue overhead.
    float t = std::pow(clamp01(h), 0.45f);
    colour = lerp3(sky.horizon, sky.zenith, t);
  } else {
    // The ground darkens quickly below a thin haze band.
    colour = lerp3(sky.horizon * 0.6f, sky.ground, smoothstep(0.0f, 0.12f, -h));
  }
  Float3 sun = normalize(sky.sunDirection);
  if (length(sun) > 0.0f) {
    float cosAngle = dot(d, sun);
    float radius = std::max(sky.sunRadiusDegrees, 0.01f) * kPi / 180.0f;
    float angle = std::acos(std::clamp(cosAngle, -1.0f, 1.0f));
    // Disk with a soft rim, and a faint glow around it.
    float disk = 1.0f - smoothstep(radius * 0.8f, radius, angle);
    float glow = std::exp(-angle * 6.0f) * 0.25f * std::max(h + 0.1f, 0.0f);
    colour = colour + sky.sunRadiance * disk + sky.horizon * glow;
  }
  return colour;
}

bool loadPanorama(const std::string& path, Panorama& out, std::string& error) {
  out = Panorama{};
  int w = 0, h = 0, comp = 0;
  float* data = stbi_loadf(path.c_str(), &w, &h, &comp, 3);
  if (!data) {
    const char* why = stbi_failure_reason();
    error = "cannot read picture " + path + ": " + (why ? why : "unknown reason");
    return false;
  }
  if (w < 2 || h < 1) {
    stbi_image_free(data);
    error = "picture " + path + " is too small for an environment";
    return false;
  }
  out.width = uint32_t(w);
  out.height = uint32_t(h);
  out.rgb.assign(data, data + size_t(w) * size_t(h) * 3);
  stbi_image_free(data);
  // Non-finite or negative texels would poison every pre-filtered level.
  for (float& v : out.rgb)
    if (!std::isfinite(v) || v < 0.0f) v = 0.0f;
  return true;
}

Float3 samplePanorama(const Panorama& p, Float3 dir) {
  if (p.width == 0 || p.height == 0) return {0, 0, 0};
  Float3 d = normalize(dir);
  float u = 0.5f + std::atan2(d.x, d.z) / (2.0f * kPi);
  float v = std::acos(std::clamp(d.y, -1.0f, 1.0f)) / kPi;
  float fx = u * float(p.width) - 0.5f;
  float fy = v * float(p.height) - 0.5f;
  float x0f = std::floor(fx), y0f = std::floor(fy);
  float ax = fx - x0f, ay = fy - y0f;
  auto texel = [&](int x, int y) {
    int w = int(p.width), h = int(p.height);
    x = ((x % w) + w) % w;  // longitude wraps
    y = std::clamp(y, 0, h - 1);
    const float* t = &p.rgb[(size_t(y) * p.width + size_t(x)) * 3];
    return Float3{t[0], t[1], t[2]};
  };
  int x0 = int(x0f), y0 = int(y0f);
  Float3 top = lerp3(texel(x0, y0), texel(x0 + 1, y0), ax);
  Float3 bottom = lerp3(texel(x0, y0 + 1), texel(x0 + 1, y0 + 1), ax);
  return lerp3(top, bottom, ay);
}

const Float4& CubeImage::at(uint32_t face, uint32_t level, uint32_t x, uint32_t y) const {
  return texels[face][level][size_t(y) * levelSize(size, level) + x];
}

uint32_t levelSize(uint32_t size, uint32_t level) { return std::max(1u, size >> level); }

float levelRoughness(uint32_t level, uint32_t levels) {
  return levels > 1 ? float(level) / float(levels - 1) : 0.0f;
}

bool bakeCube(const RadianceSource& source, const BakeSettings& settings, CubeImage& out,
              const BakeProgress& progress) {
  out = CubeImage{};
  const uint32_t size = settings.size;
  if (size == 0 || size > 4096 || (size & (size - 1)) != 0 || !source) return false;
  uint32_t full = 1;
  while ((size >> full) > 0) ++full;  // levels down to 1 x 1
  const uint32_t levels = settings.mipLevels == 0 ? full : settings.mipLevels;
  if (levels > full || levels > 16) return false;
  const uint32_t ss = std::clamp(settings.supersample, 1u, 16u);
  out.size = size;
  out.mipLevels = levels;

  // Level 0: the source averaged over each texel.
  FaceSet base;
  base.size = size;
  for (uint32_t f = 0; f < 6; ++f) {
    base.texels[f].resize(size_t(size) * size);
    for (uint32_t y = 0; y < size; ++y)
      for (uint32_t x = 0; x < size; ++x) {
        Float3 sum{0, 0, 0};
        for (uint32_t sy = 0; sy < ss; ++sy)
          for (uint32_t sx = 0; sx < ss; ++sx) {
            float u = 2.0f * (float(x) + (float(sx) + 0.5f) / float(ss)) / float(size) - 1.0f;
            float v = 2.0f * (float(y) + (float(sy) + 0.5f) / float(ss)) / float(size) - 1.0f;
            Float3 r = source(cubeDirection(f, u, v));
            if (!(std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.z))) r = {0, 0, 0};
            sum = sum + Float3{std::max(r.x, 0.0f), std::max(r.y, 0.0f), std::max(r.z, 0.0f)};
          }
        float n = 1.0f / float(ss * ss);
        base.texels[f][size_t(y) * size + x] = {sum.x * n, sum.y * n, sum.z * n, 1.0f};
      }
    out.texels[f][0] = base.texels[f];
  }
  if (progress) progress(1, levels);

  // Filter sources: level 0 and its box-filtered halvings. Level m reads the halving whose
  // texels are no coarser than the lobe is wide: one level finer than itself.
  std::vector<FaceSet> sources{base};
  for (uint32_t level = 1; level < levels; ++level) {
    const FaceSet& src = sources[std::min<size_t>(level - 1, sources.size() - 1)];
    const float alpha = std::max(levelRoughness(level, levels), 1e-3f) * std::max(levelRoughness(level, levels), 1e-3f);
    const uint32_t n = levelSize(size, level);
    // Directions and solid angles of the source texels, once per level.
    std::vector<Float3> dirs;
    std::vector<float> solid;
    std::vector<const Float4*> values;
    dirs.reserve(size_t(6) * src.size * src.size);
    for (uint32_t f = 0; f < 6; ++f)
      for (uint32_t y = 0; y < src.size; ++y)
        for (uint32_t x = 0; x < src.size; ++x) {
          dirs.push_back(cubeTexelDirection(f, x, y, src.size));
          solid.push_back(cubeTexelSolidAngle(x, y, src.size));
          values.push_back(&src.texels[f][size_t(y) * src.size + x]);
        }
    for (uint32_t f = 0; f < 6; ++f) {
      std::vector<Float4>& dst = out.texels[f][level];
      dst.resize(size_t(n) * n);
      for (uint32_t y = 0; y < n; ++y)
        for (uint32_t x = 0; x < n; ++x) {
          const Float3 N = cubeTexelDirection(f, x, y, n);
          double wsum = 0, r = 0, g = 0, b = 0;
          for (size_t i = 0; i < dirs.size(); ++i) {
            const float NdotL = dot(N, dirs[i]);
            if (NdotL <= 0.0f) continue;
            // With V = N the half vector's cosine is sqrt((1 + NdotL) / 2).
            const float NdotH = std::sqrt(0.5f * (1.0f + NdotL));
            const double w = double(ggxDistribution(NdotH, alpha)) * NdotL * solid[i];
            wsum += w;
            r += w * values[i]->x;
            g += w * values[i]->y;
            b += w * values[i]->z;
          }
          float inv = wsum > 0 ? float(1.0 / wsum) : 0.0f;
          dst[size_t(y) * n + x] = {float(r) * inv, float(g) * inv, float(b) * inv, 1.0f};
        }
    }
    if (sources.back().size > 1) sources.push_back(downsample(sources.back()));
    if (progress) progress(level + 1, levels);
  }
  return true;
}

std::vector<uint8_t> encodeDdsCube(const CubeImage& cube) {
  std::vector<uint8_t> bytes;
  auto u32 = [&bytes](uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(v >> (8 * i)));
  };
  const uint32_t size = cube.size;
  bytes.insert(bytes.end(), {'D', 'D', 'S', ' '});
  u32(124);                                           // header size
  u32(0x1 | 0x2 | 0x4 | 0x8 | 0x1000 | 0x20000);      // caps, height, width, pitch, pixel format, mip count
  u32(size);                                          // height
  u32(size);                                          // width
  u32(size * 16);                                     // pitch of level 0
  u32(0);                                             // depth
  u32(cube.mipLevels);
  for (int i = 0; i < 11; ++i) u32(0);                // reserved
  u32(32);                                            // pixel format size
  u32(0x4);                                           // four-character code follows
  u32(0x30315844);                                    // "DX10"
  for (int i = 0; i < 5; ++i) u32(0);                 // bit count and masks
  u32(0x1000 | 0x8 | 0x400000);                       // texture, complex, mip map
  u32(0x200 | 0xFC00);                                // cube map with all six faces
  u32(0);
  u32(0);
  u32(0);
  // Extension header.
  u32(2);  // DXGI_FORMAT_R32G32B32A32_FLOAT
  u32(3);  // two-dimensional texture
  u32(0x4);  // cube
  u32(1);  // one cube
  u32(0);
  for (uint32_t f = 0; f < 6; ++f)
    for (uint32_t level = 0; level < cube.mipLevels; ++level) {
      const std::vector<Float4>& t = cube.texels[f][level];
      const size_t n = t.size() * sizeof(Float4);
      const size_t at = bytes.size();
      bytes.resize(at + n);
      std::memcpy(bytes.data() + at, t.data(), n);
    }
  return bytes;
}

bool writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (f) f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  if (!f) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace envbake

// The environment baker: cube layout, pre-filtering against an independent Monte-Carlo
// integral of the GGX lobe, and the DDS file as the renderer's reader sees it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "gfx/image/ImageFile.h"
#include "tools/envbake/EnvBake.h"

namespace {

using namespace envbake;

constexpr float kPi = 3.14159265358979f;

bool near3(Float3 a, Float3 b, float eps) {
  return std::fabs(a.x - b.x) <= eps && std::fabs(a.y - b.y) <= eps && std::fabs(a.z - b.z) <= eps;
}

TEST(EnvBakeCube, FacesMeetAlongTheirEdgesAndCoverTheSphere) {
  // Face centres are the six axes.
  const Float3 axes[6] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
  for (uint32_t f = 0; f < 6; ++f) EXPECT_TRUE(near3(cubeDirection(f, 0, 0), axes[f], 1e-6f)) << f;
  // Shared edges give the same direction from both faces: +Z right edge is +X left edge,
  // +Z top edge is +Y bottom edge, +X right edge is -Z left edge, -Y top edge is +Z bottom.
  for (float s : {-0.9f, -0.3f, 0.4f, 0.8f}) {
    EXPECT_TRUE(near3(cubeDirection(4, 1, s), cubeDirection(0, -1, s), 1e-6f));
    EXPECT_TRUE(near3(cubeDirection(4, s, -1), cubeDirection(2, s, 1), 1e-6f));
    EXPECT_TRUE(near3(cubeDirection(0, 1, s), cubeDirection(5, -1, s), 1e-6f));
    EXPECT_TRUE(near3(cubeDirection(3, s, -1), cubeDirection(4, s, 1), 1e-6f));
    EXPECT_TRUE(near3(cubeDirection(1, -1, s), cubeDirection(5, 1, s), 1e-6f));
  }
  for (uint32_t size : {1u, 3u, 16u}) {
    double total = 0;
    for (uint32_t y = 0; y < size; ++y)
      for (uint32_t x = 0; x < size; ++x) total += cubeTexelSolidAngle(x, y, size);
    EXPECT_NEAR(total * 6, 4 * kPi, 1e-4) << size;
  }
}

// The pre-filtered value along N of a source, integrated independently: GGX half vectors
// drawn at random (V = N), each reflected direction weighted by its cosine.
Float3 monteCarloPrefilter(const RadianceSource& source, Float3 N, float roughness, int samples) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uni(0.0f, 1.0f);
  Float3 up = std::fabs(N.y) < 0.9f ? Float3{0, 1, 0} : Float3{1, 0, 0};
  Float3 tx = normalize(cross(up, N));
  Float3 ty = cross(N, tx);
  float alpha = roughness * roughness;
  double r = 0, g = 0, b = 0, w = 0;
  for (int i = 0; i < samples; ++i) {
    float u1 = uni(rng), u2 = uni(rng);
    float phi = 2 * kPi * u1;
    float cosT = std::sqrt((1 - u2) / (1 + (alpha * alpha - 1) * u2));
    float sinT = std::sqrt(std::max(0.0f, 1 - cosT * cosT));
    Float3 H = tx * (sinT * std::cos(phi)) + ty * (sinT * std::sin(phi)) + N * cosT;
    Float3 L = H * (2 * dot(N, H)) - N;
    float NdotL = dot(N, L);
    if (NdotL <= 0) continue;
    Float3 c = source(L);
    r += c.x * NdotL, g += c.y * NdotL, b += c.z * NdotL, w += NdotL;
  }
  return {float(r / w), float(g / w), float(b / w)};
}

TEST(EnvBakeCube, RoughLevelsMatchAnIndependentIntegralOfTheLobe) {
  // A bright band above a dark lower half: every level must blur the edge as the lobe says.
  RadianceSource source = [](Float3 d) {
    return d.y > 0.2f ? Float3{4.0f, 2.0f, 1.0f} : Float3{0.1f, 0.2f, 0.4f};
  };
  BakeSettings settings;
  settings.size = 32;
  settings.supersample = 2;
  CubeImage cube;
  ASSERT_TRUE(bakeCube(source, settings, cube));
  ASSERT_EQ(cube.mipLevels, 6u);
  // Texels of +Z at several heights (crossing the edge) in the rough levels.
  for (uint32_t level = 2; level < cube.mipLevels; ++level) {
    const uint32_t n = levelSize(cube.size, level);
    for (uint32_t y = 0; y < n; y += std::max(1u, n / 4)) {
      Float3 N = cubeTexelDirection(4, n / 2, y, n);
      Float3 ref = monteCarloPrefilter(source, N, levelRoughness(level, cube.mipLevels), 20000);
      const Float4& got = cube.at(4, level, n / 2, y);
      // 2.5% of the bright value: the box-filtered source blurs the edge by up to one texel.
      EXPECT_NEAR(got.x, ref.x, 0.1f) << "level " << level << " row " << y;
      EXPECT_NEAR(got.z, ref.z, 0.04f) << "level " << level << " row " << y;
    }
  }
  // Level 0 is the source itself away from the edge.
  EXPECT_FLOAT_EQ(cube.at(2, 0, 16, 16).x, 4.0f);
  EXPECT_FLOAT_EQ(cube.at(3, 0, 16, 16).z, 0.4f);
}

TEST(EnvBakeCube, RefusesSizesItCannotChainAndBadSourcesStayFinite) {
  CubeImage cube;
  RadianceSource one = [](Float3) { return Float3{1, 1, 1}; };
  BakeSettings s;
  s.size = 48;  // not a power of two
  EXPECT_FALSE(bakeCube(one, s, cube));
  s.size = 8;
  s.mipLevels = 5;  // 8, 4, 2, 1 is all there is
  EXPECT_FALSE(bakeCube(one, s, cube));
  s.mipLevels = 0;
  RadianceSource bad = [](Float3 d) { return d.x > 0 ? Float3{NAN, INFINITY, -5} : Float3{1, 1, 1}; };
  ASSERT_TRUE(bakeCube(bad, s, cube));
  for (uint32_t f = 0; f < 6; ++f)
    for (uint32_t level = 0; level < cube.mipLevels; ++level)
      for (const Float4& t : cube.texels[f][level]) {
        EXPECT_TRUE(std::isfinite(t.x) && std::isfinite(t.y) && std::isfinite(t.z));
        EXPECT_GE(t.x, 0.0f);
      }
  // The procedural sky has no bad direction either, the zero vector included.
  SkySettings sky;
  for (Float3 d : {Float3{0, 0, 0}, Float3{0, 1, 0}, Float3{0, -1, 0}, normalize(sky.sunDirection)}) {
    Float3 c = proceduralSky(sky, d);
    EXPECT_TRUE(std::isfinite(c.x) && std::isfinite(c.y) && std::isfinite(c.z) && c.x >= 0);
  }
  EXPECT_GT(proceduralSky(sky, sky.sunDirection).x, proceduralSky(sky, {0, 1, 0}).x * 10);
}

TEST(EnvBakeDds, TheRendererReadsBackEveryFaceAndLevel) {
  SkySettings sky;
  RadianceSource source = [&sky](Float3 d) { return proceduralSky(sky, d); };
  BakeSettings s;
  s.size = 8;
  s.mipLevels = 3;
  s.supersample = 1;
  CubeImage cube;
  ASSERT_TRUE(bakeCube(source, s, cube));
  std::vector<uint8_t> bytes = encodeDdsCube(cube);
  ImageSet image;
  ASSERT_TRUE(parseDds(bytes.data(), bytes.size(), "cube.dds", image));
  EXPECT_TRUE(image.cube);
  EXPECT_EQ(image.formatCode, format::RGBA32F);
  EXPECT_EQ(image.arraySize, 6u);
  EXPECT_EQ(image.mipLevels, 3u);
  EXPECT_EQ(image.width, 8u);
  for (uint32_t f = 0; f < 6; ++f)
    for (uint32_t level = 0; level < 3; ++level) {
      const ImageSubresource& sub = image.at(f, level);
      ASSERT_EQ(sub.width, levelSize(8, level));
      ASSERT_EQ(sub.size, size_t(sub.width) * sub.width * 16);
      EXPECT_EQ(0, std::memcmp(image.pixels.data() + sub.offset, cube.texels[f][level].data(), sub.size))
          << "face " << f << " level " << level;
    }
}

TEST(EnvBakePanorama, LongitudeAndLatitudeMapAsDocumentedAndMissingFilesAreNamed) {
  // 4 x 2 picture: top row red..., bottom row blue; column 2 (u 0.5 .. 0.75) is +Z's right half.
  Panorama p;
  p.width = 4;
  p.height = 2;
  p.rgb.assign(4 * 2 * 3, 0.0f);
  for (uint32_t x = 0; x < 4; ++x) {
    p.rgb[x * 3 + 0] = float(x + 1);            // top row: red = column + 1
    p.rgb[(4 + x) * 3 + 2] = float(x + 1);      // bottom row: blue
  }
  // Straight up samples the top row only; straight down the bottom row only.
  EXPECT_EQ(samplePanorama(p, {0, 1, 0}).z, 0.0f);
  EXPECT_EQ(samplePanorama(p, {0, -1, 0}).x, 0.0f);
  // +Z is u = 0.5: halfway between the centres of columns 1 and 2 on the horizon.
  Float3 fwd = samplePanorama(p, {0, 0, 1});
  EXPECT_NEAR(fwd.x, 0.5f * 2.5f, 1e-5f);
  EXPECT_NEAR(fwd.z, 0.5f * 2.5f, 1e-5f);
  // -Z is the seam: columns 0 and 3 blend across it.
  EXPECT_NEAR(samplePanorama(p, {0, 0, -1}).x, 0.5f * 2.5f, 1e-5f);

  std::string error;
  EXPECT_FALSE(loadPanorama("no/such/sky.hdr", p, error));
  EXPECT_NE(error.find("no/such/sky.hdr"), std::string::npos);
}

}  // namespace

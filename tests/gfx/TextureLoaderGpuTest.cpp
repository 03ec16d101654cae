// Pictures from files as textures: the cache, the extension rules, mip chains and cube maps.
#include <unistd.h>
#include <stb_image_write.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gfx/TextureLoader.h"
#include "tests/gfx/image/DdsWriter.h"
#include "tests/gfx/image/PngWriter.h"
#include "tests/gfx/support/GpuTestSupport.h"

namespace fs = std::filesystem;

namespace {

void writeBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A BC1 DDS or, with cube set, six faces of it.
std::vector<uint8_t> bc1Dds(uint32_t side, uint32_t mips, bool cube) {
  DdsWriter f;
  f.header(side, side, mips, 0x4, kDXT1, 0, nullptr, cube ? 0xFE00 : 0);
  size_t perFace = 0;
  for (uint32_t l = 0, s = side; l < mips; ++l, s = s > 1 ? s / 2 : 1) perFace += ((s + 3) / 4) * ((s + 3) / 4) * 8;
  f.fill(perFace * (cube ? 6 : 1), 1);
  return f.bytes;
}

class TextureLoaderGpuTest : public GpuTest {
 protected:
  void SetUp() override {
    GpuTest::SetUp();
    dir_ = fs::temp_directory_path() / ("zv_texture_loader_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    clearTextureCache();  // before the suite's Device goes
    fs::remove_all(dir_);
    GpuTest::TearDown();
  }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

}  // namespace

TEST_F(TextureLoaderGpuTest, PngGetsAllLevelsAndIsReadOnlyOnce) {
  std::vector<uint8_t> src(256 * 128 * 4);
  for (size_t i = 0; i < src.size(); i += 4) {
    src[i] = 10;
    src[i + 1] = 200;
    src[i + 2] = 30;
    src[i + 3] = 255;
  }
  std::string file = path("albedo.png");
  ASSERT_TRUE(stbi_write_png(file.c_str(), 256, 128, 4, src.data(), 256 * 4));

  Texture* t = loadTexture(device(), file, true);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->width(), 256u);
  EXPECT_EQ(t->height(), 128u);
  EXPECT_EQ(t->desc.mipLevels, 9u);
  EXPECT_EQ(t->format(), 0x10204u);
  EXPECT_EQ(t->flags(), 0x10101u);
  EXPECT_FALSE(t->isCube());

  // The pixels arrive (a one-level picture, which the read-back helper can copy whole).
  std::string dot = path("dot.png");
  ASSERT_TRUE(stbi_write_png(dot.c_str(), 1, 1, 4, src.data(), 4));
  Texture* one = loadTexture(device(), dot, true);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->desc.mipLevels, 1u);
  std::vector<uint8_t> pixels = readBack(one);
  EXPECT_EQ(rgba(pixels, 1, 0, 0), packRgba(10, 200, 30, 255));

  // The second request is served from the cache: the file is gone by then.
  fs::remove(file);
  EXPECT_EQ(loadTexture(device(), file, true), t);
  EXPECT_EQ(textureCacheSize(), 2u);
}

TEST_F(TextureLoaderGpuTest, OnlyTheThreeLowerCaseExtensionsLoad) {
  std::vector<uint8_t> src(4 * 4 * 4, 255);
  for (const char* name : {"upper.JPG", "upper.PNG", "picture.bmp", "noextension", "dotted.png.txt"}) {
    std::string file = path(name);
    stbi_write_png(file.c_str(), 4, 4, 4, src.data(), 16);
    testing::internal::CaptureStderr();
    EXPECT_EQ(loadTexture(device(), file, true), nullptr) << name;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << name;  // nothing is reported
  }
  EXPECT_EQ(textureCacheSize(), 0u);
}

TEST_F(TextureLoaderGpuTest, DdsCubeMapsAndBlockFormats) {
  writeBytes(dir_ / "OutputCube.dds", bc1Dds(8, 4, true));
  writeBytes(dir_ / "plain.dds", bc1Dds(8, 1, false));
  Texture* cube = loadTexture(device(), path("OutputCube.dds"), true);
  ASSERT_NE(cube, nullptr);
  EXPECT_TRUE(cube->isCube());
  EXPECT_EQ(cube->desc.arraySize, 6u);
  EXPECT_EQ(cube->desc.mipLevels, 4u);
  EXPECT_EQ(cube->format(), 0x11103u);
  Texture* plain = loadTexture(device(), path("plain.dds"), true);
  ASSERT_NE(plain, nullptr);
  EXPECT_FALSE(plain->isCube());
  EXPECT_EQ(plain->desc.mipLevels, 1u);
  EXPECT_NE(plain, cube);
}

TEST_F(TextureLoaderGpuTest, BrokenFilesGiveNullAndAreReportedOnce) {
  writeBytes(dir_ / "broken.png", std::vector<uint8_t>(100, 7));
  std::vector<uint8_t> cut = bc1Dds(8, 4, true);
  cut.resize(200);
  writeBytes(dir_ / "short.dds", cut);
  for (const char* name : {"broken.png", "short.dds", "missing.jpg"}) {
    std::string file = path(name);
    testing::internal::CaptureStderr();
    EXPECT_EQ(loadTexture(device(), file, true), nullptr) << name;
    EXPECT_NE(testing::internal::GetCapturedStderr().find(file), std::string::npos) << name;
    testing::internal::CaptureStderr();
    EXPECT_EQ(loadTexture(device(), file, true), nullptr) << name;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << name;
  }
  EXPECT_EQ(textureCacheSize(), 0u);
}

TEST_F(TextureLoaderGpuTest, NamesAreLookedUpInTheTextureFolder) {
  fs::path old = fs::current_path();
  fs::current_path(dir_);
  writeBytes(dir_ / "data" / "textures" / "floor.dds", bc1Dds(4, 1, false));
  Texture* t = loadTexture(device(), "floor.dds");
  fs::current_path(old);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->width(), 4u);
  // A path given as a path is a different name and a different cache entry.
  EXPECT_EQ(loadTexture(device(), "floor.dds"), t);
}

namespace {

// What a shader reads from texel (x, 0) of a loaded picture's first level, as floats.
struct Sampled {
  float v[4];
};

}  // namespace

// Greyscale maps, 16-bit height maps and sRGB albedo reach the shader as a production expects:
// (v, 0, 0, 1), with 16 bits, and linearised.
TEST_F(TextureLoaderGpuTest, PicturesReachShadersInTheFormatTheirFileGives) {
  gfxbackend::Shader* cs = shader(hlsl::Compute, R"(
Texture2D<float4> gIn : register(t0);
RWTexture2D<float4> gOut : register(u0);
[numthreads(1, 1, 1)] void CS(uint3 id : SV_DispatchThreadID) { gOut[id.xy] = gIn.Load(int3(id.xy, 0)); }
)",
                                  "CS");
  ASSERT_NE(cs, nullptr);
  auto sample = [&](Texture* t, uint32_t count) {
    Texture* out = texture(0x50404, count, 1);
    ctx()->setShader(hlsl::Compute, cs);
    ctx()->setShaderResources(hlsl::Compute, 0, 1, &t);
    ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
    ctx()->dispatch(count, 1, 1);
    Texture* none = nullptr;
    ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &none, nullptr);
    ctx()->setShaderResources(hlsl::Compute, 0, 1, &none);
    std::vector<uint8_t> bytes = readBack(out);
    std::vector<Sampled> texels(count);
    std::memcpy(texels.data(), bytes.data(), sizeof(Sampled) * count);
    return texels;
  };

  PngPicture grey;
  grey.width = 2;
  grey.height = 1;
  grey.colourType = PNG_COLOR_TYPE_GRAY;
  grey.values = {51, 204};
  ASSERT_TRUE(grey.write(path("grey.png")));
  Texture* g = loadTexture(device(), path("grey.png"), true);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->format(), 0x10201u);
  EXPECT_EQ(g->flags(), 0x10101u);
  std::vector<Sampled> gs = sample(g, 2);
  EXPECT_NEAR(gs[1].v[0], 0.8f, 1e-3);
  EXPECT_EQ(gs[1].v[1], 0.0f);
  EXPECT_EQ(gs[1].v[2], 0.0f);
  EXPECT_EQ(gs[1].v[3], 1.0f);

  PngPicture height = grey;
  height.bitDepth = 16;
  height.values = {1000, 1001};
  ASSERT_TRUE(height.write(path("height.png")));
  Texture* h = loadTexture(device(), path("height.png"), true);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->format(), 0x10301u);
  std::vector<Sampled> hs = sample(h, 2);
  EXPECT_NEAR(hs[0].v[0], 1000.0f / 65535.0f, 1e-7);
  EXPECT_NEAR(hs[1].v[0] - hs[0].v[0], 1.0f / 65535.0f, 1e-7);  // 8 bits would make them equal

  // sRGB code 188 is about half the light (0.503); read raw it would be 0.737.
  PngPicture albedo;
  albedo.width = 1;
  albedo.height = 1;
  albedo.colourType = PNG_COLOR_TYPE_RGB;
  albedo.srgbChunk = true;
  albedo.values = {188, 0, 255};
  ASSERT_TRUE(albedo.write(path("albedo.png")));
  Texture* a = loadTexture(device(), path("albedo.png"), true);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->format(), 0x70207u);
  std::vector<Sampled> as = sample(a, 1);
  EXPECT_NEAR(as[0].v[0], 0.5029f, 2e-3);
  EXPECT_EQ(as[0].v[1], 0.0f);
  EXPECT_NEAR(as[0].v[2], 1.0f, 1e-6);  // channels in shader order despite BGRA in memory
  EXPECT_EQ(as[0].v[3], 1.0f);
}

TEST_F(TextureLoaderGpuTest, ADeviceTakesItsTexturesOutOfTheCacheWhenItGoes) {
  std::vector<uint8_t> red(4 * 4 * 4), green(4 * 4 * 4);
  for (size_t i = 0; i < red.size(); i += 4) {
    red[i] = 255, red[i + 3] = 255;
    green[i + 1] = 255, green[i + 3] = 255;
  }
  const std::string kept = path("kept.png"), passing = path("passing.png");
  ASSERT_TRUE(stbi_write_png(kept.c_str(), 4, 4, 4, red.data(), 16));
  ASSERT_TRUE(stbi_write_png(passing.c_str(), 4, 4, 4, green.data(), 16));
  Texture* ours = loadTexture(device(), kept, true);
  ASSERT_NE(ours, nullptr);
  {
    DeviceOptions options;
    options.validation = true;
    Device other(options);
    Texture* theirs = loadTexture(&other, passing, true);
    ASSERT_NE(theirs, nullptr);
    EXPECT_EQ(theirs->device, &other);
    EXPECT_EQ(textureCacheSize(), 2u);
  }
  // Only the going device's texture left; ours is still served, without reading its file.
  EXPECT_EQ(textureCacheSize(), 1u);
  fs::remove(kept);
  EXPECT_EQ(loadTexture(device(), kept, true), ours);
  // The same name on a live device is its own texture, with the file's pixels: not an object
  // whose device is gone, which draws as unbound.
  Texture* again = loadTexture(device(), passing, true);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->device, device());
  ASSERT_NE(again->resource, nullptr);
  EXPECT_EQ(rgba(readBack(again), 4, 1, 1), packRgba(0, 255, 0, 255));
}

// What shaders written for Direct3D read from textures: the sampler of an unbound slot, border
// colours, and the views of textures with several slices.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gfx/TextureLoader.h"
#include "tests/gfx/image/DdsWriter.h"
#include "tests/gfx/support/GpuTestSupport.h"

namespace {

struct Texel {
  float v[4];
};

}  // namespace

class SamplingGpuTest : public GpuTest {
 protected:
  // Runs `body` (HLSL statements writing `result` from `uv`) for each coordinate, with `input`
  // in t0 and `sampler` (null: nothing bound) in s0, and returns the results.
  void TearDown() override {
    clearTextureCache();  // before the suite's Device goes
    GpuTest::TearDown();
  }

  std::vector<Texel> sampleAt(const std::string& declarations, const std::string& body, Texture* input,
                               Sampler* sampler, const std::vector<std::pair<float, float>>& uvs) {
    const std::string source = declarations + R"(
RWTexture2D<float4> gOut : register(u0);
cbuffer Coordinates : register(b0) { float4 gUv[16]; };
[numthreads(1, 1, 1)] void CS(uint3 id : SV_DispatchThreadID) {
  float2 uv = gUv[id.x].xy;
  float4 result = 0;
)" + body + R"(
  gOut[id.xy] = result;
}
)";
    gfxbackend::Shader* cs = shader(hlsl::Compute, source, "CS");
    if (!cs) return {};
    std::vector<float> coordinates(64, 0.0f);
    for (size_t i = 0; i < uvs.size(); ++i) {
      coordinates[i * 4] = uvs[i].first;
      coordinates[i * 4 + 1] = uvs[i].second;
    }
    Texture* constants = buffer(0x100 | 0x20, 256, 16, coordinates.data());
    const uint32_t count = uint32_t(uvs.size());
    Texture* out = texture(0x50404, count, 1);
    ctx()->setShader(hlsl::Compute, cs);
    ctx()->setConstantBuffers(hlsl::Compute, 0, 1, &constants);
    ctx()->setShaderResources(hlsl::Compute, 0, 1, &input);
    ctx()->setSamplers(hlsl::Compute, 0, 1, &sampler);
    ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
    ctx()->dispatch(count, 1, 1);
    Texture* none = nullptr;
    Sampler* noSampler = nullptr;
    ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &none, nullptr);
    ctx()->setShaderResources(hlsl::Compute, 0, 1, &none);
    ctx()->setSamplers(hlsl::Compute, 0, 1, &noSampler);
    ctx()->setConstantBuffers(hlsl::Compute, 0, 1, &none);
    std::vector<uint8_t> bytes = readBack(out);
    std::vector<Texel> result(count);
    std::memcpy(result.data(), bytes.data(), sizeof(Texel) * count);
    return result;
  }

  // Texels 0..count-1 of `body` (HLSL writing `result` for index `i`), textures in t0 upward.
  std::vector<Texel> run(const std::string& declarations, const std::string& body, std::vector<Texture*> inputs,
                         uint32_t count) {
    const std::string source = declarations + R"(
RWTexture2D<float4> gOut : register(u0);
[numthreads(1, 1, 1)] void CS(uint3 id : SV_DispatchThreadID) {
  uint i = id.x;
  float4 result = 0;
)" + body + R"(
  gOut[id.xy] = result;
}
)";
    gfxbackend::Shader* cs = shader(hlsl::Compute, source, "CS");
    if (!cs) return {};
    Texture* out = texture(0x50404, count, 1);
    ctx()->setShader(hlsl::Compute, cs);
    ctx()->setShaderResources(hlsl::Compute, 0, uint32_t(inputs.size()), inputs.data());
    ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
    ctx()->dispatch(count, 1, 1);
    Texture* none = nullptr;
    ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &none, nullptr);
    std::vector<Texture*> nones(inputs.size(), nullptr);
    ctx()->setShaderResources(hlsl::Compute, 0, uint32_t(nones.size()), nones.data());
    std::vector<uint8_t> bytes = readBack(out);
    std::vector<Texel> result(count);
    std::memcpy(result.data(), bytes.data(), sizeof(Texel) * count);
    return result;
  }

  // One RGBA8 texel per slice, with the given red values (green = slice index * 10).
  Texture* slices(std::vector<uint8_t> reds) {
    std::vector<uint8_t> data;
    for (size_t i = 0; i < reds.size(); ++i) data.insert(data.end(), {reds[i], uint8_t(i * 10), 0, 255});
    TextureDesc desc;
    desc.flags = 0x10101;
    desc.format = 0x10204;
    desc.width = desc.height = 1;
    desc.arraySize = uint32_t(reds.size());
    Texture* t = createTexture(device(), desc, data.data());
    textures_.push_back(t);
    return t;
  }

  std::string writeFile(const char* name, const std::vector<uint8_t>& bytes) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("zv_sampling_" + std::to_string(getpid()) + "_" + name)).string();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
  }

  // A 1 x 1 BGRA8 DDS with the extension header: `slices` texels whose blue is 10 x slice.
  static std::vector<uint8_t> dds(uint32_t misc, uint32_t arraySize, uint32_t slices) {
    DdsWriter f;
    f.dx10(1, 1, 1, 87, 3, misc, arraySize);
    for (uint32_t s = 0; s < slices; ++s) f.bytes.insert(f.bytes.end(), {uint8_t(10 * s), 0, 0, 255});
    return f.bytes;
  }

  // A 2 x 1 RGBA8 picture: black on the left, red on the right.
  Texture* blackAndRed() {
    const uint8_t pixels[8] = {0, 0, 0, 255, 255, 0, 0, 255};
    return texture(0x10204, 2, 1, 0x10101, pixels);
  }
};

// Shaders written for Direct3D leave sampler slots empty and get linear filtering with clamped
// coordinates; a point/wrap sampler there gives blocky pictures and wrapped edges.
TEST_F(SamplingGpuTest, AnUnboundSamplerFiltersLinearlyAndClamps) {
  const char* decl = "Texture2D gIn : register(t0);\nSamplerState gSampler : register(s0);\n";
  std::vector<Texel> r = sampleAt(decl, "result = gIn.SampleLevel(gSampler, uv, 0);", blackAndRed(), nullptr,
                                   {{0.5f, 0.5f}, {1.2f, 0.5f}, {-0.3f, 0.5f}});
  ASSERT_EQ(r.size(), 3u);
  EXPECT_NEAR(r[0].v[0], 0.5f, 0.01f);  // halfway between the texel centres
  EXPECT_NEAR(r[1].v[0], 1.0f, 0.01f);  // past the right edge: the edge texel, not the left one
  EXPECT_NEAR(r[2].v[0], 0.0f, 0.01f);
  EXPECT_EQ(r[0].v[3], 1.0f);
}

// A slot reads a texture as the type the shader declares: a Texture2D given an array reads its
// first slice, a Texture2DArray given one slice reads it; a type the texture cannot be (a
// Texture3D given a 2-D texture) reads as unbound, with one message. On real drivers the
// mismatched view reads garbage.
TEST_F(SamplingGpuTest, SlotsSeeTexturesAsTheTypeTheyDeclare) {
  Texture* array = slices({50, 100, 150});
  Texture* single = slices({200});
  const char* decl = R"(
Texture2D gPlain : register(t0);
Texture2DArray gArray : register(t1);
Texture2DArray gSingle : register(t2);
Texture3D gVolume : register(t3);
)";
  testing::internal::CaptureStderr();
  std::vector<Texel> r = run(decl, R"(
  if (i == 0) result = gPlain.Load(int3(0, 0, 0));
  if (i == 1) result = gArray.Load(int4(0, 0, 2, 0));
  if (i == 2) result = gSingle.Load(int4(0, 0, 0, 0));
  if (i == 3) result = gVolume.Load(int4(0, 0, 0, 0));
)",
                             {array, array, single, single}, 4);
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_NEAR(r[0].v[0], 50 / 255.0f, 1e-3);
  EXPECT_NEAR(r[1].v[0], 150 / 255.0f, 1e-3);
  EXPECT_NEAR(r[1].v[1], 20 / 255.0f, 1e-3);
  EXPECT_NEAR(r[2].v[0], 200 / 255.0f, 1e-3);
  EXPECT_EQ(r[3].v[0], 0.0f);
  EXPECT_NE(log.find("Texture3D declared at register t3"), std::string::npos) << log;
}

// Six slices make a cube map even without the file's cube flag; cube arrays keep all their
// slices; loaded cubes keep the flags of every loaded texture.
TEST_F(SamplingGpuTest, DdsSlicesBecomeCubesAndCubeArraysKeepThem) {
  const std::string sixPath = writeFile("six.dds", dds(0, 6, 6)), pairPath = writeFile("pair.dds", dds(0x4, 2, 12));
  Texture* six = loadTexture(device(), sixPath, true);
  Texture* pair = loadTexture(device(), pairPath, true);
  std::filesystem::remove(sixPath);
  std::filesystem::remove(pairPath);
  ASSERT_NE(six, nullptr);
  ASSERT_NE(pair, nullptr);
  EXPECT_TRUE(six->isCube());
  EXPECT_EQ(six->flags(), 0x10101u);
  EXPECT_TRUE(pair->isCube());
  EXPECT_EQ(pair->flags(), 0x10101u);
  EXPECT_EQ(pair->desc.arraySize, 12u);

  const char* decl = R"(
TextureCube gSix : register(t0);
TextureCubeArray gPair : register(t1);
TextureCube gFirstOfPair : register(t2);
SamplerState gSampler : register(s0);
)";
  // -X is face 1; +Y face 2; the second cube's faces are slices 6 to 11.
  std::vector<Texel> r = run(decl, R"(
  if (i == 0) result = gSix.SampleLevel(gSampler, float3(-1, 0, 0), 0);
  if (i == 1) result = gPair.SampleLevel(gSampler, float4(0, 1, 0, 1), 0);
  if (i == 2) result = gFirstOfPair.SampleLevel(gSampler, float3(0, 1, 0), 0);
)",
                             {six, pair, pair}, 3);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_NEAR(r[0].v[2], 10 / 255.0f, 1e-3);
  EXPECT_NEAR(r[1].v[2], 80 / 255.0f, 1e-3);
  EXPECT_NEAR(r[2].v[2], 20 / 255.0f, 1e-3);
}

// Border colours are the ones asked for, not the nearest of Vulkan's three fixed ones.
TEST_F(SamplingGpuTest, BorderColoursAreTheOnesAskedFor) {
  SamplerDesc border = SamplerDesc::forMode(samplerMode(0, 2, 2, 2));
  const float colour[4] = {0.25f, 0.5f, 0.75f, 0.5f};
  std::memcpy(border.borderColour, colour, sizeof(colour));
  testing::internal::CaptureStderr();
  std::vector<Texel> r = sampleAt("Texture2D gIn : register(t0);\nSamplerState gSampler : register(s0);\n",
                                  "result = gIn.SampleLevel(gSampler, uv, 0);", blackAndRed(),
                                  device()->samplerFor(border), {{-0.5f, 0.5f}, {0.75f, 0.5f}});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(r.size(), 2u);
  for (int c = 0; c < 4; ++c) EXPECT_NEAR(r[0].v[c], colour[c], 1e-3) << c;
  EXPECT_NEAR(r[1].v[0], 1.0f, 1e-3);  // inside, the picture
}

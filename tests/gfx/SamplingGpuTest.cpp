// What shaders written for Direct3D read from textures: the sampler of an unbound slot, border
// colours, and the views of textures with several slices.
#include <cstring>
#include <string>
#include <vector>

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

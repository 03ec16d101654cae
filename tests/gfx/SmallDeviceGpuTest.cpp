// A device with less than Direct3D promises: four colour targets, 16 KB constant buffers,
// anisotropy 2, 128 threads a group, 1024 typed-buffer elements, no custom border colours,
// no float32 filtering or blending, and 8 MiB of memory. Where a fallback exists it is taken
// and said once; where none does, the program ends naming the limit; targets over the memory
// budget are refused and loading names the operators that ask for the most.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "gfx/MemoryBudget.h"
#include "tests/gfx/support/GpuTestSupport.h"

namespace {

constexpr uint64_t kBudget = 8u << 20;

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

const char* kVertex = R"(
float4 VS(uint id : SV_VertexID) : SV_POSITION {
  float2 uv = float2((id << 1) & 2, id & 2);
  return float4(uv * float2(2, -2) + float2(-1, 1), 0.5, 1);
}
)";

}  // namespace

class SmallDeviceGpuTest : public GpuTest {
 protected:
  static void SetUpTestSuite() {
    DeviceOptions options;
    options.disabledFeatures = kFeatureCustomBorderColour | kFeatureFloat32Filtering | kFeatureFloat32Blending;
    options.limits.colourTargets = 4;
    options.limits.uniformRange = 16384;
    options.limits.anisotropy = 2;
    options.limits.computeInvocations = 128;
    options.limits.texelBufferElements = 1024;
    options.limits.memoryBudget = kBudget;
    SetUpTestSuiteWith(options);
  }

  // Reads `body` (HLSL statements setting `result`) through a one-texel compute pass.
  float readOne(const std::string& declarations, const std::string& body, Texture* input, Sampler* sampler) {
    gfxbackend::Shader* cs = shader(hlsl::Compute, declarations + R"(
RWTexture2D<float4> gOut : register(u0);
[numthreads(1, 1, 1)] void CS() { float4 result = 0;
)" + body + R"(
  gOut[uint2(0, 0)] = result; }
)",
                                    "CS");
    if (!cs) return -1;
    Texture* out = texture(0x50404, 1, 1);
    ctx()->setShader(hlsl::Compute, cs);
    ctx()->setShaderResources(hlsl::Compute, 0, 1, &input);
    ctx()->setSamplers(hlsl::Compute, 0, 1, &sampler);
    ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
    ctx()->dispatch(1, 1, 1);
    Texture* none = nullptr;
    ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &none, nullptr);
    ctx()->setShaderResources(hlsl::Compute, 0, 1, &none);
    float v[4];
    std::memcpy(v, readBack(out).data(), sizeof(v));
    return v[0];
  }
};

TEST_F(SmallDeviceGpuTest, FallbacksDrawWhatTheyCanAndSayItOnce) {
  const char* decl = "Texture2D gIn : register(t0);\nSamplerState gSampler : register(s0);\n";
  testing::internal::CaptureStderr();

  // A border colour the device cannot make is rounded to the nearest fixed one, said once.
  const uint8_t black[4] = {0, 0, 0, 255};
  Texture* dot = texture(0x10204, 1, 1, 0x10101, black);
  SamplerDesc border = SamplerDesc::forMode(samplerMode(0, 2, 2, 2));
  const float blue[4] = {0.25f, 0.5f, 0.75f, 1.0f};
  std::memcpy(border.borderColour, blue, sizeof(blue));
  EXPECT_NEAR(readOne(decl, "result = gIn.SampleLevel(gSampler, float2(-1, 0.5), 0);", dot, device()->samplerFor(border)),
              1.0f, 1e-3);  // opaque white is the nearest
  border.borderColour[0] = 0.125f;
  device()->samplerFor(border);

  // Linear filtering of a float32 texture becomes the nearest texel.
  const float values[2] = {0.0f, 1.0f};
  Texture* pair = texture(0x50401, 2, 1, 0x10101, values);
  Sampler* linear = device()->samplerFor(SamplerDesc::forMode(samplerMode(7, 1, 1, 1)));
  const float halfway = readOne(decl, "result = gIn.SampleLevel(gSampler, float2(0.5, 0.5), 0);", pair, linear);
  EXPECT_TRUE(halfway == 0.0f || halfway == 1.0f) << halfway;
  readOne(decl, "result = gIn.SampleLevel(gSampler, float2(0.4, 0.5), 0);", pair, linear);

  // Anisotropy above the device's is limited to it.
  SamplerDesc sharp = SamplerDesc::forMode(samplerMode(8, 0, 0, 0));
  sharp.maxAnisotropy = 16;
  device()->samplerFor(sharp);
  sharp.maxAnisotropy = 12;
  device()->samplerFor(sharp);

  // Blending into a float32 target becomes writing.
  gfxbackend::Shader* vs = shader(hlsl::Vertex, kVertex, "VS");
  gfxbackend::Shader* ps =
      shader(hlsl::Pixel, "float4 PS(float4 p : SV_POSITION) : SV_TARGET { return float4(0.25, 0, 0, 1); }", "PS");
  ASSERT_NE(vs, nullptr);
  ASSERT_NE(ps, nullptr);
  Texture* target = texture(0x50404, 2, 2, 0x10009);
  RenderStateDesc additive = RenderStateDesc::zeroed();
  additive.colourBlend[0] = kBlendAdditiveWord;
  for (int i = 0; i < 2; ++i) {
    if (i == 0) bindTarget(target, 0.5f);
    ctx()->setShader(hlsl::Vertex, vs);
    ctx()->setShader(hlsl::Pixel, ps);
    ctx()->setRenderState(device()->stateFor(additive), 0);
    ctx()->setInputLayout(nullptr);
    ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx()->draw(3, 0);
  }
  float texel[4];
  std::memcpy(texel, readBack(target).data(), sizeof(texel));
  EXPECT_EQ(texel[0], 0.25f);

  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count(log, "Border colour"), 1u) << log;
  EXPECT_NE(log.find("(0.25, 0.5, 0.75, 1) is drawn as (1, 1, 1, 1)"), std::string::npos) << log;
  EXPECT_EQ(count(log, "cannot filter"), 1u) << log;
  EXPECT_EQ(count(log, "maxSamplerAnisotropy"), 1u) << log;
  EXPECT_EQ(count(log, "cannot blend"), 1u) << log;
}

TEST_F(SmallDeviceGpuTest, NeedsBeyondTheDeviceEndTheProgramNamingTheLimit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Texture* targets[5];
        for (Texture*& t : targets) t = texture(0x50304, 4, 4, 0x10009);
        ctx()->setRenderTargets(5, targets, nullptr);
      },
      testing::ExitedWithCode(1), "at most 4 colour targets.*maxColorAttachments.*binds 5");
  EXPECT_EXIT(
      {
        gfxbackend::Shader* cs = shader(hlsl::Compute, R"(
cbuffer Big : register(b0) { float4 gValues[1250]; };
RWTexture2D<float4> gOut : register(u0);
[numthreads(1, 1, 1)] void CS() { gOut[uint2(0, 0)] = gValues[1249]; }
)",
                                        "CS");
        Texture* out = texture(0x50404, 1, 1);
        ctx()->setShader(hlsl::Compute, cs);
        ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
        ctx()->dispatch(1, 1, 1);
      },
      testing::ExitedWithCode(1), "Big.*20000 bytes.*16384.*maxUniformBufferRange");
  EXPECT_EXIT(shader(hlsl::Compute, "RWBuffer<float> gOut : register(u0);\n[numthreads(256, 1, 1)] void CS(uint i : "
                                    "SV_DispatchThreadID) { gOut[i] = 1; }",
                     "CS"),
              testing::ExitedWithCode(1), "256 threads a group.*128.*maxComputeWorkGroupInvocations");
  EXPECT_EXIT(
      {
        gfxbackend::Shader* cs = shader(
            hlsl::Compute,
            "Buffer<float> gIn : register(t0);\nRWBuffer<float> gOut : register(u0);\n[numthreads(1, 1, 1)] void CS() "
            "{ gOut[0] = gIn[2000]; }",
            "CS");
        TextureDesc typed;
        typed.flags = kUsageDefault | kBindShaderResource;
        typed.format = 0x50401;
        typed.width = 2048;
        Texture* in = createTexture(device(), typed, nullptr);
        typed.flags = kUsageDefault | kBindUnorderedAccess;
        typed.width = 1;
        Texture* out = createTexture(device(), typed, nullptr);
        ctx()->setShader(hlsl::Compute, cs);
        ctx()->setShaderResources(hlsl::Compute, 0, 1, &in);
        ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
        ctx()->dispatch(1, 1, 1);
      },
      testing::ExitedWithCode(1), "2048 elements.*1024.*maxTexelBufferElements");
}

TEST_F(SmallDeviceGpuTest, TargetsOverTheMemoryBudgetAreRefusedAndLoadingNamesTheBiggest) {
  EXPECT_EQ(device()->memoryBudget(), kBudget);
  attributeMemory(device(), "earlier tests");
  const uint64_t before = device()->memoryInUse();
  testing::internal::CaptureStderr();
  Texture* small = texture(0x50304, 256, 256, 0x10009);  // 512 KiB
  attributeMemory(device(), "Image 'small'");  // named after it ran
  setMemoryOwner(device(), "Blur 'huge'");
  Texture* huge = texture(0x50304, 1024, 1024, 0x10009);  // 8 MiB: over the budget with the rest
  Texture* huger = texture(0x50304, 2048, 1024, 0x10009);
  setMemoryOwner(device(), "");
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_NE(small->resource, nullptr);
  EXPECT_GT(device()->memoryInUse(), before);
  EXPECT_LE(device()->memoryInUse(), kBudget);
  EXPECT_EQ(huge->resource, nullptr);
  EXPECT_EQ(huger->resource, nullptr);
  EXPECT_EQ(count(log, "is refused"), 1u) << log;
  EXPECT_NE(log.find("1024x1024 target (format 0x50304, 8.0 MiB) of Blur 'huge' is refused"), std::string::npos) << log;
  EXPECT_NE(log.find("budget of 8.0 MiB"), std::string::npos) << log;

  // What draws into a refused target draws nothing and goes on; clears and reads too.
  bindTarget(huge, 1.0f);
  std::vector<uint8_t> nothing = readBack(huge);
  EXPECT_TRUE(std::all_of(nothing.begin(), nothing.end(), [](uint8_t b) { return b == 0; }));
  std::vector<MemoryDemand> demands = memoryDemands(device());
  ASSERT_GE(demands.size(), 2u);
  EXPECT_EQ(demands[0].owner, "Blur 'huge'");
  EXPECT_EQ(demands[0].bytes, 24u << 20);
  EXPECT_EQ(refusedMemory(device()), 24u << 20);

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setMemoryOwner(device(), "Blur 'huge'");
        texture(0x50304, 1024, 1024, 0x10009);
        checkMemoryAfterLoading(device());
      },
      testing::ExitedWithCode(1),
      "more GPU memory than the device has: 3 targets \\(32.0 MiB\\).*budget of 8.0 MiB.*ask for the most: Blur 'huge' "
      "\\(32.0 MiB\\), Image 'small' \\(0.5 MiB\\)");

  // Memory given back counts again.
  const uint64_t withSmall = device()->memoryInUse();
  deleteTexture(small);
  textures_.erase(std::find(textures_.begin(), textures_.end(), small));
  device()->waitIdle();
  EXPECT_LT(device()->memoryInUse(), withSmall);
}

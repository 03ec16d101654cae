// Small rules of Direct3D that productions rely on without knowing it: an integer clear of a
// float or unorm view copies bits, a viewport without area draws nothing, depth read back has
// the 24/8 layout, mirror-once addressing holds the edge, and an unbound comparison texture
// compares against depth. The second suite runs them where the device lacks the formats and
// features and the fallbacks stand in.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/gfx/support/GpuTestSupport.h"

namespace {

// A depth target cleared to depth 0.5 and stencil 7, copied into a read-back texture: the
// first texel as Direct3D lays it out (24-bit unorm depth, stencil in the top byte).
template <typename Test>
uint32_t depthReadBack(Test& test, DeviceContext* ctx) {
  Texture* depth = test.texture(0x10506, 2, 2, 0x10211);
  Texture* readable = test.texture(0x10506, 2, 2, 0x10400);
  ctx->clearDepthStencilView(depth, 3, 0.5f, 7);
  ctx->copyResource(readable, depth);
  MappedSubresource m;
  uint32_t word = 0;
  if (ctx->map(readable, 0, D3D11_MAP_READ, m)) std::memcpy(&word, m.data, 4);
  ctx->unmap(readable, 0);
  return word;
}

// Samples a 2 x 1 black-and-red picture at u = 1.9 with mirror-once addressing: red (the edge
// held) in Direct3D; mirrored repeat reads near u = 0.1, black.
template <typename Test>
float mirrorOnceRed(Test& test, DeviceContext* ctx, Device* device) {
  const uint8_t pixels[8] = {0, 0, 0, 255, 255, 0, 0, 255};
  Texture* picture = test.texture(0x10204, 2, 1, 0x10101, pixels);
  Texture* out = test.texture(0x50404, 1, 1);
  gfxbackend::Shader* cs = test.shader(hlsl::Compute, R"(
Texture2D gIn : register(t0);
SamplerState gSampler : register(s0);
RWTexture2D<float4> gOut : register(u0);
[numthreads(1, 1, 1)] void CS() { gOut[uint2(0, 0)] = gIn.SampleLevel(gSampler, float2(1.9, 0.5), 0); }
)",
                                       "CS");
  if (!cs) return -1;
  Sampler* sampler = device->samplerFor(SamplerDesc::forMode(samplerMode(0, 4, 4, 4)));
  ctx->setShader(hlsl::Compute, cs);
  ctx->setShaderResources(hlsl::Compute, 0, 1, &picture);
  ctx->setSamplers(hlsl::Compute, 0, 1, &sampler);
  ctx->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
  ctx->dispatch(1, 1, 1);
  Texture* none = nullptr;
  ctx->setUnorderedAccessViews(hlsl::Compute, 0, 1, &none, nullptr);
  ctx->setShaderResources(hlsl::Compute, 0, 1, &none);
  float v[4];
  std::memcpy(v, test.readBack(out).data(), sizeof(v));
  return v[0];
}

}  // namespace

class Direct3DRulesGpuTest : public GpuTest {
 public:
  using GpuTest::readBack;
  using GpuTest::shader;
  using GpuTest::texture;
};

// No 24-bit depth (as on some AMD drivers), no mirror-once addressing, no null descriptors.
class FallbackDeviceGpuTest : public GpuTest {
 public:
  static void SetUpTestSuite() {
    DeviceOptions options;
    options.disabledFeatures = kFeatureDepth24 | kFeatureMirrorOnce | kFeatureNullDescriptor;
    SetUpTestSuiteWith(options);
  }
  using GpuTest::readBack;
  using GpuTest::shader;
  using GpuTest::texture;
};

TEST_F(Direct3DRulesGpuTest, DepthReadsBackInTheTwentyFourEightLayout) {
  EXPECT_EQ(depthReadBack(*this, ctx()), 0x07800000u);
}

TEST_F(FallbackDeviceGpuTest, DepthReadsBackInTheTwentyFourEightLayoutFromFloatDepth) {
  EXPECT_EQ(depthReadBack(*this, ctx()), 0x07800000u);
}

TEST_F(Direct3DRulesGpuTest, MirrorOnceHoldsTheEdge) {
  testing::internal::CaptureStderr();
  EXPECT_NEAR(mirrorOnceRed(*this, ctx(), device()), 1.0f, 1e-3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(FallbackDeviceGpuTest, MirrorOnceFallbackSaysWhatDiffers) {
  testing::internal::CaptureStderr();
  EXPECT_NEAR(mirrorOnceRed(*this, ctx(), device()), 0.0f, 1e-3);
  device()->samplerFor(SamplerDesc::forMode(samplerMode(1, 4, 0, 0)));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.find("Mirror-once"), log.rfind("Mirror-once")) << log;
  EXPECT_NE(log.find("beyond them the picture repeats mirrored"), std::string::npos) << log;
}

// A comparison texture left unbound compares against a depth stand-in, as the rules of
// comparison sampling ask (a colour stand-in is invalid and reads garbage on some drivers).
TEST_F(FallbackDeviceGpuTest, AnUnboundComparisonTextureIsADepthStandIn) {
  Texture* out = texture(0x50404, 1, 1);
  gfxbackend::Shader* cs = shader(hlsl::Compute, R"(
Texture2D<float> gShadow : register(t0);
SamplerComparisonState gCompare : register(s0);
RWTexture2D<float4> gOut : register(u0);
[numthreads(1, 1, 1)] void CS() { gOut[uint2(0, 0)] = gShadow.SampleCmpLevelZero(gCompare, float2(0.5, 0.5), 0.5); }
)",
                                  "CS");
  ASSERT_NE(cs, nullptr);
  Sampler* compare = device()->samplerFor(SamplerDesc::forMode(samplerMode(0x10, 1, 1, 1)));
  ctx()->setShader(hlsl::Compute, cs);
  ctx()->setSamplers(hlsl::Compute, 0, 1, &compare);
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
  ctx()->dispatch(1, 1, 1);
  Texture* none = nullptr;
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &none, nullptr);
  float v[4];
  std::memcpy(v, readBack(out).data(), sizeof(v));
  EXPECT_TRUE(v[0] == 0.0f || v[0] == 1.0f) << v[0];  // a comparison result, whatever the stand-in holds
}

// The lowest bits of each value land in each channel unchanged, whatever the view's type (a
// pass clears a half-float buffer to 0x3C00 to get 1.0, or an unorm one to 0x80 to get half).
TEST_F(Direct3DRulesGpuTest, IntegerClearsCopyBitsIntoEveryKindOfView) {
  const struct {
    uint32_t code;
    uint32_t values[4];
    std::vector<uint8_t> texel;
  } cases[] = {
      {0x50304, {0x3C00, 0x4000, 0xBC00, 0x17BFF}, {0x00, 0x3C, 0x00, 0x40, 0x00, 0xBC, 0xFF, 0x7B}},  // RGBA16F
      {0x50401, {0x3F800000, 0, 0, 0}, {0x00, 0x00, 0x80, 0x3F}},                                    // R32F
      {0x10204, {0x1FF, 0x80, 0x7F, 0x01}, {0xFF, 0x80, 0x7F, 0x01}},                                 // RGBA8 unorm
      {0x20304, {0x8001, 0x7FFF, 0x1234, 0}, {0x01, 0x80, 0xFF, 0x7F, 0x34, 0x12, 0x00, 0x00}},       // RGBA16 snorm
      {0x10301, {0x12345, 0, 0, 0}, {0x45, 0x23}},                                                   // R16 unorm
      {0x40301, {0x1FFFF, 0, 0, 0}, {0xFF, 0xFF}},                                                   // R16 sint
  };
  for (const auto& c : cases) {
    Texture* t = texture(c.code, 2, 1, 0x10049);
    ctx()->clearUnorderedAccessViewUint(t, c.values);
    std::vector<uint8_t> pixels = readBack(t);
    ASSERT_EQ(pixels.size(), 2 * c.texel.size()) << std::hex << c.code;
    EXPECT_EQ(std::vector<uint8_t>(pixels.begin() + c.texel.size(), pixels.end()), c.texel) << std::hex << c.code;
  }
}

TEST_F(Direct3DRulesGpuTest, ViewportsWithoutAreaDrawNothing) {
  gfxbackend::Shader* vs = shader(hlsl::Vertex, R"(
float4 VS(uint id : SV_VertexID) : SV_POSITION {
  float2 uv = float2((id << 1) & 2, id & 2);
  return float4(uv * float2(2, -2) + float2(-1, 1), 0.5, 1);
}
)",
                                  "VS");
  gfxbackend::Shader* ps = shader(hlsl::Pixel, "float4 PS() : SV_TARGET { return float4(1, 1, 1, 1); }", "PS");
  ASSERT_NE(vs, nullptr);
  ASSERT_NE(ps, nullptr);
  Texture* target = texture(0x10204, 4, 4, 0x10009);
  const D3DViewport viewports[] = {{1, 1, 0, 2, 0, 1}, {1, 1, 2, 0, 0, 1}, {0, 0, 2, 2, 0, 1}};
  std::vector<uint32_t> lit;
  for (const D3DViewport& vp : viewports) {
    bindTarget(target, 0.0f);
    ctx()->setViewports(1, &vp);
    ctx()->setShader(hlsl::Vertex, vs);
    ctx()->setShader(hlsl::Pixel, ps);
    ctx()->setRenderState(nullptr, 0);
    ctx()->setInputLayout(nullptr);
    ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx()->draw(3, 0);
    std::vector<uint8_t> pixels = readBack(target);
    uint32_t n = 0;
    for (uint32_t y = 0; y < 4; ++y)
      for (uint32_t x = 0; x < 4; ++x) n += rgba(pixels, 4, x, y) != 0;
    lit.push_back(n);
  }
  EXPECT_EQ(lit, (std::vector<uint32_t>{0, 0, 4}));  // zero width, zero height, 2 x 2
}

// A discarding map of a constant buffer hands out undefined memory: in debug builds it reads
// as NaN, so a pass that writes only some of its constants shows up instead of reading the
// previous draw's values.
TEST_F(Direct3DRulesGpuTest, ForgottenConstantsReadAsPoisonInDebugBuilds) {
#ifdef NDEBUG
  GTEST_SKIP() << "the poison is a debug-build aid";
#endif
  TextureDesc desc;
  desc.flags = kUsageDynamic | kBindConstantBuffer;
  desc.bitsPerPixel = 8;
  desc.width = 16;
  Texture* constants = createTexture(device(), desc, nullptr);
  textures_.push_back(constants);
  Texture* out = texture(0x50404, 1, 1);
  gfxbackend::Shader* cs = shader(hlsl::Compute, R"(
cbuffer Params : register(b0) { float gWritten; float gForgotten; };
RWTexture2D<float4> gOut : register(u0);
[numthreads(1, 1, 1)] void CS() { gOut[uint2(0, 0)] = float4(gWritten, gForgotten, 0, 1); }
)",
                                  "CS");
  ASSERT_NE(cs, nullptr);
  auto run = [&](bool both) {
    MappedSubresource m;
    EXPECT_TRUE(ctx()->map(constants, 0, D3D11_MAP_WRITE_DISCARD, m));
    const float values[2] = {0.5f, 0.25f};
    std::memcpy(m.data, values, both ? 8 : 4);
    ctx()->unmap(constants, 0);
    ctx()->setShader(hlsl::Compute, cs);
    ctx()->setConstantBuffers(hlsl::Compute, 0, 1, &constants);
    ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
    ctx()->dispatch(1, 1, 1);
    Texture* none = nullptr;
    ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &none, nullptr);
    float v[4];
    std::memcpy(v, readBack(out).data(), sizeof(v));
    return std::vector<float>(v, v + 2);
  };
  EXPECT_EQ(run(true), (std::vector<float>{0.5f, 0.25f}));
  std::vector<float> forgot = run(false);  // the second constant is not written this time
  EXPECT_EQ(forgot[0], 0.5f);
  EXPECT_TRUE(std::isnan(forgot[1])) << forgot[1];
}

// Each stage has its own registers: a texture the vertex stage binds to t0 is not what the
// pixel stage reads from its own t0, and the other way round.
TEST_F(Direct3DRulesGpuTest, ResourcesBoundToOneStageStayInThatStage) {
  gfxbackend::Shader* vs = shader(hlsl::Vertex, R"(
Texture2D gVertexInput : register(t0);
struct Out { float4 pos : SV_POSITION; float4 fromVertex : COLOR0; };
Out VS(uint id : SV_VertexID) {
  Out o;
  float2 uv = float2((id << 1) & 2, id & 2);
  o.pos = float4(uv * float2(2, -2) + float2(-1, 1), 0.5, 1);
  o.fromVertex = gVertexInput.Load(int3(0, 0, 0));
  return o;
}
)",
                                  "VS");
  gfxbackend::Shader* ps = shader(hlsl::Pixel, R"(
Texture2D gPixelInput : register(t0);
float4 PS(float4 pos : SV_POSITION, float4 fromVertex : COLOR0) : SV_TARGET {
  return float4(fromVertex.r, gPixelInput.Load(int3(0, 0, 0)).g, 0, 1);
}
)",
                                  "PS");
  ASSERT_NE(vs, nullptr);
  ASSERT_NE(ps, nullptr);
  const uint8_t white[4] = {255, 255, 255, 255};
  Texture* picture = texture(0x10204, 1, 1, 0x10101, white);
  Texture* target = texture(0x10204, 2, 2, 0x10009);
  auto drawWith = [&](Texture* vertexInput, Texture* pixelInput) {
    bindTarget(target, 0.0f);
    ctx()->setShader(hlsl::Vertex, vs);
    ctx()->setShader(hlsl::Pixel, ps);
    ctx()->setShaderResources(hlsl::Vertex, 0, 1, &vertexInput);
    ctx()->setShaderResources(hlsl::Pixel, 0, 1, &pixelInput);
    ctx()->setRenderState(nullptr, 0);
    ctx()->setInputLayout(nullptr);
    ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx()->draw(3, 0);
    Texture* none = nullptr;
    ctx()->setShaderResources(hlsl::Vertex, 0, 1, &none);
    ctx()->setShaderResources(hlsl::Pixel, 0, 1, &none);
    return rgba(readBack(target), 2, 1, 1);
  };
  EXPECT_EQ(drawWith(picture, nullptr), packRgba(255, 0, 0, 255));  // red from the vertex stage only
  EXPECT_EQ(drawWith(nullptr, picture), packRgba(0, 255, 0, 255));  // green from the pixel stage only
  EXPECT_EQ(drawWith(picture, picture), packRgba(255, 255, 0, 255));
}

// Descriptors as real drivers take them: programs with more bindings than a push allows,
// arrays of resources, and slots that nothing is bound to (null descriptors, or stand-ins
// on devices without them).
#include <cstring>
#include <string>

#include "tests/gfx/support/GpuTestSupport.h"

namespace {

const char* kVertex = R"(
float4 VS(uint id : SV_VertexID) : SV_POSITION {
  float2 uv = float2((id << 1) & 2, id & 2);
  return float4(uv * float2(2, -2) + float2(-1, 1), 0.5, 1);
}
)";

// 17 textures and 16 samplers: 33 descriptors, one more than lavapipe (and many drivers)
// can push.
std::string manyTexturesSource() {
  std::string s;
  for (int i = 0; i < 17; ++i) s += "Texture2D t" + std::to_string(i) + " : register(t" + std::to_string(i) + ");\n";
  for (int i = 0; i < 16; ++i) s += "SamplerState s" + std::to_string(i) + " : register(s" + std::to_string(i) + ");\n";
  s += "float4 PS(float4 p : SV_POSITION) : SV_TARGET {\n  float sum = 0;\n";
  for (int i = 0; i < 17; ++i)
    s += "  sum += t" + std::to_string(i) + ".Sample(s" + std::to_string(i % 16) + ", float2(0.5, 0.5)).r;\n";
  s += "  return float4(sum, 0, 0, 1);\n}\n";
  return s;
}

}  // namespace

class DescriptorGpuTest : public GpuTest {
 protected:
  void SetUp() override {
    GpuTest::SetUp();
    vs = shader(hlsl::Vertex, kVertex, "VS");
    ASSERT_NE(vs, nullptr);
  }

  // A 1x1 RGBA8 texture whose red channel is `red`.
  Texture* redTexel(uint32_t red) {
    const uint32_t texel = packRgba(red, 0, 0, 255);
    return texture(0x10204, 1, 1, 0x10101, &texel);
  }

  // Draws a full-screen triangle into a new 4x4 RGBA8 target and returns pixel (1, 1).
  uint32_t drawWith(gfxbackend::Shader* ps) {
    Texture* target = texture(0x10204, 4, 4, 0x10009);
    bindTarget(target, 0.25f);
    ctx()->setShader(hlsl::Vertex, vs);
    ctx()->setShader(hlsl::Pixel, ps);
    ctx()->setRenderState(nullptr, 0);
    ctx()->setInputLayout(nullptr);
    ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx()->draw(3, 0);
    return rgba(readBack(target), 4, 1, 1);
  }

  gfxbackend::Shader* vs = nullptr;
};

TEST_F(DescriptorGpuTest, ProgramsWithMoreBindingsThanAPushHoldsStillDraw) {
  gfxbackend::Shader* ps = shader(hlsl::Pixel, manyTexturesSource(), "PS");
  ASSERT_NE(ps, nullptr);
  Sampler* point = device()->samplerFor(SamplerDesc::forMode(0));
  for (uint32_t i = 0; i < 17; ++i) {
    Texture* t = redTexel(i + 1);
    ctx()->setShaderResources(hlsl::Pixel, i, 1, &t);
  }
  for (uint32_t i = 0; i < 16; ++i) ctx()->setSamplers(hlsl::Pixel, i, 1, &point);
  // Three frames: the third takes its descriptors from pools reset once the first was done.
  for (int frame = 0; frame < 3; ++frame) {
    EXPECT_EQ(drawWith(ps), packRgba(153, 0, 0, 255)) << "frame " << frame;  // 1 + 2 + ... + 17
    ctx()->flush(false);
  }
}

TEST_F(DescriptorGpuTest, ArraysOfTexturesTakeConsecutiveRegisters) {
  const char* source = R"(
Texture2D gLayers[3] : register(t2);
Texture2D gOther : register(t5);
float4 PS(float4 p : SV_POSITION) : SV_TARGET {
  float4 sum = gOther.Load(int3(0, 0, 0));
  [unroll] for (int i = 0; i < 3; ++i) sum.r += gLayers[i].Load(int3(0, 0, 0)).r * (i + 1);
  return sum;
}
)";
  gfxbackend::Shader* ps = shader(hlsl::Pixel, source, "PS");
  ASSERT_NE(ps, nullptr);
  ASSERT_EQ(ps->reflection.resources.size(), 2u);
  EXPECT_EQ(ps->reflection.resources[0].count, 3u);
  Texture* views[4] = {redTexel(10), redTexel(20), redTexel(30), redTexel(4)};
  ctx()->setShaderResources(hlsl::Pixel, 2, 4, views);
  EXPECT_EQ(drawWith(ps), packRgba(4 + 10 + 40 + 90, 0, 0, 255));
  // An unbound element of the array reads zeros.
  Texture* none = nullptr;
  ctx()->setShaderResources(hlsl::Pixel, 3, 1, &none);
  EXPECT_EQ(drawWith(ps), packRgba(4 + 10 + 90, 0, 0, 255));
}

TEST_F(DescriptorGpuTest, UnboundConstantAndStructuredBuffersReadZeros) {
  const char* source = R"(
cbuffer Bound : register(b0) { float4 gBase; };
cbuffer Unbound : register(b1) { float4 gAdd; };
StructuredBuffer<float4> gMissing : register(t1);
Buffer<float4> gTyped : register(t2);
Texture2D gPicture : register(t3);
float4 PS(float4 p : SV_POSITION) : SV_TARGET {
  return gBase + gAdd + gMissing[0] + gTyped[0] + gPicture.Load(int3(0, 0, 0));
}
)";
  gfxbackend::Shader* ps = shader(hlsl::Pixel, source, "PS");
  ASSERT_NE(ps, nullptr);
  const float base[4] = {0.5f, 0.25f, 0, 1};
  Texture* cb = buffer(kBindConstantBuffer | kUsageImmutable, sizeof(base), 4, base);
  ctx()->setConstantBuffers(hlsl::Pixel, 0, 1, &cb);
  EXPECT_TRUE(nearRgba(drawWith(ps), packRgba(128, 64, 0, 255)));
}

// Small rules of Direct3D that productions rely on without knowing it: an integer clear of a
// float or unorm view copies bits, and a viewport without area draws nothing.
#include <cstring>
#include <vector>

#include "tests/gfx/support/GpuTestSupport.h"

class Direct3DRulesGpuTest : public GpuTest {};

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

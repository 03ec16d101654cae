// A constant buffer filled with Direct3D's byte layout, as the C++ side fills it, reads
// back as the same values in the shader: the end-to-end proof that the layout rewrite is
// right, matrices included.
#include <cstring>

#include "gfx/hlsl/HlslCompiler.h"
#include "tests/gfx/support/GpuTestSupport.h"

namespace {

class CBufferLayoutGpuTest : public GpuTest {};

TEST_F(CBufferLayoutGpuTest, ShaderReadsDirect3DPackedBytes) {
  const std::string text =
      "struct S { float3 v; float w; };\n"
      "cbuffer CB : register(b0) { float a; float3 b; float c[2]; float d; float2 e; float3x3 m; float z;\n"
      "  row_major float2x3 rm; float4 pad; S s[2]; float tail; };\n"
      "RWStructuredBuffer<float> o : register(u0);\n"
      "[numthreads(1, 1, 1)] void CS() {\n"
      "  uint i = 0, r, k;\n"
      "  o[i++] = a; o[i++] = b.x; o[i++] = b.y; o[i++] = b.z; o[i++] = c[0]; o[i++] = c[1]; o[i++] = d;\n"
      "  o[i++] = e.x; o[i++] = e.y;\n"
      "  for (r = 0; r < 3; ++r) for (k = 0; k < 3; ++k) o[i++] = m[r][k];\n"
      "  o[i++] = z;\n"
      "  for (r = 0; r < 2; ++r) for (k = 0; k < 3; ++k) o[i++] = rm[r][k];\n"
      "  o[i++] = pad.w; o[i++] = s[1].v.x; o[i++] = s[1].v.z; o[i++] = s[1].w; o[i++] = s[0].w; o[i++] = tail;\n"
      "  o[i++] = mul(float3(1, 10, 100), m).x;\n"  // row vector times matrix: sum of column 0 weighted
      "}\n";
  hlsl::CompileResult c = hlsl::compile(hlsl::Compute, "cs_5_0", text, "CS");
  ASSERT_TRUE(c.ok) << c.messages;
  hlsl::Reflection refl;
  ASSERT_TRUE(hlsl::reflect(c.spirv, refl));
  ASSERT_EQ(refl.cbuffers.size(), 1u);
  EXPECT_EQ(refl.cbuffers[0].size, 192u);
  gfxbackend::Shader* cs = shader(hlsl::Compute, text, "CS");
  ASSERT_NE(cs, nullptr);

  // Fill the buffer exactly as Direct3D lays it out (hand-computed offsets):
  // a 0, b 4, c 16/32, d 36, e 40, m 48 (column k at 48 + 16k), z 92, rm 96 (row r at
  // 96 + 16r), pad 128, s 144 (stride 16), tail 176; 192 bytes.
  uint8_t bytes[192] = {};
  std::vector<float> expected;
  auto at = [&](uint32_t offset) {
    const float v = float(expected.size() + 1);
    std::memcpy(bytes + offset, &v, 4);
    expected.push_back(v);
  };
  at(0);
  at(4), at(8), at(12);
  at(16), at(32);
  at(36);
  at(40), at(44);
  for (uint32_t r = 0; r < 3; ++r)
    for (uint32_t k = 0; k < 3; ++k) at(48 + 16 * k + 4 * r);  // column_major: a register per column
  at(92);
  for (uint32_t r = 0; r < 2; ++r)
    for (uint32_t k = 0; k < 3; ++k) at(96 + 16 * r + 4 * k);  // row_major: a register per row
  at(140);
  at(160), at(168), at(172);
  at(156);
  at(176);
  // mul(float3(1,10,100), m).x = m[0][0] + 10 m[1][0] + 100 m[2][0].
  expected.push_back(expected[9] + 10 * expected[12] + 100 * expected[15]);

  Texture* cb = buffer(kBindConstantBuffer | kUsageDynamic, sizeof(bytes), 4);
  MappedSubresource m;
  ASSERT_TRUE(ctx()->map(cb, 0, D3D11_MAP_WRITE_DISCARD, m));
  std::memcpy(m.data, bytes, sizeof(bytes));
  ctx()->unmap(cb, 0);
  Texture* out = buffer(kBindUnorderedAccess | kUsageDefault | kStructuredBuffer, uint32_t(expected.size() * 4), 4);
  ctx()->setShader(hlsl::Compute, cs);
  ctx()->setConstantBuffers(hlsl::Compute, 0, 1, &cb);
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
  ctx()->dispatch(1, 1, 1);
  std::vector<uint8_t> got = readBack(out);
  ASSERT_EQ(got.size(), expected.size() * 4);
  for (size_t i = 0; i < expected.size(); ++i) {
    float v = 0;
    std::memcpy(&v, got.data() + 4 * i, 4);
    EXPECT_EQ(v, expected[i]) << "value #" << i;
  }
}

}  // namespace

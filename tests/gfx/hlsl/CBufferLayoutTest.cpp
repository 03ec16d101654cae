// Constant buffers must have Direct3D's packing: every expected table below is computed
// by hand from Direct3D's rules (16-byte registers, no straddling, arrays and matrices
// start a register, array elements and matrix columns one register apart, a struct pushes
// the next member to a new register).
#include <gtest/gtest.h>

#include "tests/gfx/hlsl/HlslTestSupport.h"

namespace {

using hlsltest::findCBuffer;
using hlsltest::reflectSource;

struct Expected {
  const char* name;
  uint32_t offset;
  uint32_t size;
};

void expectLayout(const hlsl::Reflection& r, const char* cbuffer, uint32_t size, std::vector<Expected> vars) {
  const hlsl::CBufferInfo* cb = findCBuffer(r, cbuffer);
  ASSERT_NE(cb, nullptr) << "no cbuffer " << cbuffer;
  EXPECT_EQ(cb->size, size) << cbuffer;
  ASSERT_EQ(cb->variables.size(), vars.size()) << cbuffer;
  for (size_t i = 0; i < vars.size(); ++i) {
    EXPECT_EQ(cb->variables[i].name, vars[i].name) << cbuffer << " #" << i;
    EXPECT_EQ(cb->variables[i].offset, vars[i].offset) << cbuffer << "." << vars[i].name;
    EXPECT_EQ(cb->variables[i].size, vars[i].size) << cbuffer << "." << vars[i].name;
  }
}

hlsl::Reflection pixel(const std::string& decls, const std::string& expr) {
  return reflectSource(hlsl::Pixel, "ps_5_0", decls + "\nfloat4 PS() : SV_Target { return " + expr + "; }\n", "PS");
}

TEST(CBufferLayout, ScalarsVectorsAndArraysPackLikeDirect3D) {
  // Members after an array pack into the last element's register (d at 36).
  auto r = pixel("cbuffer CB { float a; float3 b; float c[2]; float d; float2 e; float3 f; float g; };",
                 "a + b.x + c[1] + d + e.x + f.x + g");
  expectLayout(r, "CB", 64,
               {{"a", 0, 4}, {"b", 4, 12}, {"c", 16, 20}, {"d", 36, 4}, {"e", 40, 8}, {"f", 48, 12}, {"g", 60, 4}});

  auto r2 = pixel("cbuffer V { float2 a; float3 b; float4 c; float d[3]; float2 e[2]; float f; int2 g; uint h; bool i; };",
                  "a.x + b.x + c.x + d[2] + e[1].x + f + g.x + h + (i ? 1 : 0)");
  // a 0; b would straddle -> 16; c 32; d 48 (stride 16, 36 bytes); e 96 (24 bytes);
  // f packs at 120; g 124 would straddle -> 128; h 136; i 140.
  expectLayout(r2, "V", 144,
               {{"a", 0, 8}, {"b", 16, 12}, {"c", 32, 16}, {"d", 48, 36}, {"e", 96, 24}, {"f", 120, 4},
                {"g", 128, 8}, {"h", 136, 4}, {"i", 140, 4}});
}

TEST(CBufferLayout, StructsMatricesAndVectorArrays) {
  auto r = pixel("struct S { float3 x; };\n"
                 "cbuffer CB2 { S s; float y; float3x3 m; float z; float2 w[3]; float2 k; };",
                 "s.x.x + y + m[0].x + z + w[2].x + k.x");
  expectLayout(r, "CB2", 128,
               {{"s", 0, 12}, {"y", 16, 4}, {"m", 32, 44}, {"z", 76, 4}, {"w", 80, 40}, {"k", 120, 8}});
}

TEST(CBufferLayout, RowAndColumnMajorMatrices) {
  auto r = pixel("cbuffer M { float4x4 a; row_major float4x4 b; float2x3 c; float d; row_major float2x3 e;"
                 " float4 f; float3x2 g; float h; float3x3 arr[2]; row_major float3x2 i; float4 j; };",
                 "a[0].x + b[0].x + c[0].x + d + e[0].x + f.x + g[0].x + h + arr[1][0].x + i[0].x + j.x");
  // column_major floatRxC takes C registers of R floats, row_major R registers of C floats.
  // c 2x3 column-major: 3 registers, 40 bytes, d packs into its last one (168).
  // e 2x3 row-major: 2 registers of 3 floats = 28 at 176; f straddles -> 208.
  // g 3x2 column-major: 2 registers of 3 = 28 at 224; h 252.
  // arr: 44-byte elements at stride 48 = 92 bytes at 256; i 3x2 row-major: 3 registers of
  // 2 = 40 at 352; j straddles -> 400.
  expectLayout(r, "M", 416,
               {{"a", 0, 64}, {"b", 64, 64}, {"c", 128, 40}, {"d", 168, 4}, {"e", 176, 28}, {"f", 208, 16},
                {"g", 224, 28}, {"h", 252, 4}, {"arr", 256, 92}, {"i", 352, 40}, {"j", 400, 16}});
}

TEST(CBufferLayout, NestedStructsAndArraysOfStructs) {
  const std::string decls =
      "struct Inner { float2 a; float b; };\n"
      "struct Outer { float c; Inner inner; float3 d; };\n"
      "cbuffer N { float x; Outer o; float y; Inner arr[2]; float z; };";
  hlsl::CompileResult c = hlsltest::compileValid(
      hlsl::Pixel, "ps_5_0", decls + "\nfloat4 PS() : SV_Target { return x + o.inner.b + o.d.x + y + arr[1].b + z; }",
      "PS");
  ASSERT_TRUE(c.ok);
  hlsl::Reflection r;
  ASSERT_TRUE(hlsl::reflect(c.spirv, r));
  // Inner: a 0, b 8 (12 bytes). Outer: c 0, inner 16, d pushed to 32 (44 bytes).
  // N: x 0, o 16, y pushed to 64, arr 80 (stride 16, 28 bytes), z pushed to 112.
  expectLayout(r, "N", 128, {{"x", 0, 4}, {"o", 16, 44}, {"y", 64, 4}, {"arr", 80, 28}, {"z", 112, 4}});
  EXPECT_EQ(hlsltest::memberOffsets(c.spirv, "Inner"), (std::vector<uint32_t>{0, 8}));
  EXPECT_EQ(hlsltest::memberOffsets(c.spirv, "Outer"), (std::vector<uint32_t>{0, 16, 32}));
}

TEST(CBufferLayout, StructWithArraysAndMatrixInArray) {
  const std::string decls =
      "struct L { float3 pos; float radius; float4 color[2]; row_major float3x4 m; float2 extra; };\n"
      "cbuffer Lights : register(b2) { L lights[3]; uint count; };";
  hlsl::CompileResult c = hlsltest::compileValid(
      hlsl::Pixel, "ps_5_0",
      decls + "\nfloat4 PS() : SV_Target { return lights[2].color[1] * lights[1].m[2].w * count + lights[0].extra.x; }",
      "PS");
  ASSERT_TRUE(c.ok);
  hlsl::Reflection r;
  ASSERT_TRUE(hlsl::reflect(c.spirv, r));
  // L: pos 0, radius 12, color 16 (32 bytes), m 48 (3 registers), extra 96 -> 104 bytes.
  // lights: stride 112, 2 * 112 + 104 = 328; count pushed to 336.
  expectLayout(r, "Lights", 352, {{"lights", 0, 328}, {"count", 336, 4}});
  EXPECT_EQ(r.cbuffers[0].slot, 2u);
  EXPECT_EQ(r.cbuffers[0].binding, hlsl::kCBufferBase + 2);
  EXPECT_EQ(hlsltest::memberOffsets(c.spirv, "L"), (std::vector<uint32_t>{0, 12, 16, 48, 96}));
}

TEST(CBufferLayout, PackOffsetIsHonouredAndChecked) {
  auto r = pixel("#define AT(r) packoffset(r)\n"
                 "cbuffer P { float4 a : packoffset(c1); float b : AT(c0.y); float2 c : packoffset(c0.z);"
                 " float3x3 m : packoffset(c2); /* float q : packoffset(c9); */ };",
                 "a + b + c.x + m[0].x");
  expectLayout(r, "P", 80, {{"b", 4, 4}, {"c", 8, 8}, {"a", 16, 16}, {"m", 32, 44}});

  const char* bad[] = {
      // some members placed, others not
      "cbuffer Q { float4 a : packoffset(c1); float b; };",
      // a float3 from c0.z would cross into c1
      "cbuffer Q { float3 a : packoffset(c0.z); float b : packoffset(c1); };",
      // overlapping members
      "cbuffer Q { float4 a : packoffset(c0); float b : packoffset(c0.y); };",
      // arrays start a register
      "cbuffer Q { float a[2] : packoffset(c0.y); float b : packoffset(c2); };",
      // not a constant register
      "cbuffer Q { float a : packoffset(t0); float b : packoffset(c2); };",
  };
  for (const char* decl : bad) {
    hlsl::CompileResult c = hlsl::compile(hlsl::Pixel, "ps_5_0",
                                          std::string(decl) + "\nfloat4 PS() : SV_Target { return a.x + b; }", "PS",
                                          "bad.hlsl");
    EXPECT_FALSE(c.ok) << decl;
    EXPECT_NE(c.messages.find("bad.hlsl"), std::string::npos) << c.messages;
  }
}

TEST(CBufferLayout, PackingIntoTheTailOfARowMajorMatrixIsRefused) {
  // Direct3D would put z at 124, inside the last column Vulkan reserves for the matrix.
  hlsl::CompileResult c = hlsl::compile(
      hlsl::Pixel, "ps_5_0",
      "cbuffer T { float4 a; float4 b; row_major float3x3 rm; float z; };\n"
      "float4 PS() : SV_Target { return a + b + rm[0].x + z; }",
      "PS", "tail.hlsl");
  EXPECT_FALSE(c.ok);
  EXPECT_NE(c.messages.find("'z'"), std::string::npos) << c.messages;
  EXPECT_NE(c.messages.find("tail.hlsl"), std::string::npos) << c.messages;
}

TEST(CBufferLayout, SeveralBuffersComeInSlotOrder) {
  auto r = pixel("cbuffer A : register(b3) { float4 x; };\n"
                 "cbuffer B : register(b1) { float y; float3 yy; };\n"
                 "float g; float3 gg;",
                 "x + y + yy.x + g + gg.x");
  ASSERT_EQ(r.cbuffers.size(), 3u);
  EXPECT_EQ(r.cbuffers[0].name, "$Globals");
  EXPECT_EQ(r.cbuffers[1].name, "B");
  EXPECT_EQ(r.cbuffers[1].slot, 1u);
  EXPECT_EQ(r.cbuffers[2].name, "A");
  EXPECT_EQ(r.cbuffers[2].slot, 3u);
  for (const auto& cb : r.cbuffers) EXPECT_EQ(cb.binding, hlsl::kCBufferBase + cb.slot);
  EXPECT_NE(r.cbuffers[0].slot, 1u);
  EXPECT_NE(r.cbuffers[0].slot, 3u);
  expectLayout(r, "B", 16, {{"y", 0, 4}, {"yy", 4, 12}});
  expectLayout(r, "$Globals", 16, {{"g", 0, 4}, {"gg", 4, 12}});
}

}  // namespace

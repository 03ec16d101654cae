#include <gtest/gtest.h>

#include <map>

#include "tests/gfx/hlsl/HlslTestSupport.h"

namespace {

using Locations = std::map<std::string, uint32_t>;

Locations userLocations(const std::vector<hlsl::StageVariable>& vars) {
  Locations out;
  for (const auto& v : vars)
    if (!v.builtin) out[v.semantic + std::to_string(v.semanticIndex)] = v.location;
  return out;
}

hlsl::Reflection reflectWords(const std::vector<uint32_t>& spirv) {
  hlsl::Reflection r;
  EXPECT_TRUE(hlsl::reflect(spirv, r));
  return r;
}

const char* kVs =
    "struct VOut { float4 pos : SV_Position; float2 uv : TEXCOORD0; float4 color : COLOR0;"
    " float3 normal : NORMAL; float2 uv2 : TEXCOORD1; };\n"
    "VOut VS(float3 p : POSITION) { VOut o; o.pos = float4(p, 1); o.uv = p.xy; o.color = 1;"
    " o.normal = p; o.uv2 = p.yz; return o; }\n";

TEST(HlslLink, PixelInputsFollowVertexOutputsBySemantic) {
  hlsl::CompileResult vs = hlsltest::compileValid(hlsl::Vertex, "vs_5_0", kVs, "VS");
  // Declared in another order, and not reading every output.
  hlsl::CompileResult ps = hlsltest::compileValid(
      hlsl::Pixel, "ps_5_0",
      "float4 PS(float3 n : NORMAL, float4 p : SV_Position, float2 t1 : TEXCOORD1, float2 t0 : texcoord0)"
      " : SV_Target { return float4(n + t1.x + t0.y, 1); }",
      "PS");
  ASSERT_TRUE(vs.ok && ps.ok);
  Locations out = userLocations(reflectWords(vs.spirv).outputs);
  ASSERT_EQ(out.size(), 4u);
  ASSERT_NE(userLocations(reflectWords(ps.spirv).inputs)["NORMAL0"], out["NORMAL0"]);  // the fault being fixed

  std::string error;
  ASSERT_TRUE(hlsl::linkStages(vs.spirv, ps.spirv, &error)) << error;
  Locations in = userLocations(reflectWords(ps.spirv).inputs);
  ASSERT_EQ(in.size(), 3u);
  EXPECT_EQ(in["NORMAL0"], out["NORMAL0"]);
  EXPECT_EQ(in["TEXCOORD0"], out["TEXCOORD0"]);
  EXPECT_EQ(in["TEXCOORD1"], out["TEXCOORD1"]);
  std::string log;
  EXPECT_TRUE(hlsltest::spirvValid(ps.spirv, log)) << log;
}

TEST(HlslLink, AnInputNobodyWritesFailsAndLeavesTheModuleAlone) {
  hlsl::CompileResult vs = hlsltest::compileValid(hlsl::Vertex, "vs_5_0", kVs, "VS");
  hlsl::CompileResult ps = hlsltest::compileValid(
      hlsl::Pixel, "ps_5_0", "float4 PS(float2 t : TEXCOORD0, float3 b : BINORMAL) : SV_Target { return t.x + b.x; }",
      "PS");
  ASSERT_TRUE(vs.ok && ps.ok);
  const std::vector<uint32_t> before = ps.spirv;
  std::string error;
  EXPECT_FALSE(hlsl::linkStages(vs.spirv, ps.spirv, &error));
  EXPECT_NE(error.find("BINORMAL"), std::string::npos) << error;
  EXPECT_EQ(ps.spirv, before);
}

TEST(HlslLink, VertexInputsFollowTheInputLayout) {
  hlsl::CompileResult vs = hlsltest::compileValid(
      hlsl::Vertex, "vs_5_0",
      "float4 VS(float2 uv : TEXCOORD0, float3 p : POSITION, uint id : SV_VertexID, float4 w : texcoord3)"
      " : SV_Position { return float4(p + uv.x + w.x, id); }",
      "VS");
  ASSERT_TRUE(vs.ok);
  std::vector<uint32_t> spirv = vs.spirv;
  std::string error;
  ASSERT_TRUE(hlsl::remapVertexInputs(spirv, {{"POSITION", 0}, {"NORMAL", 0}, {"TEXCOORD", 3}, {"TEXCOORD", 0}}, &error))
      << error;
  Locations in = userLocations(reflectWords(spirv).inputs);
  EXPECT_EQ(in["POSITION0"], 0u);
  EXPECT_EQ(in["TEXCOORD3"], 2u);
  EXPECT_EQ(in["TEXCOORD0"], 3u);
  std::string log;
  EXPECT_TRUE(hlsltest::spirvValid(spirv, log)) << log;

  // A layout without TEXCOORD0 cannot feed this shader.
  std::vector<uint32_t> untouched = vs.spirv;
  EXPECT_FALSE(hlsl::remapVertexInputs(untouched, {{"POSITION", 0}, {"TEXCOORD", 3}}, &error));
  EXPECT_NE(error.find("TEXCOORD0"), std::string::npos) << error;
  EXPECT_EQ(untouched, vs.spirv);
}

}  // namespace

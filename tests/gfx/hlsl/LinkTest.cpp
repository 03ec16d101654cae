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

  // Linking reads modules without validating them first: a member name with an absurd
  // index must not size (or wrap) the name list.
  std::vector<uint32_t> damaged = vs.spirv;
  damaged.insert(damaged.end(), {(4u << 16) | 6u, 1u, 0xFFFFFFFFu, 0x78u});  // OpMemberName %1 4294967295 "x"
  std::vector<uint32_t> next = ps.spirv;
  EXPECT_FALSE(hlsl::linkStages(damaged, next, &error));
  EXPECT_NE(error.find("BINORMAL"), std::string::npos) << error;
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
  ASSERT_TRUE(hlsl::remapVertexInputs(spirv, {{"POSITION", 0}, {"NORMAL", 0}, {"texcoord3", 0}, {"TEXCOORD", 0}}, &error))
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

namespace {

TEST(HlslLink, TessellationAndGeometryChainsLinkBySemantic) {
  // Each stage declares its inputs in an order different from the previous stage's outputs.
  const std::string text =
      "struct VOut { float2 uv : TEXCOORD0; float3 pos : POSITION; };\n"
      "struct HIn { float3 pos : POSITION; float2 uv : TEXCOORD0; };\n"
      "struct HOut { float2 uv : TEXCOORD0; float3 pos : POSITION; };\n"
      "struct PatchC { float edges[3] : SV_TessFactor; float inside : SV_InsideTessFactor;"
      " float3 center : CENTER; float weight : WEIGHT; };\n"
      "struct DPatch { float edges[3] : SV_TessFactor; float inside : SV_InsideTessFactor;"
      " float weight : WEIGHT; float3 center : CENTER; };\n"
      "struct DOut { float4 pos : SV_Position; float3 c : CENTER; float2 uv : TEXCOORD0; };\n"
      "struct GIn { float4 pos : SV_Position; float2 uv : TEXCOORD0; float3 c : CENTER; };\n"
      "struct GOut { float4 pos : SV_Position; float w : WEIGHT; float2 uv : TEXCOORD0; };\n"
      "VOut VS(float3 p : POSITION, float2 uv : TEXCOORD0) { VOut o; o.pos = p; o.uv = uv; return o; }\n"
      "PatchC PC(InputPatch<HIn, 3> ip) { PatchC c; c.edges[0] = c.edges[1] = c.edges[2] = 4; c.inside = 4;"
      " c.center = ip[0].pos; c.weight = 1; return c; }\n"
      "[domain(\"tri\")] [partitioning(\"integer\")] [outputtopology(\"triangle_cw\")] [outputcontrolpoints(3)]"
      " [patchconstantfunc(\"PC\")]\n"
      "HOut HS(InputPatch<HIn, 3> ip, uint i : SV_OutputControlPointID) { HOut o; o.pos = ip[i].pos;"
      " o.uv = ip[i].uv; return o; }\n"
      "[domain(\"tri\")] DOut DS(DPatch pc, float3 bc : SV_DomainLocation, const OutputPatch<HOut, 3> p) {"
      " DOut o; o.pos = float4(p[0].pos * bc.x + p[1].pos * bc.y + p[2].pos * bc.z, pc.weight);"
      " o.uv = p[1].uv; o.c = pc.center; return o; }\n"
      "[maxvertexcount(3)] void GS(triangle GIn input[3], inout TriangleStream<GOut> s) {"
      " for (int i = 0; i < 3; i++) { GOut g; g.pos = input[i].pos; g.uv = input[i].uv; g.w = input[i].c.x;"
      " s.Append(g); } }\n"
      "float4 PS(float2 uv : TEXCOORD0, float w : WEIGHT) : SV_Target { return float4(uv, w, 1); }\n";
  struct StageEntry {
    hlsl::Stage stage;
    const char* profile;
    const char* entry;
  } chain[] = {{hlsl::Vertex, "vs_5_0", "VS"}, {hlsl::Hull, "hs_5_0", "HS"}, {hlsl::Domain, "ds_5_0", "DS"},
               {hlsl::Geometry, "gs_5_0", "GS"}, {hlsl::Pixel, "ps_5_0", "PS"}};
  std::vector<std::vector<uint32_t>> modules;
  for (const StageEntry& s : chain) {
    hlsl::CompileResult c = hlsltest::compileValid(s.stage, s.profile, text, s.entry);
    ASSERT_TRUE(c.ok) << s.entry;
    modules.push_back(c.spirv);
  }
  for (size_t i = 1; i < modules.size(); ++i) {
    std::string error;
    ASSERT_TRUE(hlsl::linkStages(modules[i - 1], modules[i], &error)) << chain[i].entry << ": " << error;
    hlsl::Reflection prev = reflectWords(modules[i - 1]), next = reflectWords(modules[i]);
    Locations out = userLocations(prev.outputs);
    for (const auto& [semantic, location] : userLocations(next.inputs))
      EXPECT_EQ(location, out[semantic]) << chain[i].entry << " " << semantic;
    std::string log;
    EXPECT_TRUE(hlsltest::spirvValid(modules[i], log)) << chain[i].entry << ": " << log;
  }
  hlsl::Reflection hs = reflectWords(modules[1]);
  EXPECT_EQ(hs.stage, hlsl::Hull);
}

}  // namespace

namespace {

TEST(HlslLink, MatrixAndArrayInputsTakeConsecutiveLayoutElements) {
  hlsl::CompileResult vs = hlsltest::compileValid(
      hlsl::Vertex, "vs_5_0",
      "float4 VS(float2 uvs[2] : TEXCOORD0, float4x4 world : WORLD0, float3 p : POSITION) : SV_Position {"
      " return mul(float4(p, 1), world) + uvs[1].x; }",
      "VS");
  ASSERT_TRUE(vs.ok);
  std::vector<uint32_t> spirv = vs.spirv;
  std::string error;
  ASSERT_TRUE(hlsl::remapVertexInputs(spirv,
                                      {{"POSITION", 0}, {"TEXCOORD", 0}, {"TEXCOORD", 1}, {"WORLD", 0}, {"WORLD", 1},
                                       {"WORLD", 2}, {"WORLD", 3}},
                                      &error))
      << error;
  Locations in = userLocations(reflectWords(spirv).inputs);
  EXPECT_EQ(in["POSITION0"], 0u);
  EXPECT_EQ(in["TEXCOORD0"], 1u);
  EXPECT_EQ(in["WORLD0"], 3u);
  std::string log;
  EXPECT_TRUE(hlsltest::spirvValid(spirv, log)) << log;

  // The matrix rows must follow each other in the layout, or the shader would read
  // another attribute as its third row.
  spirv = vs.spirv;
  EXPECT_FALSE(hlsl::remapVertexInputs(spirv,
                                       {{"WORLD", 0}, {"WORLD", 1}, {"POSITION", 0}, {"WORLD", 2}, {"WORLD", 3},
                                        {"TEXCOORD", 0}, {"TEXCOORD", 1}},
                                       &error));
  EXPECT_NE(error.find("WORLD0"), std::string::npos) << error;
  EXPECT_EQ(spirv, vs.spirv);
}

TEST(HlslLink, AnArrayTypeNamingItselfEndsTheWalk) {
  // Linking reads modules without validating them: an array input whose element type is the
  // array itself must fail or succeed, not loop forever.
  hlsl::CompileResult vs = hlsltest::compileValid(hlsl::Vertex, "vs_5_0", kVs, "VS");
  hlsl::CompileResult ps = hlsltest::compileValid(
      hlsl::Pixel, "ps_5_0", "float4 PS(float2 t[2] : TEXCOORD0) : SV_Target { return t[0].x + t[1].y; }", "PS");
  ASSERT_TRUE(vs.ok && ps.ok);
  std::vector<uint32_t> damaged = ps.spirv;
  int patched = 0;
  for (size_t at = 5; at < damaged.size(); at += damaged[at] >> 16) {
    if ((damaged[at] & 0xffff) == 28 && (damaged[at] >> 16) == 4) {  // OpTypeArray %result %element %length
      damaged[at + 2] = damaged[at + 1];
      ++patched;
    }
    if ((damaged[at] >> 16) == 0) break;
  }
  ASSERT_GT(patched, 0);
  std::string error;
  hlsl::linkStages(vs.spirv, damaged, &error);
  hlsl::remapVertexInputs(damaged, {{"TEXCOORD", 0}}, &error);
}

TEST(HlslLink, ArrayInputReadsSeparatelyDeclaredOutputs) {
  hlsl::CompileResult vs = hlsltest::compileValid(
      hlsl::Vertex, "vs_5_0",
      "struct O { float4 p : SV_Position; float2 b : TEXCOORD1; float3 n : NORMAL; float2 a : TEXCOORD0; };\n"
      "O VS(float3 p : POSITION) { O o; o.p = float4(p, 1); o.a = p.xy; o.b = p.yz; o.n = p; return o; }",
      "VS");
  hlsl::CompileResult ps = hlsltest::compileValid(
      hlsl::Pixel, "ps_5_0", "float4 PS(float2 t[2] : TEXCOORD0) : SV_Target { return t[0].x + t[1].y; }", "PS");
  ASSERT_TRUE(vs.ok && ps.ok);
  std::string error;
  // TEXCOORD1 comes before TEXCOORD0 in the vertex outputs: no single location fits.
  std::vector<uint32_t> copy = ps.spirv;
  EXPECT_FALSE(hlsl::linkStages(vs.spirv, copy, &error));
  EXPECT_NE(error.find("TEXCOORD0"), std::string::npos) << error;

  hlsl::CompileResult vs2 = hlsltest::compileValid(
      hlsl::Vertex, "vs_5_0",
      "struct O { float4 p : SV_Position; float3 n : NORMAL; float2 a : TEXCOORD0; float2 b : TEXCOORD1; };\n"
      "O VS(float3 p : POSITION) { O o; o.p = float4(p, 1); o.a = p.xy; o.b = p.yz; o.n = p; return o; }",
      "VS");
  ASSERT_TRUE(vs2.ok);
  ASSERT_TRUE(hlsl::linkStages(vs2.spirv, ps.spirv, &error)) << error;
  EXPECT_EQ(userLocations(reflectWords(ps.spirv).inputs)["TEXCOORD0"],
            userLocations(reflectWords(vs2.spirv).outputs)["TEXCOORD0"]);
}

}  // namespace

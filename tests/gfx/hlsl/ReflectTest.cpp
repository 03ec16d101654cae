#include <gtest/gtest.h>

#include <set>

#include "tests/gfx/hlsl/HlslTestSupport.h"

namespace {

using hlsl::ResourceKind;
using hlsltest::findResource;

TEST(HlslReflect, RegistersMapOntoTheFixedBindingRanges) {
  const std::string text =
      "Texture2D albedo : register(t3); TextureCube env : register(t0); Texture2DArray layers : register(t5);\n"
      "Buffer<float4> tb : register(t6);\n"
      "SamplerState linearSmp : register(s2); SamplerComparisonState shadowSmp : register(s0);\n"
      "struct P { float3 pos; float life; float2 pad; };\n"
      "StructuredBuffer<P> particles : register(t4); ByteAddressBuffer raw : register(t7);\n"
      "cbuffer C : register(b5) { float4 k; };\n"
      "float4 PS(float4 p : SV_Position, float3 n : NORMAL) : SV_Target {\n"
      "  return albedo.Sample(linearSmp, n.xy) + env.Sample(linearSmp, n) + layers.Sample(linearSmp, n)\n"
      "       + particles[1].life + raw.Load(4) + tb[2] + k\n"
      "       + albedo.SampleCmpLevelZero(shadowSmp, n.xy, 0.5) * p.w;\n"
      "}\n";
  hlsl::Reflection r = hlsltest::reflectSource(hlsl::Pixel, "ps_5_0", text, "PS");
  struct Want {
    const char* name;
    ResourceKind kind;
    uint32_t reg, binding;
  } wants[] = {
      {"albedo", ResourceKind::Texture, 3, hlsl::kTextureBase + 3},
      {"env", ResourceKind::Texture, 0, hlsl::kTextureBase + 0},
      {"layers", ResourceKind::Texture, 5, hlsl::kTextureBase + 5},
      {"tb", ResourceKind::Buffer, 6, hlsl::kTextureBase + 6},
      {"linearSmp", ResourceKind::Sampler, 2, hlsl::kSamplerBase + 2},
      {"shadowSmp", ResourceKind::Sampler, 0, hlsl::kSamplerBase + 0},
      {"particles", ResourceKind::StructuredBuffer, 4, hlsl::kTextureBase + 4},
      {"raw", ResourceKind::StructuredBuffer, 7, hlsl::kTextureBase + 7},
  };
  for (const Want& w : wants) {
    const hlsl::ResourceBinding* b = findResource(r, w.name);
    ASSERT_NE(b, nullptr) << w.name;
    EXPECT_EQ(b->kind, w.kind) << w.name;
    EXPECT_EQ(b->reg, w.reg) << w.name;
    EXPECT_EQ(b->binding, w.binding) << w.name;
  }
  EXPECT_EQ(findResource(r, "env")->dim, hlsl::ImageDim::Cube);
  EXPECT_TRUE(findResource(r, "layers")->arrayed);
  EXPECT_EQ(findResource(r, "albedo")->dim, hlsl::ImageDim::Dim2D);
  EXPECT_EQ(findResource(r, "particles")->structStride, 32u);
  EXPECT_EQ(findResource(r, "raw")->structStride, 4u);
  ASSERT_EQ(r.cbuffers.size(), 1u);
  EXPECT_EQ(r.cbuffers[0].binding, 5u);
  for (size_t i = 1; i < r.resources.size(); ++i) EXPECT_LT(r.resources[i - 1].binding, r.resources[i].binding);
  // Built-ins are flagged, user inputs carry their semantic.
  ASSERT_EQ(r.inputs.size(), 2u);
  EXPECT_TRUE(r.inputs[0].builtin);
  EXPECT_EQ(r.inputs[0].semantic, "SV_POSITION");
  EXPECT_FALSE(r.inputs[1].builtin);
  EXPECT_EQ(r.inputs[1].semantic, "NORMAL");
  EXPECT_EQ(r.inputs[1].components, 3u);
}

TEST(HlslReflect, AppendAndConsumeBuffersReportTheirCounters) {
  const std::string text =
      "struct Particle { float4 pos; float4 vel; };\n"
      "ConsumeStructuredBuffer<Particle> alive : register(u0);\n"
      "AppendStructuredBuffer<Particle> next : register(u1);\n"
      "RWStructuredBuffer<uint> stats : register(u2);\n"
      "RWTexture2D<float4> img : register(u3);\n"
      "[numthreads(64, 1, 1)] void CS(uint3 id : SV_DispatchThreadID) {\n"
      "  Particle p = alive.Consume(); p.pos += p.vel; next.Append(p); stats[0] = id.x; img[id.xy] = p.pos;\n"
      "}\n";
  hlsl::Reflection r = hlsltest::reflectSource(hlsl::Compute, "cs_5_0", text, "CS");
  const hlsl::ResourceBinding* alive = findResource(r, "alive");
  const hlsl::ResourceBinding* next = findResource(r, "next");
  const hlsl::ResourceBinding* stats = findResource(r, "stats");
  ASSERT_TRUE(alive && next && stats && findResource(r, "img"));
  EXPECT_EQ(alive->kind, ResourceKind::ConsumeBuffer);
  EXPECT_EQ(next->kind, ResourceKind::AppendBuffer);
  EXPECT_EQ(stats->kind, ResourceKind::RWStructuredBuffer);
  EXPECT_EQ(alive->binding, hlsl::kUavBase + 0);
  EXPECT_EQ(next->binding, hlsl::kUavBase + 1);
  EXPECT_EQ(alive->structStride, 32u);
  EXPECT_EQ(stats->counterBinding, UINT32_MAX);
  // Counters live on free u bindings: distinct from each other and from every resource,
  // and they are not listed as resources of their own.
  EXPECT_NE(alive->counterBinding, UINT32_MAX);
  EXPECT_NE(next->counterBinding, UINT32_MAX);
  EXPECT_NE(alive->counterBinding, next->counterBinding);
  EXPECT_GE(alive->counterBinding, hlsl::kUavBase);
  EXPECT_GE(next->counterBinding, hlsl::kUavBase);
  std::set<uint32_t> used;
  for (const auto& res : r.resources) {
    EXPECT_TRUE(used.insert(res.binding).second) << res.name;
    EXPECT_EQ(res.name.find("@count"), std::string::npos) << res.name;
  }
  EXPECT_FALSE(used.count(alive->counterBinding));
  EXPECT_FALSE(used.count(next->counterBinding));
  EXPECT_EQ(r.localSize[0], 64u);
}

TEST(HlslReflect, TypedUavsRecordTheirElementType) {
  const std::string text =
      "RWTexture2D<float> a : register(u0); RWTexture2D<float2> b : register(u1);\n"
      "RWTexture3D<float4> c : register(u2); RWTexture2D<uint> d : register(u3);\n"
      "RWBuffer<int4> e : register(u4); RWTexture2DArray<uint2> f : register(u5);\n"
      "[numthreads(8, 4, 2)] void CS(uint3 id : SV_DispatchThreadID) {\n"
      "  a[id.xy] = 1; b[id.xy] = 2; c[id] = 3; d[id.xy] = 4; e[id.x] = 5; f[id] = 6;\n"
      "}\n";
  hlsl::Reflection r = hlsltest::reflectSource(hlsl::Compute, "cs_5_0", text, "CS");
  struct Want {
    const char* name;
    ResourceKind kind;
    uint32_t components, type;
  } wants[] = {
      {"a", ResourceKind::RWTexture, 1, 0}, {"b", ResourceKind::RWTexture, 2, 0}, {"c", ResourceKind::RWTexture, 4, 0},
      {"d", ResourceKind::RWTexture, 1, 2}, {"e", ResourceKind::RWBuffer, 4, 1},  {"f", ResourceKind::RWTexture, 2, 2},
  };
  for (const Want& w : wants) {
    const hlsl::ResourceBinding* b = findResource(r, w.name);
    ASSERT_NE(b, nullptr) << w.name;
    EXPECT_EQ(b->kind, w.kind) << w.name;
    EXPECT_EQ(b->elementComponents, w.components) << w.name;
    EXPECT_EQ(b->elementType, w.type) << w.name;
    EXPECT_NE(b->spirvFormat, 0u) << w.name;  // 0 is Unknown: not usable for a storage image
  }
  EXPECT_EQ(findResource(r, "c")->dim, hlsl::ImageDim::Dim3D);
  EXPECT_TRUE(findResource(r, "f")->arrayed);
  EXPECT_EQ(r.stage, hlsl::Compute);
  EXPECT_EQ(r.localSize[0], 8u);
  EXPECT_EQ(r.localSize[1], 4u);
  EXPECT_EQ(r.localSize[2], 2u);
}

TEST(HlslReflect, RenderTargetOutputsSitOnTheirTargetIndex) {
  hlsl::Reflection r = hlsltest::reflectSource(
      hlsl::Pixel, "ps_5_0",
      "struct O { float4 n : SV_Target2; float4 a : SV_Target0; float d : SV_Depth; float4 b : SV_Target1; };\n"
      "O PS(float4 p : SV_Position) { O o; o.n = 1; o.a = 2; o.b = 3; o.d = 0.5; return o; }",
      "PS");
  ASSERT_EQ(r.outputs.size(), 4u);
  for (const auto& o : r.outputs) {
    if (o.builtin) {
      EXPECT_EQ(o.semantic, "SV_DEPTH");
      continue;
    }
    EXPECT_EQ(o.semantic, "SV_TARGET");
    EXPECT_EQ(o.location, o.semanticIndex);
  }
}

TEST(HlslReflect, DamagedModulesAreRejectedNotTrusted) {
  hlsl::CompileResult c = hlsltest::compileValid(
      hlsl::Pixel, "ps_5_0",
      "struct S { float3 a; float b[2]; }; cbuffer C { S s[2]; float4x3 m; };\n"
      "Texture2D t; SamplerState p;\n"
      "float4 PS(float2 uv : TEXCOORD0) : SV_Target { return t.Sample(p, uv) + s[1].b[1] + m[0].x; }",
      "PS");
  ASSERT_TRUE(c.ok);
  // Flip words one at a time (deterministically): reflect() and the location rewriters
  // either succeed or fail with a message; they must never crash or read out of bounds.
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  for (int i = 0; i < 400; ++i) {
    std::vector<uint32_t> words = c.spirv;
    size_t at = 5 + next() % (words.size() - 5);
    switch (next() % 3) {
      case 0: words[at] = next(); break;
      case 1: words[at] ^= 1u << (next() % 32); break;
      default: words.resize(at); break;
    }
    hlsl::Reflection r;
    std::string error;
    if (!hlsl::reflect(words, r, &error)) {
      EXPECT_FALSE(error.empty());
    }
    hlsl::remapVertexInputs(words, {{"TEXCOORD", 0}}, &error);
    std::vector<uint32_t> other = c.spirv;
    hlsl::linkStages(words, other, &error);
  }
}

TEST(HlslReflect, SemanticIndicesPast32BitsNeverThrow) {
  // The compiler takes any digit string as the index; reflection and linking must cope.
  const std::string ps = "float4 PS(float2 t : TEXCOORD99999999999999999999) : SV_Target { return t.x; }";
  hlsl::Reflection r = hlsltest::reflectSource(hlsl::Pixel, "ps_5_0", ps, "PS");
  ASSERT_EQ(r.inputs.size(), 1u);
  EXPECT_EQ(r.inputs[0].semantic, "TEXCOORD");
  EXPECT_EQ(r.inputs[0].semanticIndex, UINT32_MAX);
  hlsl::CompileResult vs = hlsltest::compileValid(
      hlsl::Vertex, "vs_5_0",
      "void VS(float4 p : POSITION, out float4 o : SV_Position, out float2 t : TEXCOORD0) { o = p; t = p.xy; }", "VS");
  hlsl::CompileResult pc = hlsltest::compileValid(hlsl::Pixel, "ps_5_0", ps, "PS");
  ASSERT_TRUE(vs.ok && pc.ok);
  std::string error;
  EXPECT_FALSE(hlsl::linkStages(vs.spirv, pc.spirv, &error));
  EXPECT_FALSE(hlsl::remapVertexInputs(pc.spirv, {{"TEXCOORD", 0}}, &error));
}

TEST(HlslReflect, RejectsWhatIsNotSpirv) {
  hlsl::Reflection r;
  std::string error;
  EXPECT_FALSE(hlsl::reflect({}, r, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(hlsl::reflect({0x07230203, 0x00010300, 0, 10, 0, 0xFFFF0011}, r, &error));  // truncated instruction
  EXPECT_FALSE(error.empty());
}

}  // namespace

namespace {

TEST(HlslReflect, ListsOnlyWhatTheEntryUsesAndNamesTemplatedBuffersByVariable) {
  const std::string text =
      "Texture2D usedTex : register(t2); Texture2D unusedTex : register(t0); SamplerState smp : register(s1);\n"
      "cbuffer Unused : register(b0) { float4 never; };\n"
      "struct Mat { float4x4 world; float3 tint; float alpha; };\n"
      "ConstantBuffer<Mat> material : register(b2);\n"
      "float4 PS(float2 uv : TEXCOORD0) : SV_Target {\n"
      "  return usedTex.Sample(smp, uv) * material.alpha + material.tint.x;\n"
      "}\n";
  hlsl::Reflection r = hlsltest::reflectSource(hlsl::Pixel, "ps_5_0", text, "PS");
  EXPECT_EQ(findResource(r, "unusedTex"), nullptr);
  ASSERT_NE(findResource(r, "usedTex"), nullptr);
  EXPECT_EQ(r.resources.size(), 2u);
  ASSERT_EQ(r.cbuffers.size(), 1u);
  EXPECT_EQ(r.cbuffers[0].name, "material");
  EXPECT_EQ(r.cbuffers[0].slot, 2u);
  EXPECT_EQ(r.cbuffers[0].size, 80u);
  ASSERT_EQ(r.cbuffers[0].variables.size(), 3u);
  EXPECT_EQ(r.cbuffers[0].variables[1].name, "tint");
  EXPECT_EQ(r.cbuffers[0].variables[1].offset, 64u);
  EXPECT_EQ(r.cbuffers[0].variables[2].offset, 76u);
}

TEST(HlslReflect, ImplicitRegistersAvoidExplicitOnes) {
  const std::string text =
      "Texture2D a; Texture2D b : register(t0); SamplerState s; SamplerState s2 : register(s0);\n"
      "RWTexture2D<float4> u1; RWTexture2D<float4> u2 : register(u0);\n"
      "cbuffer X { float4 x; }; cbuffer Y : register(b0) { float4 y; };\n"
      "float4 PS(float2 uv : TEXCOORD0) : SV_Target {\n"
      "  u1[uint2(0, 0)] = 1; u2[uint2(0, 0)] = 2; return a.Sample(s, uv) + b.Sample(s2, uv) + x + y;\n"
      "}\n";
  hlsl::Reflection r = hlsltest::reflectSource(hlsl::Pixel, "ps_5_0", text, "PS");
  std::set<uint32_t> bindings;
  for (const auto& res : r.resources) EXPECT_TRUE(bindings.insert(res.binding).second) << res.name;
  for (const auto& cb : r.cbuffers) EXPECT_TRUE(bindings.insert(cb.binding).second) << cb.name;
  EXPECT_EQ(findResource(r, "b")->binding, hlsl::kTextureBase);
  EXPECT_EQ(findResource(r, "a")->kind, hlsl::ResourceKind::Texture);
  EXPECT_GE(findResource(r, "a")->binding, hlsl::kTextureBase);
  EXPECT_LT(findResource(r, "a")->binding, hlsl::kSamplerBase);
  EXPECT_GE(findResource(r, "s")->binding, hlsl::kSamplerBase);
  EXPECT_LT(findResource(r, "s")->binding, hlsl::kUavBase);
  EXPECT_GE(findResource(r, "u1")->binding, hlsl::kUavBase);
  ASSERT_NE(hlsltest::findCBuffer(r, "Y"), nullptr);
  EXPECT_EQ(hlsltest::findCBuffer(r, "Y")->slot, 0u);
}

}  // namespace

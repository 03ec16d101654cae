// Derivatives in control flow that pixels of one quad may take differently: the check on
// small shaders whose answer is known, then over every pixel shader the player ships.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "gfx/hlsl/Uniformity.h"
#include "tests/gfx/hlsl/HlslTestSupport.h"

namespace {

size_t divergentCount(const std::string& source) {
  hlsl::CompileResult r = hlsltest::compileValid(hlsl::Pixel, "ps_5_0", source, "PS");
  EXPECT_TRUE(r.ok) << r.messages;
  return hlsl::divergentDerivatives(r.spirv).size();
}

const char* kHeader = R"(
Texture2D gMap : register(t0);
SamplerState gSampler : register(s0);
cbuffer Params : register(b0) { float gStrength; int gSteps; };
)";

}  // namespace

TEST(DivergentDerivatives, EarlyReturnsAndPerPixelBranchesAreFoundUniformOnesAreNot) {
  // The fault this check exists for: a flat texel returns early, its neighbours go on to ddx.
  EXPECT_GE(divergentCount(std::string(kHeader) + R"(
float3 bend(float3 n, float3 p, float3 t) {
  if (t.x == 0.0 && t.y == 0.0) return n;
  return normalize(n + ddx(p) * t.x + ddy(p) * t.y);
}
float4 PS(float4 pos : SV_POSITION, float3 p : TEXCOORD0, float2 uv : TEXCOORD1) : SV_TARGET {
  float3 t = gMap.Sample(gSampler, uv).xyz;
  return float4(bend(float3(0, 0, 1), p, t), 1);
}
)"), 1u);
  // The same with the derivatives taken first is sound.
  EXPECT_EQ(divergentCount(std::string(kHeader) + R"(
float3 bend(float3 n, float3 p, float3 t) {
  float3 dx = ddx(p), dy = ddy(p);
  if (t.x == 0.0 && t.y == 0.0) return n;
  return normalize(n + dx * t.x + dy * t.y);
}
float4 PS(float4 pos : SV_POSITION, float3 p : TEXCOORD0, float2 uv : TEXCOORD1) : SV_TARGET {
  float3 t = gMap.Sample(gSampler, uv).xyz;
  return float4(bend(float3(0, 0, 1), p, t), 1);
}
)"), 0u);
  // Branches on constants and loops with constant trip counts are the same for every pixel.
  EXPECT_EQ(divergentCount(std::string(kHeader) + R"(
float4 PS(float4 pos : SV_POSITION, float2 uv : TEXCOORD0) : SV_TARGET {
  float4 c = 0;
  if (gStrength > 0.5) c.x = ddx(uv.x);
  for (int i = 0; i < gSteps; ++i) c.y += ddy(uv.y * i);
  return c;
}
)"), 0u);
  // Inside a branch on a texture read, and in a function called from one.
  EXPECT_EQ(divergentCount(std::string(kHeader) + R"(
float slope(float v) { return fwidth(v); }
float4 PS(float4 pos : SV_POSITION, float2 uv : TEXCOORD0) : SV_TARGET {
  float4 c = gMap.Sample(gSampler, uv);
  if (c.a > 0.5) { c.x = ddx(uv.x); c.y = slope(uv.y); }
  return c;
}
)"), 2u);
  // A loop that some pixels leave early: inside it after the break is divergent, after it not.
  EXPECT_EQ(divergentCount(std::string(kHeader) + R"(
float4 PS(float4 pos : SV_POSITION, float2 uv : TEXCOORD0) : SV_TARGET {
  float4 c = 0;
  for (int i = 0; i < 4; ++i) {
    if (gMap.Sample(gSampler, uv * i).r > 0.5) break;
    c.x += ddx(uv.x * i);
  }
  c.y = ddy(uv.y);
  return c;
}
)"), 1u);
  // A value computed in a per-pixel branch is per-pixel, and so is a branch on it.
  EXPECT_EQ(divergentCount(std::string(kHeader) + R"(
float4 PS(float4 pos : SV_POSITION, float2 uv : TEXCOORD0) : SV_TARGET {
  float k = 0;
  if (uv.x > 0.5) k = 1;
  float4 c = 0;
  if (k > 0) c.x = ddx(uv.y);
  return c;
}
)"), 1u);
}

// Every pixel entry point of every shader file: no derivative where pixels of a quad may part.
TEST(DivergentDerivatives, NoShippedPixelShaderTakesThemInDivergentFlow) {
  namespace fs = std::filesystem;
  const std::regex entry(R"(\b(PS\w*)\s*\([^;{]*\)\s*(:\s*SV_TARGET\w*\s*)?\{)", std::regex::icase);
  size_t compiled = 0;
  std::set<std::string> findings;
  for (const auto& file : fs::recursive_directory_iterator("data/shaders")) {
    if (file.path().extension() != ".hlsl") continue;
    std::ifstream in(file.path());
    std::stringstream text;
    text << in.rdbuf();
    const std::string source = text.str();
    std::set<std::string> names;
    for (auto it = std::sregex_iterator(source.begin(), source.end(), entry); it != std::sregex_iterator(); ++it)
      names.insert((*it)[1].str());
    for (const std::string& name : names) {
      hlsl::CompileResult r = hlsl::compile(hlsl::Pixel, "ps_5_0", source, name, file.path().string());
      if (!r.ok) continue;  // not a pixel entry after all (or needs defines a pass adds)
      ++compiled;
      for (const hlsl::DivergentDerivative& d : hlsl::divergentDerivatives(r.spirv))
        findings.insert(file.path().string() + " " + name + ": derivative %" + std::to_string(d.resultId) + " in " +
                        d.function);
    }
  }
  EXPECT_GT(compiled, 40u);
  for (const std::string& f : findings) ADD_FAILURE() << f;
}

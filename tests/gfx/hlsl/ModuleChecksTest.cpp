// Validation and reflection results are remembered per module: a module must only ever get
// the verdict and the reflection of its own words, never those of a module it resembles.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gfx/hlsl/HlslCompiler.h"
#include "gfx/hlsl/ModuleChecks.h"
#include "tests/gfx/hlsl/HlslTestSupport.h"

namespace {

std::vector<uint32_t> pixelShaderReading(int textureRegister) {
  const std::string text = "Texture2D tex : register(t" + std::to_string(textureRegister) +
                           "); SamplerState s : register(s0);\n"
                           "float4 PS(float4 p : SV_Position) : SV_Target { return tex.Sample(s, p.xy); }\n";
  return hlsltest::compileValid(hlsl::Pixel, "ps_5_0", text, "PS").spirv;
}

uint32_t textureBinding(const hlsl::Reflection& r) {
  const hlsl::ResourceBinding* b = hlsltest::findResource(r, "tex");
  return b ? b->binding : ~0u;
}

TEST(ModuleChecks, LookAlikeModulesKeepTheirOwnReflectionAndDamagedOnesStayRejected) {
  hlsl::forgetCheckedModules();
  const std::vector<uint32_t> a = pixelShaderReading(1), b = pixelShaderReading(2);
  ASSERT_FALSE(a.empty());
  ASSERT_EQ(a.size(), b.size());  // the same shape, one register apart

  hlsl::Reflection ra, rb, again;
  ASSERT_TRUE(hlsl::reflect(a, ra));
  ASSERT_TRUE(hlsl::reflect(b, rb));
  EXPECT_EQ(textureBinding(ra), hlsl::kTextureBase + 1);
  EXPECT_EQ(textureBinding(rb), hlsl::kTextureBase + 2);
  ASSERT_TRUE(hlsl::reflect(a, again));  // remembered: the same answer as the first time
  EXPECT_EQ(textureBinding(again), hlsl::kTextureBase + 1);
  EXPECT_EQ(again.cbuffers.size(), ra.cbuffers.size());
  EXPECT_EQ(again.outputs.size(), ra.outputs.size());

  // One word of a remembered module damaged (the id bound, which must exceed every id):
  // validation and reflection both refuse it, before and after the intact one is seen again.
  std::vector<uint32_t> damaged = a;
  damaged[3] = 1;
  for (int round = 0; round < 2; ++round) {
    EXPECT_FALSE(hlsl::validateSpirv(damaged)) << round;
    hlsl::Reflection rd;
    EXPECT_FALSE(hlsl::reflect(damaged, rd)) << round;
    EXPECT_TRUE(hlsl::validateSpirv(a));
  }

  // Forgetting changes no answer, only the work done to reach it.
  hlsl::forgetCheckedModules();
  hlsl::Reflection fresh;
  ASSERT_TRUE(hlsl::reflect(b, fresh));
  EXPECT_EQ(textureBinding(fresh), hlsl::kTextureBase + 2);
}

}  // namespace

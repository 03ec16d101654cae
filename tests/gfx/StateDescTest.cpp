// Description records, their hash, the blend fill-in rules and the Direct3D-to-Vulkan
// translations.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "gfx/Device.h"
#include "gfx/Hash.h"
#include "gfx/hlsl/HlslCompiler.h"
#include "gfx/vulkan/Backend.h"

#include <spirv-tools/libspirv.hpp>
#include <tuple>

TEST(StateDescTest, NameHashIsCrc32ExclusiveOrOne) {
  EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);  // the standard check value
  EXPECT_EQ(crc32("", 0), 0u);
  EXPECT_EQ(nameHash(""), 1u);
  EXPECT_EQ(nameHash("123456789"), 0xCBF43927u);
  EXPECT_EQ(nameHash("gRegionScale"), crc32("gRegionScale", 12) ^ 1u);
  EXPECT_NE(nameHash("gRegionScale"), nameHash("gRegionOffset"));
}

TEST(StateDescTest, RecordsHaveTheDocumentedLayoutAndDefaults) {
  EXPECT_EQ(offsetof(RenderStateDesc, depthFunc), 4u);
  EXPECT_EQ(offsetof(RenderStateDesc, colourBlend), 8u);
  EXPECT_EQ(offsetof(RenderStateDesc, alphaBlend), 18u);
  EXPECT_EQ(offsetof(RenderStateDesc, disabledChannels), 28u);
  EXPECT_EQ(offsetof(RenderStateDesc, stencilRef), 35u);
  EXPECT_EQ(offsetof(RenderStateDesc, frontFace), 36u);
  EXPECT_EQ(offsetof(RenderStateDesc, depthBias), 44u);
  EXPECT_EQ(offsetof(RenderStateDesc, depthBiasClamp), 52u);
  EXPECT_EQ(offsetof(SamplerDesc, borderColour), 20u);

  RenderStateDesc d = RenderStateDesc::defaults();
  RenderStateDesc expected = RenderStateDesc::zeroed();
  expected.flags = 0x13;
  expected.depthFunc = 4;
  expected.stencilReadMask = expected.stencilWriteMask = 0xFF;
  expected.frontFace[3] = expected.backFace[3] = 1;
  EXPECT_EQ(std::memcmp(&d, &expected, sizeof(d)), 0);  // everything else is zero

  SamplerDesc s = SamplerDesc::forMode(samplerMode(0, 0, 0, 0));
  EXPECT_FLOAT_EQ(s.minLod, -1e-37f);
  EXPECT_FLOAT_EQ(s.maxLod, 1e37f);
  EXPECT_EQ(s.maxAnisotropy, 8u);
  EXPECT_EQ(s.comparisonFunc, 1u);
  EXPECT_EQ(samplerMode(0x1F, 1, 2, 4), 0x0421001Fu);
}

TEST(StateDescTest, HashCoversEveryByteSoZeroFillingMatters) {
  RenderStateDesc a = RenderStateDesc::defaults();
  RenderStateDesc b = RenderStateDesc::defaults();
  EXPECT_EQ(descHash(a), descHash(b));
  for (size_t i = 0; i < sizeof(RenderStateDesc); ++i) {
    RenderStateDesc c = a;
    reinterpret_cast<uint8_t*>(&c)[i] ^= 1;
    EXPECT_NE(descHash(c), descHash(a)) << "byte " << i;
  }
}

TEST(StateDescTest, BlendWordsAreFilledInPerTarget) {
  RenderStateDesc d = RenderStateDesc::zeroed();
  EXPECT_FALSE(effectiveBlend(d, 0).enable);
  EXPECT_EQ(effectiveBlend(d, 0).writeMask, 15);
  // Only alpha set: colour becomes one, zero, add.
  d.alphaBlend[0] = 0x1042;
  TargetBlend t = effectiveBlend(d, 0);
  EXPECT_TRUE(t.enable);
  EXPECT_EQ(t.colour, 0x1042);
  EXPECT_EQ(t.alpha, 0x1042);
  // Only colour set: alpha becomes one, one, add.
  d = RenderStateDesc::zeroed();
  d.colourBlend[0] = blendWord(D3D11_BLEND_SRC_ALPHA, D3D11_BLEND_INV_SRC_ALPHA, D3D11_BLEND_OP_ADD);
  t = effectiveBlend(d, 0);
  EXPECT_EQ(t.colour, blendWord(5, 6, 1));
  EXPECT_EQ(t.alpha, 0x1082);
  // Write masks: the disabled channels exclusive-or 15.
  d.disabledChannels[0] = 0x8;
  EXPECT_EQ(effectiveBlend(d, 0).writeMask, 0x7);
  // Without independent blending every target takes target 0's words and mask.
  d.colourBlend[2] = 0;
  EXPECT_EQ(effectiveBlend(d, 2).colour, t.colour);
  EXPECT_EQ(effectiveBlend(d, 2).writeMask, 0x7);
  d.flags = kIndependentBlend;
  EXPECT_FALSE(effectiveBlend(d, 2).enable);
  EXPECT_EQ(effectiveBlend(d, 2).writeMask, 15);
}

TEST(StateDescTest, Direct3DNumbersTranslateToVulkan) {
  using namespace gfxbackend;
  EXPECT_EQ(toVkBlend(D3D11_BLEND_ZERO), VK_BLEND_FACTOR_ZERO);
  EXPECT_EQ(toVkBlend(D3D11_BLEND_INV_SRC_ALPHA), VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA);
  EXPECT_EQ(toVkBlend(D3D11_BLEND_DEST_COLOR), VK_BLEND_FACTOR_DST_COLOR);
  EXPECT_EQ(toVkBlend(D3D11_BLEND_INV_SRC1_ALPHA), VK_BLEND_FACTOR_ONE_MINUS_SRC1_ALPHA);
  EXPECT_EQ(toVkBlendOp(D3D11_BLEND_OP_REV_SUBTRACT), VK_BLEND_OP_REVERSE_SUBTRACT);
  EXPECT_EQ(toVkBlendOp(D3D11_BLEND_OP_MAX), VK_BLEND_OP_MAX);
  EXPECT_EQ(toVkCompare(D3D11_COMPARISON_LESS_EQUAL), VK_COMPARE_OP_LESS_OR_EQUAL);
  EXPECT_EQ(toVkCompare(D3D11_COMPARISON_GREATER_EQUAL), VK_COMPARE_OP_GREATER_OR_EQUAL);
  EXPECT_EQ(toVkStencilOp(D3D11_STENCIL_OP_INCR_SAT), VK_STENCIL_OP_INCREMENT_AND_CLAMP);
  EXPECT_EQ(toVkStencilOp(D3D11_STENCIL_OP_DECR), VK_STENCIL_OP_DECREMENT_AND_WRAP);
  uint32_t points = 0;
  EXPECT_EQ(toVkTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP, &points), VK_PRIMITIVE_TOPOLOGY_TRIANGLE_STRIP);
  EXPECT_EQ(toVkTopology(D3DPrimitiveTopology(35), &points), VK_PRIMITIVE_TOPOLOGY_PATCH_LIST);
  EXPECT_EQ(points, 3u);
  EXPECT_EQ(topologyClass(D3D11_PRIMITIVE_TOPOLOGY_LINESTRIP), 1u);
  EXPECT_EQ(toVkFormat(DXGI_FORMAT_R24G8_TYPELESS), VK_FORMAT_D24_UNORM_S8_UINT);
  EXPECT_EQ(toVkFormat(DXGI_FORMAT_BC1_UNORM_SRGB), VK_FORMAT_BC1_RGBA_SRGB_BLOCK);
  EXPECT_EQ(toVkFormat(DXGI_FORMAT_B8G8R8A8_UNORM_SRGB), VK_FORMAT_B8G8R8A8_SRGB);

  // Samplers: anisotropy overrides the linear bits; comparison filter switches compare on;
  // the Direct3D whole-chain LOD range becomes a valid Vulkan one.
  VkSamplerCreateInfo s = toVkSampler(SamplerDesc::forMode(samplerMode(8, 0, 1, 3)));
  EXPECT_EQ(s.minFilter, VK_FILTER_LINEAR);
  EXPECT_EQ(s.mipmapMode, VK_SAMPLER_MIPMAP_MODE_LINEAR);
  EXPECT_TRUE(s.anisotropyEnable);
  EXPECT_EQ(s.maxAnisotropy, 8.0f);
  EXPECT_EQ(s.addressModeU, VK_SAMPLER_ADDRESS_MODE_REPEAT);
  EXPECT_EQ(s.addressModeV, VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE);
  EXPECT_EQ(s.addressModeW, VK_SAMPLER_ADDRESS_MODE_MIRRORED_REPEAT);
  EXPECT_GE(s.minLod, 0.0f);
  EXPECT_GE(s.maxLod, s.minLod);
  SamplerDesc cmp = SamplerDesc::forMode(samplerMode(16 | 3, 2, 2, 2));
  cmp.comparisonFunc = D3D11_COMPARISON_LESS;
  s = toVkSampler(cmp);
  EXPECT_TRUE(s.compareEnable);
  EXPECT_EQ(s.compareOp, VK_COMPARE_OP_LESS);
  EXPECT_EQ(s.magFilter, VK_FILTER_LINEAR);
  EXPECT_EQ(s.mipmapMode, VK_SAMPLER_MIPMAP_MODE_NEAREST);
  EXPECT_EQ(s.borderColor, VK_BORDER_COLOR_FLOAT_TRANSPARENT_BLACK);
}

TEST(StateDescTest, StorageImageFormatIsPatchedAtItsBindingOnly) {
  // Hand-made module: two storage images (bindings 64 and 65), both Rgba32f.
  // Words: header(5), OpDecorate x2 (Binding), OpTypeFloat, 2 x OpTypeImage, 2 x OpTypePointer,
  // 2 x OpVariable.
  std::vector<uint32_t> m = {0x07230203, 0x00010300, 0, 20, 0};
  auto op = [&](uint32_t code, std::initializer_list<uint32_t> operands) {
    m.push_back(code | uint32_t(operands.size() + 1) << 16);
    m.insert(m.end(), operands);
  };
  op(71, {10, 33, 64});  // OpDecorate %10 Binding 64
  op(71, {11, 33, 65});
  op(22, {2, 32});                        // %2 = OpTypeFloat 32
  op(25, {3, 2, 1, 0, 0, 0, 2, 1});       // %3 = OpTypeImage %2 2D ... sampled 2, Rgba32f
  op(25, {4, 2, 1, 0, 0, 0, 2, 1});       // %4 = the same for the second image
  op(32, {5, 0, 3});                      // %5 = OpTypePointer UniformConstant %3
  op(32, {6, 0, 4});
  op(59, {5, 10, 0});                     // %10 = OpVariable %5 UniformConstant
  op(59, {6, 11, 0});
  std::vector<uint32_t> patched = m;
  ASSERT_TRUE(gfxbackend::patchStorageFormat(patched, 65, gfxbackend::spirvImageFormat(VK_FORMAT_R8G8B8A8_UNORM)));
  size_t firstImage = 5 + 4 + 4 + 3, secondImage = firstImage + 9;
  EXPECT_EQ(patched[firstImage + 8], 1u);   // untouched
  EXPECT_EQ(patched[secondImage + 8], 4u);  // Rgba8
  EXPECT_FALSE(gfxbackend::patchStorageFormat(patched, 99, 4));
  std::vector<uint32_t> broken = {0x07230203, 0x00010300, 0, 20, 0, 0};  // zero-length instruction
  EXPECT_FALSE(gfxbackend::patchStorageFormat(broken, 64, 4));
}

namespace {

// The format operand of the image type that the variable at `binding` points to (0: none).
uint32_t storageFormatAt(const std::vector<uint32_t>& m, uint32_t binding) {
  uint32_t variable = 0, pointer = 0, image = 0, format = 0;
  for (int pass = 0; pass < 4; ++pass)
    for (size_t i = 5; i < m.size(); i += m[i] >> 16) {
      const uint32_t op = m[i] & 0xFFFF;
      if (pass == 0 && op == 71 && m[i + 2] == 33 && m[i + 3] == binding) variable = m[i + 1];
      if (pass == 1 && op == 59 && m[i + 2] == variable) pointer = m[i + 1];
      if (pass == 2 && op == 32 && m[i + 1] == pointer) image = m[i + 3];
      if (pass == 3 && op == 25 && m[i + 1] == image) format = m[i + 8];
    }
  return format;
}

std::string validationMessages(const std::vector<uint32_t>& m) {
  spvtools::SpirvTools tools(SPV_ENV_VULKAN_1_3);
  std::string messages;
  tools.SetMessageConsumer([&](spv_message_level_t, const char*, const spv_position_t&, const char* text) {
    messages += text;
    messages += '\n';
  });
  return tools.Validate(m) ? "" : messages + "(invalid)";
}

}  // namespace

// The compiler declares one image type for all storage images of one element type (and one
// for float and float4 alike but for the format); patching one view's format must not change
// another's, and the module must stay valid (no two equal image types).
TEST(StateDescTest, StorageImagesSharingADeclaredTypeGetTheirOwnFormats) {
  const char* source = R"(
RWTexture2D<float4> gBytes : register(u0);
RWTexture2D<float4> gHalves : register(u1);
RWTexture2D<float> gSingle : register(u2);
RWTexture2D<float4> gMore : register(u3);
[numthreads(4, 4, 1)]
void CS(uint3 id : SV_DispatchThreadID) {
  gBytes[id.xy] += float4(1, 0.5, 0, 1);
  gHalves[id.xy] = gHalves[id.xy] * 2;
  gSingle[id.xy] = gSingle[id.xy] + 1;
  gMore[id.xy] = gBytes[id.xy];
}
)";
  hlsl::CompileResult r = hlsl::compile(hlsl::Compute, "cs_5_0", source, "CS");
  ASSERT_TRUE(r.ok) << r.messages;
  const uint32_t rgba32f = 1, rgba16f = 2, r32f = 3, rgba8 = 4;
  ASSERT_EQ(storageFormatAt(r.spirv, 64), rgba32f);
  ASSERT_EQ(storageFormatAt(r.spirv, 66), r32f);
  struct Case {
    uint32_t formats[4];  // wanted for u0..u3, 0: left alone
  };
  const Case cases[] = {
      {{rgba8, rgba16f, 0, 0}},          // split a shared type in two
      {{rgba8, rgba8, 0, rgba8}},        // the same format again: one type serves all three
      {{r32f, rgba16f, rgba8, rgba32f}}, // onto the float image's type, which moves on itself
      {{rgba32f, rgba32f, r32f, rgba32f}},  // nothing to change
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::vector<uint32_t>(c.formats, c.formats + 4)));
    std::vector<uint32_t> m = r.spirv;
    for (uint32_t u = 0; u < 4; ++u)
      if (c.formats[u]) {
        EXPECT_TRUE(gfxbackend::patchStorageFormat(m, 64 + u, c.formats[u]));
      }
    for (uint32_t u = 0; u < 4; ++u)
      EXPECT_EQ(storageFormatAt(m, 64 + u), c.formats[u] ? c.formats[u] : storageFormatAt(r.spirv, 64 + u)) << "u" << u;
    EXPECT_EQ(validationMessages(m), "");
  }
}

TEST(StateDescTest, StrippedModulesLoseOnlyTheHlslReflectionAndStayValid) {
  const char* source = R"(
AppendStructuredBuffer<float4> gOut : register(u0);
struct VOut { float4 pos : SV_POSITION; float4 colour : COLOR0; float2 uv : TEXCOORD1; };
VOut VS(float3 pos : POSITION, float4 colour : COLOR0) {
  VOut o; o.pos = float4(pos, 1); o.colour = colour; o.uv = pos.xy; return o;
}
float4 PS(VOut v) : SV_TARGET { gOut.Append(v.colour); return v.colour * v.uv.x; }
)";
  for (auto [stage, profile, entry] : {std::tuple{hlsl::Vertex, "vs_5_0", "VS"}, std::tuple{hlsl::Pixel, "ps_5_0", "PS"}}) {
    hlsl::CompileResult r = hlsl::compile(stage, profile, source, entry);
    ASSERT_TRUE(r.ok) << r.messages;
    std::vector<uint32_t> stripped = gfxbackend::stripHlslReflection(r.spirv);
    EXPECT_LT(stripped.size(), r.spirv.size());
    std::string original(reinterpret_cast<const char*>(r.spirv.data()), r.spirv.size() * 4);
    std::string text(reinterpret_cast<const char*>(stripped.data()), stripped.size() * 4);
    EXPECT_NE(original.find("SPV_GOOGLE_hlsl_functionality1"), std::string::npos);
    EXPECT_EQ(text.find("SPV_GOOGLE"), std::string::npos);
    EXPECT_EQ(text.find("COLOR"), std::string::npos);
    for (size_t i = 5; i < stripped.size(); i += stripped[i] >> 16) {
      uint32_t op = stripped[i] & 0xFFFF;
      ASSERT_NE(op, 5632u);
      ASSERT_NE(op, 5633u);
    }
    spvtools::SpirvTools tools(SPV_ENV_VULKAN_1_3);
    std::string messages;
    tools.SetMessageConsumer([&](spv_message_level_t, const char*, const spv_position_t&, const char* m) {
      messages += m;
      messages += '\n';
    });
    EXPECT_TRUE(tools.Validate(stripped)) << messages;
  }
  // A damaged module comes back unchanged.
  std::vector<uint32_t> broken = {0x07230203, 0x00010300, 0, 20, 0, 0x00050000};
  EXPECT_EQ(gfxbackend::stripHlslReflection(broken), broken);
}

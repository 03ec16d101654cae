#include <gtest/gtest.h>

#include "gfx/InputLayout.h"
#include "gfx/hlsl/HlslCompiler.h"

namespace {

std::vector<InputElement> decode(std::vector<uint32_t> codes, uint32_t strides[kInputSlots]) {
  codes.push_back(0);
  std::vector<InputElement> elements;
  std::string error;
  EXPECT_TRUE(decodeInputElements(codes.data(), elements, strides, &error)) << error;
  return elements;
}

TEST(InputLayoutCodes, DefaultTypesOffsetsAndStridesPerSlot) {
  // POSITION, NORMAL, TEXCOORD0 in slot 0; WORLD0..3 per instance in slot 1; COLOR2 in slot 2.
  uint32_t strides[kInputSlots];
  auto e = decode({0x1, 0x2, 0x10, 0x100118, 0x100119, 0x10011A, 0x10011B, 0x20A}, strides);
  ASSERT_EQ(e.size(), 8u);
  EXPECT_EQ(e[0].typeCode, 3u);  // POSITION: float3
  EXPECT_EQ(e[1].offset, 12u);
  EXPECT_EQ(e[2].typeCode, 2u);  // TEXCOORD: float2
  EXPECT_EQ(e[2].offset, 24u);
  EXPECT_EQ(strides[0], 32u);
  // The instance slot counts its offsets from zero, independently of slot 0.
  EXPECT_EQ(e[3].slot, 1u);
  EXPECT_TRUE(e[3].perInstance);
  EXPECT_EQ(e[3].offset, 0u);
  EXPECT_EQ(e[6].offset, 48u);
  EXPECT_EQ(e[6].semanticText, "WORLD3");
  EXPECT_EQ(e[6].semanticIndex, 3u);
  EXPECT_STREQ(e[6].semanticName, "WORLD");
  EXPECT_EQ(strides[1], 64u);
  // COLOR defaults to four 8-bit unorm channels.
  EXPECT_EQ(e[7].slot, 2u);
  EXPECT_EQ(e[7].bytes, 4u);
  EXPECT_EQ(e[7].dxgiFormat, 28u);
  EXPECT_EQ(e[7].semanticText, "COLOR2");
  EXPECT_FALSE(e[7].perInstance);
  EXPECT_EQ(strides[2], 4u);
  EXPECT_EQ(strides[3], 0u);
}

TEST(InputLayoutCodes, InvalidSemanticsAndTypesAreRejected) {
  for (uint32_t bad : {0x7u, 0xCu, 0xFu, 0xC0001u /* type 12 */, 0xF0002u}) {
    uint32_t codes[] = {0x1, bad, 0};
    std::vector<InputElement> elements;
    uint32_t strides[kInputSlots];
    std::string error;
    EXPECT_FALSE(decodeInputElements(codes, elements, strides, &error)) << std::hex << bad;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(inputTypeInfo(0), nullptr);
  EXPECT_EQ(inputTypeInfo(12), nullptr);
}

TEST(InputLayoutShader, TextMatchesTheFixedForm) {
  uint32_t strides[kInputSlots];
  auto e = decode({0x30001, 0x30002, 0x20010}, strides);
  EXPECT_EQ(inputLayoutShaderText(e),
            "void main(\n"
            "  in float3  _0 : POSITION,\n"
            "  in float3  _1 : NORMAL,\n"
            "  in float2  _2 : TEXCOORD0,\n"
            "  out float4 pos:SV_POSITION\n"
            "){ pos=0; }\n");
}

TEST(InputLayoutShader, EveryTypeTextCompilesAsVertexSignature) {
  // One element of each type code, each on its own TEXCOORD, plus an instanced matrix.
  std::vector<uint32_t> codes = {0x10001, 0x20002, 0x30003, 0x40005, 0x50010, 0x60011, 0x70008, 0x80004, 0x90012,
           0xA0013, 0xB0014, 0x100118, 0x100119};
  uint32_t strides[kInputSlots];
  auto e = decode(codes, strides);
  const std::string text = inputLayoutShaderText(e);
  hlsl::CompileResult r = hlsl::compile(hlsl::Vertex, "vs_4_0", text, "main");
  EXPECT_TRUE(r.ok) << r.messages << "\n" << text;
}

}  // namespace

// What a device's formats and features allow: blending on targets that cannot blend, usages a
// format refuses, storage views without a shader format, and shader capabilities.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "gfx/vulkan/Backend.h"
#include "tests/gfx/support/GpuTestSupport.h"

namespace {

const char* kVertex = R"(
float4 VS(uint id : SV_VertexID) : SV_POSITION {
  float2 uv = float2((id << 1) & 2, id & 2);
  return float4(uv * float2(2, -2) + float2(-1, 1), 0.5, 1);
}
)";

bool hasOpcode(const std::vector<uint32_t>& spirv, uint32_t opcode) {
  for (size_t i = 5; i < spirv.size() && (spirv[i] >> 16); i += spirv[i] >> 16)
    if ((spirv[i] & 0xFFFF) == opcode) return true;
  return false;
}

}  // namespace

class FormatSupportGpuTest : public GpuTest {
 protected:
  void SetUp() override {
    GpuTest::SetUp();
    vs = shader(hlsl::Vertex, kVertex, "VS");
    ASSERT_NE(vs, nullptr);
  }

  void fullScreen(gfxbackend::Shader* ps, RenderState* state) {
    ctx()->setShader(hlsl::Vertex, vs);
    ctx()->setShader(hlsl::Pixel, ps);
    ctx()->setRenderState(state, 0);
    ctx()->setInputLayout(nullptr);
    ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx()->draw(3, 0);
  }

  void runCompute(gfxbackend::Shader* cs, Texture* uav) {
    ctx()->setShader(hlsl::Compute, cs);
    ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &uav, nullptr);
    ctx()->dispatch(1, 1, 1);
    Texture* none = nullptr;
    ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &none, nullptr);
  }

  gfxbackend::Shader* vs = nullptr;
};

TEST_F(FormatSupportGpuTest, BlendingIsIgnoredOnTargetsThatCannotBlend) {
  gfxbackend::Shader* ps = shader(hlsl::Pixel, "int4 PS(float4 p : SV_POSITION) : SV_TARGET { return int4(7, 0, 0, 1); }", "PS");
  ASSERT_NE(ps, nullptr);
  Texture* target = texture(0x40301, 4, 4, 0x10009);  // 16-bit signed integer
  bindTarget(target, 5);
  RenderStateDesc additive = RenderStateDesc::defaults();
  additive.colourBlend[0] = blendWord(D3D11_BLEND_ONE, D3D11_BLEND_ONE, D3D11_BLEND_OP_ADD);
  fullScreen(ps, device()->stateFor(additive));
  std::vector<uint8_t> pixels = readBack(target);
  int16_t value = 0;
  std::memcpy(&value, pixels.data() + 2 * (4 + 1), 2);
  EXPECT_EQ(value, 7);  // written, not added to the clear value
}

TEST_F(FormatSupportGpuTest, UsesAFormatRefusesAreLeftOutWithAMessage) {
  // sRGB BGRA has no storage use on many devices (lavapipe among them); the pooled-target
  // flags ask for it anyway.
  testing::internal::CaptureStderr();
  Texture* target = texture(0x70207, 4, 4, 0x10049);
  const std::string log = testing::internal::GetCapturedStderr();
  gfxbackend::Shader* ps = shader(hlsl::Pixel, "float4 PS(float4 p : SV_POSITION) : SV_TARGET { return float4(1, 0, 0, 1); }", "PS");
  ASSERT_NE(ps, nullptr);
  bindTarget(target, 0);
  fullScreen(ps, nullptr);
  EXPECT_EQ(rgba(readBack(target), 4, 2, 2), packRgba(0, 0, 255, 255));  // blue-green-red-alpha in memory
  if (!log.empty()) {
    EXPECT_NE(log.find("B8G8R8A8_SRGB"), std::string::npos) << log;
    EXPECT_NE(log.find("unordered-access"), std::string::npos) << log;
    // Bound as a UAV it binds nothing: the write goes nowhere and the texture keeps its red.
    gfxbackend::Shader* cs = shader(hlsl::Compute, R"(
RWTexture2D<float4> gOut : register(u0);
[numthreads(4, 4, 1)] void CS(uint3 id : SV_DispatchThreadID) { gOut[id.xy] = float4(0, 1, 0, 1); }
)",
                                    "CS");
    ASSERT_NE(cs, nullptr);
    runCompute(cs, target);
    EXPECT_EQ(rgba(readBack(target), 4, 2, 2), packRgba(0, 0, 255, 255));
  }
}

TEST_F(FormatSupportGpuTest, StorageViewsWithoutAShaderFormatAreWrittenWithoutOne) {
  Texture* picture = texture(0x10207, 4, 4, 0x10049);  // BGRA8: SPIR-V has no such image format
  gfxbackend::Shader* write = shader(hlsl::Compute, R"(
RWTexture2D<float4> gOut : register(u0);
[numthreads(4, 4, 1)] void CS(uint3 id : SV_DispatchThreadID) { gOut[id.xy] = float4(1, 0.5, 0, 1); }
)",
                                     "CS");
  ASSERT_NE(write, nullptr);
  runCompute(write, picture);
  EXPECT_EQ(rgba(readBack(picture), 4, 3, 1), packRgba(0, 128, 255, 255));

  // Reading such a view needs a feature many devices lack: then the dispatch is refused
  // with a message and the picture stays as it was.
  gfxbackend::Shader* halve = shader(hlsl::Compute, R"(
RWTexture2D<float4> gOut : register(u0);
[numthreads(4, 4, 1)] void CS(uint3 id : SV_DispatchThreadID) { gOut[id.xy] = gOut[id.xy] * 0.5; }
)",
                                     "CS");
  ASSERT_NE(halve, nullptr);
  testing::internal::CaptureStderr();
  runCompute(halve, picture);
  const std::string log = testing::internal::GetCapturedStderr();
  const uint32_t after = rgba(readBack(picture), 4, 3, 1);
  if (log.find("ReadWithoutFormat") != std::string::npos)
    EXPECT_EQ(after, packRgba(0, 128, 255, 255));
  else
    EXPECT_TRUE(nearRgba(after, packRgba(0, 64, 128, 128))) << std::hex << after << log;
}

TEST_F(FormatSupportGpuTest, DoublePrecisionRunsWhereTheDeviceHasIt) {
  const char* source = R"(
cbuffer Params : register(b0) { float gThird; };
RWStructuredBuffer<float> gOut : register(u0);
[numthreads(1, 1, 1)] void CS() { double d = gThird; gOut[0] = float(d * 3.0); }
)";
  hlsl::CompileResult compiled = hlsl::compile(hlsl::Compute, "cs_5_0", source, "CS");
  ASSERT_TRUE(compiled.ok) << compiled.messages;
  gfxbackend::Shader* cs = createShader(device(), hlsl::Compute, compiled.spirv);
  if (!missingShaderFeatures(device(), compiled.spirv).empty()) {
    EXPECT_EQ(cs, nullptr);
    return;
  }
  ASSERT_NE(cs, nullptr);
  shaders_.emplace_back(cs);
  const float third[4] = {1.0f / 3.0f, 0, 0, 0};
  Texture* cb = buffer(kBindConstantBuffer | kUsageImmutable, sizeof(third), 4, third);
  Texture* out = buffer(kBindUnorderedAccess | kUsageDefault | kStructuredBuffer, 16, 4);
  ctx()->setConstantBuffers(hlsl::Compute, 0, 1, &cb);
  runCompute(cs, out);
  float result = 0;
  std::memcpy(&result, readBack(out).data(), 4);
  EXPECT_FLOAT_EQ(result, 1.0f);
}

TEST_F(FormatSupportGpuTest, ShadersNeedingWhatTheDeviceLacksAreRefusedByName) {
  // A device without double precision refuses a program that uses it, naming the file.
  DeviceOptions options;
  options.validation = true;
  options.disabledFeatures = kFeatureFloat64;
  Device other(options);
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("zv_double_" + std::to_string(::getpid()) + ".hlsl")).string();
  std::ofstream(path) << R"(
cbuffer Params : register(b0) { float gValue; };
float4 VS(uint id : SV_VertexID) : SV_POSITION { return float4(0, 0, 0, 1); }
float4 PS(float4 p : SV_POSITION) : SV_TARGET { double d = gValue; return float4(float(d * 2.0), 0, 0, 1); }
)";
  {
    ShaderProgram program(&other);
    const EntryPoints entries = EntryPoints::vsps("VS", "PS");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(loadProgram(path.c_str(), entries, &program, true, true));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(path), std::string::npos) << log;
    EXPECT_NE(log.find("Float64 (shaderFloat64)"), std::string::npos) << log;
  }
  clearShaderCache();
  std::filesystem::remove(path);
  EXPECT_EQ(other.validationMessageCount(), 0u);
}

TEST_F(FormatSupportGpuTest, DiscardKeepsDerivativesOfItsNeighbours) {
  // Direct3D's discard leaves the pixel running as a helper; on GPUs a killed pixel leaves
  // the derivatives of the other three in its quad undefined.
  const char* source = R"(
float4 PS(float4 p : SV_POSITION) : SV_TARGET {
  float ramp = p.x * p.x;
  if (p.x < 1) discard;
  return float4(ddx_fine(ramp) / 16, 0, 0, 1);
}
)";
  hlsl::CompileResult compiled = hlsl::compile(hlsl::Pixel, "ps_5_0", source, "PS");
  ASSERT_TRUE(compiled.ok) << compiled.messages;
  EXPECT_TRUE(hasOpcode(compiled.spirv, 5380));  // OpDemoteToHelperInvocation
  EXPECT_FALSE(hasOpcode(compiled.spirv, 252));  // OpKill
  gfxbackend::Shader* ps = shader(hlsl::Pixel, source, "PS");
  ASSERT_NE(ps, nullptr);
  Texture* target = texture(0x10204, 4, 4, 0x10009);
  bindTarget(target, 0);
  fullScreen(ps, nullptr);
  std::vector<uint8_t> pixels = readBack(target);
  EXPECT_EQ(rgba(pixels, 4, 0, 0), 0u);  // discarded
  // Its quad neighbour at x = 1.5 still differentiates against it: (1.5^2 - 0.5^2) / 16.
  EXPECT_TRUE(nearRgba(rgba(pixels, 4, 1, 0), packRgba(32, 0, 0, 255)));
  EXPECT_TRUE(nearRgba(rgba(pixels, 4, 3, 0), packRgba(96, 0, 0, 255)));  // (3.5^2 - 2.5^2) / 16
}

// Views of the extended storage formats make the module declare StorageImageExtendedFormats
// (without it the module is invalid and a driver may reject the pipeline, drawing nothing);
// the device feature bit of the same name asks nothing and never refuses such a module.
TEST_F(FormatSupportGpuTest, StorageViewsOfEveryExtendedFormatAreWrittenByValidModules) {
  gfxbackend::Shader* floats = shader(hlsl::Compute, R"(
RWTexture2D<float4> gOut : register(u0);
[numthreads(2, 2, 1)] void CS(uint3 id : SV_DispatchThreadID) { gOut[id.xy] = float4(0.5, -0.5, 0.25, 1); }
)",
                                      "CS");
  gfxbackend::Shader* ints = shader(hlsl::Compute, R"(
RWTexture2D<int> gOut : register(u0);
[numthreads(2, 2, 1)] void CS(uint3 id : SV_DispatchThreadID) { gOut[id.xy] = -7; }
)",
                                    "CS");
  ASSERT_NE(floats, nullptr);
  ASSERT_NE(ints, nullptr);
  const struct {
    uint32_t code;
    std::vector<uint8_t> texel;  // what texel (1, 1) holds afterwards
  } cases[] = {
      {0x10201, {128}},                                          // R8 unorm
      {0x10301, {0x00, 0x80}},                                   // R16 unorm
      {0x50302, {0x00, 0x38, 0x00, 0xB8}},                       // RG16 float
      {0x50402, {0, 0, 0, 0x3F, 0, 0, 0, 0xBF}},                 // RG32 float
      {0x20304, {0x00, 0x40, 0x00, 0xC0, 0x00, 0x20, 0xFF, 0x7F}},  // RGBA16 snorm
      {0x40301, {0xF9, 0xFF}},                                   // R16 signed integer
  };
  for (const auto& c : cases) {
    Texture* t = texture(c.code, 2, 2, 0x10049);
    runCompute(c.code == 0x40301 ? ints : floats, t);
    std::vector<uint8_t> pixels = readBack(t);
    const size_t size = c.texel.size();
    ASSERT_EQ(pixels.size(), 4 * size) << std::hex << c.code;
    EXPECT_EQ(std::vector<uint8_t>(pixels.begin() + 3 * size, pixels.end()), c.texel) << std::hex << c.code;
  }
  EXPECT_EQ(device()->validationMessageCount(), 0u);

  gfxbackend::DeviceImpl without;  // every feature bit clear
  const std::vector<uint32_t> module = {0x07230203, 0x00010300, 0, 1, 0, 17u | (2u << 16), 49};
  EXPECT_EQ(gfxbackend::missingShaderFeatures(without, module), "");
}

// A device as constrained as some real drivers are: no null descriptors, no bounds-checked
// access, no push descriptors, few memory allocations, and no wireframe fill, depth-bias
// clamp or geometry shaders. Drawing must go on regardless, and what cannot be drawn is
// refused with a message.
#include <algorithm>
#include <cstring>

#include "tests/gfx/support/GpuTestSupport.h"

namespace {

constexpr uint32_t kAllocationLimit = 64;

const char* kVertex = R"(
float4 VS(uint id : SV_VertexID) : SV_POSITION {
  float2 uv = float2((id << 1) & 2, id & 2);
  return float4(uv * float2(2, -2) + float2(-1, 1), 0.5, 1);
}
)";

}  // namespace

class ConstrainedDeviceGpuTest : public GpuTest {
 protected:
  static void SetUpTestSuite() {
    DeviceOptions options;
    options.disabledFeatures = kFeatureNullDescriptor | kFeatureRobustAccess | kFeatureWireframe |
                               kFeatureDepthBiasClamp | kFeatureGeometryShader;
    options.pushDescriptorLimit = 0;
    options.memoryAllocationLimit = kAllocationLimit;
    options.memoryBlockSize = 1 << 20;  // small blocks: several of them, and resources of their own
    SetUpTestSuiteWith(options);
  }

  void SetUp() override {
    GpuTest::SetUp();
    vs = shader(hlsl::Vertex, kVertex, "VS");
    ASSERT_NE(vs, nullptr);
  }

  uint32_t drawWith(gfxbackend::Shader* ps, Texture* target) {
    bindTarget(target, 0.25f);
    ctx()->setShader(hlsl::Vertex, vs);
    ctx()->setShader(hlsl::Pixel, ps);
    ctx()->setRenderState(nullptr, 0);
    ctx()->setInputLayout(nullptr);
    ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx()->draw(3, 0);
    return rgba(readBack(target), target->width(), 1, 1);
  }

  gfxbackend::Shader* vs = nullptr;
};

TEST_F(ConstrainedDeviceGpuTest, ShadersWithUnboundSlotsOfEveryKindStillDraw) {
  const char* pixel = R"(
cbuffer Bound : register(b0) { float4 gBase; };
cbuffer Unbound : register(b1) { float4 gAdd; };
StructuredBuffer<float4> gRecords : register(t1);
Buffer<float4> gTyped : register(t2);
Texture2D gPicture : register(t3);
Texture2DArray gLayers : register(t4);
TextureCube gSky : register(t5);
Texture3D gVolume : register(t6);
Texture2D<uint4> gIds : register(t7);
Texture1D gRamp : register(t8);
SamplerState gSampler : register(s0);
float4 PS(float4 p : SV_POSITION) : SV_TARGET {
  float4 sum = gAdd + gRecords[3] + gTyped[2] + gPicture.Sample(gSampler, float2(0.5, 0.5)) +
               gLayers.Sample(gSampler, float3(0.5, 0.5, 0)) + gSky.Sample(gSampler, float3(0, 1, 0)) +
               gVolume.Sample(gSampler, float3(0.5, 0.5, 0.5)) + float4(gIds.Load(int3(0, 0, 0))) +
               gRamp.Sample(gSampler, 0.5);
  return gBase + sum;
}
)";
  gfxbackend::Shader* ps = shader(hlsl::Pixel, pixel, "PS");
  ASSERT_NE(ps, nullptr);
  const float base[4] = {0.5f, 0.25f, 0, 1};
  Texture* cb = buffer(kBindConstantBuffer | kUsageImmutable, sizeof(base), 4, base);
  ctx()->setConstantBuffers(hlsl::Pixel, 0, 1, &cb);
  Texture* target = texture(0x10204, 4, 4, 0x10009);
  EXPECT_TRUE(nearRgba(drawWith(ps, target), packRgba(128, 64, 0, 255)));

  // Compute: unbound UAVs of every kind take writes that nobody sees; the bound one works.
  const char* compute = R"(
RWStructuredBuffer<uint> gOut : register(u0);
RWTexture2D<float4> gImage : register(u1);
RWStructuredBuffer<uint> gScratch : register(u2);
RWBuffer<float> gTypedOut : register(u3);
AppendStructuredBuffer<uint> gList : register(u4);
StructuredBuffer<uint> gInput : register(t0);
[numthreads(1, 1, 1)] void CS() {
  gImage[uint2(0, 0)] = float4(1, 1, 1, 1);
  gScratch[5] = 9;
  gTypedOut[1] = 2;
  gList.Append(7);
  gOut[0] = 42 + gInput[1] + gScratch[100000];
}
)";
  gfxbackend::Shader* cs = shader(hlsl::Compute, compute, "CS");
  ASSERT_NE(cs, nullptr);
  Texture* out = buffer(kBindUnorderedAccess | kUsageDefault | kStructuredBuffer, 16, 4);
  ctx()->setShader(hlsl::Compute, cs);
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
  for (int i = 0; i < 2; ++i) ctx()->dispatch(1, 1, 1);  // twice: the stand-ins are ordered too
  uint32_t result = 0;
  std::memcpy(&result, readBack(out).data(), 4);
  EXPECT_EQ(result, 42u);
}

TEST_F(ConstrainedDeviceGpuTest, EveryProgramTakesItsDescriptorsFromSets) {
  gfxbackend::Shader* ps = shader(hlsl::Pixel, R"(
Texture2D gPicture : register(t0);
float4 PS(float4 p : SV_POSITION) : SV_TARGET { return gPicture.Load(int3(0, 0, 0)); }
)",
                                  "PS");
  ASSERT_NE(ps, nullptr);
  Texture* target = texture(0x10204, 4, 4, 0x10009);
  // Many draws in several frames: sets come from pools that are reset when a frame is reused.
  for (uint32_t frame = 0; frame < 4; ++frame) {
    for (uint32_t i = 0; i < 80; ++i) {
      const uint32_t texel = packRgba(i, frame, 0, 255);
      Texture* t = texture(0x10204, 1, 1, 0x10101, &texel);
      ctx()->setShaderResources(hlsl::Pixel, 0, 1, &t);
      bindTarget(target);
      ctx()->setShader(hlsl::Vertex, vs);
      ctx()->setShader(hlsl::Pixel, ps);
      ctx()->setRenderState(nullptr, 0);
      ctx()->setInputLayout(nullptr);
      ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
      ctx()->draw(3, 0);
    }
    EXPECT_EQ(rgba(readBack(target), 4, 0, 0), packRgba(79, frame, 0, 255));
    ctx()->flush(false);
  }
}

TEST_F(ConstrainedDeviceGpuTest, ResourcesShareMemoryBlocksUnderTheAllocationLimit) {
  uint32_t most = device()->memoryAllocationCount();
  auto note = [&] { most = std::max(most, device()->memoryAllocationCount()); };
  std::vector<Texture*> made;
  for (uint32_t i = 0; i < 120; ++i) {
    std::vector<uint32_t> texels(16 * 16, packRgba(i, 1, 2, 3));
    made.push_back(texture(0x10204, 16, 16, 0x10009, texels.data()));
    note();
    const uint32_t words[64] = {i, i + 1, i + 2};
    made.push_back(buffer(kBindShaderResource | kUsageImmutable | kStructuredBuffer, sizeof(words), 4, words));
    note();
    made.push_back(buffer(kBindConstantBuffer | kUsageDynamic, 256, 4));  // lives in the upload ring
    note();
    made.push_back(texture(0x10204, 8, 8, kTextureFlag | kUsageStaging));
    note();
  }
  // Resources too large for a block get memory of their own, and count.
  for (int i = 0; i < 4; ++i) {
    made.push_back(texture(0x10204, 512, 512, 0x10009));
    note();
  }
  EXPECT_LE(most, kAllocationLimit);
  EXPECT_GT(device()->counters().memoryAllocations, 4u);  // several blocks were needed
  // The data of resources placed side by side stays apart.
  for (uint32_t i : {0u, 57u, 119u}) {
    EXPECT_EQ(rgba(readBack(made[i * 4]), 16, 15, 15), packRgba(i, 1, 2, 3)) << i;
    uint32_t words[3];
    std::memcpy(words, readBack(made[i * 4 + 1]).data(), sizeof(words));
    EXPECT_EQ(words[2], i + 2) << i;
  }
  // Freed blocks go back to the driver (one empty block per kind stays for reuse).
  const uint32_t before = device()->memoryAllocationCount();
  for (Texture* t : made) {
    textures_.erase(std::find(textures_.begin(), textures_.end(), t));
    deleteTexture(t);
  }
  device()->waitIdle();
  EXPECT_LT(device()->memoryAllocationCount(), before);
}

TEST_F(ConstrainedDeviceGpuTest, StatesNeedingAMissingFeatureAreRefusedWithAMessage) {
  gfxbackend::Shader* ps =
      shader(hlsl::Pixel, "float4 PS(float4 p : SV_POSITION) : SV_TARGET { return float4(0, 1, 0, 1); }", "PS");
  ASSERT_NE(ps, nullptr);
  Texture* target = texture(0x10204, 4, 4, 0x10009);
  RenderStateDesc wire = RenderStateDesc::defaults();
  wire.flags |= kWireframe;
  RenderStateDesc clamped = RenderStateDesc::defaults();
  clamped.depthBias = 4;
  clamped.depthBiasClamp = 0.01f;
  for (RenderState* state : {device()->stateFor(wire), device()->stateFor(clamped)}) {
    bindTarget(target, 0);
    ctx()->setShader(hlsl::Vertex, vs);
    ctx()->setShader(hlsl::Pixel, ps);
    ctx()->setRenderState(state, 0);
    ctx()->setInputLayout(nullptr);
    ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    testing::internal::CaptureStderr();
    ctx()->draw(3, 0);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(state == device()->stateFor(wire) ? "fillModeNonSolid" : "depthBiasClamp"), std::string::npos)
        << log;
    EXPECT_EQ(rgba(readBack(target), 4, 1, 1), 0u);  // nothing drawn
  }
  // The same draw with a state the device can take.
  EXPECT_EQ(drawWith(ps, target), packRgba(0, 255, 0, 255));

  // A geometry shader cannot even be made.
  hlsl::CompileResult gs = hlsl::compile(hlsl::Geometry, "gs_5_0", R"(
struct V { float4 p : SV_POSITION; };
[maxvertexcount(3)] void GS(triangle V input[3], inout TriangleStream<V> output) {
  for (int i = 0; i < 3; ++i) output.Append(input[i]);
}
)",
                                         "GS");
  ASSERT_TRUE(gs.ok) << gs.messages;
  EXPECT_NE(missingShaderFeatures(device(), gs.spirv).find("Geometry (geometryShader)"), std::string::npos);
  testing::internal::CaptureStderr();
  EXPECT_EQ(createShader(device(), hlsl::Geometry, gs.spirv), nullptr);
  testing::internal::GetCapturedStderr();
}

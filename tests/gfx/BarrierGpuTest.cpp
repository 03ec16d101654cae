// Barriers as narrow as the hazards they cover: one per command however many resources it
// waits for, none where nothing conflicts; synchronisation validation (ZV_SYNC_VALIDATION=1)
// checks that none is missing.
#include <cstring>

#include "tests/gfx/support/GpuTestSupport.h"

class BarrierGpuTest : public GpuTest {
 protected:
  uint64_t barriers() const { return device()->counters().barriers; }

  void dispatch(gfxbackend::Shader* cs, Texture* const* inputs, uint32_t count, Texture* out) {
    ctx()->setShader(hlsl::Compute, cs);
    ctx()->setShaderResources(hlsl::Compute, 0, count, inputs);
    ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
    ctx()->dispatch(1, 1, 1);
  }
};

TEST_F(BarrierGpuTest, ACommandWaitsOnceForAllItsInputsAndRereadsWaitForNothing) {
  gfxbackend::Shader* fill = shader(hlsl::Compute, R"(
RWTexture2D<float4> gOut : register(u0);
[numthreads(1, 1, 1)] void CS() { gOut[uint2(0, 0)] = float4(0.25, 0.5, 0.75, 1); }
)",
                                    "CS");
  gfxbackend::Shader* sum = shader(hlsl::Compute, R"(
Texture2D gA : register(t0);
Texture2D gB : register(t1);
Texture2D gC : register(t2);
RWTexture2D<float4> gOut : register(u0);
[numthreads(1, 1, 1)] void CS() {
  gOut[uint2(0, 0)] = gA.Load(int3(0, 0, 0)) + gB.Load(int3(0, 0, 0)) + gC.Load(int3(0, 0, 0));
}
)",
                                   "CS");
  ASSERT_NE(fill, nullptr);
  ASSERT_NE(sum, nullptr);
  Texture* inputs[3] = {texture(0x50404, 1, 1), texture(0x50404, 1, 1), texture(0x50404, 1, 1)};
  Texture* out = texture(0x50404, 1, 1);
  Texture* other = texture(0x50404, 1, 1);
  for (Texture* t : inputs) dispatch(fill, nullptr, 0, t);
  Texture* none[3] = {};
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, none, nullptr);

  // Three textures written by earlier dispatches: one barrier for the three (and the output).
  const uint64_t before = barriers();
  dispatch(sum, inputs, 3, out);
  EXPECT_EQ(barriers() - before, 1u);
  // Read again into another output: the inputs are already ordered after their writes; only
  // the fresh output needs one.
  const uint64_t again = barriers();
  dispatch(sum, inputs, 3, other);
  EXPECT_EQ(barriers() - again, 1u);
  ctx()->setShaderResources(hlsl::Compute, 0, 3, none);
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, none, nullptr);

  float v[4];
  std::memcpy(v, readBack(other).data(), sizeof(v));
  EXPECT_FLOAT_EQ(v[0], 0.75f);
  EXPECT_FLOAT_EQ(v[3], 3.0f);
}

// Programs on the device: constant buffers reaching the stages of their mask, the loading
// bar, compute dispatch with buffers and views, and vertex input through input layouts.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "gfx/ConstantWriter.h"
#include "gfx/InputLayout.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "tests/gfx/support/GpuTestSupport.h"

namespace fs = std::filesystem;

namespace {

class ProgramGpuTest : public GpuTest {
 protected:
  void SetUp() override {
    GpuTest::SetUp();
    useBinaryShaders = false;
    clearShaderCache();
    dir_ = fs::temp_directory_path() / ("zv_program_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    programs_.clear();
    clearShaderCache();
    fs::remove_all(dir_);
    GpuTest::TearDown();
  }

  // Loads a program from HLSL text written to a temporary file.
  ShaderProgram* program(const std::string& source, const EntryPoints& entries) {
    const fs::path file = dir_ / ("p" + std::to_string(programs_.size()) + ".hlsl");
    std::ofstream(file) << source;
    auto p = std::make_unique<ShaderProgram>(device());
    EXPECT_TRUE(loadProgram(file.string().c_str(), entries, p.get(), false, true)) << lastCompileError();
    programs_.push_back(std::move(p));
    return programs_.back().get();
  }

  fs::path dir_;
  std::vector<std::unique_ptr<ShaderProgram>> programs_;
};

TEST_F(ProgramGpuTest, OneBufferReachesEveryStageOfItsMask) {
  ShaderProgram* p = program(R"(
cbuffer Both : register(b0) { float2 gShift; float4 gColour; };
float4 VS(uint id : SV_VertexID) : SV_POSITION {
  float2 uv = float2((id << 1) & 2, id & 2);
  return float4(uv.x * 2 - 1 + gShift.x, 1 - uv.y * 2 + gShift.y, 0, 1);
}
float4 PS() : SV_TARGET { return gColour; }
)",
                             EntryPoints::vsps("VS", "PS"));
  ASSERT_NE(p->shaders[0], nullptr);
  ASSERT_NE(p->shaders[4], nullptr);
  ConstantBuffer* cb = p->constantBuffer(0);
  ASSERT_NE(cb, nullptr);
  EXPECT_EQ(cb->stageMask, 0x11u);

  Texture* target = texture(0x10204, 8, 8, 0x10009);
  bindTarget(target);
  ASSERT_TRUE(cb->map());
  const float shift[2] = {1.0f, 0.0f};  // half the screen to the right
  const float colour[4] = {0.0f, 1.0f, 0.0f, 1.0f};
  cb->set("gShift", shift);
  cb->set("gColour", colour);
  cb->unmap();
  p->state = device()->stateFor(RenderStateDesc::zeroed());
  drawStrip(p, 3);
  unbindRenderTargets(device());

  const auto pixels = readBack(target);
  EXPECT_EQ(rgba(pixels, 8, 1, 4), 0u);
  EXPECT_EQ(rgba(pixels, 8, 6, 4), packRgba(0, 255, 0, 255));
}

TEST_F(ProgramGpuTest, LoadingBarFillsUpToItsProgress) {
  auto bar = std::make_unique<ShaderProgram>(device());
  ASSERT_TRUE(loadProgram("progressBar", EntryPoints::vsps("VS", "PS"), bar.get()));
  ConstantBuffer* cb = bar->constantBuffer(0);
  ASSERT_NE(cb, nullptr);
  ASSERT_NE(cb->find("gProgress"), nullptr);

  Texture* target = texture(0x10204, 256, 512, 0x10009);
  auto drawAt = [&](float progress) -> std::vector<uint8_t> {
    bindTarget(target);
    ConstantWriter(bar.get(), "progressBar").set("gProgress", progress);
    drawStrip(bar.get(), 4);
    unbindRenderTargets(device());
    return readBack(target);
  };

  auto pixels = drawAt(0.5f);
  const uint32_t white = packRgba(255, 255, 255, 255);
  EXPECT_EQ(rgba(pixels, 256, 60, 256), white);           // filled part
  EXPECT_NE(rgba(pixels, 256, 200, 256), white);          // the empty part of the bar
  EXPECT_NE(rgba(pixels, 256, 200, 256), 0u);
  EXPECT_EQ(rgba(pixels, 256, 10, 256), 0u);              // beside the bar
  EXPECT_EQ(rgba(pixels, 256, 128, 100), 0u);             // above it

  pixels = drawAt(1.0f);
  EXPECT_EQ(rgba(pixels, 256, 200, 256), white);
  pixels = drawAt(0.0f);
  EXPECT_NE(rgba(pixels, 256, 60, 256), white);
}

TEST_F(ProgramGpuTest, DispatchBindsBuffersViewsAndConstants) {
  ShaderProgram* p = program(R"(
cbuffer Params : register(b1) { uint gBase; };
StructuredBuffer<uint> gIn : register(t0);
RWStructuredBuffer<uint> gOut : register(u0);
[numthreads(8, 1, 1)] void CS(uint3 id : SV_DispatchThreadID) { gOut[id.x] = gBase + gIn[id.x] * 2; }
)",
                             EntryPoints::compute("CS"));
  ASSERT_NE(p->shaders[5], nullptr);
  ConstantBuffer* cb = p->constantBuffer(1);
  ASSERT_NE(cb, nullptr);
  EXPECT_EQ(cb->stageMask, 1u << 5);

  std::vector<uint32_t> input(16);
  for (uint32_t i = 0; i < 16; ++i) input[i] = i * 3;
  Texture* in = buffer(0x40201, 64, 4, input.data());
  Texture* out = buffer(0x40240, 64, 4);
  p->setResource(5, 0, in);
  p->setUav(0, out);
  ConstantWriter(p, "compute test", nullptr, 1).set("gBase", uint32_t(1000));
  dispatch(p, 2, 1);

  const auto bytes = readBack(out);
  ASSERT_EQ(bytes.size(), 64u);
  for (uint32_t i = 0; i < 16; ++i) {
    uint32_t v;
    std::memcpy(&v, bytes.data() + i * 4, 4);
    EXPECT_EQ(v, 1000 + i * 6) << i;
  }
}

TEST_F(ProgramGpuTest, InputLayoutFeedsVertexInputsBySemantic) {
  // Colour first in the buffer, position second: the layout, not the order, decides.
  const uint32_t codes[] = {0x40008 /* COLOR0 float4 */, 0x30001 /* POSITION float3 */, 0};
  std::unique_ptr<InputLayout> layout(createInputLayout(device(), codes));
  ASSERT_NE(layout, nullptr);
  ASSERT_NE(layout->layout, nullptr);
  EXPECT_EQ(layout->strides[0], 28u);
  EXPECT_EQ(layout->elements[1].offset, 16u);

  ShaderProgram* p = program(R"(
struct V { float4 pos : SV_POSITION; float4 col : COLOR0; };
V VS(float3 p : POSITION, float4 c : COLOR0) { V o; o.pos = float4(p, 1); o.col = c; return o; }
float4 PS(V v) : SV_TARGET { return v.col; }
)",
                             EntryPoints::vsps("VS", "PS"));
  const float red[4] = {1, 0, 0, 1};
  const float vertices[3][7] = {{red[0], red[1], red[2], red[3], -1, 1, 0},
                                {red[0], red[1], red[2], red[3], 3, 1, 0},
                                {red[0], red[1], red[2], red[3], -1, -3, 0}};
  Texture* vb = buffer(0x204, sizeof(vertices), 28, vertices);

  Texture* target = texture(0x10204, 4, 4, 0x10009);
  bindTarget(target);
  p->state = device()->stateFor(RenderStateDesc::zeroed());
  bindProgram(p);
  const uint32_t stride = layout->strides[0], offset = 0;
  ctx()->setInputLayout(layout->layout);
  ctx()->setVertexBuffers(0, 1, &vb, &stride, &offset);
  ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
  ctx()->draw(3, 0);
  unbindResources(p);
  unbindRenderTargets(device());
  EXPECT_EQ(rgba(readBack(target), 4, 2, 2), packRgba(255, 0, 0, 255));

  // The Device's default layouts come from the same code.
  InputLayout* mesh = device()->defaultInputLayout(1);
  ASSERT_NE(mesh, nullptr);
  EXPECT_EQ(mesh->strides[0], 44u);
}

}  // namespace

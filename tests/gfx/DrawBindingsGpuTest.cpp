// Draws that follow one another in a command buffer record only what changed since the draw
// before: these cases change one thing at a time (a constant buffer's contents, a texture,
// a vertex or index buffer offset, the program) and break the command buffer in the middle
// (a flush, a full upload ring, a dispatch), and check every draw's own pixels. They run with
// pushed descriptors and, on a device without them, with descriptor sets.
#include <cstring>

#include "tests/gfx/support/GpuTestSupport.h"

namespace {

// A quad placed and coloured by its constants; the textured variant multiplies the colour
// by texel (0, 0) of t0.
const char* kPlaced = R"(
cbuffer Quad : register(b0) { float4 gRect; float4 gColour; };
Texture2D gPicture : register(t0);
float4 VS(uint id : SV_VertexID) : SV_POSITION {
  const float2 corners[6] = {float2(0, 0), float2(1, 0), float2(0, 1), float2(1, 0), float2(1, 1), float2(0, 1)};
  return float4(lerp(gRect.xy, gRect.zw, corners[id]), 0.5, 1);
}
float4 PS(float4 p : SV_POSITION) : SV_TARGET { return gColour; }
float4 PSTextured(float4 p : SV_POSITION) : SV_TARGET { return gColour * gPicture.Load(int3(0, 0, 0)); }
)";

const char* kPositioned = R"(
float4 VS(float2 pos : POSITION) : SV_POSITION { return float4(pos, 0.5, 1); }
float4 PS(float4 p : SV_POSITION) : SV_TARGET { return float4(1, 1, 1, 1); }
)";

const char* kCounting = R"(
RWStructuredBuffer<uint> gCount : register(u0);
[numthreads(1, 1, 1)] void CS() { InterlockedAdd(gCount[0], 1); }
)";

struct Quad {
  float rect[4];
  float colour[4];
};

constexpr uint32_t kSize = 8;

// Clip-space rectangle of quadrant q (0 top-left, 1 top-right, 2 bottom-left, 3 bottom-right).
void quadrant(uint32_t q, float* rect) {
  const float x0 = (q & 1) ? 0.0f : -1.0f, y0 = (q & 2) ? -1.0f : 0.0f;
  rect[0] = x0;
  rect[1] = y0;
  rect[2] = x0 + 1.0f;
  rect[3] = y0 + 1.0f;
}

const uint32_t kRed = packRgba(255, 0, 0, 255), kGreen = packRgba(0, 255, 0, 255), kBlue = packRgba(0, 0, 255, 255),
               kWhite = packRgba(255, 255, 255, 255);

}  // namespace

class DrawBindingsGpuTest : public GpuTest {
 protected:
  void SetUp() override {
    GpuTest::SetUp();
    vs = shader(hlsl::Vertex, kPlaced, "VS");
    ps = shader(hlsl::Pixel, kPlaced, "PS");
    texturedPs = shader(hlsl::Pixel, kPlaced, "PSTextured");
    ASSERT_TRUE(vs && ps && texturedPs);
    cb = buffer(kBindConstantBuffer | kUsageDynamic, sizeof(Quad), 4);
    target = texture(0x10204, kSize, kSize, 0x10009);
    RenderStateDesc desc = RenderStateDesc::defaults();
    desc.flags &= ~uint32_t(kCullBack | kCullFront);
    state = device()->stateFor(desc);
  }

  // Writes the quad's constants: quadrant q in a colour (RGBA8, red in the lowest byte).
  void setQuad(uint32_t q, uint32_t colour) {
    MappedSubresource m;
    ASSERT_TRUE(ctx()->map(cb, 0, D3D11_MAP_WRITE_DISCARD, m));
    Quad quad{};
    quadrant(q, quad.rect);
    for (int i = 0; i < 4; ++i) quad.colour[i] = float((colour >> (8 * i)) & 255) / 255.0f;
    std::memcpy(m.data, &quad, sizeof(quad));
    ctx()->unmap(cb, 0);
  }

  void bindPlaced(gfxbackend::Shader* pixel) {
    ctx()->setShader(hlsl::Vertex, vs);
    ctx()->setShader(hlsl::Pixel, pixel);
    ctx()->setConstantBuffers(hlsl::Vertex, 0, 1, &cb);
    ctx()->setConstantBuffers(hlsl::Pixel, 0, 1, &cb);
    ctx()->setRenderState(state, 0);
    ctx()->setInputLayout(nullptr);
    ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
  }

  Texture* solid(uint32_t colour) {
    const uint32_t texels[4] = {colour, colour, colour, colour};
    return texture(0x10204, 2, 2, kTextureFlag | kUsageImmutable | kBindShaderResource, texels);
  }

  // A pixel inside quadrant q of the kSize x kSize target.
  static uint32_t pixelIn(const std::vector<uint8_t>& pixels, uint32_t q) {
    const uint32_t x = (q & 1) ? kSize * 3 / 4 : kSize / 4, y = (q & 2) ? kSize * 3 / 4 : kSize / 4;
    return rgba(pixels, kSize, x, y);
  }

  void constantsAloneChange();
  void texturesAndProgramsChange();
  void bufferOffsetsAloneChange();
  void brokenCommandBuffers();

  gfxbackend::Shader* vs = nullptr;
  gfxbackend::Shader* ps = nullptr;
  gfxbackend::Shader* texturedPs = nullptr;
  Texture* cb = nullptr;
  Texture* target = nullptr;
  RenderState* state = nullptr;
};

// Every draw the same but for the constants, which move and colour the quad: each draw must
// read its own (a descriptor left pointing at the first draw's constants draws one quadrant).
void DrawBindingsGpuTest::constantsAloneChange() {
  bindTarget(target);
  bindPlaced(ps);
  const uint32_t colours[4] = {kRed, kGreen, kBlue, kWhite};
  for (uint32_t q = 0; q < 4; ++q) {
    setQuad(q, colours[q]);
    ctx()->draw(6, 0);
  }
  const std::vector<uint8_t> pixels = readBack(target);
  for (uint32_t q = 0; q < 4; ++q) EXPECT_EQ(pixelIn(pixels, q), colours[q]) << "quadrant " << q;
}

// A texture changing alone between draws, then another program (another layout) and back.
void DrawBindingsGpuTest::texturesAndProgramsChange() {
  Texture* red = solid(kRed);
  Texture* green = solid(kGreen);
  bindTarget(target);
  bindPlaced(texturedPs);
  ctx()->setShaderResources(hlsl::Pixel, 0, 1, &red);
  setQuad(0, kWhite);
  ctx()->draw(6, 0);
  ctx()->setShaderResources(hlsl::Pixel, 0, 1, &green);
  setQuad(1, kWhite);
  ctx()->draw(6, 0);
  bindPlaced(ps);
  setQuad(2, kBlue);
  ctx()->draw(6, 0);
  bindPlaced(texturedPs);
  ctx()->setShaderResources(hlsl::Pixel, 0, 1, &red);
  setQuad(3, kWhite);
  ctx()->draw(6, 0);
  const std::vector<uint8_t> pixels = readBack(target);
  EXPECT_EQ(pixelIn(pixels, 0), kRed);
  EXPECT_EQ(pixelIn(pixels, 1), kGreen);
  EXPECT_EQ(pixelIn(pixels, 2), kBlue);
  EXPECT_EQ(pixelIn(pixels, 3), kRed);
  ctx()->setShaderResources(hlsl::Pixel, 0, 1, nullptr);
}

// One vertex buffer holding a quad per quadrant: the first two drawn through the vertex
// buffer's offset, the last two through the index buffer's offset.
void DrawBindingsGpuTest::bufferOffsetsAloneChange() {
  gfxbackend::Shader* pvs = shader(hlsl::Vertex, kPositioned, "VS");
  gfxbackend::Shader* pps = shader(hlsl::Pixel, kPositioned, "PS");
  ASSERT_TRUE(pvs && pps);
  float vertices[4][6][2];
  const float corners[6][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 0}, {1, 1}, {0, 1}};
  for (uint32_t q = 0; q < 4; ++q) {
    float rect[4];
    quadrant(q, rect);
    for (int v = 0; v < 6; ++v) {
      vertices[q][v][0] = rect[0] + corners[v][0] * (rect[2] - rect[0]);
      vertices[q][v][1] = rect[1] + corners[v][1] * (rect[3] - rect[1]);
    }
  }
  Texture* vb = buffer(kBindVertexBuffer | kUsageImmutable, sizeof(vertices), 8, vertices);
  uint16_t indices[12];
  for (uint16_t i = 0; i < 12; ++i) indices[i] = uint16_t(12 + i);
  Texture* ib = buffer(kBindIndexBuffer | kUsageImmutable, sizeof(indices), 2, indices);
  InputElementDesc element;
  element.semanticName = "POSITION";
  element.format = DXGI_FORMAT_R32G32_FLOAT;
  std::unique_ptr<gfxbackend::VertexLayout> layout(createVertexLayout(device(), &element, 1));

  bindTarget(target);
  ctx()->setShader(hlsl::Vertex, pvs);
  ctx()->setShader(hlsl::Pixel, pps);
  ctx()->setRenderState(state, 0);
  ctx()->setInputLayout(layout.get());
  ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
  const uint32_t stride = 8;
  for (uint32_t q = 0; q < 2; ++q) {
    const uint32_t offset = q * 6 * stride;
    ctx()->setVertexBuffers(0, 1, &vb, &stride, &offset);
    ctx()->draw(6, 0);
  }
  const uint32_t zero = 0;
  ctx()->setVertexBuffers(0, 1, &vb, &stride, &zero);
  for (uint32_t q = 2; q < 4; ++q) {
    ctx()->setIndexBuffer(ib, DXGI_FORMAT_R16_UINT, (q - 2) * 6 * 2);
    ctx()->drawIndexed(6, 0, 0);
  }
  const std::vector<uint8_t> pixels = readBack(target);
  for (uint32_t q = 0; q < 4; ++q) EXPECT_EQ(pixelIn(pixels, q), kWhite) << "quadrant " << q;
  ctx()->setInputLayout(nullptr);
  ctx()->setVertexBuffers(0, 1, nullptr, nullptr, nullptr);
  ctx()->setIndexBuffer(nullptr, DXGI_FORMAT_R16_UINT, 0);
}

// Draws with unchanged state after a flush, a dispatch and an upload that overflows the ring
// (each starts a new command buffer or binds compute): the next draw must bind everything
// again, or it draws without a pipeline, viewport or descriptors.
void DrawBindingsGpuTest::brokenCommandBuffers() {
  gfxbackend::Shader* cs = shader(hlsl::Compute, kCounting, "CS");
  ASSERT_NE(cs, nullptr);
  Texture* count = buffer(kBindUnorderedAccess | kUsageDefault | kStructuredBuffer, 4, 4);
  // Larger than a quarter of the ring would get a buffer of its own; a few of these fill it.
  const uint32_t bigBytes = 3u << 20;
  Texture* big = buffer(kBindVertexBuffer | kUsageDynamic, bigBytes, 16);

  bindTarget(target);
  bindPlaced(ps);
  setQuad(0, kRed);
  ctx()->draw(6, 0);

  ctx()->flush(false);
  setQuad(1, kGreen);
  ctx()->draw(6, 0);

  ctx()->setShader(hlsl::Compute, cs);
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &count, nullptr);
  ctx()->dispatch(1, 1, 1);
  setQuad(2, kBlue);
  ctx()->draw(6, 0);

  const uint64_t submits = device()->counters().submits;
  for (int i = 0; i < 8; ++i) {
    MappedSubresource m;
    ASSERT_TRUE(ctx()->map(big, 0, D3D11_MAP_WRITE_DISCARD, m));
    ctx()->unmap(big, 0);
  }
  EXPECT_GT(device()->counters().submits, submits) << "the uploads were meant to overflow the ring";
  setQuad(3, kWhite);
  ctx()->draw(6, 0);

  const std::vector<uint8_t> pixels = readBack(target);
  EXPECT_EQ(pixelIn(pixels, 0), kRed);
  EXPECT_EQ(pixelIn(pixels, 1), kGreen);
  EXPECT_EQ(pixelIn(pixels, 2), kBlue);
  EXPECT_EQ(pixelIn(pixels, 3), kWhite);
  uint32_t counted = 0;
  std::memcpy(&counted, readBack(count).data(), 4);
  EXPECT_EQ(counted, 1u);
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, nullptr, nullptr);
}

TEST_F(DrawBindingsGpuTest, ConstantsChangingAloneReachEachDraw) { constantsAloneChange(); }
TEST_F(DrawBindingsGpuTest, TexturesAndProgramsChangingBetweenDraws) { texturesAndProgramsChange(); }
TEST_F(DrawBindingsGpuTest, VertexAndIndexBufferOffsetsChangingAlone) { bufferOffsetsAloneChange(); }
TEST_F(DrawBindingsGpuTest, FlushDispatchAndFullRingBetweenDraws) { brokenCommandBuffers(); }

// The same draws with descriptor sets (no push descriptors): a set is kept while its
// descriptors are unchanged, and a new one is written when any of them changes.
class DrawBindingsWithSetsGpuTest : public DrawBindingsGpuTest {
 protected:
  static void SetUpTestSuite() {
    DeviceOptions options;
    options.pushDescriptorLimit = 0;
    SetUpTestSuiteWith(options);
  }
};

TEST_F(DrawBindingsWithSetsGpuTest, ConstantsChangingAloneReachEachDraw) { constantsAloneChange(); }
TEST_F(DrawBindingsWithSetsGpuTest, TexturesAndProgramsChangingBetweenDraws) { texturesAndProgramsChange(); }
TEST_F(DrawBindingsWithSetsGpuTest, FlushDispatchAndFullRingBetweenDraws) { brokenCommandBuffers(); }

// A draw with the same program, state, targets and bound resources as the draw before it
// reuses that draw's pipeline and descriptors. These cases keep everything equal but one
// thing, the way scene code draws (binding the same textures again for every draw and
// unbinding them after it), and check each draw's own pixels: a texture swapped, a texture
// rewritten by a copy or by a dispatch while it stays bound, constants mapped again and
// left behind by a full upload ring, the targets switched, and a bound texture becoming the
// target. They run with pushed descriptors and, on a device without them, with descriptor
// sets; validation messages (a barrier or layout left out) fail them too.
#include <cstring>
#include <memory>
#include <vector>

#include "gfx/Formats.h"
#include "tests/gfx/support/GpuTestSupport.h"

namespace {

// A quad placed by its constants, coloured by them times texel (0, 0) of t0.
const char* kTexturedQuad = R"(
cbuffer Quad : register(b0) { float4 gRect; float4 gColour; };
Texture2D gPicture : register(t0);
float4 VS(uint id : SV_VertexID) : SV_POSITION {
  const float2 corners[6] = {float2(0, 0), float2(1, 0), float2(0, 1), float2(1, 0), float2(1, 1), float2(0, 1)};
  return float4(lerp(gRect.xy, gRect.zw, corners[id]), 0.5, 1);
}
float4 PS(float4 p : SV_POSITION) : SV_TARGET { return gColour * gPicture.Load(int3(0, 0, 0)); }
)";

const char* kPositioned = R"(
float4 VS(float2 pos : POSITION) : SV_POSITION { return float4(pos, 0.5, 1); }
float4 PS(float4 p : SV_POSITION) : SV_TARGET { return float4(1, 1, 1, 1); }
)";

const char* kFillGreen = R"(
RWTexture2D<float4> gOut : register(u0);
[numthreads(2, 2, 1)] void CS(uint3 id : SV_DispatchThreadID) { gOut[id.xy] = float4(0, 1, 0, 1); }
)";

struct Quad {
  float rect[4];
  float colour[4];
};

constexpr uint32_t kSize = 8;

const uint32_t kRed = packRgba(255, 0, 0, 255), kGreen = packRgba(0, 255, 0, 255), kBlue = packRgba(0, 0, 255, 255),
               kWhite = packRgba(255, 255, 255, 255), kNothing = 0;

}  // namespace

class RepeatedDrawGpuTest : public GpuTest {
 protected:
  void SetUp() override {
    GpuTest::SetUp();
    vs = shader(hlsl::Vertex, kTexturedQuad, "VS");
    ps = shader(hlsl::Pixel, kTexturedQuad, "PS");
    ASSERT_TRUE(vs && ps);
    cb = buffer(kBindConstantBuffer | kUsageDynamic, sizeof(Quad), 4);
    target = texture(format::RGBA8, kSize, kSize, kTextureFlag | kBindRenderTarget | kBindShaderResource);
    RenderStateDesc desc = RenderStateDesc::defaults();
    desc.flags &= ~uint32_t(kCullBack | kCullFront);
    state = device()->stateFor(desc);
  }

  void TearDown() override {
    ctx()->setShaderResources(hlsl::Pixel, 0, 1, nullptr);
    GpuTest::TearDown();
  }

  // Writes the quad's constants: quadrant q (0 top-left, 1 top-right, 2 bottom-left,
  // 3 bottom-right) in a colour (RGBA8, red in the lowest byte).
  void setQuad(uint32_t q, uint32_t colour) {
    MappedSubresource m;
    ASSERT_TRUE(ctx()->map(cb, 0, D3D11_MAP_WRITE_DISCARD, m));
    const float x0 = (q & 1) ? 0.0f : -1.0f, y0 = (q & 2) ? -1.0f : 0.0f;
    Quad quad{{x0, y0, x0 + 1.0f, y0 + 1.0f}, {}};
    for (int i = 0; i < 4; ++i) quad.colour[i] = float((colour >> (8 * i)) & 255) / 255.0f;
    std::memcpy(m.data, &quad, sizeof(quad));
    ctx()->unmap(cb, 0);
  }

  // One draw of quadrant q reading `picture`, bound for this draw alone as scene code does.
  void drawQuad(uint32_t q, uint32_t colour, Texture* picture) {
    ctx()->setShader(hlsl::Vertex, vs);
    ctx()->setShader(hlsl::Pixel, ps);
    ctx()->setConstantBuffers(hlsl::Vertex, 0, 1, &cb);
    ctx()->setConstantBuffers(hlsl::Pixel, 0, 1, &cb);
    ctx()->setRenderState(state, 0);
    ctx()->setInputLayout(nullptr);
    ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx()->setShaderResources(hlsl::Pixel, 0, 1, &picture);
    setQuad(q, colour);
    ctx()->draw(6, 0);
    ctx()->setShaderResources(hlsl::Pixel, 0, 1, nullptr);
  }

  Texture* solid(uint32_t colour, uint32_t flags = kTextureFlag | kUsageImmutable | kBindShaderResource) {
    const uint32_t texels[4] = {colour, colour, colour, colour};
    return texture(format::RGBA8, 2, 2, flags, texels);
  }

  // A pixel inside quadrant q of a kSize x kSize RGBA8 read-back.
  static uint32_t pixelIn(const std::vector<uint8_t>& pixels, uint32_t q) {
    const uint32_t x = (q & 1) ? kSize * 3 / 4 : kSize / 4, y = (q & 2) ? kSize * 3 / 4 : kSize / 4;
    return rgba(pixels, kSize, x, y);
  }

  void texturesSwapped();
  void textureRewritten();
  void constantsOutliveTheRing();
  void targetsSwitched();
  void vertexBufferRewritten();
  void boundTextureBecomesTarget();

  gfxbackend::Shader* vs = nullptr;
  gfxbackend::Shader* ps = nullptr;
  Texture* cb = nullptr;
  Texture* target = nullptr;
  RenderState* state = nullptr;
};

// Textures alternating between otherwise identical draws, and the same texture twice.
void RepeatedDrawGpuTest::texturesSwapped() {
  Texture* red = solid(kRed);
  Texture* green = solid(kGreen);
  bindTarget(target);
  Texture* const pictures[4] = {red, green, green, red};
  for (uint32_t q = 0; q < 4; ++q) drawQuad(q, kWhite, pictures[q]);
  const std::vector<uint8_t> pixels = readBack(target);
  for (uint32_t q = 0; q < 4; ++q)
    EXPECT_EQ(pixelIn(pixels, q), q == 0 || q == 3 ? kRed : kGreen) << "quadrant " << q;
}

// A texture that stays bound while a copy, an update and a dispatch rewrite it between
// draws: each draw reads what the texture holds by then, after the barrier it needs.
void RepeatedDrawGpuTest::textureRewritten() {
  gfxbackend::Shader* cs = shader(hlsl::Compute, kFillGreen, "CS");
  ASSERT_NE(cs, nullptr);
  Texture* picture = solid(kRed, kTextureFlag | kUsageDefault | kBindShaderResource | kBindUnorderedAccess);
  Texture* blue = solid(kBlue);
  bindTarget(target);
  drawQuad(0, kWhite, picture);
  ctx()->copyResource(picture, blue);
  drawQuad(1, kWhite, picture);
  ctx()->setShader(hlsl::Compute, cs);
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &picture, nullptr);
  ctx()->dispatch(1, 1, 1);
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, nullptr, nullptr);
  drawQuad(2, kWhite, picture);
  const uint32_t white[4] = {kWhite, kWhite, kWhite, kWhite};
  ctx()->updateSubresource(picture, 0, white, 8, 0);
  drawQuad(3, kRed, picture);
  const std::vector<uint8_t> pixels = readBack(target);
  EXPECT_EQ(pixelIn(pixels, 0), kRed);
  EXPECT_EQ(pixelIn(pixels, 1), kBlue) << "after a copy";
  EXPECT_EQ(pixelIn(pixels, 2), kGreen) << "after a dispatch";
  EXPECT_EQ(pixelIn(pixels, 3), kRed) << "after an update";
}

// Constants written, then the upload ring filled by other uploads until the ring that held
// them has been started again and overwritten, then the draw: it must read the constants
// from the ring of its own command buffer.
void RepeatedDrawGpuTest::constantsOutliveTheRing() {
  Texture* white = solid(kWhite);
  // Larger than a quarter of the ring would get a buffer of its own; a few of these fill it.
  const uint32_t bigBytes = 3u << 20;
  Texture* big = buffer(kBindVertexBuffer | kUsageDefault, bigBytes, 16);
  const std::vector<uint8_t> junk(bigBytes, 0x55);
  bindTarget(target);
  drawQuad(0, kRed, white);
  // Not white: the uploads' bytes read as huge floats, which the target clamps to white.
  const uint32_t colours[3] = {kGreen, kBlue, kRed};
  for (uint32_t q = 1; q < 4; ++q) {
    // drawQuad's steps, with the ring filled between the constants and the draw.
    ctx()->setShaderResources(hlsl::Pixel, 0, 1, &white);
    setQuad(q, colours[q - 1]);
    // Three submits: the constants' ring is finished, started again and filled past them.
    const uint64_t submits = device()->counters().submits;
    // Each update records its copy, so that a full ring has work to submit.
    for (int i = 0; i < 40 && device()->counters().submits < submits + 3; ++i)
      ctx()->updateSubresource(big, 0, junk.data(), 0, 0);
    ASSERT_GE(device()->counters().submits, submits + 3) << "the uploads were meant to overflow the ring";
    ctx()->draw(6, 0);
    ctx()->setShaderResources(hlsl::Pixel, 0, 1, nullptr);
  }
  const std::vector<uint8_t> pixels = readBack(target);
  EXPECT_EQ(pixelIn(pixels, 0), kRed);
  for (uint32_t q = 1; q < 4; ++q) EXPECT_EQ(pixelIn(pixels, q), colours[q - 1]) << "quadrant " << q;
}

// The same draw into another target of the same format, into one of another format (a
// pipeline of its own), and back into the first.
void RepeatedDrawGpuTest::targetsSwitched() {
  Texture* white = solid(kWhite);
  Texture* other = texture(format::RGBA8, kSize, kSize, kTextureFlag | kBindRenderTarget | kBindShaderResource);
  Texture* wide = texture(format::RGBA16F, kSize, kSize, kTextureFlag | kBindRenderTarget | kBindShaderResource);
  bindTarget(target);
  drawQuad(0, kRed, white);
  bindTarget(other);
  drawQuad(1, kGreen, white);
  bindTarget(wide);
  drawQuad(2, kBlue, white);
  RenderPass back;  // the first target again, not cleared
  back.colourTargets[0] = target;
  back.rect[2] = back.rect[3] = int32_t(kSize);
  back.width = back.height = kSize;
  bindRenderPass(device(), back);
  drawQuad(3, kWhite, white);

  const std::vector<uint8_t> first = readBack(target), second = readBack(other), third = readBack(wide);
  EXPECT_EQ(pixelIn(first, 0), kRed);
  EXPECT_EQ(pixelIn(first, 1), kNothing);
  EXPECT_EQ(pixelIn(first, 2), kNothing);
  EXPECT_EQ(pixelIn(first, 3), kWhite);
  EXPECT_EQ(pixelIn(second, 1), kGreen);
  EXPECT_EQ(pixelIn(second, 0), kNothing);
  EXPECT_EQ(pixelIn(second, 3), kNothing);
  // Half floats: blue is (0, 0, 1, 1) in the bottom-left quadrant, nothing elsewhere.
  ASSERT_EQ(third.size(), size_t(kSize) * kSize * 8);
  auto half = [&](uint32_t x, uint32_t y, int channel) {
    uint16_t h = 0;
    std::memcpy(&h, third.data() + (size_t(y) * kSize + x) * 8 + size_t(channel) * 2, 2);
    return h;
  };
  const uint16_t blue[4] = {0, 0, 0x3C00, 0x3C00};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(half(kSize / 4, kSize * 3 / 4, i), blue[i]) << "channel " << i;
    EXPECT_EQ(half(kSize * 3 / 4, kSize / 4, i), 0) << "channel " << i;
  }
}

// A texture read by one draw, then made the target of the next with nothing else changed:
// bound for writing, it reads as unbound (zeros), as Direct3D unbinds it.
void RepeatedDrawGpuTest::boundTextureBecomesTarget() {
  Texture* picture = texture(format::RGBA8, kSize, kSize, kTextureFlag | kBindRenderTarget | kBindShaderResource);
  bindTarget(picture, 1.0f);
  bindTarget(target);
  drawQuad(0, kWhite, picture);
  RenderPass onto;  // the picture itself, keeping its white
  onto.colourTargets[0] = picture;
  onto.rect[2] = onto.rect[3] = int32_t(kSize);
  onto.width = onto.height = kSize;
  bindRenderPass(device(), onto);
  drawQuad(1, kWhite, picture);
  const std::vector<uint8_t> read = readBack(target), written = readBack(picture);
  EXPECT_EQ(pixelIn(read, 0), kWhite);
  EXPECT_EQ(pixelIn(written, 1), kNothing) << "the target read itself";
  EXPECT_EQ(pixelIn(written, 0), kWhite);
}

// A vertex buffer rewritten by an update between two otherwise identical draws: the second
// draw's vertices must be the new ones (the update's copy ordered before the vertex reads).
void RepeatedDrawGpuTest::vertexBufferRewritten() {
  gfxbackend::Shader* pvs = shader(hlsl::Vertex, kPositioned, "VS");
  gfxbackend::Shader* pps = shader(hlsl::Pixel, kPositioned, "PS");
  ASSERT_TRUE(pvs && pps);
  // Quadrant q's two triangles.
  auto quadVertices = [](uint32_t q, float (&v)[6][2]) {
    const float x0 = (q & 1) ? 0.0f : -1.0f, y0 = (q & 2) ? -1.0f : 0.0f;
    const float corners[6][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 0}, {1, 1}, {0, 1}};
    for (int i = 0; i < 6; ++i) v[i][0] = x0 + corners[i][0], v[i][1] = y0 + corners[i][1];
  };
  float vertices[6][2];
  quadVertices(0, vertices);
  Texture* vb = buffer(kBindVertexBuffer | kUsageDefault, sizeof(vertices), 8, vertices);
  InputElementDesc element;
  element.semanticName = "POSITION";
  element.format = DXGI_FORMAT_R32G32_FLOAT;
  std::unique_ptr<gfxbackend::VertexLayout> layout(createVertexLayout(device(), &element, 1));
  bindTarget(target);
  const uint32_t stride = 8, offset = 0;
  for (uint32_t q : {0u, 3u}) {
    if (q) {
      quadVertices(q, vertices);
      ctx()->updateSubresource(vb, 0, vertices, 0, 0);
    }
    ctx()->setShader(hlsl::Vertex, pvs);
    ctx()->setShader(hlsl::Pixel, pps);
    ctx()->setRenderState(state, 0);
    ctx()->setInputLayout(layout.get());
    ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx()->setVertexBuffers(0, 1, &vb, &stride, &offset);
    ctx()->draw(6, 0);
  }
  ctx()->setInputLayout(nullptr);
  ctx()->setVertexBuffers(0, 1, nullptr, nullptr, nullptr);
  const std::vector<uint8_t> pixels = readBack(target);
  EXPECT_EQ(pixelIn(pixels, 0), kWhite);
  EXPECT_EQ(pixelIn(pixels, 3), kWhite) << "the second draw read the old vertices";
  EXPECT_EQ(pixelIn(pixels, 1), kNothing);
}

TEST_F(RepeatedDrawGpuTest, TexturesSwappedBetweenDrawsReachEachDraw) { texturesSwapped(); }
TEST_F(RepeatedDrawGpuTest, TextureRewrittenWhileBoundReadsItsNewContents) { textureRewritten(); }
TEST_F(RepeatedDrawGpuTest, ConstantsLeftBehindByAFullRingAreUploadedAgain) { constantsOutliveTheRing(); }
TEST_F(RepeatedDrawGpuTest, TargetsSwitchedBetweenDraws) { targetsSwitched(); }
TEST_F(RepeatedDrawGpuTest, VertexBufferRewrittenBetweenDraws) { vertexBufferRewritten(); }
TEST_F(RepeatedDrawGpuTest, BoundTextureBecomingTheTargetReadsAsUnbound) { boundTextureBecomesTarget(); }

class RepeatedDrawWithSetsGpuTest : public RepeatedDrawGpuTest {
 protected:
  static void SetUpTestSuite() {
    DeviceOptions options;
    options.pushDescriptorLimit = 0;
    SetUpTestSuiteWith(options);
  }
};

TEST_F(RepeatedDrawWithSetsGpuTest, TexturesSwappedBetweenDrawsReachEachDraw) { texturesSwapped(); }
TEST_F(RepeatedDrawWithSetsGpuTest, TextureRewrittenWhileBoundReadsItsNewContents) { textureRewritten(); }
TEST_F(RepeatedDrawWithSetsGpuTest, ConstantsLeftBehindByAFullRingAreUploadedAgain) { constantsOutliveTheRing(); }
TEST_F(RepeatedDrawWithSetsGpuTest, TargetsSwitchedBetweenDraws) { targetsSwitched(); }

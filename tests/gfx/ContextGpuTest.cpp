// Drawing and computing through the immediate context: input layouts, depth, blending,
// constant buffers, compute with structured buffers and typed UAVs, append/consume, caches,
// and no object creation once a frame has been drawn.
#include <cstring>
#include <optional>

#include "gfx/SketchDraws.h"
#include "tests/gfx/support/GpuTestSupport.h"

namespace {

const char* kFullScreen = R"(
cbuffer Params : register(b0) { float4 gColour; float gDepth; };
float4 VS(uint id : SV_VertexID) : SV_POSITION {
  float2 uv = float2((id << 1) & 2, id & 2);
  return float4(uv * float2(2, -2) + float2(-1, 1), gDepth, 1);
}
float4 PS(float4 pos : SV_POSITION) : SV_TARGET { return gColour; }
)";

const char* kColoured = R"(
struct VIn { float3 pos : POSITION; float4 colour : COLOR0; };
struct VOut { float4 pos : SV_POSITION; float4 colour : COLOR0; };
VOut VS(VIn v) { VOut o; o.pos = float4(v.pos, 1); o.colour = v.colour; return o; }
float4 PS(VOut v) : SV_TARGET { return v.colour; }
)";

struct Params {
  float colour[4];
  float depth;
  float pad[3];
};

}  // namespace

class ContextGpuTest : public GpuTest {
 protected:
  void SetUp() override {
    GpuTest::SetUp();
    vs = shader(hlsl::Vertex, kFullScreen, "VS");
    ps = shader(hlsl::Pixel, kFullScreen, "PS");
    ASSERT_TRUE(vs && ps);
    cb = buffer(kBindConstantBuffer | kUsageDynamic, sizeof(Params), 4);
  }

  void setParams(float r, float g, float b, float a, float depth) {
    MappedSubresource m;
    ASSERT_TRUE(ctx()->map(cb, 0, D3D11_MAP_WRITE_DISCARD, m));
    Params p{{r, g, b, a}, depth, {}};
    std::memcpy(m.data, &p, sizeof(p));
    ctx()->unmap(cb, 0);
  }

  // One full-screen triangle with the fixture's program.
  void fullScreen(RenderState* state) {
    bindFullScreen(state);
    ctx()->draw(3, 0);
  }
  void bindFullScreen(RenderState* state) {
    ctx()->setShader(hlsl::Vertex, vs);
    ctx()->setShader(hlsl::Pixel, ps);
    ctx()->setConstantBuffers(hlsl::Vertex, 0, 1, &cb);
    ctx()->setConstantBuffers(hlsl::Pixel, 0, 1, &cb);
    ctx()->setRenderState(state, state ? state->desc.stencilRef : 0);
    ctx()->setInputLayout(nullptr);
    ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
  }

  gfxbackend::Shader* vs = nullptr;
  gfxbackend::Shader* ps = nullptr;
  Texture* cb = nullptr;
};

TEST_F(ContextGpuTest, DrawsWithAnInputLayoutAndDirect3DOrientation) {
  gfxbackend::Shader* cvs = shader(hlsl::Vertex, kColoured, "VS");
  gfxbackend::Shader* cps = shader(hlsl::Pixel, kColoured, "PS");
  ASSERT_TRUE(cvs && cps);
  // Colour before position in the buffer: the layout, not the declaration order, decides.
  struct Vertex {
    float colour[4];
    float pos[3];
  };
  // A clockwise triangle covering the top-left corner (y up in clip space).
  Vertex v[3] = {{{1, 0, 0, 1}, {-1, 1, 0.5f}}, {{1, 0, 0, 1}, {1, 1, 0.5f}}, {{1, 0, 0, 1}, {-1, -1, 0.5f}}};
  Texture* vb = buffer(kBindVertexBuffer | kUsageImmutable, sizeof(v), sizeof(Vertex), v);
  InputElementDesc elements[2];
  elements[0].semanticName = "COLOR";
  elements[0].format = DXGI_FORMAT_R32G32B32A32_FLOAT;
  elements[0].alignedByteOffset = 0;
  elements[1].semanticName = "POSITION";
  elements[1].format = DXGI_FORMAT_R32G32B32_FLOAT;
  elements[1].alignedByteOffset = 16;
  std::unique_ptr<gfxbackend::VertexLayout> layout(createVertexLayout(device(), elements, 2));

  Texture* target = texture(0x10204, 8, 8, 0x10009);
  bindTarget(target);
  RenderStateDesc desc = RenderStateDesc::defaults();
  ctx()->setRenderState(device()->stateFor(desc), 0);
  ctx()->setShader(hlsl::Vertex, cvs);
  ctx()->setShader(hlsl::Pixel, cps);
  ctx()->setInputLayout(layout.get());
  uint32_t stride = sizeof(Vertex), offset = 0;
  ctx()->setVertexBuffers(0, 1, &vb, &stride, &offset);
  ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
  ctx()->draw(3, 0);
  std::vector<uint8_t> pixels = readBack(target);
  EXPECT_EQ(rgba(pixels, 8, 0, 0), packRgba(255, 0, 0, 255));  // top-left
  EXPECT_EQ(rgba(pixels, 8, 7, 7), 0u);                         // bottom-right stays clear

  // The same triangle wound the other way is culled by the default (cull back) state.
  Vertex ccw[3] = {v[0], v[2], v[1]};
  Texture* vb2 = buffer(kBindVertexBuffer | kUsageImmutable, sizeof(ccw), sizeof(Vertex), ccw);
  bindTarget(target);
  ctx()->setVertexBuffers(0, 1, &vb2, &stride, &offset);
  ctx()->draw(3, 0);
  pixels = readBack(target);
  EXPECT_EQ(rgba(pixels, 8, 0, 0), 0u);

  // Indexed, from a 16-bit index buffer.
  uint16_t indices[3] = {0, 1, 2};
  Texture* ib = buffer(kBindIndexBuffer | kUsageImmutable, sizeof(indices), 2, indices);
  ctx()->setVertexBuffers(0, 1, &vb, &stride, &offset);
  ctx()->setIndexBuffer(ib, DXGI_FORMAT_R16_UINT, 0);
  ctx()->drawIndexed(3, 0, 0);
  pixels = readBack(target);
  EXPECT_EQ(rgba(pixels, 8, 1, 1), packRgba(255, 0, 0, 255));
}

TEST_F(ContextGpuTest, DepthTestKeepsTheNearerSurface) {
  Texture* target = texture(0x10204, 4, 4, 0x10009);
  Texture* depth = texture(0x10506, 4, 4, 0x10211);
  RenderPass pass;
  pass.colourTargets[0] = target;
  pass.depthTarget = depth;
  pass.clearFlags = kClearColour | kClearDepth;
  pass.rect[2] = pass.rect[3] = 4;
  pass.depthClear = 1.0f;
  bindRenderPass(device(), pass);
  RenderState* state = device()->stateFor(RenderStateDesc::defaults());
  setParams(0, 1, 0, 1, 0.3f);  // near, green
  fullScreen(state);
  setParams(1, 0, 0, 1, 0.6f);  // farther, red: rejected
  fullScreen(state);
  std::vector<uint8_t> pixels = readBack(target);
  EXPECT_EQ(rgba(pixels, 4, 2, 2), packRgba(0, 255, 0, 255));

  // Without the depth test the later draw wins.
  RenderStateDesc noDepth = RenderStateDesc::defaults();
  noDepth.flags = kCullBack;
  fullScreen(device()->stateFor(noDepth));
  pixels = readBack(target);
  EXPECT_EQ(rgba(pixels, 4, 2, 2), packRgba(255, 0, 0, 255));

  // The same depth target in a 32-bit float format.
  Texture* depth32 = texture(0x50405, 4, 4, 0x10211);
  pass.depthTarget = depth32;
  bindRenderPass(device(), pass);
  setParams(0, 0, 1, 1, 0.2f);
  fullScreen(state);
  setParams(1, 1, 1, 1, 0.9f);
  fullScreen(state);
  pixels = readBack(target);
  EXPECT_EQ(rgba(pixels, 4, 0, 0), packRgba(0, 0, 255, 255));

  // Depth-only rendering, as shadow maps do: no colour target and no pixel shader.
  Texture* shadow = texture(0x50405, 4, 4, 0x10211);
  RenderPass depthOnly;
  depthOnly.depthTarget = shadow;
  depthOnly.clearFlags = kClearDepth;
  depthOnly.rect[2] = depthOnly.rect[3] = 4;
  bindRenderPass(device(), depthOnly);
  setParams(0, 0, 0, 0, 0.7f);
  ctx()->setShader(hlsl::Vertex, vs);
  ctx()->setShader(hlsl::Pixel, nullptr);
  ctx()->setConstantBuffers(hlsl::Vertex, 0, 1, &cb);
  ctx()->setRenderState(state, 0);
  ctx()->draw(3, 0);

  // Both depth formats are readable by shaders afterwards (the depth written above).
  const char* readDepth = R"(
Texture2D<float> gDepth : register(t0);
float4 VS(uint id : SV_VertexID) : SV_POSITION {
  float2 uv = float2((id << 1) & 2, id & 2);
  return float4(uv * float2(2, -2) + float2(-1, 1), 0.5, 1);
}
float4 PS(float4 pos : SV_POSITION) : SV_TARGET { return gDepth.Load(int3(pos.xy, 0)).xxxx; }
)";
  gfxbackend::Shader* dvs = shader(hlsl::Vertex, readDepth, "VS");
  gfxbackend::Shader* dps = shader(hlsl::Pixel, readDepth, "PS");
  ASSERT_TRUE(dvs && dps);
  Texture* values = texture(0x50401, 4, 4, 0x10009);
  const std::pair<Texture*, float> written[] = {{depth, 0.3f}, {depth32, 0.2f}, {shadow, 0.7f}};
  for (auto [d, expected] : written) {
    bindTarget(values);
    ctx()->setRenderState(device()->stateFor(RenderStateDesc::zeroed()), 0);
    ctx()->setShader(hlsl::Vertex, dvs);
    ctx()->setShader(hlsl::Pixel, dps);
    ctx()->setShaderResources(hlsl::Pixel, 0, 1, &d);
    ctx()->draw(3, 0);
    std::vector<uint8_t> floats = readBack(values);
    float v = 0;
    std::memcpy(&v, floats.data() + (1 * 4 + 1) * 4, 4);
    EXPECT_NEAR(v, expected, 1e-3f) << (d == depth ? "24-bit depth" : d == depth32 ? "32-bit depth" : "depth only");
  }
  ctx()->setShaderResources(hlsl::Pixel, 0, 1, nullptr);
}

TEST_F(ContextGpuTest, StencilAndScissorRestrictWhereLaterDrawsLand) {
  Texture* target = texture(0x10204, 8, 4, 0x10009);
  Texture* depth = texture(0x10506, 8, 4, 0x10211);
  RenderPass pass;
  pass.colourTargets[0] = target;
  pass.depthTarget = depth;
  pass.clearFlags = kClearColour | kClearDepth;
  pass.rect[0] = 0;
  pass.rect[1] = 0;
  pass.rect[2] = 4;  // scissor: the left half only
  pass.rect[3] = 4;
  bindRenderPass(device(), pass);
  // Mark the left half in the stencil buffer (scissored), drawing no colour.
  RenderStateDesc mark = RenderStateDesc::zeroed();
  mark.flags = kStencil | kScissor;
  mark.stencilReadMask = mark.stencilWriteMask = 0xFF;
  mark.stencilRef = 1;
  mark.disabledChannels[0] = 15;
  for (uint8_t* face : {mark.frontFace, mark.backFace}) {
    face[0] = D3D11_STENCIL_OP_KEEP;
    face[1] = D3D11_STENCIL_OP_KEEP;
    face[2] = D3D11_STENCIL_OP_REPLACE;
    face[3] = D3D11_COMPARISON_ALWAYS;
  }
  // The viewport covers everything: only the scissor keeps the right half out.
  D3DViewport whole{0, 0, 8, 4, 0, 1};
  ctx()->setViewports(1, &whole);
  setParams(1, 1, 1, 1, 0.5f);
  fullScreen(device()->stateFor(mark));
  // Over the whole target (no scissor flag), only where the stencil equals 1.
  RenderStateDesc test = mark;
  test.flags = kStencil;
  test.disabledChannels[0] = 0;
  for (uint8_t* face : {test.frontFace, test.backFace}) {
    face[2] = D3D11_STENCIL_OP_KEEP;
    face[3] = D3D11_COMPARISON_EQUAL;
  }
  setParams(0, 0, 1, 1, 0.5f);
  fullScreen(device()->stateFor(test));
  std::vector<uint8_t> pixels = readBack(target);
  EXPECT_EQ(rgba(pixels, 8, 0, 0), packRgba(0, 0, 255, 255));
  EXPECT_EQ(rgba(pixels, 8, 1, 3), packRgba(0, 0, 255, 255));
  EXPECT_EQ(rgba(pixels, 8, 6, 0), 0u);
  EXPECT_EQ(rgba(pixels, 8, 7, 3), 0u);
}

TEST_F(ContextGpuTest, BlendWordsFollowTheFillInRules) {
  Texture* target = texture(0x10204, 2, 2, 0x10009);
  auto drawOver = [&](const RenderStateDesc& desc) {
    bindTarget(target, 0.5f);  // destination (0.5, 0.5, 0.5, 0.5)
    setParams(0.25f, 0.25f, 0.25f, 0.25f, 0.5f);
    fullScreen(device()->stateFor(desc));
    return rgba(readBack(target), 2, 0, 0);
  };
  RenderStateDesc desc = RenderStateDesc::zeroed();
  desc.flags = 0;
  desc.depthFunc = D3D11_COMPARISON_ALWAYS;
  // Both words 0: no blending, the source replaces.
  EXPECT_PRED2(nearRgba, drawOver(desc), packRgba(64, 64, 64, 64));
  // Colour only (one, one, add): alpha becomes (one, one, add) too.
  desc.colourBlend[0] = blendWord(D3D11_BLEND_ONE, D3D11_BLEND_ONE, D3D11_BLEND_OP_ADD);
  EXPECT_PRED2(nearRgba, drawOver(desc), packRgba(191, 191, 191, 191));
  // Alpha only (zero, one, add): colour becomes (one, zero, add), i.e. the source colour.
  desc.colourBlend[0] = 0;
  desc.alphaBlend[0] = blendWord(D3D11_BLEND_ZERO, D3D11_BLEND_ONE, D3D11_BLEND_OP_ADD);
  EXPECT_PRED2(nearRgba, drawOver(desc), packRgba(64, 64, 64, 128));
  // Both words: colour subtracts (dest - src), alpha takes the minimum.
  desc.colourBlend[0] = blendWord(D3D11_BLEND_ONE, D3D11_BLEND_ONE, D3D11_BLEND_OP_REV_SUBTRACT);
  desc.alphaBlend[0] = blendWord(D3D11_BLEND_ONE, D3D11_BLEND_ONE, D3D11_BLEND_OP_MIN);
  EXPECT_PRED2(nearRgba, drawOver(desc), packRgba(64, 64, 64, 64));
  // Disabled channels: green and alpha untouched.
  desc.colourBlend[0] = desc.alphaBlend[0] = 0;
  desc.disabledChannels[0] = 2 | 8;
  EXPECT_PRED2(nearRgba, drawOver(desc), packRgba(64, 128, 64, 128));
}

TEST_F(ContextGpuTest, ComputeReadsStructuredBuffersAndWritesTypedAndStructuredUavs) {
  const char* source = R"(
StructuredBuffer<float4> gInput : register(t0);
RWTexture2D<float4> gImage : register(u0);
RWStructuredBuffer<uint> gSums : register(u1);
[numthreads(4, 4, 1)]
void CS(uint3 id : SV_DispatchThreadID) {
  gImage[id.xy] = gInput[id.y * 4 + id.x];
  uint ignored;
  InterlockedAdd(gSums[0], id.x + id.y, ignored);
}
)";
  gfxbackend::Shader* cs = shader(hlsl::Compute, source, "CS");
  ASSERT_NE(cs, nullptr);
  float input[16][4];
  for (int i = 0; i < 16; ++i) {
    input[i][0] = float(i) / 15.0f;
    input[i][1] = 1.0f;
    input[i][2] = 0.0f;
    input[i][3] = 1.0f;
  }
  Texture* in = buffer(kBindShaderResource | kUsageImmutable | kStructuredBuffer, sizeof(input), 16, input);
  Texture* image = texture(0x10204, 4, 4, 0x10049);  // 8-bit: the shader says float4
  Texture* sums = buffer(kBindUnorderedAccess | kUsageDefault | kStructuredBuffer, 16, 4);
  ctx()->setShader(hlsl::Compute, cs);
  ctx()->setShaderResources(hlsl::Compute, 0, 1, &in);
  Texture* uavs[2] = {image, sums};
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 2, uavs, nullptr);
  ctx()->dispatch(1, 1, 1);
  std::vector<uint8_t> pixels = readBack(image);
  EXPECT_EQ(rgba(pixels, 4, 0, 0), packRgba(0, 255, 0, 255));
  EXPECT_EQ(rgba(pixels, 4, 3, 3), packRgba(255, 255, 0, 255));
  std::vector<uint8_t> bytes = readBack(sums);
  uint32_t total = 0;
  std::memcpy(&total, bytes.data(), 4);
  EXPECT_EQ(total, 48u);  // sum of x + y over 4 x 4

  // A second dispatch reads the first one's writes (barriers are the layer's business).
  ctx()->dispatch(1, 1, 1);
  std::memcpy(&total, readBack(sums).data(), 4);
  EXPECT_EQ(total, 96u);

  // The image bound for writing and for reading at once: the read sees nothing (Direct3D
  // unbinds the input), and the write still lands.
  const char* copyBack = R"(
Texture2D<float4> gRead : register(t0);
RWTexture2D<float4> gWrite : register(u0);
[numthreads(4, 4, 1)]
void CS(uint3 id : SV_DispatchThreadID) { gWrite[id.xy] = gRead.Load(int3(id.xy, 0)) + float4(0, 0, 1, 1); }
)";
  gfxbackend::Shader* cb2 = shader(hlsl::Compute, copyBack, "CS");
  ASSERT_NE(cb2, nullptr);
  ctx()->setShader(hlsl::Compute, cb2);
  ctx()->setShaderResources(hlsl::Compute, 0, 1, &image);
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &image, nullptr);
  ctx()->dispatch(1, 1, 1);
  EXPECT_EQ(rgba(readBack(image), 4, 3, 3), packRgba(0, 0, 255, 255));
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 2, uavs, nullptr);
  ctx()->setShader(hlsl::Compute, cs);
  ctx()->setShaderResources(hlsl::Compute, 0, 1, &in);

  // Clearing an unordered-access buffer.
  const uint32_t zero[4] = {7, 0, 0, 0};
  ctx()->clearUnorderedAccessViewUint(sums, zero);
  std::memcpy(&total, readBack(sums).data(), 4);
  EXPECT_EQ(total, 7u);
}

TEST_F(ContextGpuTest, AppendThenConsumeMovesEveryElementOnce) {
  const char* append = R"(
AppendStructuredBuffer<uint> gOut : register(u0);
[numthreads(8, 1, 1)]
void CS(uint3 id : SV_DispatchThreadID) { if (id.x % 2 == 0) gOut.Append(id.x + 100); }
)";
  const char* consume = R"(
ConsumeStructuredBuffer<uint> gIn : register(u0);
RWStructuredBuffer<uint> gSeen : register(u1);
[numthreads(2, 1, 1)]
void CS(uint3 id : SV_DispatchThreadID) { uint v = gIn.Consume(); gSeen[v - 100] += 1; }
)";
  gfxbackend::Shader* a = shader(hlsl::Compute, append, "CS");
  gfxbackend::Shader* c = shader(hlsl::Compute, consume, "CS");
  ASSERT_TRUE(a && c);
  Texture* list = buffer(kBindUnorderedAccess | kBindShaderResource | kUsageDefault | kStructuredBuffer, 64, 4);
  Texture* seen = buffer(kBindUnorderedAccess | kUsageDefault | kStructuredBuffer, 64, 4);
  uint32_t zero = 0;
  ctx()->setShader(hlsl::Compute, a);
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &list, &zero);
  ctx()->dispatch(2, 1, 1);  // 16 threads append the 8 even ones
  uint32_t four = 4, keep = kKeepUavCount;
  (void)four;
  ctx()->setShader(hlsl::Compute, c);
  Texture* uavs[2] = {list, seen};
  uint32_t counts[2] = {keep, keep};
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 2, uavs, counts);
  ctx()->dispatch(4, 1, 1);  // 8 consumes
  std::vector<uint8_t> bytes = readBack(seen);
  uint32_t values[16];
  std::memcpy(values, bytes.data(), 64);
  for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(values[i], i % 2 == 0 ? 1u : 0u) << "element " << i;
}

TEST_F(ContextGpuTest, CachesShareObjectsForEqualBytesOnly) {
  RenderStateDesc a = RenderStateDesc::defaults();
  RenderStateDesc b = RenderStateDesc::defaults();
  EXPECT_EQ(device()->stateFor(a), device()->stateFor(b));
  EXPECT_EQ(device()->stateFor(a), device()->defaultState());
  b.stencilRef = 1;
  EXPECT_NE(device()->stateFor(a), device()->stateFor(b));
  // Every byte of the record is part of the key, also the ones no state uses
  // (the stencil bytes while stencil is off).
  RenderStateDesc c = RenderStateDesc::defaults();
  reinterpret_cast<uint8_t*>(&c)[38] ^= 0x40;
  EXPECT_NE(device()->stateFor(a), device()->stateFor(c));

  SamplerDesc s1 = SamplerDesc::forMode(samplerMode(3, 1, 1, 1));
  SamplerDesc s2 = SamplerDesc::forMode(samplerMode(3, 1, 1, 1));
  EXPECT_EQ(device()->samplerFor(s1), device()->samplerFor(s2));
  s2.borderColour[3] = 1.0f;
  EXPECT_NE(device()->samplerFor(s1), device()->samplerFor(s2));
}

TEST_F(ContextGpuTest, PreparedDrawsAndDispatchesMakeTheirPipelinesAndWriteNothing) {
  Texture* target = texture(0x10204, 8, 8, 0x10009);
  bindTarget(target);
  setParams(1, 0, 0, 1, 0.5f);
  RenderStateDesc noCull = RenderStateDesc::defaults();
  noCull.flags = 0;
  const GpuCounters before = device()->counters();
  {
    PrepareOnlyScope prepare(ctx());
    PrepareOnlyScope nested(ctx());
    EXPECT_TRUE(ctx()->prepareOnly());
    fullScreen(device()->stateFor(noCull));
  }
  EXPECT_FALSE(ctx()->prepareOnly());
  EXPECT_EQ(device()->counters().pipelines, before.pipelines + 1);
  EXPECT_EQ(device()->counters().draws, before.draws);
  EXPECT_EQ(rgba(readBack(target), 8, 4, 4), 0u);

  // The real draw then finds all it needs (read-backs make objects of their own: counted
  // before and after the draw alone).
  GpuCounters prepared = device()->counters();
  fullScreen(device()->stateFor(noCull));
  EXPECT_EQ(device()->counters().total(), prepared.total());
  EXPECT_EQ(rgba(readBack(target), 8, 4, 4), packRgba(255, 0, 0, 255));

  // A dispatch likewise.
  const char* fill = R"(
RWStructuredBuffer<uint> gOut : register(u0);
[numthreads(1, 1, 1)]
void CS(uint3 id : SV_DispatchThreadID) { gOut[0] = 5; }
)";
  gfxbackend::Shader* cs = shader(hlsl::Compute, fill, "CS");
  ASSERT_NE(cs, nullptr);
  Texture* out = buffer(kBindUnorderedAccess | kUsageDefault | kStructuredBuffer, 4, 4);
  ctx()->setShader(hlsl::Compute, cs);
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
  uint32_t value = 1;
  {
    PrepareOnlyScope prepare(ctx());
    ctx()->dispatch(1, 1, 1);
  }
  std::memcpy(&value, readBack(out).data(), 4);
  EXPECT_EQ(value, 0u);
  prepared = device()->counters();
  ctx()->dispatch(1, 1, 1);
  EXPECT_EQ(device()->counters().total(), prepared.total());
  std::memcpy(&value, readBack(out).data(), 4);
  EXPECT_EQ(value, 5u);
}

TEST_F(ContextGpuTest, SketchedDrawsShadeOnePixelAndPictureDispatchesOneGroup) {
  Texture* target = texture(0x10204, 8, 8, 0x10009);
  RenderStateDesc noCull = RenderStateDesc::defaults();
  noCull.flags = 0;
  auto shaded = [&](uint32_t colour) {
    const std::vector<uint8_t> pixels = readBack(target);
    std::vector<std::pair<uint32_t, uint32_t>> at;
    for (uint32_t y = 0; y < 8; ++y)
      for (uint32_t x = 0; x < 8; ++x)
        if (rgba(pixels, 8, x, y) == colour) at.emplace_back(x, y);
    return at;
  };
  using Pixels = std::vector<std::pair<uint32_t, uint32_t>>;
  const uint32_t red = packRgba(255, 0, 0, 255);
  const GpuCounters before = device()->counters();
  {
    SketchScope sketch(ctx(), true);
    bindTarget(target);
    setParams(1, 0, 0, 1, 0.5f);
    fullScreen(device()->stateFor(noCull));
    EXPECT_EQ(shaded(red), (Pixels{{0, 0}}));
    // The first pixel of the viewport, wherever it lies.
    bindTarget(target);
    D3DViewport vp{3, 2, 4, 4, 0, 1};
    ctx()->setViewports(1, &vp);
    fullScreen(device()->stateFor(noCull));
    EXPECT_EQ(shaded(red), (Pixels{{3, 2}}));
    {
      // What is shown (or kept) is drawn in full inside a sketched stretch.
      SketchScope shown(ctx(), false);
      bindTarget(target);
      fullScreen(device()->stateFor(noCull));
      EXPECT_EQ(shaded(red).size(), 64u);
    }
    EXPECT_TRUE(sketchDraws(ctx()));
  }
  EXPECT_FALSE(sketchDraws(ctx()));
  // A sketched draw is a real one: its pipeline is made and it counts as drawn.
  EXPECT_EQ(device()->counters().pipelines, before.pipelines + 1);
  EXPECT_EQ(device()->counters().draws, before.draws + 3);

  const char* count = R"(
RWStructuredBuffer<uint> gOut : register(u0);
[numthreads(2, 1, 1)]
void CS(uint3 id : SV_DispatchThreadID) { InterlockedAdd(gOut[0], 1); }
)";
  gfxbackend::Shader* cs = shader(hlsl::Compute, count, "CS");
  ASSERT_NE(cs, nullptr);
  Texture* out = buffer(kBindUnorderedAccess | kUsageDefault | kStructuredBuffer, 4, 4);
  ctx()->setShader(hlsl::Compute, cs);
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
  auto invocations = [&](bool sketch, bool forThePicture) {
    const uint32_t zero[4] = {0, 0, 0, 0};
    ctx()->clearUnorderedAccessViewUint(out, zero);
    {
      SketchScope sketching(ctx(), sketch);
      std::optional<PictureDispatchScope> picture;
      if (forThePicture) picture.emplace(ctx());
      ctx()->dispatch(5, 1, 1);
    }
    uint32_t value = 0;
    std::memcpy(&value, readBack(out).data(), 4);
    return value;
  };
  // A simulation's dispatches run in full while sketching; a picture's run one group then.
  EXPECT_EQ(invocations(true, false), 10u);
  EXPECT_EQ(invocations(true, true), 2u);
  EXPECT_EQ(invocations(false, true), 10u);
}

TEST_F(ContextGpuTest, ASecondFrameOfTheSamePassesCreatesNothing) {
  const char* sampled = R"(
Texture2D gSource : register(t0);
SamplerState gSampler : register(s0);
cbuffer Params : register(b0) { float4 gColour; float gDepth; };
float4 VS(uint id : SV_VertexID) : SV_POSITION {
  float2 uv = float2((id << 1) & 2, id & 2);
  return float4(uv * float2(2, -2) + float2(-1, 1), gDepth, 1);
}
float4 PS(float4 pos : SV_POSITION) : SV_TARGET { return gSource.Sample(gSampler, pos.xy / 8) * gColour; }
)";
  gfxbackend::Shader* svs = shader(hlsl::Vertex, sampled, "VS");
  gfxbackend::Shader* sps = shader(hlsl::Pixel, sampled, "PS");
  ASSERT_TRUE(svs && sps);
  Texture* a = texture(0x50304, 8, 8, 0x10009);
  Texture* b = texture(0x50304, 8, 8, 0x10009);
  Texture* depth = texture(0x10506, 8, 8, 0x10211);
  auto frame = [&] {
    ctx()->clearState();
    RenderPass pass;
    pass.colourTargets[0] = a;
    pass.depthTarget = depth;
    pass.clearFlags = kClearColour | kClearDepth;
    pass.rect[2] = pass.rect[3] = 8;
    bindRenderPass(device(), pass);
    setParams(1, 0.5f, 0.25f, 1, 0.5f);
    fullScreen(device()->stateFor(RenderStateDesc::defaults()));
    // Second pass reads the first.
    pass.colourTargets[0] = b;
    pass.depthTarget = nullptr;
    bindRenderPass(device(), pass);
    Sampler* sampler = device()->samplerFor(SamplerDesc::forMode(samplerMode(3, 1, 1, 1)));
    ctx()->setShader(hlsl::Vertex, svs);
    ctx()->setShader(hlsl::Pixel, sps);
    ctx()->setShaderResources(hlsl::Pixel, 0, 1, &a);
    ctx()->setSamplers(hlsl::Pixel, 0, 1, &sampler);
    ctx()->setConstantBuffers(hlsl::Pixel, 0, 1, &cb);
    ctx()->setConstantBuffers(hlsl::Vertex, 0, 1, &cb);
    RenderStateDesc noDepth = RenderStateDesc::defaults();
    noDepth.flags = 0;
    ctx()->setRenderState(device()->stateFor(noDepth), 0);
    ctx()->draw(3, 0);
    ctx()->flush(false);
  };
  frame();
  frame();
  GpuCounters before = device()->counters();
  for (int i = 0; i < 3; ++i) frame();
  GpuCounters after = device()->counters();
  EXPECT_EQ(after.total(), before.total());
  EXPECT_EQ(after.pipelines, before.pipelines);
  EXPECT_EQ(after.imageViews, before.imageViews);
  EXPECT_EQ(after.buffers, before.buffers);
  EXPECT_GE(before.pipelines, 2u);
  // And the second pass saw the first: (1, .5, .25, 1) squared per channel.
  std::vector<uint8_t> half = readBack(b);
  ASSERT_EQ(half.size(), 8u * 8 * 8);
  uint16_t red = 0;
  std::memcpy(&red, half.data(), 2);
  EXPECT_EQ(red, 0x3C00);  // 1.0 in half precision
}

TEST_F(ContextGpuTest, TypedUavsOfOneDeclaredTypeKeepTheirOwnFormats) {
  // Both images are declared float4, so the compiler gives them one image type; each view
  // still has its own format (the module is split for it) and reads and writes use it.
  const char* source = R"(
RWTexture2D<float4> gBytes : register(u0);
RWTexture2D<float4> gHalves : register(u1);
[numthreads(4, 4, 1)]
void CS(uint3 id : SV_DispatchThreadID) {
  gBytes[id.xy] = float4(1, 0.5, 0, 1);
  gHalves[id.xy] = gHalves[id.xy] + float4(2, 0.25, 0, 1);
}
)";
  gfxbackend::Shader* cs = shader(hlsl::Compute, source, "CS");
  ASSERT_NE(cs, nullptr);
  Texture* bytes = texture(0x10204, 4, 4, 0x10049);
  Texture* halves = texture(0x50304, 4, 4, 0x10049);
  Texture* uavs[2] = {bytes, halves};
  ctx()->setShader(hlsl::Compute, cs);
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 2, uavs, nullptr);
  ctx()->dispatch(1, 1, 1);
  EXPECT_PRED2(nearRgba, rgba(readBack(bytes), 4, 2, 1), packRgba(255, 128, 0, 255));
  std::vector<uint8_t> half = readBack(halves);
  uint16_t first[4];
  std::memcpy(first, half.data() + (1 * 4 + 2) * 8, 8);
  EXPECT_EQ(first[0], 0x4000u);  // 2.0
  EXPECT_EQ(first[1], 0x3400u);  // 0.25
  EXPECT_EQ(first[3], 0x3C00u);  // 1.0
}

TEST_F(ContextGpuTest, EveryAddressModeSamplesAsInDirect3D) {
  // Pixel 0 samples u = -0.75, pixel 1 u = 1.75, of a texture of two texels: red, green.
  const char* source = R"(
Texture2D gTexture : register(t0);
SamplerState gSampler : register(s0);
float4 VS(uint id : SV_VertexID) : SV_POSITION {
  float2 uv = float2((id << 1) & 2, id & 2);
  return float4(uv * float2(2, -2) + float2(-1, 1), 0, 1);
}
float4 PS(float4 pos : SV_POSITION) : SV_TARGET {
  return gTexture.Sample(gSampler, float2(pos.x < 1 ? -0.75 : 1.75, 0.5));
}
)";
  gfxbackend::Shader* sampleVs = shader(hlsl::Vertex, source, "VS");
  gfxbackend::Shader* samplePs = shader(hlsl::Pixel, source, "PS");
  ASSERT_TRUE(sampleVs && samplePs);
  const uint32_t texels[2] = {packRgba(255, 0, 0, 255), packRgba(0, 255, 0, 255)};
  Texture* picture = texture(0x10204, 2, 1, 0x10101, texels);
  const uint32_t red = texels[0], green = texels[1];
  struct Case {
    uint32_t address;
    uint32_t left, right;
  };
  // wrap, clamp, mirror, mirror once (|u| clamped); border (transparent black) is 0.
  const Case cases[] = {{0, red, green}, {1, red, green}, {3, green, red}, {4, green, green}, {2, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    Texture* target = texture(0x10204, 2, 1, 0x10009);
    bindTarget(target);
    Sampler* sampler = device()->samplerFor(SamplerDesc::forMode(samplerMode(0, c.address, c.address, c.address)));
    ctx()->setShader(hlsl::Vertex, sampleVs);
    ctx()->setShader(hlsl::Pixel, samplePs);
    ctx()->setShaderResources(hlsl::Pixel, 0, 1, &picture);
    ctx()->setSamplers(hlsl::Pixel, 0, 1, &sampler);
    ctx()->setRenderState(nullptr, 0);
    ctx()->setInputLayout(nullptr);
    ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx()->draw(3, 0);
    std::vector<uint8_t> pixels = readBack(target);
    EXPECT_EQ(rgba(pixels, 2, 0, 0), c.left);
    EXPECT_EQ(rgba(pixels, 2, 1, 0), c.right);
  }
}

TEST_F(ContextGpuTest, ReadsOutsideABufferOrTextureGiveZeroAsInDirect3D) {
  // Shaders written for Direct3D may read past the end of what is bound and expect zeros.
  const char* source = R"(
StructuredBuffer<uint4> gInput : register(t0);
Texture2D<float4> gPicture : register(t1);
RWStructuredBuffer<uint4> gOut : register(u0);
[numthreads(1, 1, 1)]
void CS(uint3 id : SV_DispatchThreadID) {
  gOut[0] = gInput[100000 + id.x];
  gOut[1] = asuint(gPicture.Load(int3(4000, 3, 0)));
  gOut[2] = gInput[1];
}
)";
  gfxbackend::Shader* cs = shader(hlsl::Compute, source, "CS");
  ASSERT_NE(cs, nullptr);
  const uint32_t input[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  Texture* in = buffer(kBindShaderResource | kUsageImmutable | kStructuredBuffer, sizeof(input), 16, input);
  const uint32_t white[4] = {~0u, ~0u, ~0u, ~0u};
  Texture* picture = texture(0x10204, 2, 2, 0x10101, white);
  Texture* out = buffer(kBindUnorderedAccess | kUsageDefault | kStructuredBuffer, 48, 16);
  Texture* views[2] = {in, picture};
  ctx()->setShader(hlsl::Compute, cs);
  ctx()->setShaderResources(hlsl::Compute, 0, 2, views);
  ctx()->setUnorderedAccessViews(hlsl::Compute, 0, 1, &out, nullptr);
  ctx()->dispatch(1, 1, 1);
  std::vector<uint8_t> bytes = readBack(out);
  uint32_t result[12];
  std::memcpy(result, bytes.data(), sizeof(result));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(result[i], 0u) << i;
  EXPECT_EQ(result[8], 5u);  // in range: read as usual
}

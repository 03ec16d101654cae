// Resource updates through the context: dynamic buffers across submits and a recycled upload
// ring, dynamic textures, cube-face targets, deletion of resources still in flight, and a
// geometry stage linked by semantic.
#include <cstring>

#include "gfx/vulkan/Backend.h"
#include "tests/gfx/support/GpuTestSupport.h"

namespace {

const char* kColoured = R"(
struct VIn { float4 pos : POSITION; float4 colour : COLOR0; };
struct VOut { float4 pos : SV_POSITION; float4 colour : COLOR0; };
VOut VS(VIn v) { VOut o; o.pos = v.pos; o.colour = v.colour; return o; }
float4 PS(VOut v) : SV_TARGET { return v.colour; }
)";

const char* kConstant = R"(
cbuffer Params : register(b0) { float4 gColour; };
float4 VS(uint id : SV_VertexID) : SV_POSITION {
  float2 uv = float2((id << 1) & 2, id & 2);
  return float4(uv * float2(2, -2) + float2(-1, 1), 0.5, 1);
}
float4 PS(float4 pos : SV_POSITION) : SV_TARGET { return gColour; }
)";

struct Vertex {
  float pos[4];
  float colour[4];
};

}  // namespace

class ContextResourceGpuTest : public GpuTest {
 protected:
  void target(Texture* t, uint32_t slice = 0) {
    bindTarget(t, 0, slice);
    RenderStateDesc desc = RenderStateDesc::zeroed();
    desc.depthFunc = D3D11_COMPARISON_ALWAYS;
    ctx()->setRenderState(device()->stateFor(desc), 0);
  }
};

TEST_F(ContextResourceGpuTest, DynamicConstantsSurviveSubmitsWithoutBeingMappedAgain) {
  gfxbackend::Shader* vs = shader(hlsl::Vertex, kConstant, "VS");
  gfxbackend::Shader* ps = shader(hlsl::Pixel, kConstant, "PS");
  ASSERT_TRUE(vs && ps);
  Texture* cb = buffer(kBindConstantBuffer | kUsageDynamic, 16, 4);
  MappedSubresource m;
  ASSERT_TRUE(ctx()->map(cb, 0, D3D11_MAP_WRITE_DISCARD, m));
  const float red[4] = {1, 0, 0, 1};
  std::memcpy(m.data, red, 16);
  ctx()->unmap(cb, 0);
  Texture* a = texture(0x10204, 2, 2, 0x10009);
  Texture* b = texture(0x10204, 2, 2, 0x10009);
  ctx()->setShader(hlsl::Vertex, vs);
  ctx()->setShader(hlsl::Pixel, ps);
  ctx()->setConstantBuffers(hlsl::Pixel, 0, 1, &cb);
  ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
  target(a);
  ctx()->draw(3, 0);
  // Several submits: every frame slot of the upload ring is reused meanwhile.
  for (int i = 0; i < 4; ++i) ctx()->flush(i % 2 == 0);
  target(b);
  ctx()->draw(3, 0);
  EXPECT_EQ(rgba(readBack(a), 2, 1, 1), packRgba(255, 0, 0, 255));
  EXPECT_EQ(rgba(readBack(b), 2, 1, 1), packRgba(255, 0, 0, 255));
}

TEST_F(ContextResourceGpuTest, WaitingWithNothingRecordedKeepsTheLatestMapsIntact) {
  gfxbackend::Shader* vs = shader(hlsl::Vertex, kConstant, "VS");
  gfxbackend::Shader* ps = shader(hlsl::Pixel, kConstant, "PS");
  ASSERT_TRUE(vs && ps);
  Texture* first = buffer(kBindConstantBuffer | kUsageDynamic, 16, 4);
  Texture* second = buffer(kBindConstantBuffer | kUsageDynamic, 16, 4);
  Texture* a = texture(0x10204, 2, 2, 0x10009);
  ctx()->flush(true);  // nothing left recorded
  auto fill = [&](Texture* cb, float r, float g) {
    MappedSubresource m;
    ASSERT_TRUE(ctx()->map(cb, 0, D3D11_MAP_WRITE_DISCARD, m));
    const float c[4] = {r, g, 0, 1};
    std::memcpy(m.data, c, 16);
    ctx()->unmap(cb, 0);
  };
  fill(first, 1, 0);
  device()->waitIdle();  // must not hand the upload memory of `first` out again
  fill(second, 0, 1);
  target(a);
  ctx()->setShader(hlsl::Vertex, vs);
  ctx()->setShader(hlsl::Pixel, ps);
  ctx()->setConstantBuffers(hlsl::Pixel, 0, 1, &first);
  ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
  ctx()->draw(3, 0);
  EXPECT_EQ(rgba(readBack(a), 2, 0, 0), packRgba(255, 0, 0, 255));
}

TEST_F(ContextResourceGpuTest, BigDynamicVertexBuffersRefilledPastTheRingSizeDrawWhatWasWritten) {
  gfxbackend::Shader* vs = shader(hlsl::Vertex, kColoured, "VS");
  gfxbackend::Shader* ps = shader(hlsl::Pixel, kColoured, "PS");
  ASSERT_TRUE(vs && ps);
  InputElementDesc elements[2];
  elements[0].semanticName = "POSITION";
  elements[0].format = DXGI_FORMAT_R32G32B32A32_FLOAT;
  elements[1].semanticName = "COLOR";
  elements[1].format = DXGI_FORMAT_R32G32B32A32_FLOAT;
  elements[1].alignedByteOffset = 16;
  std::unique_ptr<gfxbackend::VertexLayout> layout(createVertexLayout(device(), elements, 2));
  // 4 MiB fills the ring in four maps; 6 MiB is larger than any ring share.
  for (uint32_t megabytes : {4u, 6u}) {
    SCOPED_TRACE(megabytes);
    Texture* vb = buffer(kBindVertexBuffer | kUsageDynamic, megabytes << 20, sizeof(Vertex));
    Texture* targets[6];
    for (uint32_t i = 0; i < 6; ++i) {
      MappedSubresource m;
      ASSERT_TRUE(ctx()->map(vb, 0, D3D11_MAP_WRITE_DISCARD, m));
      Vertex v[3] = {{{-1, 1, 0, 1}, {}}, {{3, 1, 0, 1}, {}}, {{-1, -3, 0, 1}, {}}};
      for (Vertex& x : v) {
        x.colour[0] = float(i) / 5.0f;
        x.colour[3] = 1.0f;
      }
      std::memcpy(m.data, v, sizeof(v));
      ctx()->unmap(vb, 0);
      targets[i] = texture(0x10204, 2, 2, 0x10009);
      target(targets[i]);
      ctx()->setShader(hlsl::Vertex, vs);
      ctx()->setShader(hlsl::Pixel, ps);
      ctx()->setInputLayout(layout.get());
      uint32_t stride = sizeof(Vertex), offset = 0;
      ctx()->setVertexBuffers(0, 1, &vb, &stride, &offset);
      ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
      ctx()->draw(3, 0);
    }
    for (uint32_t i = 0; i < 6; ++i)
      EXPECT_PRED2(nearRgba, rgba(readBack(targets[i]), 2, 0, 0), packRgba(i * 51, 0, 0, 255)) << "map " << i;
  }
}

TEST_F(ContextResourceGpuTest, DynamicTexturesAndUpdatesUploadWithDirect3DPitches) {
  TextureDesc desc;
  desc.flags = kTextureFlag | kUsageDynamic | kBindShaderResource;
  desc.format = 0x10201;  // 8-bit, rows of 5 bytes
  desc.width = 5;
  desc.height = 3;
  Texture* t = createTexture(device(), desc, nullptr);
  textures_.push_back(t);
  for (int round = 0; round < 2; ++round) {
    MappedSubresource m;
    ASSERT_TRUE(ctx()->map(t, 0, D3D11_MAP_WRITE_DISCARD, m));
    ASSERT_EQ(m.rowPitch, 5u);
    auto* p = static_cast<uint8_t*>(m.data);
    for (int i = 0; i < 15; ++i) p[i] = uint8_t(i * 10 + round);
    ctx()->unmap(t, 0);
    std::vector<uint8_t> back = readBack(t);
    ASSERT_EQ(back.size(), 15u);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(back[i], uint8_t(i * 10 + round));
  }
  // UpdateSubresource with a padded source pitch.
  Texture* d = texture(0x10201, 5, 3, 0x10209);
  std::vector<uint8_t> padded(8 * 3, 0xEE);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) padded[y * 8 + x] = uint8_t(y * 5 + x);
  ctx()->updateSubresource(d, 0, padded.data(), 8, 0);
  std::vector<uint8_t> back = readBack(d);
  for (int i = 0; i < 15; ++i) EXPECT_EQ(back[i], uint8_t(i));
  // Default-usage textures cannot be mapped.
  MappedSubresource m;
  EXPECT_FALSE(ctx()->map(d, 0, D3D11_MAP_WRITE_DISCARD, m));
}

TEST_F(ContextResourceGpuTest, CubeTargetsRenderIntoTheRequestedFace) {
  TextureDesc desc;
  desc.flags = 0x10009 | kCubeMap;
  desc.format = 0x10204;
  desc.width = desc.height = 4;
  Texture* cube = createTexture(device(), desc, nullptr);
  textures_.push_back(cube);
  EXPECT_EQ(cube->desc.arraySize, 6u);
  const float black[4] = {0, 0, 0, 0};
  clearTexture(device(), cube, black);
  RenderPass pass;
  pass.colourTargets[0] = cube;
  pass.clearFlags = kClearColour;
  pass.colourClear[1] = 1.0f;
  pass.colourClear[3] = 1.0f;
  pass.rect[2] = pass.rect[3] = 4;
  pass.slice = 3;
  bindRenderPass(device(), pass);
  EXPECT_EQ(gCurrentRenderPass.slice, 3u);
  EXPECT_EQ(gCurrentRenderPass.colourTargets[0], cube);

  TextureDesc sd = desc;
  sd.flags = kTextureFlag | kUsageStaging | kCubeMap;
  Texture* staging = createTexture(device(), sd, nullptr);
  textures_.push_back(staging);
  ctx()->copyResource(staging, cube);
  for (uint32_t face = 0; face < 6; ++face) {
    MappedSubresource m;
    ASSERT_TRUE(ctx()->map(staging, face, D3D11_MAP_READ, m));
    uint32_t first;
    std::memcpy(&first, m.data, 4);
    EXPECT_EQ(first, face == 3 ? packRgba(0, 255, 0, 255) : 0u) << "face " << face;
    ctx()->unmap(staging, face);
  }
}

TEST_F(ContextResourceGpuTest, ResourcesDeletedRightAfterADrawStayAliveUntilTheGpuIsDone) {
  gfxbackend::Shader* vs = shader(hlsl::Vertex, kConstant, "VS");
  gfxbackend::Shader* ps = shader(hlsl::Pixel, kConstant, "PS");
  ASSERT_TRUE(vs && ps);
  const float blue[4] = {0, 0, 1, 1};
  for (int i = 0; i < 3; ++i) {
    TextureDesc cd;
    cd.flags = kBindConstantBuffer | kUsageImmutable;
    cd.bitsPerPixel = 32;
    cd.width = 4;
    Texture* cb = createTexture(device(), cd, blue);
    TextureDesc td;
    td.flags = 0x10009;
    td.format = 0x10204;
    td.width = td.height = 2;
    Texture* t = createTexture(device(), td, nullptr);
    target(t);
    ctx()->setShader(hlsl::Vertex, vs);
    ctx()->setShader(hlsl::Pixel, ps);
    ctx()->setConstantBuffers(hlsl::Pixel, 0, 1, &cb);
    ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx()->draw(3, 0);
    deleteTexture(cb);  // still bound and recorded, not yet submitted
    deleteTexture(t);
  }
  // The deleted objects are unbound: the next draw is skipped instead of using them.
  ctx()->draw(3, 0);
  ctx()->flush(true);
}

TEST_F(ContextResourceGpuTest, GeometryStageLinksToItsNeighboursBySemantic) {
  const char* source = R"(
struct VOut { float4 pos : SV_POSITION; float4 tint : TEXCOORD3; };
VOut VS(uint id : SV_VertexID) { VOut o; o.pos = float4(0, 0, 0.5, 1); o.tint = float4(0, 0, 1, 1); return o; }
struct GOut { float2 unused : TEXCOORD0; float4 pos : SV_POSITION; float4 colour : COLOR1; };
[maxvertexcount(3)]
void GS(point VOut p[1], inout TriangleStream<GOut> s) {
  GOut o;
  o.unused = float2(0, 0);
  o.colour = p[0].tint;
  o.pos = float4(-1, 1, 0.5, 1); s.Append(o);
  o.pos = float4(3, 1, 0.5, 1); s.Append(o);
  o.pos = float4(-1, -3, 0.5, 1); s.Append(o);
}
float4 PS(float4 colour : COLOR1) : SV_TARGET { return colour; }
)";
  gfxbackend::Shader* vs = shader(hlsl::Vertex, source, "VS");
  gfxbackend::Shader* gs = shader(hlsl::Geometry, source, "GS");
  gfxbackend::Shader* ps = shader(hlsl::Pixel, source, "PS");
  ASSERT_TRUE(vs && gs && ps);
  Texture* t = texture(0x10204, 4, 4, 0x10009);
  target(t);
  ctx()->setShader(hlsl::Vertex, vs);
  ctx()->setShader(hlsl::Geometry, gs);
  ctx()->setShader(hlsl::Pixel, ps);
  ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_POINTLIST);
  ctx()->draw(1, 0);
  EXPECT_EQ(rgba(readBack(t), 4, 2, 2), packRgba(0, 0, 255, 255));
  ctx()->setShader(hlsl::Geometry, nullptr);
}

TEST_F(ContextResourceGpuTest, InstancedDrawsReadPerInstanceDataFromTheSecondSlot) {
  const char* source = R"(
struct VIn { float2 pos : POSITION; float4 offsetColour : WORLD0; };
struct VOut { float4 pos : SV_POSITION; float4 colour : COLOR0; };
VOut VS(VIn v) {
  VOut o;
  o.pos = float4(v.pos.x * 0.5 + v.offsetColour.x, v.pos.y, 0.5, 1);
  o.colour = float4(v.offsetColour.yzw, 1);
  return o;
}
float4 PS(VOut v) : SV_TARGET { return v.colour; }
)";
  gfxbackend::Shader* vs = shader(hlsl::Vertex, source, "VS");
  gfxbackend::Shader* ps = shader(hlsl::Pixel, source, "PS");
  ASSERT_TRUE(vs && ps);
  // A full-height triangle strip over the left half of clip space, moved per instance.
  float quad[4][2] = {{-1, 1}, {1, 1}, {-1, -1}, {1, -1}};
  float instances[2][4] = {{-0.5f, 1, 0, 0}, {0.5f, 0, 1, 0}};
  Texture* vb = buffer(kBindVertexBuffer | kUsageImmutable, sizeof(quad), 8, quad);
  Texture* ib = buffer(kBindVertexBuffer | kUsageDynamic, sizeof(instances), 16);
  MappedSubresource m;
  ASSERT_TRUE(ctx()->map(ib, 0, D3D11_MAP_WRITE_DISCARD, m));
  std::memcpy(m.data, instances, sizeof(instances));
  ctx()->unmap(ib, 0);
  InputElementDesc e[2];
  e[0].semanticName = "POSITION";
  e[0].format = DXGI_FORMAT_R32G32_FLOAT;
  e[1].semanticName = "WORLD";
  e[1].format = DXGI_FORMAT_R32G32B32A32_FLOAT;
  e[1].inputSlot = 1;
  e[1].perInstance = true;
  e[1].instanceStepRate = 1;
  std::unique_ptr<gfxbackend::VertexLayout> layout(createVertexLayout(device(), e, 2));
  Texture* t = texture(0x10204, 8, 2, 0x10009);
  target(t);
  ctx()->setShader(hlsl::Vertex, vs);
  ctx()->setShader(hlsl::Pixel, ps);
  ctx()->setInputLayout(layout.get());
  Texture* buffers[2] = {vb, ib};
  uint32_t strides[2] = {8, 16}, offsets[2] = {0, 0};
  ctx()->setVertexBuffers(0, 2, buffers, strides, offsets);
  ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
  ctx()->drawInstanced(4, 2, 0, 0);
  std::vector<uint8_t> pixels = readBack(t);
  EXPECT_EQ(rgba(pixels, 8, 1, 0), packRgba(255, 0, 0, 255));  // instance 0: left half
  EXPECT_EQ(rgba(pixels, 8, 6, 1), packRgba(0, 255, 0, 255));  // instance 1: right half
  // Starting at instance 1 draws only the right one.
  target(t);
  ctx()->drawInstanced(4, 1, 0, 1);
  pixels = readBack(t);
  EXPECT_EQ(rgba(pixels, 8, 1, 0), 0u);
  EXPECT_EQ(rgba(pixels, 8, 6, 1), packRgba(0, 255, 0, 255));
}

TEST_F(ContextResourceGpuTest, DriversWithoutHlslExtensionsGetStrippedModules) {
  bool saved = device()->impl()->hlslExtensions;
  device()->impl()->hlslExtensions = false;  // as on a driver without the two extensions
  gfxbackend::Shader* vs = shader(hlsl::Vertex, kColoured, "VS");
  gfxbackend::Shader* ps = shader(hlsl::Pixel, kColoured, "PS");
  ASSERT_TRUE(vs && ps);
  Vertex v[3] = {{{-1, 1, 0, 1}, {1, 1, 0, 1}}, {{3, 1, 0, 1}, {1, 1, 0, 1}}, {{-1, -3, 0, 1}, {1, 1, 0, 1}}};
  Texture* vb = buffer(kBindVertexBuffer | kUsageImmutable, sizeof(v), sizeof(Vertex), v);
  InputElementDesc e[2];
  e[0].semanticName = "COLOR";
  e[0].format = DXGI_FORMAT_R32G32B32A32_FLOAT;
  e[0].alignedByteOffset = 16;
  e[1].semanticName = "POSITION";
  e[1].format = DXGI_FORMAT_R32G32B32A32_FLOAT;
  std::unique_ptr<gfxbackend::VertexLayout> layout(createVertexLayout(device(), e, 2));
  Texture* t = texture(0x10204, 2, 2, 0x10009);
  target(t);
  ctx()->setShader(hlsl::Vertex, vs);
  ctx()->setShader(hlsl::Pixel, ps);
  ctx()->setInputLayout(layout.get());
  uint32_t stride = sizeof(Vertex), offset = 0;
  ctx()->setVertexBuffers(0, 1, &vb, &stride, &offset);
  ctx()->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
  ctx()->draw(3, 0);
  EXPECT_EQ(rgba(readBack(t), 2, 1, 1), packRgba(255, 255, 0, 255));
  device()->impl()->hlslExtensions = saved;
}

// Copying out of a dynamic buffer whose latest contents must first be put back into the
// upload ring, while that ring is full: the copy lands in the work submitted after the ring
// was recycled.
TEST_F(ContextResourceGpuTest, CopiesFromDynamicBuffersSurviveAFullUploadRing) {
  const uint32_t size = 4u << 20;
  Texture* source = buffer(kBindVertexBuffer | kUsageDynamic, size, 16);
  Texture* filler = buffer(kBindVertexBuffer | kUsageDynamic, size, 16);
  Texture* destination = buffer(kBindVertexBuffer | kUsageDefault, size, 16);
  MappedSubresource m;
  ASSERT_TRUE(ctx()->map(source, 0, D3D11_MAP_WRITE_DISCARD, m));
  for (uint32_t i = 0; i < size / 4; ++i) static_cast<uint32_t*>(m.data)[i] = i * 7;
  ctx()->unmap(source, 0);
  ctx()->flush(false);  // the source's ring copy belongs to the submitted frame now
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(ctx()->map(filler, 0, D3D11_MAP_WRITE_DISCARD, m));
    ctx()->unmap(filler, 0);
  }
  ctx()->copyResource(destination, source);
  std::vector<uint8_t> bytes = readBack(destination);
  ASSERT_EQ(bytes.size(), size_t(size));
  uint32_t last = 0, first = 1;
  std::memcpy(&first, bytes.data() + 4, 4);
  std::memcpy(&last, bytes.data() + size - 4, 4);
  EXPECT_EQ(first, 7u);
  EXPECT_EQ(last, (size / 4 - 1) * 7);
}

#pragma once
// The immediate context, in Direct3D 11's terms and numbering. All GPU work goes through it.
// Resources are Textures (buffers included); binding a Texture in a shader-resource slot binds
// its shader-resource view, in a UAV slot its unordered-access view, as a target its
// render-target / depth-stencil view (created on first use). Barriers and image layouts are
// handled inside: callers never think about them.
//
// Stages: 0 vertex, 1 hull, 2 domain, 3 geometry, 4 pixel, 5 compute (hlsl::Stage).
#include <cstdint>
#include <string>
#include <vector>

#include "gfx/D3DEnums.h"
#include "gfx/hlsl/HlslCompiler.h"

class Device;
class Texture;
class Sampler;
class RenderState;
namespace gfxbackend {
struct ContextImpl;
}

constexpr uint32_t kConstantBufferSlots = 14;
constexpr uint32_t kShaderResourceSlots = 32;
constexpr uint32_t kSamplerSlots = 16;
constexpr uint32_t kUavSlots = 8;
constexpr uint32_t kVertexBufferSlots = 8;
constexpr uint32_t kRenderTargetSlots = 5;

// One Direct3D-style vertex element (D3D11_INPUT_ELEMENT_DESC).
struct InputElementDesc {
  const char* semanticName = nullptr;  // "POSITION", "TEXCOORD" (without index)
  uint32_t semanticIndex = 0;
  DxgiFormat format = DXGI_FORMAT_UNKNOWN;
  uint32_t inputSlot = 0;
  uint32_t alignedByteOffset = 0;
  bool perInstance = false;
  uint32_t instanceStepRate = 0;  // 1 for per-instance data
};

namespace gfxbackend {
// The backend's vertex layout (ID3D11InputLayout): the elements, matched to vertex shader
// inputs by semantic when a pipeline is built.
class VertexLayout {
 public:
  ~VertexLayout();  // unbinds itself from the context
  std::vector<InputElementDesc> elements;  // semantic names are copied into `names`
  std::vector<std::string> names;
  uint32_t id = 0;
  Device* device = nullptr;
};

// A shader stage object (ID3D11xxShader): SPIR-V plus its reflection.
class Shader {
 public:
  ~Shader();  // unbinds itself from the context
  hlsl::Stage stage = hlsl::Vertex;
  std::vector<uint32_t> spirv;
  hlsl::Reflection reflection;
  uint32_t id = 0;
  Device* device = nullptr;
};
}  // namespace gfxbackend

// Creation of the two objects above (owned by the caller; deleting one unbinds it, and draws
// already recorded keep what they need).
gfxbackend::VertexLayout* createVertexLayout(Device* device, const InputElementDesc* elements,
                                             uint32_t count);
// What a compiled shader needs that the device does not offer, as "Float64 (shaderFloat64)"
// (a capability and the device feature behind it); empty when the device can run it.
std::string missingShaderFeatures(Device* device, const std::vector<uint32_t>& spirv);
// Null (with a message on stderr) when the SPIR-V does not reflect, or when it needs
// something the device lacks (missingShaderFeatures).
gfxbackend::Shader* createShader(Device* device, hlsl::Stage stage, const std::vector<uint32_t>& spirv);
gfxbackend::Shader* createShader(Device* device, hlsl::Stage stage, const std::vector<uint32_t>& spirv,
                                 const hlsl::Reflection& reflection);

struct D3DViewport {
  float x = 0, y = 0, width = 0, height = 0, minDepth = 0, maxDepth = 1;
};
struct ScissorRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

struct MappedSubresource {
  void* data = nullptr;
  uint32_t rowPitch = 0;
  uint32_t depthPitch = 0;
};

class DeviceContext {
 public:
  explicit DeviceContext(Device* device);
  ~DeviceContext();
  DeviceContext(const DeviceContext&) = delete;
  DeviceContext& operator=(const DeviceContext&) = delete;

  // Input assembler.
  void setPrimitiveTopology(D3DPrimitiveTopology topology);
  void setInputLayout(gfxbackend::VertexLayout* layout);  // null: no vertex input
  void setVertexBuffers(uint32_t startSlot, uint32_t count, Texture* const* buffers, const uint32_t* strides,
                        const uint32_t* offsets);
  void setIndexBuffer(Texture* buffer, DxgiFormat format, uint32_t offset);  // R16_UINT or R32_UINT

  // Shader stages. A resource bound in one stage's slot and another stage's slot with the
  // same register shares one binding: when two stages of a draw bind different resources to
  // the same register, the pixel (else the first) stage's one is used.
  void setShader(hlsl::Stage stage, gfxbackend::Shader* shader);
  void setConstantBuffers(hlsl::Stage stage, uint32_t startSlot, uint32_t count, Texture* const* buffers);
  void setShaderResources(hlsl::Stage stage, uint32_t startSlot, uint32_t count, Texture* const* resources);
  void setSamplers(hlsl::Stage stage, uint32_t startSlot, uint32_t count, Sampler* const* samplers);
  // Compute or pixel stage. initialCounts (may be null) sets append/consume counters;
  // kKeepUavCount keeps the current count.
  void setUnorderedAccessViews(hlsl::Stage stage, uint32_t startSlot, uint32_t count, Texture* const* views,
                               const uint32_t* initialCounts);

  // Output merger and rasterizer. Targets: up to 5 colour targets (null entries allowed),
  // rendering into array slice `slice` (cube face) of each; depth may be null.
  void setRenderTargets(uint32_t count, Texture* const* targets, Texture* depth, uint32_t slice = 0);
  void setViewports(uint32_t count, const D3DViewport* viewports);
  void setScissorRects(uint32_t count, const ScissorRect* rects);
  // Rasterizer, blend and depth-stencil state in one (null: the Device default).
  void setRenderState(RenderState* state, uint32_t stencilRef);

  // Drawing. A draw whose state is incomplete (no vertex or pixel shader, no target) is
  // skipped with one message.
  void draw(uint32_t vertexCount, uint32_t startVertex);
  void drawIndexed(uint32_t indexCount, uint32_t startIndex, int32_t baseVertex);
  void drawInstanced(uint32_t vertexCountPerInstance, uint32_t instanceCount, uint32_t startVertex,
                     uint32_t startInstance);
  void drawIndexedInstanced(uint32_t indexCountPerInstance, uint32_t instanceCount, uint32_t startIndex,
                            int32_t baseVertex, uint32_t startInstance);
  void dispatch(uint32_t x, uint32_t y, uint32_t z);
  // While on, draws make everything they need (pipelines first of all, which are otherwise
  // built on first use; layouts, views) and run with an empty scissor, so that the stages
  // before the rasterizer run once (some drivers compile on a draw's first execution) and no
  // pixel is written; they are not counted as draws. Dispatches are prepared and not run.
  // For work that is skipped while loading: prepared during the warm-up, its first real run
  // creates no GPU object. Clears and copies are not affected; clearState leaves it as it is.
  void setPrepareOnly(bool on);
  bool prepareOnly() const;

  // Resources.
  void copyResource(Texture* destination, Texture* source);
  // Dynamic buffers: D3D11_MAP_WRITE_DISCARD (fresh memory, write every byte you need) or
  // WRITE_NO_OVERWRITE; dynamic textures: WRITE_DISCARD of one subresource (Direct3D pitches).
  // Staging: D3D11_MAP_READ (waits for the GPU). Returns false for other combinations.
  bool map(Texture* resource, uint32_t subresource, D3DMap type, MappedSubresource& out);
  void unmap(Texture* resource, uint32_t subresource);
  // subresource = mip + slice * mipLevels; pitches of the source data (0: tightly packed).
  void updateSubresource(Texture* resource, uint32_t subresource, const void* data, uint32_t rowPitch,
                         uint32_t depthPitch);
  void clearRenderTargetView(Texture* target, const float colour[4], uint32_t slice = 0);
  void clearDepthStencilView(Texture* depth, uint32_t clearFlags, float depthValue, uint8_t stencil);
  void clearUnorderedAccessViewUint(Texture* resource, const uint32_t values[4]);
  void clearUnorderedAccessViewFloat(Texture* resource, const float values[4]);

  // Unbinds everything and returns every state to its default (Direct3D's ClearState).
  void clearState();
  // Removes a resource from every binding slot; deleteTexture calls it, so a deleted
  // texture is never used by a later draw.
  void unbindEverywhere(const Texture* resource);
  void unbindEverywhere(const gfxbackend::Shader* shader);
  void unbindEverywhere(const gfxbackend::VertexLayout* layout);

  // Submits recorded work (and waits when `wait`). Present, read-back and Map for reading
  // do this themselves.
  void flush(bool wait);

  // Debug markers (no-ops without debug utils).
  void beginEvent(const char* name);
  void endEvent();

  gfxbackend::ContextImpl* impl() const { return impl_; }

 private:
  Device* device_ = nullptr;
  gfxbackend::ContextImpl* impl_ = nullptr;
};

// Prepare-only mode (DeviceContext::setPrepareOnly) for a scope; the setting before it comes
// back at its end. A null context is left alone.
class PrepareOnlyScope {
 public:
  explicit PrepareOnlyScope(DeviceContext* context);
  ~PrepareOnlyScope();
  PrepareOnlyScope(const PrepareOnlyScope&) = delete;
  PrepareOnlyScope& operator=(const PrepareOnlyScope&) = delete;

 private:
  DeviceContext* context_;
  bool was_ = false;
};

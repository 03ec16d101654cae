#pragma once
// The immediate context's recorded state, and what its parts share: descriptors and layouts
// (VkDescriptors.cpp), pipelines (VkPipelines.cpp), state and draws (VkContext.cpp), transfers
// (VkTransfers.cpp). Private to gfx/vulkan.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <cmath>
#include <map>
#include <set>
#include <unordered_map>

#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/Hash.h"
#include "gfx/vulkan/Backend.h"

namespace gfxbackend {

enum class BindKind : uint8_t { ConstantBuffer, ShaderResource, Sampler, Uav, Counter };

struct BindingSource {
  uint32_t binding = 0;
  VkDescriptorType type = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
  BindKind kind = BindKind::ConstantBuffer;
  uint32_t reg = 0;        // the first register (an array takes reg .. reg + count - 1)
  uint32_t count = 1;
  uint32_t stageMask = 0;  // our stage numbering
  hlsl::ResourceKind resourceKind = hlsl::ResourceKind::Texture;
  // What a stand-in for an unbound slot must look like.
  hlsl::ImageDim dim = hlsl::ImageDim::None;
  bool arrayed = false;
  uint32_t elementType = 0;  // 0 float, 1 int, 2 uint
  uint32_t spirvFormat = 0;  // declared format of storage images and texel buffers
  bool compared = false;     // sampled with a depth reference (SampleCmp): a depth stand-in
};

struct ProgramLayout {
  VkDescriptorSetLayout setLayout = VK_NULL_HANDLE;
  VkPipelineLayout layout = VK_NULL_HANDLE;
  std::vector<BindingSource> bindings;
  uint32_t descriptorCount = 0;
  bool push = true;    // descriptors are pushed; else a set from the frame's pools
  bool valid = true;   // within the device's descriptor limits
};

struct PipelineKey {
  uint32_t shaders[6];
  uint32_t vertexLayout;
  const RenderState* state;
  VkFormat colour[5];
  uint32_t colourCount;
  VkFormat depth;
  uint32_t topologyClass;
  uint32_t patchPoints;
  uint32_t storageFormats[8];  // SPIR-V formats of storage images / texel buffers, in binding order
};

// A storage view whose format has no SPIR-V image format: the module declares none.
constexpr uint32_t kStorageFormatUnknown = 0xFFFF;

struct PipelineEntry {
  PipelineKey key;
  VkPipeline pipeline;  // VK_NULL_HANDLE: building failed (not tried again)
};

struct StageState {
  Shader* shader = nullptr;
  Texture* cbs[kConstantBufferSlots] = {};
  Texture* srvs[kShaderResourceSlots] = {};
  Sampler* samplers[kSamplerSlots] = {};
  Texture* uavs[kUavSlots] = {};
};

// The HLSL type of a texture slot, for messages.
template <typename Binding>
const char* viewTypeName(const Binding& b) {
  const bool rw = b.kind == BindKind::Uav;
  switch (b.dim) {
    case hlsl::ImageDim::Dim1D: return b.arrayed ? (rw ? "RWTexture1DArray" : "Texture1DArray") : (rw ? "RWTexture1D" : "Texture1D");
    case hlsl::ImageDim::Dim3D: return rw ? "RWTexture3D" : "Texture3D";
    case hlsl::ImageDim::Cube: return b.arrayed ? "TextureCubeArray" : "TextureCube";
    default: return b.arrayed ? (rw ? "RWTexture2DArray" : "Texture2DArray") : (rw ? "RWTexture2D" : "Texture2D");
  }
}

// What the command buffer has bound for drawing, so that a draw records only what differs
// from the draw before it (each recorded command costs the driver an allocation and a copy).
// It describes one command buffer, named by the device's epoch, and is forgotten when
// rendering starts, when a dispatch binds compute, and at every submit.
struct BoundGraphics {
  uint64_t epoch = 0;  // the command buffer described; 0: nothing is known
  VkPipeline pipeline = VK_NULL_HANDLE;
  bool haveViewport = false, haveScissor = false, haveStencilRef = false, haveBlend = false;
  VkViewport viewport{};
  VkRect2D scissor{};
  uint32_t stencilRef = 0;
  VkPrimitiveTopology topology = VK_PRIMITIVE_TOPOLOGY_MAX_ENUM;
  VkBuffer vbs[kVertexBufferSlots] = {};  // null: not known
  VkDeviceSize vbOffsets[kVertexBufferSlots] = {};
  VkDeviceSize vbStrides[kVertexBufferSlots] = {};
  VkBuffer ib = VK_NULL_HANDLE;
  VkDeviceSize ibOffset = 0;
  VkIndexType ibType = VK_INDEX_TYPE_MAX_ENUM;
  // Descriptors: the layout they were given under (null: none) and what each binding holds,
  // laid out as gatherDescriptors lays out that layout's writes. The lists and their writes
  // outlive forget(): they are the last draw's gathered descriptors, which a draw with the
  // same program and bindings gives again (LastDraw says when), whatever the command buffer.
  VkPipelineLayout layout = VK_NULL_HANDLE;
  std::vector<VkDescriptorBufferInfo> bufferInfos;
  std::vector<VkDescriptorImageInfo> imageInfos;
  std::vector<VkBufferView> texelViews;
  std::vector<VkWriteDescriptorSet> writes;  // pointing into the lists above

  void forget() {
    epoch = 0;
    pipeline = VK_NULL_HANDLE;
    haveViewport = haveScissor = haveStencilRef = haveBlend = false;
    topology = VK_PRIMITIVE_TOPOLOGY_MAX_ENUM;
    for (VkBuffer& b : vbs) b = VK_NULL_HANDLE;
    ib = VK_NULL_HANDLE;
    ibType = VK_INDEX_TYPE_MAX_ENUM;
    layout = VK_NULL_HANDLE;
  }
};

// A resource a draw or dispatch touches, and how.
struct Use {
  Resource* r;
  VkImageLayout layout;  // UNDEFINED for buffers
  Access access;
};

// A dynamic buffer's descriptor among the gathered ones: its contents sit at a place in the
// upload ring that moves with every map, so a draw that reuses the gathered descriptors
// takes this one again.
struct RingDescriptor {
  Resource* r;
  uint32_t info;   // index into the gathered buffer infos
  uint32_t write;  // index of the write holding it
  VkDeviceSize range;
  bool changed;    // refreshed to another place than the one last handed to the command buffer
};

// Where a descriptor element's source is bound: one slot of one stage (as a program's
// bindings almost always are), or found again by boundFor.
struct SourceSlot {
  enum How : uint8_t { TextureSlot, SamplerSlot, Search } how;
  const void* at;  // the slot (a Texture* or a Sampler*)
  uint32_t binding, element;  // Search: the binding's index in its layout, and the element
};

// What the last fully prepared draw was made from. A draw whose pipeline inputs and bound
// resources are all the same reuses its layout, pipeline and gathered descriptors, refreshes
// the ring-backed ones and checks the barriers of the same uses again (a copy or dispatch in
// between may have changed a resource's layout or left a write to wait for). Pointers
// stand for what they point to because deleting or resizing a texture, or deleting a shader
// or input layout, forgets all of it (unbindEverywhere).
struct LastDraw {
  bool valid = false;
  // The pipeline's inputs.
  Shader* shaders[5] = {};
  VertexLayout* layout = nullptr;
  RenderState* state = nullptr;
  D3DPrimitiveTopology topology = D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED;
  Texture* rts[kRenderTargetSlots] = {};
  uint32_t rtCount = 0;
  Texture* depth = nullptr;
  // The bindings: what each descriptor element was given from (a texture or a sampler, as
  // gatherDescriptors found it) and the pixel stage's UAVs (a texture bound there reads as
  // unbound through a shader-resource slot).
  std::vector<const void*> sources;
  std::vector<SourceSlot> slots;  // where each source is bound
  Texture* pixelUavs[kUavSlots] = {};
  // What came of them.
  ProgramLayout* pl = nullptr;
  VkPipeline pipeline = VK_NULL_HANDLE;
  std::vector<Use> uses;               // the resources the descriptors touch
  // Whether they only read (no write, no UAV counter); then, while no resource's tracking
  // changed since the draw was recorded (trackingChanges()), they need no barrier again.
  bool readsOnly = false;
  uint64_t trackingStamp = 0;
  // The vertex and index buffers it read: the same ones, with nothing changed since, need no
  // barrier either.
  Texture* vbs[kVertexBufferSlots] = {};
  Texture* ib = nullptr;
  bool indexed = false;
  std::vector<RingDescriptor> rings;   // the ring-backed descriptors among BoundGraphics' lists
};

struct ContextImpl {
  Device* device = nullptr;
  DeviceImpl* d = nullptr;
  StageState stages[hlsl::kStageCount];
  D3DPrimitiveTopology topology = D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED;
  VertexLayout* layout = nullptr;
  Texture* vbs[kVertexBufferSlots] = {};
  uint32_t strides[kVertexBufferSlots] = {};
  uint32_t offsets[kVertexBufferSlots] = {};
  Texture* ib = nullptr;
  DxgiFormat ibFormat = DXGI_FORMAT_R16_UINT;
  uint32_t ibOffset = 0;
  Texture* rts[kRenderTargetSlots] = {};
  uint32_t rtCount = 0;
  Texture* depth = nullptr;
  uint32_t slice = 0;
  D3DViewport viewport;
  bool viewportSet = false;
  ScissorRect scissor;
  RenderState* state = nullptr;
  uint32_t stencilRef = 0;
  bool prepareOnly = false;  // draws and dispatches are prepared, not recorded
  bool sketch = false;       // draws shade one pixel (gfx/SketchDraws.h)
  bool pictureDispatches = false;  // dispatches for the picture alone: one group while sketching

  // Open rendering.
  bool rendering = false;
  Texture* rRts[kRenderTargetSlots] = {};
  uint32_t rRtCount = 0;
  Texture* rDepth = nullptr;
  uint32_t rSlice = 0;
  VkExtent2D extent{0, 0};

  std::map<std::array<uint32_t, 6>, ProgramLayout*> layouts;
  std::unordered_map<uint32_t, std::vector<PipelineEntry>> pipelines;
  // The last lookups, asked again by draw after draw of one program (neither cache forgets).
  std::array<uint32_t, 6> lastLayoutKey{};
  ProgramLayout* lastLayout = nullptr;
  PipelineKey lastPipelineKey{};
  bool lastPipelineCompute = false;
  VkPipeline lastPipeline = VK_NULL_HANDLE;
  bool lastPipelineKnown = false;
  BoundGraphics bound;
  LastDraw last;
  uint32_t messagesLeft = 20;  // skipped-draw messages before going quiet

  // Scratch (kept to avoid allocation per draw).
  std::vector<VkWriteDescriptorSet> writes;
  std::vector<VkDescriptorBufferInfo> bufferInfos;
  std::vector<VkDescriptorImageInfo> imageInfos;
  std::vector<VkBufferView> texelViews;
  std::vector<VkWriteDescriptorSet> changedWrites;   // the writes a draw pushes (what differs)
  std::vector<const void*> sources;                  // gatherDescriptors' sources (LastDraw)
  std::vector<RingDescriptor> rings;                 // gatherDescriptors' ring-backed descriptors
  std::vector<VkImageCopy> imageCopies;              // copyResource: one per mip level
  std::vector<VkBufferImageCopy> bufferImageCopies;  // copyResource: one per subresource

  void endRendering() {
    if (!rendering) return;
    vkCmdEndRendering(d->cmd());
    rendering = false;
  }
  // A texture bound to a slot of a type it cannot be seen as reads as unbound; said once per
  // texture and register.
  std::set<std::pair<const Texture*, uint32_t>> mismatches;
  template <typename Binding>
  void mismatch(const Texture* t, const Binding& b) {
    if (!mismatches.insert({t, b.binding}).second) return;
    logMessage("A %ux%u texture of %u slices%s cannot be read through the %s declared at register %c%u; it reads as "
               "unbound\n",
               t->width(), t->height(), t->desc.arraySize, t->isCube() ? " (a cube map)" : "",
               viewTypeName(b), b.kind == BindKind::Uav ? 'u' : 't', b.reg);
  }
  void warn(const char* text) {
    if (messagesLeft == 0) return;
    --messagesLeft;
    logMessage("Draw skipped: %s\n", text);
  }
};

// Descriptors and layouts (VkDescriptors.cpp).
VkShaderStageFlagBits vkStage(uint32_t s);
// Where a stage's bindings start in a graphics pipeline's descriptor set (compute: 0).
uint32_t stageBindingOffset(uint32_t stage);
// The layout of the program these shaders (by stage) make, made on first use and kept.
ProgramLayout* programLayout(ContextImpl& c, Shader* const shaders[6]);
// What is bound to element `element` of a binding (register reg + element).
Texture* boundFor(ContextImpl& c, const BindingSource& b, Sampler** sampler, uint32_t element = 0);
bool isStorageImageBinding(const BindingSource& b);
// Dynamic buffers: make sure the latest contents sit in this frame's ring.
void ensureRing(ContextImpl& c, Resource& r);
// Fills the descriptor writes for a program and collects the resources it touches.
// Returns false when a required descriptor cannot be given.
// For drawing, it also lists each element's source (c.sources) and the ring-backed
// descriptors (c.rings).
bool gatherDescriptors(ContextImpl& c, ProgramLayout& pl, std::vector<Use>& uses, bool compute);
// Where each element of a program's bindings is bound from (gatherDescriptors' order).
void sourceSlots(ContextImpl& c, const ProgramLayout& pl, std::vector<SourceSlot>& slots);
// Whether what is bound to the last full draw's program is what it gathered from.
bool sameSources(ContextImpl& c);
// The last draw's descriptors again: the ring-backed ones take their buffers' current place
// in the ring (which may submit, for ring space: the caller checks the epoch).
void refreshRingDescriptors(ContextImpl& c);
// Hands the last draw's descriptors, refreshed, to the command buffer: what it already holds
// under the same layout is not given again.
void bindLastDescriptors(ContextImpl& c, VkCommandBuffer cmd, const ProgramLayout& pl);
// Hands the gathered descriptors to the command buffer: pushed, or written into a set.
void bindDescriptors(ContextImpl& c, VkCommandBuffer cmd, VkPipelineBindPoint point, const ProgramLayout& pl);
// Applies pending UAV counts and barriers (outside rendering).
void applyUses(ContextImpl& c, std::vector<Use>& uses);
bool needsBarrier(const Use& u);

// Pipelines (VkPipelines.cpp).
// The formats of the views bound to the storage images and texel buffers, in binding order:
// the pipeline's modules are patched to them, so they are part of its key.
void storageFormats(ContextImpl& c, const ProgramLayout& pl, PipelineKey& key);
// The pipeline for a key: built on first use (a failed build is not tried again), then cached.
VkPipeline findPipeline(ContextImpl& c, ProgramLayout& pl, const PipelineKey& key, bool compute);

}  // namespace gfxbackend

// The immediate context on Vulkan: recorded state, pipelines built on first use and cached,
// push descriptors, barriers, copies, maps.
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

struct ContextImpl {
  Device* device = nullptr;
  DeviceImpl* d = nullptr;
  StageState stages[kStageCount];
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

  // Open rendering.
  bool rendering = false;
  Texture* rRts[kRenderTargetSlots] = {};
  uint32_t rRtCount = 0;
  Texture* rDepth = nullptr;
  uint32_t rSlice = 0;
  VkExtent2D extent{0, 0};

  std::map<std::array<uint32_t, 6>, ProgramLayout*> layouts;
  std::unordered_map<uint32_t, std::vector<PipelineEntry>> pipelines;
  uint32_t messagesLeft = 20;  // skipped-draw messages before going quiet

  // Scratch (kept to avoid allocation per draw).
  std::vector<VkWriteDescriptorSet> writes;
  std::vector<VkDescriptorBufferInfo> bufferInfos;
  std::vector<VkDescriptorImageInfo> imageInfos;
  std::vector<VkBufferView> texelViews;
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

namespace {

VkShaderStageFlagBits vkStage(uint32_t s) {
  switch (s) {
    case hlsl::Vertex: return VK_SHADER_STAGE_VERTEX_BIT;
    case hlsl::Hull: return VK_SHADER_STAGE_TESSELLATION_CONTROL_BIT;
    case hlsl::Domain: return VK_SHADER_STAGE_TESSELLATION_EVALUATION_BIT;
    case hlsl::Geometry: return VK_SHADER_STAGE_GEOMETRY_BIT;
    case hlsl::Pixel: return VK_SHADER_STAGE_FRAGMENT_BIT;
    default: return VK_SHADER_STAGE_COMPUTE_BIT;
  }
}

VkDescriptorType descriptorType(hlsl::ResourceKind k) {
  switch (k) {
    case hlsl::ResourceKind::Texture: return VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE;
    case hlsl::ResourceKind::Sampler: return VK_DESCRIPTOR_TYPE_SAMPLER;
    case hlsl::ResourceKind::Buffer: return VK_DESCRIPTOR_TYPE_UNIFORM_TEXEL_BUFFER;
    case hlsl::ResourceKind::RWTexture: return VK_DESCRIPTOR_TYPE_STORAGE_IMAGE;
    case hlsl::ResourceKind::RWBuffer: return VK_DESCRIPTOR_TYPE_STORAGE_TEXEL_BUFFER;
    default: return VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
  }
}

bool isUavKind(hlsl::ResourceKind k) {
  return k == hlsl::ResourceKind::RWTexture || k == hlsl::ResourceKind::RWBuffer ||
         k == hlsl::ResourceKind::RWStructuredBuffer || k == hlsl::ResourceKind::AppendBuffer ||
         k == hlsl::ResourceKind::ConsumeBuffer;
}

// Stages searched for a shared binding: pixel first, then the pipeline order.
constexpr uint32_t kStageOrder[6] = {hlsl::Pixel, hlsl::Vertex, hlsl::Hull, hlsl::Domain, hlsl::Geometry, hlsl::Compute};

// Where a stage's bindings start in a graphics pipeline's descriptor set (compute: 0).
constexpr uint32_t kStageBindingStride = 256;  // more than the HLSL front end's binding ranges
uint32_t stageBindingOffset(uint32_t stage) { return stage < hlsl::Compute ? stage * kStageBindingStride : 0; }

ProgramLayout* programLayout(ContextImpl& c, Shader* const shaders[6]) {
  std::array<uint32_t, 6> key{};
  for (int s = 0; s < 6; ++s) key[s] = shaders[s] ? shaders[s]->id : 0;
  auto it = c.layouts.find(key);
  if (it != c.layouts.end()) return it->second;
  auto* pl = new ProgramLayout;
  std::map<uint32_t, BindingSource> merged;
  // Each stage has registers of its own (Direct3D binds per stage): the graphics stages' bindings
  // are moved apart in the pipeline's modules, so that a vertex shader's t0 and a pixel
  // shader's t0 are two descriptors.
  auto add = [&](BindingSource b, uint32_t stage) {
    b.binding += stageBindingOffset(stage);
    auto [pos, inserted] = merged.emplace(b.binding, b);
    if (!inserted && pos->second.type != b.type) {
      logMessage("Shader stages disagree on the kind of binding %u; the first stage's kind is used\n", b.binding);
    }
    pos->second.count = std::max(pos->second.count, b.count);
    pos->second.stageMask |= 1u << stage;
    pos->second.compared = pos->second.compared || b.compared;
  };
  for (uint32_t s = 0; s < 6; ++s) {
    if (!shaders[s]) continue;
    const hlsl::Reflection& r = shaders[s]->reflection;
    for (const auto& cb : r.cbuffers) {
      if (cb.size > c.d->limits.uniformRange) {
        char text[240];
        std::snprintf(text, sizeof(text),
                      "Constant buffer %s of %s takes %u bytes; this device reads at most %u (maxUniformBufferRange)",
                      cb.name.c_str(), r.entry.c_str(), cb.size, c.d->limits.uniformRange);
        fatalError(text);
      }
      BindingSource b;
      b.binding = cb.binding;
      b.type = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
      b.kind = BindKind::ConstantBuffer;
      b.reg = cb.slot;
      add(b, s);
    }
    for (const auto& res : r.resources) {
      BindingSource b;
      b.binding = res.binding;
      b.type = descriptorType(res.kind);
      b.resourceKind = res.kind;
      b.reg = res.reg;
      b.count = std::max(res.count, 1u);
      b.dim = res.dim;
      b.arrayed = res.arrayed;
      b.elementType = res.elementType;
      b.spirvFormat = res.spirvFormat;
      b.compared = res.kind == hlsl::ResourceKind::Texture && depthCompared(shaders[s]->spirv, res.binding);
      b.kind = res.kind == hlsl::ResourceKind::Sampler ? BindKind::Sampler
               : isUavKind(res.kind)                  ? BindKind::Uav
                                                      : BindKind::ShaderResource;
      add(b, s);
      if (res.counterBinding != UINT32_MAX) {
        BindingSource cnt = b;
        cnt.binding = res.counterBinding;
        cnt.type = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
        cnt.kind = BindKind::Counter;
        cnt.count = 1;
        add(cnt, s);
      }
    }
  }
  std::vector<VkDescriptorSetLayoutBinding> vkBindings;
  // Descriptors per stage and kind, against the device's limits.
  uint32_t perStage[6][5] = {};  // samplers, uniform buffers, storage buffers, sampled images, storage images
  uint32_t total[5] = {};
  auto limitClass = [](VkDescriptorType t) {
    switch (t) {
      case VK_DESCRIPTOR_TYPE_SAMPLER: return 0;
      case VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER: return 1;
      case VK_DESCRIPTOR_TYPE_STORAGE_BUFFER: return 2;
      case VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE:
      case VK_DESCRIPTOR_TYPE_UNIFORM_TEXEL_BUFFER: return 3;
      default: return 4;  // storage images and storage texel buffers
    }
  };
  for (auto& [binding, b] : merged) {
    pl->bindings.push_back(b);
    pl->descriptorCount += b.count;
    VkDescriptorSetLayoutBinding lb{};
    lb.binding = binding;
    lb.descriptorType = b.type;
    lb.descriptorCount = b.count;
    for (uint32_t s = 0; s < 6; ++s)
      if (b.stageMask & (1u << s)) {
        lb.stageFlags |= vkStage(s);
        perStage[s][limitClass(b.type)] += b.count;
      }
    total[limitClass(b.type)] += b.count;
    vkBindings.push_back(lb);
  }
  const VkPhysicalDeviceLimits& lim = c.d->properties.limits;
  const uint32_t stageLimits[5] = {lim.maxPerStageDescriptorSamplers, lim.maxPerStageDescriptorUniformBuffers,
                                   lim.maxPerStageDescriptorStorageBuffers, lim.maxPerStageDescriptorSampledImages,
                                   lim.maxPerStageDescriptorStorageImages};
  const uint32_t setLimits[5] = {lim.maxDescriptorSetSamplers, lim.maxDescriptorSetUniformBuffers,
                                 lim.maxDescriptorSetStorageBuffers, lim.maxDescriptorSetSampledImages,
                                 lim.maxDescriptorSetStorageImages};
  static const char* const kClassNames[5] = {"samplers", "constant buffers", "structured buffers",
                                             "textures and buffers", "unordered-access views"};
  static const char* const kStageNames[6] = {"vertex", "hull", "domain", "geometry", "pixel", "compute"};
  char why[200] = "";
  for (uint32_t s = 0; s < 6 && !why[0]; ++s) {
    uint32_t all = 0;
    for (int k = 0; k < 5; ++k) {
      all += perStage[s][k];
      if (perStage[s][k] > stageLimits[k])
        std::snprintf(why, sizeof(why), "its %s stage uses %u %s; this device allows %u", kStageNames[s],
                      perStage[s][k], kClassNames[k], stageLimits[k]);
    }
    if (!why[0] && all > lim.maxPerStageResources)
      std::snprintf(why, sizeof(why), "its %s stage uses %u resources; this device allows %u", kStageNames[s], all,
                    lim.maxPerStageResources);
  }
  for (int k = 0; k < 5 && !why[0]; ++k)
    if (total[k] > setLimits[k])
      std::snprintf(why, sizeof(why), "it uses %u %s; this device allows %u", total[k], kClassNames[k], setLimits[k]);
  if (why[0]) {
    logMessage("A shader program cannot be used: %s\n", why);
    pl->valid = false;
  }
  // Pushed descriptors where they fit, else a descriptor set per draw from the frame's pools.
  pl->push = pl->descriptorCount <= c.d->pushDescriptorLimit;
  VkDescriptorSetLayoutCreateInfo si{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
  si.flags = pl->push ? VK_DESCRIPTOR_SET_LAYOUT_CREATE_PUSH_DESCRIPTOR_BIT_KHR : 0;
  si.bindingCount = uint32_t(vkBindings.size());
  si.pBindings = vkBindings.data();
  if (!pl->valid) si.bindingCount = 0;  // never used for drawing; keeps the layout valid
  if (vkCreateDescriptorSetLayout(c.d->device, &si, nullptr, &pl->setLayout) != VK_SUCCESS)
    fatalError("Vulkan: descriptor set layout creation failed");
  VkPipelineLayoutCreateInfo li{VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
  li.setLayoutCount = 1;
  li.pSetLayouts = &pl->setLayout;
  if (vkCreatePipelineLayout(c.d->device, &li, nullptr, &pl->layout) != VK_SUCCESS)
    fatalError("Vulkan: pipeline layout creation failed");
  c.d->counters->pipelineLayouts++;
  c.layouts[key] = pl;
  return pl;
}

// What is bound to element `element` of a binding (register reg + element).
Texture* boundFor(ContextImpl& c, const BindingSource& b, Sampler** sampler, uint32_t element = 0) {
  const uint32_t reg = b.reg + element;
  for (uint32_t s : kStageOrder) {
    if (!(b.stageMask & (1u << s))) continue;
    StageState& st = c.stages[s];
    switch (b.kind) {
      case BindKind::ConstantBuffer:
        if (reg < kConstantBufferSlots && st.cbs[reg]) return st.cbs[reg];
        break;
      case BindKind::ShaderResource:
        if (reg < kShaderResourceSlots && st.srvs[reg]) return st.srvs[reg];
        break;
      case BindKind::Sampler:
        if (reg < kSamplerSlots && st.samplers[reg]) {
          *sampler = st.samplers[reg];
          return nullptr;
        }
        break;
      case BindKind::Uav:
      case BindKind::Counter:
        if (reg < kUavSlots && st.uavs[reg]) return st.uavs[reg];
        break;
    }
  }
  return nullptr;
}

bool isStorageImageBinding(const BindingSource& b) {
  return b.kind == BindKind::Uav &&
         (b.resourceKind == hlsl::ResourceKind::RWTexture || b.resourceKind == hlsl::ResourceKind::RWBuffer);
}

VkShaderModule makeModule(ContextImpl& c, const std::vector<uint32_t>& code) {
  std::vector<uint32_t> stripped;
  if (!c.d->hlslExtensions) stripped = stripHlslReflection(code);
  const std::vector<uint32_t>& spirv = c.d->hlslExtensions ? code : stripped;
  VkShaderModuleCreateInfo mi{VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO};
  mi.codeSize = spirv.size() * 4;
  mi.pCode = spirv.data();
  VkShaderModule m = VK_NULL_HANDLE;
  if (vkCreateShaderModule(c.d->device, &mi, nullptr, &m) != VK_SUCCESS) return VK_NULL_HANDLE;
  c.d->counters->shaderModules++;
  return m;
}

// Storage views whose format has no shader format (BGRA8) are declared without one; the
// module then needs the device's read-/write-without-format features for what it does.
bool patchFormats(ContextImpl& c, ProgramLayout& pl, const PipelineKey& key, std::vector<uint32_t>& spirv,
                  std::string& error) {
  constexpr uint32_t kReadWithoutFormat = 55, kWriteWithoutFormat = 56;
  uint32_t n = 0;
  for (const BindingSource& b : pl.bindings) {
    if (!isStorageImageBinding(b)) continue;
    const uint32_t format = n < 8 ? key.storageFormats[n] : 0;
    ++n;
    if (!format) continue;
    if (format != kStorageFormatUnknown) {
      patchStorageFormat(spirv, b.binding, format);
      continue;
    }
    const uint32_t access = storageImageAccess(spirv, b.binding);
    if (!access) continue;
    const VkPhysicalDeviceFeatures& f = c.d->features.core;
    if (((access & 1) && !f.shaderStorageImageReadWithoutFormat) ||
        ((access & 2) && !f.shaderStorageImageWriteWithoutFormat)) {
      error = "the view bound to u" + std::to_string(b.reg) + " has a format shaders can only " +
              ((access & 1) ? "read" : "write") + " with the shaderStorageImage" +
              ((access & 1) ? "Read" : "Write") + "WithoutFormat feature, which this device lacks";
      return false;
    }
    patchStorageFormat(spirv, b.binding, 0);
    if (access & 1) addCapability(spirv, kReadWithoutFormat);
    if (access & 2) addCapability(spirv, kWriteWithoutFormat);
  }
  return true;
}

VkPipeline buildGraphicsPipeline(ContextImpl& c, ProgramLayout& pl, const PipelineKey& key) {
  if (!pl.valid) return VK_NULL_HANDLE;
  std::vector<uint32_t> code[6];
  Shader* shaders[6] = {};
  for (uint32_t s = 0; s < 5; ++s) {
    shaders[s] = c.stages[s].shader;
    if (shaders[s]) code[s] = shaders[s]->spirv;
  }
  std::string error;
  // Vertex inputs read the layout's elements by semantic.
  std::vector<std::pair<std::string, uint32_t>> semantics;
  if (c.layout)
    for (const auto& e : c.layout->elements) semantics.emplace_back(e.semanticName, e.semanticIndex);
  bool vsHasInputs = false;
  for (const auto& in : shaders[0]->reflection.inputs)
    if (!in.builtin) vsHasInputs = true;
  if (vsHasInputs && !hlsl::remapVertexInputs(code[0], semantics, &error)) {
    logMessage("Pipeline not built: %s\n", error.c_str());
    return VK_NULL_HANDLE;
  }
  int prev = 0;
  for (int s = 1; s < 5; ++s) {
    if (!shaders[s]) continue;
    if (!hlsl::linkStages(code[prev], code[s], &error)) {
      logMessage("Pipeline not built: %s\n", error.c_str());
      return VK_NULL_HANDLE;
    }
    prev = s;
  }
  std::vector<VkPipelineShaderStageCreateInfo> stages;
  std::vector<VkShaderModule> modules;
  for (uint32_t s = 0; s < 5; ++s) {
    if (!shaders[s]) continue;
    offsetBindings(code[s], stageBindingOffset(s));
    if (!patchFormats(c, pl, key, code[s], error)) {
      logMessage("Pipeline not built: %s\n", error.c_str());
      for (VkShaderModule old : modules) vkDestroyShaderModule(c.d->device, old, nullptr);
      return VK_NULL_HANDLE;
    }
    VkShaderModule m = makeModule(c, code[s]);
    if (!m) {
      logMessage("Pipeline not built: shader module creation failed\n");
      for (VkShaderModule old : modules) vkDestroyShaderModule(c.d->device, old, nullptr);
      return VK_NULL_HANDLE;
    }
    modules.push_back(m);
    VkPipelineShaderStageCreateInfo si{VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO};
    si.stage = vkStage(s);
    si.module = m;
    si.pName = shaders[s]->reflection.entry.empty() ? "main" : shaders[s]->reflection.entry.c_str();
    stages.push_back(si);
  }

  // Vertex input: location i reads element i; strides are dynamic.
  std::vector<VkVertexInputBindingDescription> vbind;
  std::vector<VkVertexInputAttributeDescription> vattr;
  if (c.layout && vsHasInputs) {
    for (uint32_t i = 0; i < c.layout->elements.size(); ++i) {
      const InputElementDesc& e = c.layout->elements[i];
      uint32_t slot = std::min(e.inputSlot, kVertexBufferSlots - 1);
      vattr.push_back({i, slot, toVkFormat(e.format), e.alignedByteOffset});
      bool found = false;
      for (auto& b : vbind)
        if (b.binding == slot) found = true;
      if (!found)
        vbind.push_back({slot, 0, e.perInstance ? VK_VERTEX_INPUT_RATE_INSTANCE : VK_VERTEX_INPUT_RATE_VERTEX});
    }
  }
  VkPipelineVertexInputStateCreateInfo vi{VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO};
  vi.vertexBindingDescriptionCount = uint32_t(vbind.size());
  vi.pVertexBindingDescriptions = vbind.data();
  vi.vertexAttributeDescriptionCount = uint32_t(vattr.size());
  vi.pVertexAttributeDescriptions = vattr.data();

  static const VkPrimitiveTopology kClassTopology[4] = {
      VK_PRIMITIVE_TOPOLOGY_POINT_LIST, VK_PRIMITIVE_TOPOLOGY_LINE_LIST, VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST,
      VK_PRIMITIVE_TOPOLOGY_PATCH_LIST};
  VkPipelineInputAssemblyStateCreateInfo ia{VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO};
  ia.topology = kClassTopology[key.topologyClass & 3];
  VkPipelineTessellationStateCreateInfo ts{VK_STRUCTURE_TYPE_PIPELINE_TESSELLATION_STATE_CREATE_INFO};
  ts.patchControlPoints = key.patchPoints ? key.patchPoints : 3;
  VkPipelineViewportStateCreateInfo vp{VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO};
  vp.viewportCount = 1;
  vp.scissorCount = 1;

  const RenderStateDesc& sd = key.state->desc;
  VkPipelineRasterizationStateCreateInfo rs{VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO};
  rs.polygonMode = (sd.flags & kWireframe) ? VK_POLYGON_MODE_LINE : VK_POLYGON_MODE_FILL;
  rs.cullMode = (sd.flags & kCullBack) ? VK_CULL_MODE_BACK_BIT : (sd.flags & kCullFront) ? VK_CULL_MODE_FRONT_BIT : 0;
  rs.frontFace = VK_FRONT_FACE_CLOCKWISE;
  rs.depthBiasEnable = (sd.depthBias != 0 || sd.slopeScaledDepthBias != 0.0f) ? VK_TRUE : VK_FALSE;
  rs.depthBiasConstantFactor = float(sd.depthBias);
  rs.depthBiasSlopeFactor = sd.slopeScaledDepthBias;
  rs.depthBiasClamp = sd.depthBiasClamp;
  rs.lineWidth = 1.0f;
  VkPipelineMultisampleStateCreateInfo ms{VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO};
  ms.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;
  ms.alphaToCoverageEnable = (sd.flags & kAlphaToCoverage) ? VK_TRUE : VK_FALSE;
  VkPipelineDepthStencilStateCreateInfo ds{VK_STRUCTURE_TYPE_PIPELINE_DEPTH_STENCIL_STATE_CREATE_INFO};
  bool hasDepth = key.depth != VK_FORMAT_UNDEFINED;
  ds.depthTestEnable = hasDepth && (sd.flags & kDepthTest) ? VK_TRUE : VK_FALSE;
  ds.depthWriteEnable = hasDepth && (sd.flags & kDepthTest) && (sd.flags & kDepthWrite) ? VK_TRUE : VK_FALSE;
  ds.depthCompareOp = toVkCompare(sd.depthFunc);
  bool stencilFormat = key.depth == VK_FORMAT_D24_UNORM_S8_UINT || key.depth == VK_FORMAT_D32_SFLOAT_S8_UINT;
  ds.stencilTestEnable = stencilFormat && (sd.flags & kStencil) ? VK_TRUE : VK_FALSE;
  auto face = [&](const uint8_t f[4]) {
    VkStencilOpState o{};
    o.failOp = toVkStencilOp(f[0]);
    o.depthFailOp = toVkStencilOp(f[1]);
    o.passOp = toVkStencilOp(f[2]);
    o.compareOp = toVkCompare(f[3]);
    o.compareMask = sd.stencilReadMask;
    o.writeMask = sd.stencilWriteMask;
    return o;
  };
  ds.front = face(sd.frontFace);
  ds.back = face(sd.backFace);
  ds.minDepthBounds = 0.0f;
  ds.maxDepthBounds = 1.0f;
  VkPipelineColorBlendAttachmentState att[5]{};
  for (uint32_t i = 0; i < key.colourCount; ++i) {
    TargetBlend tb = effectiveBlend(sd, i);
    // Direct3D ignores blending on targets that cannot blend (integer formats); Vulkan
    // forbids it.
    const VkFormat f = key.colour[i];
    const bool float32 = f == VK_FORMAT_R32_SFLOAT || f == VK_FORMAT_R32G32_SFLOAT || f == VK_FORMAT_R32G32B32A32_SFLOAT;
    if (f != VK_FORMAT_UNDEFINED && tb.enable &&
        (!(c.d->formatFeatures(f) & VK_FORMAT_FEATURE_COLOR_ATTACHMENT_BLEND_BIT) || (float32 && !c.d->float32Blending))) {
      // Direct3D blends float targets; a device that cannot draws them unblended, and says so.
      if (float32 && !c.d->blendFallbackTold) {
        logMessage("This device cannot blend into %s targets; passes that blend into them overwrite instead (said "
                   "once for all such formats)\n",
                   vkFormatName(f));
        c.d->blendFallbackTold = true;
      }
      tb.enable = false;
    }
    att[i].blendEnable = tb.enable ? VK_TRUE : VK_FALSE;
    att[i].srcColorBlendFactor = toVkBlend(tb.colour & 63);
    att[i].dstColorBlendFactor = toVkBlend((tb.colour >> 6) & 63);
    att[i].colorBlendOp = toVkBlendOp(tb.colour >> 12);
    att[i].srcAlphaBlendFactor = toVkBlend(tb.alpha & 63);
    att[i].dstAlphaBlendFactor = toVkBlend((tb.alpha >> 6) & 63);
    att[i].alphaBlendOp = toVkBlendOp(tb.alpha >> 12);
    att[i].colorWriteMask = tb.writeMask;
  }
  // Optional features the state needs.
  const VkPhysicalDeviceFeatures& feat = c.d->features.core;
  const char* missing = nullptr;
  if (rs.polygonMode != VK_POLYGON_MODE_FILL && !feat.fillModeNonSolid) missing = "wireframe fill needs fillModeNonSolid";
  if (rs.depthBiasEnable && rs.depthBiasClamp != 0.0f && !feat.depthBiasClamp)
    missing = "a depth-bias clamp needs depthBiasClamp";
  for (uint32_t i = 0; i < key.colourCount; ++i) {
    if (i > 0 && !feat.independentBlend && std::memcmp(&att[i], &att[0], sizeof(att[0])) != 0)
      missing = "different blending per target needs independentBlend";
    for (VkBlendFactor f : {att[i].srcColorBlendFactor, att[i].dstColorBlendFactor, att[i].srcAlphaBlendFactor,
                            att[i].dstAlphaBlendFactor})
      if (att[i].blendEnable && f >= VK_BLEND_FACTOR_SRC1_COLOR && f <= VK_BLEND_FACTOR_ONE_MINUS_SRC1_ALPHA &&
          !feat.dualSrcBlend)
        missing = "blending with the second pixel-shader output needs dualSrcBlend";
  }
  if (shaders[hlsl::Geometry] && !feat.geometryShader) missing = "a geometry shader needs geometryShader";
  if (shaders[hlsl::Hull] && !feat.tessellationShader) missing = "hull and domain shaders need tessellationShader";
  if (missing) {
    logMessage("Pipeline not built: %s, which this device lacks\n", missing);
    for (VkShaderModule m : modules) vkDestroyShaderModule(c.d->device, m, nullptr);
    return VK_NULL_HANDLE;
  }
  VkPipelineColorBlendStateCreateInfo cb{VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO};
  cb.attachmentCount = key.colourCount;
  cb.pAttachments = att;
  VkDynamicState dyn[] = {VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR, VK_DYNAMIC_STATE_STENCIL_REFERENCE,
                          VK_DYNAMIC_STATE_PRIMITIVE_TOPOLOGY, VK_DYNAMIC_STATE_VERTEX_INPUT_BINDING_STRIDE,
                          VK_DYNAMIC_STATE_BLEND_CONSTANTS};
  VkPipelineDynamicStateCreateInfo dy{VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO};
  dy.dynamicStateCount = sizeof(dyn) / sizeof(dyn[0]);
  if (vbind.empty()) {
    // The stride state needs vertex buffers bound; a pipeline without vertex input has none.
    std::swap(dyn[4], dyn[5]);
    dy.dynamicStateCount--;
  }
  dy.pDynamicStates = dyn;
  VkPipelineRenderingCreateInfo ri{VK_STRUCTURE_TYPE_PIPELINE_RENDERING_CREATE_INFO};
  ri.colorAttachmentCount = key.colourCount;
  ri.pColorAttachmentFormats = key.colour;
  ri.depthAttachmentFormat = key.depth;
  ri.stencilAttachmentFormat = stencilFormat ? key.depth : VK_FORMAT_UNDEFINED;
  VkGraphicsPipelineCreateInfo gi{VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO};
  gi.pNext = &ri;
  gi.stageCount = uint32_t(stages.size());
  gi.pStages = stages.data();
  gi.pVertexInputState = &vi;
  gi.pInputAssemblyState = &ia;
  gi.pTessellationState = key.topologyClass == 3 ? &ts : nullptr;
  gi.pViewportState = &vp;
  gi.pRasterizationState = &rs;
  gi.pMultisampleState = &ms;
  gi.pDepthStencilState = &ds;
  gi.pColorBlendState = &cb;
  gi.pDynamicState = &dy;
  gi.layout = pl.layout;
  VkPipeline pipeline = VK_NULL_HANDLE;
  VkResult r = vkCreateGraphicsPipelines(c.d->device, c.d->pipelineCache, 1, &gi, nullptr, &pipeline);
  for (VkShaderModule m : modules) vkDestroyShaderModule(c.d->device, m, nullptr);
  if (r != VK_SUCCESS) {
    logMessage("Pipeline not built: %s\n", vkResultText(r));
    return VK_NULL_HANDLE;
  }
  c.d->counters->pipelines++;
  return pipeline;
}

VkPipeline buildComputePipeline(ContextImpl& c, ProgramLayout& pl, const PipelineKey& key) {
  Shader* cs = c.stages[hlsl::Compute].shader;
  std::vector<uint32_t> code = cs->spirv;
  std::string error;
  if (!pl.valid) return VK_NULL_HANDLE;
  if (!patchFormats(c, pl, key, code, error)) {
    logMessage("Compute pipeline not built: %s\n", error.c_str());
    return VK_NULL_HANDLE;
  }
  VkShaderModule m = makeModule(c, code);
  if (!m) return VK_NULL_HANDLE;
  VkComputePipelineCreateInfo ci{VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO};
  ci.stage = {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO};
  ci.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
  ci.stage.module = m;
  ci.stage.pName = cs->reflection.entry.empty() ? "main" : cs->reflection.entry.c_str();
  ci.layout = pl.layout;
  VkPipeline p = VK_NULL_HANDLE;
  VkResult r = vkCreateComputePipelines(c.d->device, c.d->pipelineCache, 1, &ci, nullptr, &p);
  vkDestroyShaderModule(c.d->device, m, nullptr);
  if (r != VK_SUCCESS) {
    logMessage("Compute pipeline not built: %s\n", vkResultText(r));
    return VK_NULL_HANDLE;
  }
  c.d->counters->pipelines++;
  return p;
}

// The formats of the views bound to the storage images and texel buffers, in binding order:
// the pipeline's modules are patched to them, so they are part of its key.
void storageFormats(ContextImpl& c, const ProgramLayout& pl, PipelineKey& key) {
  uint32_t n = 0;
  for (const BindingSource& b : pl.bindings) {
    if (!isStorageImageBinding(b)) continue;
    Sampler* unused = nullptr;
    Texture* t = boundFor(c, b, &unused);
    if (n < 8 && t && t->resource) {
      const VkFormat f = t->resource->isImage ? t->resource->viewFormat : toVkFormat(t->viewFormat);
      const uint32_t spirv = spirvImageFormat(f);
      key.storageFormats[n] = spirv ? spirv : f != VK_FORMAT_UNDEFINED ? kStorageFormatUnknown : 0;
    }
    ++n;
  }
}

VkPipeline findPipeline(ContextImpl& c, ProgramLayout& pl, const PipelineKey& key, bool compute) {
  uint32_t hash = descHash(key);
  auto& bucket = c.pipelines[hash];
  for (const PipelineEntry& e : bucket)
    if (std::memcmp(&e.key, &key, sizeof(key)) == 0) return e.pipeline;
  VkPipeline p = compute ? buildComputePipeline(c, pl, key) : buildGraphicsPipeline(c, pl, key);
  bucket.push_back({key, p});
  // Keys are compared byte for byte, padding included. A member-wise copy (what an optimised
  // build makes of the line above) leaves the stored key's padding undefined, and the entry
  // would never match again: every draw would build its pipeline anew.
  std::memcpy(&bucket.back().key, &key, sizeof(key));
  return p;
}

// Dynamic buffers: make sure the latest contents sit in this frame's ring.
void ensureRing(ContextImpl& c, Resource& r) {
  if (r.ringEpoch == c.d->epoch) return;
  Staging s = c.d->staging(r.size, std::max<VkDeviceSize>(c.d->properties.limits.minUniformBufferOffsetAlignment, 16));
  std::memcpy(s.ptr, r.shadow.data(), size_t(r.size));
  r.ringBuffer = s.buffer;
  r.ringOffset = s.offset;
  r.ringEpoch = c.d->epoch;
}

struct Use {
  Resource* r;
  VkImageLayout layout;  // UNDEFINED for buffers
  Access access;
};

// The pipeline stages of the shader stages in a stage mask (our numbering).
VkPipelineStageFlags shaderStages(uint32_t stageMask) {
  static const VkPipelineStageFlags kStages[6] = {
      VK_PIPELINE_STAGE_VERTEX_SHADER_BIT, VK_PIPELINE_STAGE_TESSELLATION_CONTROL_SHADER_BIT,
      VK_PIPELINE_STAGE_TESSELLATION_EVALUATION_SHADER_BIT, VK_PIPELINE_STAGE_GEOMETRY_SHADER_BIT,
      VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT};
  VkPipelineStageFlags out = 0;
  for (int s = 0; s < 6; ++s)
    if (stageMask & (1u << s)) out |= kStages[s];
  return out ? out : VkPipelineStageFlags(VK_PIPELINE_STAGE_ALL_COMMANDS_BIT);
}

// How a binding reads (or writes) what is bound to it.
Access shaderAccess(const BindingSource& b, bool write) {
  VkAccessFlags access = b.type == VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER ? VkAccessFlags(VK_ACCESS_UNIFORM_READ_BIT)
                         : write ? VkAccessFlags(VK_ACCESS_SHADER_READ_BIT | VK_ACCESS_SHADER_WRITE_BIT)
                                 : VkAccessFlags(VK_ACCESS_SHADER_READ_BIT);
  return {shaderStages(b.stageMask), access, write};
}

bool needsBarrier(const Use& u) { return needsBarrier(*u.r, u.layout, u.access); }

bool isTarget(ContextImpl& c, Texture* t) {
  if (!t) return false;
  if (t == c.depth) return true;
  for (uint32_t i = 0; i < c.rtCount; ++i)
    if (c.rts[i] == t) return true;
  return false;
}

bool isUav(ContextImpl& c, Texture* t, bool compute) {
  const StageState& st = c.stages[compute ? hlsl::Compute : hlsl::Pixel];
  for (Texture* u : st.uavs)
    if (u == t) return true;
  return false;
}

VkImageViewType viewTypeFor(const BindingSource& b) {
  switch (b.dim) {
    case hlsl::ImageDim::Dim1D: return b.arrayed ? VK_IMAGE_VIEW_TYPE_1D_ARRAY : VK_IMAGE_VIEW_TYPE_1D;
    case hlsl::ImageDim::Dim3D: return VK_IMAGE_VIEW_TYPE_3D;
    case hlsl::ImageDim::Cube: return b.arrayed ? VK_IMAGE_VIEW_TYPE_CUBE_ARRAY : VK_IMAGE_VIEW_TYPE_CUBE;
    default: return b.arrayed ? VK_IMAGE_VIEW_TYPE_2D_ARRAY : VK_IMAGE_VIEW_TYPE_2D;
  }
}

// A format whose numeric type matches what the shader reads (float, int, uint).
VkFormat sampledFormatFor(const BindingSource& b) {
  return b.elementType == 1 ? VK_FORMAT_R32G32B32A32_SINT
         : b.elementType == 2 ? VK_FORMAT_R32G32B32A32_UINT
                              : VK_FORMAT_R8G8B8A8_UNORM;
}

// Whether linear filtering of a sampled format is allowed; the first time it is not, says
// what happens instead.
bool linearFilterable(DeviceImpl& d, VkFormat format) {
  const bool float32 = format == VK_FORMAT_R32_SFLOAT || format == VK_FORMAT_R32G32_SFLOAT ||
                       format == VK_FORMAT_R32G32B32A32_SFLOAT;
  if ((d.formatFeatures(format) & VK_FORMAT_FEATURE_SAMPLED_IMAGE_FILTER_LINEAR_BIT) &&
      (d.float32Filtering || !float32))
    return true;
  if (!d.filterFallbackTold)
    logMessage("This device cannot filter %s textures linearly; samplers reading them take the nearest texel "
               "instead (said once for all such formats)\n",
               vkFormatName(format));
  d.filterFallbackTold = true;
  return false;
}

// One descriptor for an element nothing usable is bound to: a null descriptor where the
// device has them (reads give zeros, writes are dropped, as in Direct3D), otherwise a small
// zero-filled stand-in. False when neither can be given.
bool unboundDescriptor(ContextImpl& c, const BindingSource& b, std::vector<Use>& uses) {
  DeviceImpl& d = *c.d;
  switch (b.type) {
    case VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE:
    case VK_DESCRIPTOR_TYPE_STORAGE_IMAGE: {
      const bool storage = b.type == VK_DESCRIPTOR_TYPE_STORAGE_IMAGE;
      VkDescriptorImageInfo ii{};
      if (!d.nullDescriptor) {
        const VkFormat format = storage     ? vkFormatFromSpirv(b.spirvFormat)
                                : b.compared ? VK_FORMAT_D32_SFLOAT
                                             : sampledFormatFor(b);
        Resource* r = dummyImage(d, viewTypeFor(b), format, storage);
        if (!r) return false;
        ii.imageView = storage ? r->uav : r->srv;
        ii.imageLayout = storage ? VK_IMAGE_LAYOUT_GENERAL : VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
        uses.push_back({r, ii.imageLayout, shaderAccess(b, storage)});
      }
      c.imageInfos.push_back(ii);
      return true;
    }
    case VK_DESCRIPTOR_TYPE_UNIFORM_TEXEL_BUFFER:
    case VK_DESCRIPTOR_TYPE_STORAGE_TEXEL_BUFFER: {
      const bool storage = b.type == VK_DESCRIPTOR_TYPE_STORAGE_TEXEL_BUFFER;
      VkBufferView v = VK_NULL_HANDLE;
      if (!d.nullDescriptor) {
        v = dummyTexelView(d, storage ? vkFormatFromSpirv(b.spirvFormat) : sampledFormatFor(b), storage);
        if (!v) return false;
        uses.push_back({dummyBuffer(d, storage), VK_IMAGE_LAYOUT_UNDEFINED, shaderAccess(b, storage)});
      }
      c.texelViews.push_back(v);
      return true;
    }
    case VK_DESCRIPTOR_TYPE_SAMPLER: {
      VkDescriptorImageInfo ii{};
      ii.sampler = d.defaultSampler;
      c.imageInfos.push_back(ii);
      return true;
    }
    default: {  // uniform and storage buffers
      // A null buffer descriptor covers the whole (absent) buffer.
      VkDescriptorBufferInfo bi{VK_NULL_HANDLE, 0, VK_WHOLE_SIZE};
      if (!d.nullDescriptor) {
        const bool writable = b.kind == BindKind::Uav || b.kind == BindKind::Counter;
        Resource* r = dummyBuffer(d, writable);
        VkDeviceSize range = kDummyBufferSize;
        if (b.type == VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER)
          range = std::min<VkDeviceSize>(range, d.limits.uniformRange);
        bi = {r->buffer, 0, range};
        uses.push_back({r, VK_IMAGE_LAYOUT_UNDEFINED, shaderAccess(b, writable)});
      }
      c.bufferInfos.push_back(bi);
      return true;
    }
  }
}

// Fills the descriptor writes for a program and collects the resources it touches.
// Returns false when a required descriptor cannot be given.
bool gatherDescriptors(ContextImpl& c, ProgramLayout& pl, std::vector<Use>& uses, bool compute) {
  c.writes.clear();
  c.bufferInfos.clear();
  c.imageInfos.clear();
  c.texelViews.clear();
  // A texture the device cannot filter linearly makes this draw's samplers take the nearest
  // texel (textures come before samplers in binding order).
  bool unfilterable = false;
  // Every binding's descriptors lie side by side in these lists: no reallocation may move them.
  const size_t n = pl.descriptorCount;
  c.bufferInfos.reserve(n);
  c.imageInfos.reserve(n);
  c.texelViews.reserve(n);
  for (const BindingSource& b : pl.bindings) {
    const size_t firstImage = c.imageInfos.size(), firstBuffer = c.bufferInfos.size(), firstTexel = c.texelViews.size();
    for (uint32_t element = 0; element < b.count; ++element) {
      Sampler* sampler = nullptr;
      Texture* t = boundFor(c, b, &sampler, element);
      if (t && !t->resource) t = nullptr;
      // A resource bound as an output of this draw or dispatch reads as unbound (Direct3D
      // unbinds the input when the same resource is bound for writing).
      if (t && b.kind == BindKind::ShaderResource && ((!compute && isTarget(c, t)) || isUav(c, t, compute)))
        t = nullptr;
      bool given = false;
      switch (b.type) {
        case VK_DESCRIPTOR_TYPE_SAMPLER: {
          if (!sampler || !sampler->impl) break;
          if (unfilterable && (sampler->desc.mode & 0xF)) {
            SamplerDesc nearest = sampler->desc;
            nearest.mode &= ~0xFu;  // min, mag and mip point; anisotropy off
            sampler = c.device->samplerFor(nearest);
          }
          VkDescriptorImageInfo ii{};
          ii.sampler = sampler->impl->sampler;
          c.imageInfos.push_back(ii);
          given = true;
          break;
        }
        case VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE:
        case VK_DESCRIPTOR_TYPE_STORAGE_IMAGE: {
          if (!t || !t->resource->isImage) break;
          const bool storage = b.type == VK_DESCRIPTOR_TYPE_STORAGE_IMAGE;
          VkDescriptorImageInfo ii{};
          ii.imageView = shaderView(*c.d, t, storage, viewTypeFor(b));
          if (!ii.imageView) {
            // The format refused this use, or the texture cannot be seen as the declared type.
            if (imageView(*c.d, t, storage ? 1 : 0, 0)) c.mismatch(t, b);
            break;
          }
          ii.imageLayout = storage ? VK_IMAGE_LAYOUT_GENERAL : VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
          if (!storage && !linearFilterable(*c.d, t->resource->viewFormat)) unfilterable = true;
          uses.push_back({t->resource, ii.imageLayout, shaderAccess(b, storage)});
          c.imageInfos.push_back(ii);
          given = true;
          break;
        }
        case VK_DESCRIPTOR_TYPE_UNIFORM_TEXEL_BUFFER:
        case VK_DESCRIPTOR_TYPE_STORAGE_TEXEL_BUFFER: {
          if (!t || t->resource->isImage) break;
          const bool storage = b.type == VK_DESCRIPTOR_TYPE_STORAGE_TEXEL_BUFFER;
          VkBufferView v = texelView(*c.d, t, storage);
          if (!v) break;
          uses.push_back({t->resource, VK_IMAGE_LAYOUT_UNDEFINED, shaderAccess(b, storage)});
          c.texelViews.push_back(v);
          given = true;
          break;
        }
        default: {  // uniform and storage buffers
          if (!t || t->resource->isImage) break;
          Resource& r = *t->resource;
          VkDescriptorBufferInfo bi{};
          if (b.kind == BindKind::Counter) {
            if (!r.hasCounter) break;
            bi = {r.buffer, r.counterOffset, 4};
            uses.push_back({&r, VK_IMAGE_LAYOUT_UNDEFINED, shaderAccess(b, true)});
          } else if (r.dynamic && (b.type == VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER || !r.copyOnUnmap)) {
            // The latest contents live in the frame's upload ring.
            ensureRing(c, r);
            bi = {r.ringBuffer, r.ringOffset, std::min<VkDeviceSize>(r.size, c.d->limits.uniformRange)};
          } else {
            VkDeviceSize range = r.size;
            if (b.type == VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER)
              range = std::min<VkDeviceSize>(range, c.d->limits.uniformRange);
            bi = {r.buffer, 0, range};
            uses.push_back({&r, VK_IMAGE_LAYOUT_UNDEFINED, shaderAccess(b, b.kind == BindKind::Uav)});
          }
          c.bufferInfos.push_back(bi);
          given = true;
          break;
        }
      }
      if (!given && !unboundDescriptor(c, b, uses)) return false;
    }
    VkWriteDescriptorSet w{VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
    w.dstBinding = b.binding;
    w.descriptorCount = b.count;
    w.descriptorType = b.type;
    switch (b.type) {
      case VK_DESCRIPTOR_TYPE_SAMPLER:
      case VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE:
      case VK_DESCRIPTOR_TYPE_STORAGE_IMAGE: w.pImageInfo = c.imageInfos.data() + firstImage; break;
      case VK_DESCRIPTOR_TYPE_UNIFORM_TEXEL_BUFFER:
      case VK_DESCRIPTOR_TYPE_STORAGE_TEXEL_BUFFER: w.pTexelBufferView = c.texelViews.data() + firstTexel; break;
      default: w.pBufferInfo = c.bufferInfos.data() + firstBuffer; break;
    }
    c.writes.push_back(w);
  }
  return true;
}

// A descriptor set from the frame's pools (a new pool when they are all full).
VkDescriptorSet allocateSet(ContextImpl& c, const ProgramLayout& pl) {
  Frame& f = c.d->frame();
  for (;;) {
    if (f.poolsUsed >= f.descriptorPools.size()) {
      // Room for many ordinary programs, or for this one when it alone needs more.
      const uint32_t each = std::max(512u, pl.descriptorCount);
      const VkDescriptorType types[] = {
          VK_DESCRIPTOR_TYPE_SAMPLER,        VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE,        VK_DESCRIPTOR_TYPE_STORAGE_IMAGE,
          VK_DESCRIPTOR_TYPE_UNIFORM_TEXEL_BUFFER, VK_DESCRIPTOR_TYPE_STORAGE_TEXEL_BUFFER,
          VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER};
      VkDescriptorPoolSize sizes[7];
      for (int i = 0; i < 7; ++i) sizes[i] = {types[i], each};
      VkDescriptorPoolCreateInfo pi{VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO};
      pi.maxSets = 64;
      pi.poolSizeCount = 7;
      pi.pPoolSizes = sizes;
      VkDescriptorPool pool = VK_NULL_HANDLE;
      if (vkCreateDescriptorPool(c.d->device, &pi, nullptr, &pool) != VK_SUCCESS)
        fatalError("Vulkan: descriptor pool creation failed");
      f.descriptorPools.push_back(pool);
      f.poolsUsed = f.descriptorPools.size() - 1;
    }
    VkDescriptorSetAllocateInfo ai{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO};
    ai.descriptorPool = f.descriptorPools[f.poolsUsed];
    ai.descriptorSetCount = 1;
    ai.pSetLayouts = &pl.setLayout;
    VkDescriptorSet set = VK_NULL_HANDLE;
    VkResult r = vkAllocateDescriptorSets(c.d->device, &ai, &set);
    if (r == VK_SUCCESS) return set;
    if (r != VK_ERROR_OUT_OF_POOL_MEMORY && r != VK_ERROR_FRAGMENTED_POOL)
      fatalError("Vulkan: descriptor set allocation failed");
    ++f.poolsUsed;
  }
}

// Hands the gathered descriptors to the command buffer: pushed, or written into a set.
void bindDescriptors(ContextImpl& c, VkCommandBuffer cmd, VkPipelineBindPoint point, const ProgramLayout& pl) {
  if (c.writes.empty()) return;
  if (pl.push) {
    c.d->pushDescriptorSet(cmd, point, pl.layout, 0, uint32_t(c.writes.size()), c.writes.data());
    return;
  }
  VkDescriptorSet set = allocateSet(c, pl);
  for (VkWriteDescriptorSet& w : c.writes) w.dstSet = set;
  vkUpdateDescriptorSets(c.d->device, uint32_t(c.writes.size()), c.writes.data(), 0, nullptr);
  vkCmdBindDescriptorSets(cmd, point, pl.layout, 0, 1, &set, 0, nullptr);
}

// Applies pending UAV counts and barriers (outside rendering).
void applyUses(ContextImpl& c, std::vector<Use>& uses) {
  VkCommandBuffer cmd = c.d->cmd();
  for (Use& u : uses) {
    if (u.r->hasCounter && u.r->pendingCount != kKeepUavCount) {
      bufferBarrier(*c.d, cmd, *u.r, true);
      vkCmdUpdateBuffer(cmd, u.r->buffer, u.r->counterOffset, 4, &u.r->pendingCount);
      u.r->pendingCount = kKeepUavCount;
      u.r->written = true;
    }
  }
  BarrierBatch& batch = c.d->batch;
  for (Use& u : uses) {
    if (u.r->isImage)
      transition(*c.d, cmd, *u.r, u.layout, u.access, &batch);
    else
      bufferBarrier(*c.d, cmd, *u.r, u.access, &batch);
  }
  batch.flush(*c.d, cmd);
}

}  // namespace

}  // namespace gfxbackend

using namespace gfxbackend;

namespace {
uint32_t gNextObjectId = 1;
}

gfxbackend::VertexLayout* createVertexLayout(Device* device, const InputElementDesc* elements, uint32_t count) {
  (void)device;
  auto* l = new VertexLayout;
  l->id = gNextObjectId++;
  l->device = device;
  if (device) device->impl()->layouts.push_back(l);
  l->names.reserve(count);
  for (uint32_t i = 0; i < count; ++i) l->names.emplace_back(elements[i].semanticName ? elements[i].semanticName : "");
  for (uint32_t i = 0; i < count; ++i) {
    InputElementDesc e = elements[i];
    e.semanticName = l->names[i].c_str();
    l->elements.push_back(e);
  }
  return l;
}

std::string missingShaderFeatures(Device* device, const std::vector<uint32_t>& spirv) {
  return device && device->impl() ? gfxbackend::missingShaderFeatures(*device->impl(), spirv) : std::string();
}

gfxbackend::Shader* createShader(Device* device, hlsl::Stage stage, const std::vector<uint32_t>& spirv,
                                 const hlsl::Reflection& reflection) {
  if (const std::string missing = missingShaderFeatures(device, spirv); !missing.empty()) {
    logMessage("Shader %s refused: it needs %s, which this device does not offer\n",
               reflection.entry.empty() ? "module" : reflection.entry.c_str(), missing.c_str());
    return nullptr;
  }
  if (stage == hlsl::Compute && device && device->impl()) {
    const DeviceImpl& d = *device->impl();
    const uint32_t* size = reflection.localSize;
    const uint64_t threads = uint64_t(size[0]) * size[1] * size[2];
    const uint32_t* most = d.properties.limits.maxComputeWorkGroupSize;
    char text[240] = "";
    if (threads > d.limits.computeInvocations)
      std::snprintf(text, sizeof(text),
                    "Compute shader %s runs %llu threads a group; this device runs at most %u "
                    "(maxComputeWorkGroupInvocations)",
                    reflection.entry.c_str(), static_cast<unsigned long long>(threads), d.limits.computeInvocations);
    for (int i = 0; i < 3 && !text[0]; ++i)
      if (size[i] > most[i])
        std::snprintf(text, sizeof(text),
                      "Compute shader %s has groups %u threads wide in %c; this device allows %u "
                      "(maxComputeWorkGroupSize)",
                      reflection.entry.c_str(), size[i], "xyz"[i], most[i]);
    if (text[0]) fatalError(text);
  }
  auto* s = new Shader;
  s->stage = stage;
  s->spirv = spirv;
  s->reflection = reflection;
  s->id = gNextObjectId++;
  s->device = device;
  if (device) device->impl()->shaders.push_back(s);
  return s;
}

namespace gfxbackend {
template <typename T>
static void forget(std::vector<T*>& list, T* object) {
  list.erase(std::remove(list.begin(), list.end(), object), list.end());
}
VertexLayout::~VertexLayout() {
  if (!device) return;
  forget(device->impl()->layouts, this);
  if (device->context()) device->context()->unbindEverywhere(this);
}
Shader::~Shader() {
  if (!device) return;
  forget(device->impl()->shaders, this);
  if (device->context()) device->context()->unbindEverywhere(this);
}
}  // namespace gfxbackend

void DeviceContext::unbindEverywhere(const gfxbackend::Shader* shader) {
  for (StageState& st : impl_->stages)
    if (st.shader == shader) st.shader = nullptr;
}

void DeviceContext::unbindEverywhere(const gfxbackend::VertexLayout* layout) {
  if (impl_->layout == layout) impl_->layout = nullptr;
}

gfxbackend::Shader* createShader(Device* device, hlsl::Stage stage, const std::vector<uint32_t>& spirv) {
  hlsl::Reflection reflection;
  std::string error;
  if (!hlsl::reflect(spirv, reflection, &error)) {
    logMessage("Could not reflect shader: %s\n", error.c_str());
    return nullptr;
  }
  return createShader(device, stage, spirv, reflection);
}

DeviceContext::DeviceContext(Device* device) : device_(device) {
  impl_ = new ContextImpl;
  impl_->device = device;
  impl_->d = device->impl();
  ContextImpl* c = impl_;
  impl_->d->endRenderingHook = [c] { c->endRendering(); };
}

DeviceContext::~DeviceContext() {
  ContextImpl& c = *impl_;
  c.endRendering();
  c.d->endRenderingHook = nullptr;
  c.d->submit(true);
  VkDevice dev = c.d->device;
  for (auto& [hash, bucket] : c.pipelines)
    for (auto& e : bucket)
      if (e.pipeline) vkDestroyPipeline(dev, e.pipeline, nullptr);
  for (auto& [key, pl] : c.layouts) {
    vkDestroyPipelineLayout(dev, pl->layout, nullptr);
    vkDestroyDescriptorSetLayout(dev, pl->setLayout, nullptr);
    delete pl;
  }
  delete impl_;
}

void DeviceContext::setPrimitiveTopology(D3DPrimitiveTopology topology) { impl_->topology = topology; }
void DeviceContext::setInputLayout(gfxbackend::VertexLayout* layout) { impl_->layout = layout; }

void DeviceContext::setVertexBuffers(uint32_t start, uint32_t count, Texture* const* buffers, const uint32_t* strides,
                                     const uint32_t* offsets) {
  for (uint32_t i = 0; i < count && start + i < kVertexBufferSlots; ++i) {
    impl_->vbs[start + i] = buffers ? buffers[i] : nullptr;
    impl_->strides[start + i] = strides ? strides[i] : 0;
    impl_->offsets[start + i] = offsets ? offsets[i] : 0;
  }
}

void DeviceContext::setIndexBuffer(Texture* buffer, DxgiFormat format, uint32_t offset) {
  impl_->ib = buffer;
  impl_->ibFormat = format;
  impl_->ibOffset = offset;
}

void DeviceContext::setShader(hlsl::Stage stage, gfxbackend::Shader* shader) {
  if (stage < kStageCount) impl_->stages[stage].shader = shader;
}

void DeviceContext::setConstantBuffers(hlsl::Stage stage, uint32_t start, uint32_t count, Texture* const* buffers) {
  if (stage >= kStageCount) return;
  for (uint32_t i = 0; i < count && start + i < kConstantBufferSlots; ++i)
    impl_->stages[stage].cbs[start + i] = buffers ? buffers[i] : nullptr;
}

void DeviceContext::setShaderResources(hlsl::Stage stage, uint32_t start, uint32_t count, Texture* const* resources) {
  if (stage >= kStageCount) return;
  for (uint32_t i = 0; i < count && start + i < kShaderResourceSlots; ++i)
    impl_->stages[stage].srvs[start + i] = resources ? resources[i] : nullptr;
}

void DeviceContext::setSamplers(hlsl::Stage stage, uint32_t start, uint32_t count, Sampler* const* samplers) {
  if (stage >= kStageCount) return;
  for (uint32_t i = 0; i < count && start + i < kSamplerSlots; ++i)
    impl_->stages[stage].samplers[start + i] = samplers ? samplers[i] : nullptr;
}

void DeviceContext::setUnorderedAccessViews(hlsl::Stage stage, uint32_t start, uint32_t count, Texture* const* views,
                                            const uint32_t* initialCounts) {
  if (stage >= kStageCount) return;
  for (uint32_t i = 0; i < count && start + i < kUavSlots; ++i) {
    Texture* t = views ? views[i] : nullptr;
    impl_->stages[stage].uavs[start + i] = t;
    if (t && t->resource && initialCounts && initialCounts[i] != kKeepUavCount)
      t->resource->pendingCount = initialCounts[i];
  }
}

void DeviceContext::setRenderTargets(uint32_t count, Texture* const* targets, Texture* depth, uint32_t slice) {
  ContextImpl& c = *impl_;
  c.rtCount = std::min(count, kRenderTargetSlots);
  for (uint32_t i = 0; i < kRenderTargetSlots; ++i) c.rts[i] = (targets && i < c.rtCount) ? targets[i] : nullptr;
  while (c.rtCount > 0 && !c.rts[c.rtCount - 1]) --c.rtCount;
  if (c.rtCount > c.d->limits.colourTargets) {
    char text[200];
    std::snprintf(text, sizeof(text),
                  "This device draws into at most %u colour targets at once (maxColorAttachments); a pass binds %u",
                  c.d->limits.colourTargets, c.rtCount);
    fatalError(text);
  }
  c.depth = depth;
  c.slice = slice;
}

void DeviceContext::setViewports(uint32_t count, const D3DViewport* viewports) {
  impl_->viewportSet = count > 0 && viewports;
  if (impl_->viewportSet) impl_->viewport = viewports[0];
}

void DeviceContext::setScissorRects(uint32_t count, const ScissorRect* rects) {
  if (count > 0 && rects) impl_->scissor = rects[0];
}

void DeviceContext::setRenderState(RenderState* state, uint32_t stencilRef) {
  impl_->state = state;
  impl_->stencilRef = stencilRef;
}

namespace {

// Opens rendering into the current targets when they differ from the open one.
bool beginRendering(ContextImpl& c) {
  bool same = c.rendering && c.rRtCount == c.rtCount && c.rDepth == c.depth && c.rSlice == c.slice;
  for (uint32_t i = 0; same && i < c.rtCount; ++i) same = c.rRts[i] == c.rts[i];
  if (same) return true;
  c.endRendering();
  VkCommandBuffer cmd = c.d->cmd();
  VkRenderingAttachmentInfo colour[kRenderTargetSlots]{};
  uint32_t w = UINT32_MAX, h = UINT32_MAX;
  for (uint32_t i = 0; i < c.rtCount; ++i) {
    colour[i] = {VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO};
    Texture* t = c.rts[i];
    if (!t || !t->resource || !t->resource->isImage) continue;
    transition(*c.d, cmd, *t->resource, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL, true, &c.d->batch);
    colour[i].imageView = imageView(*c.d, t, 2, c.slice);
    colour[i].imageLayout = VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL;
    colour[i].loadOp = VK_ATTACHMENT_LOAD_OP_LOAD;
    colour[i].storeOp = VK_ATTACHMENT_STORE_OP_STORE;
    w = std::min(w, t->resource->extent.width);
    h = std::min(h, t->resource->extent.height);
  }
  VkRenderingAttachmentInfo depth{VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO};
  VkRenderingAttachmentInfo stencil{VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO};
  bool hasDepth = c.depth && c.depth->resource && c.depth->resource->isImage;
  bool hasStencil = hasDepth && (c.depth->resource->aspect & VK_IMAGE_ASPECT_STENCIL_BIT);
  if (hasDepth) {
    Resource& r = *c.depth->resource;
    transition(*c.d, cmd, r, VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL, true, &c.d->batch);
    depth.imageView = imageView(*c.d, c.depth, 3, 0);
    depth.imageLayout = VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL;
    depth.loadOp = VK_ATTACHMENT_LOAD_OP_LOAD;
    depth.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
    stencil = depth;
    w = std::min(w, r.extent.width);
    h = std::min(h, r.extent.height);
  }
  c.d->batch.flush(*c.d, cmd);  // the targets' barriers, as one
  if (w == UINT32_MAX) return false;
  VkRenderingInfo ri{VK_STRUCTURE_TYPE_RENDERING_INFO};
  ri.renderArea = {{0, 0}, {w, h}};
  ri.layerCount = 1;
  ri.colorAttachmentCount = c.rtCount;
  ri.pColorAttachments = colour;
  ri.pDepthAttachment = hasDepth ? &depth : nullptr;
  ri.pStencilAttachment = hasStencil ? &stencil : nullptr;
  vkCmdBeginRendering(cmd, &ri);
  c.rendering = true;
  c.rRtCount = c.rtCount;
  for (uint32_t i = 0; i < kRenderTargetSlots; ++i) c.rRts[i] = c.rts[i];
  c.rDepth = c.depth;
  c.rSlice = c.slice;
  c.extent = {w, h};
  return true;
}

thread_local std::vector<Use> tUses;

bool prepareDraw(ContextImpl& c, bool indexed) {
  Shader* vs = c.stages[hlsl::Vertex].shader;
  if (!vs) {
    c.warn("no vertex shader");
    return false;
  }
  if (c.rtCount == 0 && !c.depth) {
    c.warn("no render target");
    return false;
  }
  Shader* shaders[6] = {};
  for (uint32_t s = 0; s < 5; ++s) shaders[s] = c.stages[s].shader;
  if ((shaders[hlsl::Hull] != nullptr) != (shaders[hlsl::Domain] != nullptr)) shaders[1] = shaders[2] = nullptr;
  ProgramLayout* pl = programLayout(c, shaders);

  PipelineKey key;
  std::memset(&key, 0, sizeof(key));
  for (uint32_t s = 0; s < 5; ++s) key.shaders[s] = shaders[s] ? shaders[s]->id : 0;
  key.vertexLayout = c.layout ? c.layout->id : 0;
  key.state = c.state ? c.state : c.device->defaultState();
  key.colourCount = c.rtCount;
  for (uint32_t i = 0; i < c.rtCount; ++i)
    key.colour[i] = c.rts[i] && c.rts[i]->resource ? c.rts[i]->resource->targetFormat : VK_FORMAT_UNDEFINED;
  key.depth = c.depth && c.depth->resource ? c.depth->resource->targetFormat : VK_FORMAT_UNDEFINED;
  uint32_t patch = 0;
  toVkTopology(c.topology, &patch);
  key.topologyClass = topologyClass(c.topology);
  key.patchPoints = patch;
  storageFormats(c, *pl, key);
  VkPipeline pipeline = findPipeline(c, *pl, key, false);
  if (!pipeline) {
    c.warn("the pipeline could not be built");
    return false;
  }

  std::vector<Use>& uses = tUses;
  // Ring space for dynamic buffers may run out while the draw is prepared; that submits and
  // starts a fresh ring, so everything taken from the old one is taken again.
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint64_t epoch = c.d->epoch;
    uses.clear();
    for (uint32_t i = 0; i < kVertexBufferSlots && c.layout; ++i)
      if (c.vbs[i] && c.vbs[i]->resource && c.vbs[i]->resource->dynamic) ensureRing(c, *c.vbs[i]->resource);
    if (indexed && c.ib && c.ib->resource && c.ib->resource->dynamic) ensureRing(c, *c.ib->resource);
    if (!gatherDescriptors(c, *pl, uses, false)) {
      c.warn("a shader resource is not bound");
      return false;
    }
    if (c.d->epoch == epoch) break;
  }
  if (c.layout)
    for (const auto& e : c.layout->elements) {
      Texture* vb = e.inputSlot < kVertexBufferSlots ? c.vbs[e.inputSlot] : nullptr;
      if (vb && vb->resource && !vb->resource->dynamic)
        uses.push_back({vb->resource, VK_IMAGE_LAYOUT_UNDEFINED,
                        {VK_PIPELINE_STAGE_VERTEX_INPUT_BIT, VK_ACCESS_VERTEX_ATTRIBUTE_READ_BIT, false}});
    }
  if (indexed && c.ib && c.ib->resource && !c.ib->resource->dynamic)
    uses.push_back({c.ib->resource, VK_IMAGE_LAYOUT_UNDEFINED,
                    {VK_PIPELINE_STAGE_VERTEX_INPUT_BIT, VK_ACCESS_INDEX_READ_BIT, false}});
  bool barrier = false;
  for (const Use& u : uses)
    if (needsBarrier(u) || (u.r->hasCounter && u.r->pendingCount != kKeepUavCount)) barrier = true;
  if (barrier) {
    c.endRendering();
    applyUses(c, uses);
  }
  if (!beginRendering(c)) {
    c.warn("the targets have no memory");
    return false;
  }
  VkCommandBuffer cmd = c.d->cmd();
  vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline);
  bindDescriptors(c, cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, *pl);
  // Direct3D's top-left origin: a viewport with negative height.
  D3DViewport v = c.viewport;
  if (!c.viewportSet) v = {0, 0, float(c.extent.width), float(c.extent.height), 0, 1};
  VkViewport vp{v.x, v.y + v.height, v.width, -v.height, v.minDepth, v.maxDepth};
  // A viewport without area draws nothing in Direct3D; Vulkan refuses one, so it becomes a
  // one-pixel viewport behind an empty scissor.
  const bool noArea = !(v.width > 0.0f) || !(v.height > 0.0f);
  if (noArea) vp = {v.x, v.y + 1.0f, 1.0f, -1.0f, v.minDepth, v.maxDepth};
  vkCmdSetViewport(cmd, 0, 1, &vp);
  VkRect2D sc{{0, 0}, c.extent};
  if (key.state->desc.flags & kScissor) {
    int32_t l = std::max(c.scissor.left, 0), t = std::max(c.scissor.top, 0);
    int32_t r = std::min<int32_t>(c.scissor.right, int32_t(c.extent.width));
    int32_t b = std::min<int32_t>(c.scissor.bottom, int32_t(c.extent.height));
    sc = {{l, t}, {uint32_t(std::max(r - l, 0)), uint32_t(std::max(b - t, 0))}};
  }
  // A prepared draw runs with an empty scissor: everything up to the rasterizer runs (some
  // drivers compile their shader variants on a draw's first execution, not with the
  // pipeline) and no pixel is written.
  if (c.prepareOnly || noArea) sc = {{0, 0}, {0, 0}};
  vkCmdSetScissor(cmd, 0, 1, &sc);
  vkCmdSetStencilReference(cmd, VK_STENCIL_FACE_FRONT_AND_BACK, c.stencilRef);
  float zero[4] = {0, 0, 0, 0};
  vkCmdSetBlendConstants(cmd, zero);
  vkCmdSetPrimitiveTopology(cmd, toVkTopology(c.topology, nullptr));
  if (c.layout) {
    for (uint32_t i = 0; i < kVertexBufferSlots; ++i) {
      bool used = false;
      for (const auto& e : c.layout->elements)
        if (e.inputSlot == i) used = true;
      if (!used) continue;
      Texture* t = c.vbs[i];
      if (!t || !t->resource || t->resource->isImage) {
        c.warn("a vertex buffer is not bound");
        return false;
      }
      Resource& r = *t->resource;
      VkBuffer buf = r.buffer;
      VkDeviceSize offset = c.offsets[i];
      if (r.dynamic) {
        ensureRing(c, r);
        buf = r.ringBuffer;
        offset += r.ringOffset;
      }
      VkDeviceSize stride = c.strides[i];
      vkCmdBindVertexBuffers2(cmd, i, 1, &buf, &offset, nullptr, &stride);
    }
  }
  if (indexed) {
    if (!c.ib || !c.ib->resource || c.ib->resource->isImage) {
      c.warn("no index buffer");
      return false;
    }
    Resource& r = *c.ib->resource;
    VkBuffer buf = r.buffer;
    VkDeviceSize offset = c.ibOffset;
    if (r.dynamic) {
      ensureRing(c, r);
      buf = r.ringBuffer;
      offset += r.ringOffset;
    }
    vkCmdBindIndexBuffer(cmd, buf, offset, toVkIndexType(c.ibFormat));
  }
  return true;
}

}  // namespace

void DeviceContext::draw(uint32_t vertexCount, uint32_t startVertex) {
  if (!prepareDraw(*impl_, false)) return;
  vkCmdDraw(impl_->d->cmd(), vertexCount, 1, startVertex, 0);
  if (!impl_->prepareOnly) device_->counters().draws++;
}

void DeviceContext::drawIndexed(uint32_t indexCount, uint32_t startIndex, int32_t baseVertex) {
  if (!prepareDraw(*impl_, true)) return;
  vkCmdDrawIndexed(impl_->d->cmd(), indexCount, 1, startIndex, baseVertex, 0);
  if (!impl_->prepareOnly) device_->counters().draws++;
}

void DeviceContext::drawInstanced(uint32_t vertexCount, uint32_t instanceCount, uint32_t startVertex,
                                  uint32_t startInstance) {
  if (!prepareDraw(*impl_, false)) return;
  vkCmdDraw(impl_->d->cmd(), vertexCount, instanceCount, startVertex, startInstance);
  if (!impl_->prepareOnly) device_->counters().draws++;
}

void DeviceContext::drawIndexedInstanced(uint32_t indexCount, uint32_t instanceCount, uint32_t startIndex,
                                         int32_t baseVertex, uint32_t startInstance) {
  if (!prepareDraw(*impl_, true)) return;
  vkCmdDrawIndexed(impl_->d->cmd(), indexCount, instanceCount, startIndex, baseVertex, startInstance);
  if (!impl_->prepareOnly) device_->counters().draws++;
}

void DeviceContext::setPrepareOnly(bool on) { impl_->prepareOnly = on; }
bool DeviceContext::prepareOnly() const { return impl_->prepareOnly; }

PrepareOnlyScope::PrepareOnlyScope(DeviceContext* context) : context_(context) {
  if (!context_) return;
  was_ = context_->prepareOnly();
  context_->setPrepareOnly(true);
}

PrepareOnlyScope::~PrepareOnlyScope() {
  if (context_) context_->setPrepareOnly(was_);
}

void DeviceContext::dispatch(uint32_t x, uint32_t y, uint32_t z) {
  ContextImpl& c = *impl_;
  Shader* cs = c.stages[hlsl::Compute].shader;
  if (!cs) {
    c.warn("dispatch without compute shader");
    return;
  }
  Shader* shaders[6] = {};
  shaders[hlsl::Compute] = cs;
  ProgramLayout* pl = programLayout(c, shaders);
  PipelineKey key;
  std::memset(&key, 0, sizeof(key));
  key.shaders[hlsl::Compute] = cs->id;
  storageFormats(c, *pl, key);
  VkPipeline pipeline = findPipeline(c, *pl, key, true);
  if (!pipeline) {
    c.warn("the compute pipeline could not be built");
    return;
  }
  c.endRendering();
  std::vector<Use>& uses = tUses;
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint64_t epoch = c.d->epoch;
    uses.clear();
    if (!gatherDescriptors(c, *pl, uses, true)) {
      c.warn("a compute resource is not bound");
      return;
    }
    if (c.d->epoch == epoch) break;
  }
  if (c.prepareOnly) return;
  applyUses(c, uses);
  VkCommandBuffer cmd = c.d->cmd();
  vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline);
  bindDescriptors(c, cmd, VK_PIPELINE_BIND_POINT_COMPUTE, *pl);
  vkCmdDispatch(cmd, x, y, z);
}

namespace gfxbackend {
namespace {

// The stencil of a depth-stencil copy into a staging buffer, one byte a texel in a buffer of
// its own, in the same order as the depth regions; merged when the copy is mapped.
void copyStencil(ContextImpl& c, VkCommandBuffer cmd, Resource& s, Resource& d,
                 std::vector<VkBufferImageCopy>& regions) {
  VkDeviceSize bytes = 0;
  for (const VkBufferImageCopy& r : regions) bytes += VkDeviceSize(r.imageExtent.width) * r.imageExtent.height;
  DeviceImpl& dev = *c.d;
  if (d.stencilSize < bytes) {
    if (d.stencilBuffer) {
      VkDevice device = dev.device;
      VkBuffer old = d.stencilBuffer;
      Allocation oldAlloc = d.stencilAlloc;
      DeviceImpl* owner = c.d;
      dev.deferDelete([device, old, oldAlloc, owner] {
        vkDestroyBuffer(device, old, nullptr);
        owner->release(oldAlloc);
      });
    }
    VkBufferCreateInfo bi{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
    bi.size = bytes;
    bi.usage = VK_BUFFER_USAGE_TRANSFER_DST_BIT;
    if (vkCreateBuffer(dev.device, &bi, nullptr, &d.stencilBuffer) != VK_SUCCESS) fatalError("Vulkan: buffer creation failed");
    dev.counters->buffers++;
    VkMemoryRequirements req;
    vkGetBufferMemoryRequirements(dev.device, d.stencilBuffer, &req);
    d.stencilAlloc = dev.allocate(req, MemoryUse::Readback, false);
    vkBindBufferMemory(dev.device, d.stencilBuffer, d.stencilAlloc.memory, d.stencilAlloc.offset);
    d.stencilSize = bytes;
  }
  VkDeviceSize at = 0;
  for (VkBufferImageCopy& r : regions) {
    r.bufferOffset = at;
    r.imageSubresource.aspectMask = VK_IMAGE_ASPECT_STENCIL_BIT;
    at += VkDeviceSize(r.imageExtent.width) * r.imageExtent.height;
  }
  vkCmdCopyImageToBuffer(cmd, s.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, d.stencilBuffer, uint32_t(regions.size()),
                         regions.data());
  d.repackFrom = s.format;
}

// Direct3D's 24/8 layout from the copied depth (unorm or float) and stencil.
void mergeStencil(Resource& r) {
  if (r.repackFrom == VK_FORMAT_UNDEFINED || !r.stencilAlloc.mapped) return;
  const uint8_t* stencil = r.stencilAlloc.mapped;
  VkDeviceSize at = 0;
  for (const Resource::Sub& s : r.subs) {
    const size_t texels = size_t(s.width) * s.height;
    if (at + texels > r.stencilSize) break;
    for (size_t i = 0; i < texels; ++i) {
      uint32_t word;
      std::memcpy(&word, r.mapped + s.offset + i * 4, 4);
      uint32_t depth24 = word & 0xFFFFFF;
      if (r.repackFrom == VK_FORMAT_D32_SFLOAT_S8_UINT) {
        float f;
        std::memcpy(&f, &word, 4);
        depth24 = uint32_t(std::clamp(f, 0.0f, 1.0f) * 16777215.0f + 0.5f);
      }
      word = depth24 | (uint32_t(stencil[at + i]) << 24);
      std::memcpy(r.mapped + s.offset + i * 4, &word, 4);
    }
    at += texels;
  }
  r.repackFrom = VK_FORMAT_UNDEFINED;
}

}  // namespace
}  // namespace gfxbackend

void DeviceContext::copyResource(Texture* dst, Texture* src) {
  ContextImpl& c = *impl_;
  if (!dst || !src || !dst->resource || !src->resource || dst == src) return;
  c.endRendering();
  Resource& d = *dst->resource;
  Resource& s = *src->resource;
  // A dynamic source copies from its latest ring copy; putting it back into the ring may
  // submit (a full ring), so it comes before the command buffer is taken.
  VkBuffer srcBuffer = s.buffer;
  VkDeviceSize srcOffset = 0;
  const bool fromRing = !s.isImage && !d.isImage && s.dynamic && !s.copyOnUnmap;
  if (fromRing) {
    ensureRing(c, s);
    srcBuffer = s.ringBuffer;
    srcOffset = s.ringOffset;
  }
  // Dynamic buffers that live in the upload ring have no GPU buffer to copy into; an image
  // whose format refused copies cannot be a source.
  if ((!d.isImage && !d.buffer) || (!s.isImage && !s.buffer && !fromRing) ||
      (s.isImage && !(s.usage & VK_IMAGE_USAGE_TRANSFER_SRC_BIT)))
    return;
  VkCommandBuffer cmd = c.d->cmd();
  BarrierBatch& batch = c.d->batch;
  if (s.isImage && d.isImage) {
    transition(*c.d, cmd, s, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, false, &batch);
    transition(*c.d, cmd, d, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, true, &batch);
    batch.flush(*c.d, cmd);
    std::vector<VkImageCopy>& regions = c.imageCopies;
    regions.clear();
    uint32_t mips = std::min(s.mipLevels, d.mipLevels);
    VkImageAspectFlags aspect = s.aspect;
    for (uint32_t m = 0; m < mips; ++m) {
      VkImageCopy r{};
      r.srcSubresource = {aspect, m, 0, std::min(s.layers, d.layers)};
      r.dstSubresource = r.srcSubresource;
      r.extent = {std::max(std::min(s.extent.width, d.extent.width) >> m, 1u),
                  std::max(std::min(s.extent.height, d.extent.height) >> m, 1u),
                  std::max(std::min(s.extent.depth, d.extent.depth) >> m, 1u)};
      regions.push_back(r);
    }
    vkCmdCopyImage(cmd, s.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, d.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                   uint32_t(regions.size()), regions.data());
  } else if (s.isImage && !d.isImage) {
    transition(*c.d, cmd, s, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, false, &batch);
    bufferBarrier(*c.d, cmd, d, true, &batch);
    batch.flush(*c.d, cmd);
    std::vector<VkBufferImageCopy>& regions = c.bufferImageCopies;
    regions.clear();
    uint32_t i = 0;
    VkImageAspectFlags aspect = (s.aspect & VK_IMAGE_ASPECT_DEPTH_BIT) ? VkImageAspectFlags(VK_IMAGE_ASPECT_DEPTH_BIT) : s.aspect;
    for (uint32_t layer = 0; layer < s.layers; ++layer)
      for (uint32_t m = 0; m < s.mipLevels; ++m, ++i) {
        if (i >= d.subs.size()) break;
        VkBufferImageCopy r{};
        r.bufferOffset = d.subs[i].offset;
        r.imageSubresource = {aspect, m, layer, 1};
        r.imageExtent = {std::max(s.extent.width >> m, 1u), std::max(s.extent.height >> m, 1u),
                         std::max(s.extent.depth >> m, 1u)};
        regions.push_back(r);
      }
    if (!regions.empty())
      vkCmdCopyImageToBuffer(cmd, s.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, d.buffer, uint32_t(regions.size()),
                             regions.data());
    if ((s.aspect & VK_IMAGE_ASPECT_STENCIL_BIT) && !regions.empty()) copyStencil(c, cmd, s, d, regions);
    d.written = true;
  } else if (!s.isImage && d.isImage) {
    bufferBarrier(*c.d, cmd, s, false, &batch);
    transition(*c.d, cmd, d, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, true, &batch);
    batch.flush(*c.d, cmd);
    std::vector<VkBufferImageCopy>& regions = c.bufferImageCopies;
    regions.clear();
    uint32_t i = 0;
    for (uint32_t layer = 0; layer < d.layers; ++layer)
      for (uint32_t m = 0; m < d.mipLevels; ++m, ++i) {
        if (i >= s.subs.size()) break;
        VkBufferImageCopy r{};
        r.bufferOffset = s.subs[i].offset;
        r.imageSubresource = {(d.aspect & VK_IMAGE_ASPECT_DEPTH_BIT) ? VkImageAspectFlags(VK_IMAGE_ASPECT_DEPTH_BIT) : d.aspect, m, layer,
                              1};
        r.imageExtent = {std::max(d.extent.width >> m, 1u), std::max(d.extent.height >> m, 1u),
                         std::max(d.extent.depth >> m, 1u)};
        regions.push_back(r);
      }
    if (!regions.empty())
      vkCmdCopyBufferToImage(cmd, s.buffer, d.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, uint32_t(regions.size()),
                             regions.data());
  } else {
    // A dynamic destination keeps its CPU copy: the GPU copy wins until the next map
    // (dynamic destinations are not a Direct3D use either).
    if (!fromRing) bufferBarrier(*c.d, cmd, s, false, &batch);
    bufferBarrier(*c.d, cmd, d, true, &batch);
    batch.flush(*c.d, cmd);
    VkBufferCopy r{srcOffset, 0, std::min(s.size, d.size)};
    vkCmdCopyBuffer(cmd, srcBuffer, d.buffer, 1, &r);
  }
}

bool DeviceContext::map(Texture* t, uint32_t subresource, D3DMap type, MappedSubresource& out) {
  ContextImpl& c = *impl_;
  out = MappedSubresource{};
  if (!t || !t->resource) return false;
  Resource& r = *t->resource;
  if (r.hostVisible) {
    if (type == D3D11_MAP_WRITE_DISCARD || type == D3D11_MAP_WRITE_NO_OVERWRITE) return false;
    if (r.written) {
      // A fence only orders device accesses: the GPU's writes reach the host through a
      // barrier into the host stage.
      c.endRendering();
      VkMemoryBarrier b{VK_STRUCTURE_TYPE_MEMORY_BARRIER, nullptr, r.writeAccess ? r.writeAccess : VkAccessFlags(VK_ACCESS_MEMORY_WRITE_BIT),
                        VK_ACCESS_HOST_READ_BIT};
      vkCmdPipelineBarrier(c.d->cmd(), r.writeStages ? r.writeStages : VkPipelineStageFlags(VK_PIPELINE_STAGE_ALL_COMMANDS_BIT),
                           VK_PIPELINE_STAGE_HOST_BIT, 0, 1, &b, 0, nullptr, 0, nullptr);
      c.d->counters->barriers++;
    }
    c.d->submit(true);  // the GPU's copies into it must have landed
    r.written = false;
    mergeStencil(r);
    if (r.subs.empty()) {
      out.data = r.mapped;
      out.rowPitch = out.depthPitch = uint32_t(r.size);
      return true;
    }
    if (subresource >= r.subs.size()) return false;
    const auto& s = r.subs[subresource];
    out.data = r.mapped + s.offset;
    out.rowPitch = s.rowPitch;
    out.depthPitch = s.slicePitch;
    return true;
  }
  if (r.isImage && t->usage() == kUsageDynamic && type == D3D11_MAP_WRITE_DISCARD) {
    // Written on the CPU, uploaded at unmap like UpdateSubresource.
    uint32_t mip = subresource % r.mipLevels;
    if (subresource / r.mipLevels >= r.layers) return false;
    SubresourceLayout l = subresourceLayout(t->format(), t->desc.bitsPerPixel, std::max(r.extent.width >> mip, 1u),
                                            t->desc.height ? std::max(r.extent.height >> mip, 1u) : 0,
                                            t->desc.depth ? std::max(r.extent.depth >> mip, 1u) : 0);
    r.shadow.assign(l.size(), 0);
    out.data = r.shadow.data();
    out.rowPitch = l.rowPitch;
    out.depthPitch = l.slicePitch;
    return true;
  }
  if (r.dynamic && !r.isImage && (type == D3D11_MAP_WRITE_DISCARD || type == D3D11_MAP_WRITE_NO_OVERWRITE)) {
#ifndef NDEBUG
    // A discarding map hands out memory whose contents are undefined. The last draw's
    // constants would still be here, so a pass that forgets one would work by luck; debug
    // builds fill the memory with NaNs (-1 as integers) so that such a pass shows in tests.
    if (type == D3D11_MAP_WRITE_DISCARD && (t->flags() & kBindConstantBuffer))
      std::fill(r.shadow.begin(), r.shadow.end(), uint8_t(0xFF));
#endif
    out.data = r.shadow.data();
    out.rowPitch = out.depthPitch = uint32_t(r.size);
    return true;
  }
  return false;
}

void DeviceContext::unmap(Texture* t, uint32_t subresource) {
  (void)subresource;
  ContextImpl& c = *impl_;
  if (!t || !t->resource) return;
  Resource& r = *t->resource;
  if (r.isImage && t->usage() == kUsageDynamic && !r.shadow.empty()) {
    std::vector<uint8_t> pixels;
    pixels.swap(r.shadow);
    updateSubresource(t, subresource, pixels.data(), 0, 0);
    pixels.swap(r.shadow);  // keep the memory for the next map
    return;
  }
  if (!r.dynamic) return;
  r.ringEpoch = UINT64_MAX;
  ensureRing(c, r);
  if (r.copyOnUnmap) {
    c.endRendering();
    VkCommandBuffer cmd = c.d->cmd();
    bufferBarrier(*c.d, cmd, r, true);
    VkBufferCopy region{r.ringOffset, 0, r.size};
    vkCmdCopyBuffer(cmd, r.ringBuffer, r.buffer, 1, &region);
    r.written = true;
  }
}

void DeviceContext::updateSubresource(Texture* t, uint32_t subresource, const void* data, uint32_t rowPitch,
                                      uint32_t depthPitch) {
  ContextImpl& c = *impl_;
  if (!t || !t->resource || !data) return;
  Resource& r = *t->resource;
  if (r.hostVisible) return;
  if (!r.isImage) {
    if (r.dynamic) {
      std::memcpy(r.shadow.data(), data, size_t(r.size));
      unmap(t, 0);
      return;
    }
    c.endRendering();
    Staging s = c.d->staging(r.size, 16);
    std::memcpy(s.ptr, data, size_t(r.size));
    VkCommandBuffer cmd = c.d->cmd();
    bufferBarrier(*c.d, cmd, r, true);
    VkBufferCopy region{s.offset, 0, r.size};
    vkCmdCopyBuffer(cmd, s.buffer, r.buffer, 1, &region);
    return;
  }
  uint32_t mip = subresource % r.mipLevels, layer = subresource / r.mipLevels;
  if (layer >= r.layers) return;
  uint32_t w = std::max(r.extent.width >> mip, 1u), h = std::max(r.extent.height >> mip, 1u),
           dd = std::max(r.extent.depth >> mip, 1u);
  SubresourceLayout l = subresourceLayout(t->format(), t->desc.bitsPerPixel, w, t->desc.height ? h : 0,
                                          t->desc.depth ? dd : 0);
  if (rowPitch == 0) rowPitch = l.rowPitch;
  if (depthPitch == 0) depthPitch = rowPitch * l.rows;
  c.endRendering();
  Staging s = c.d->staging(l.size(), 16);
  const auto* src = static_cast<const uint8_t*>(data);
  for (uint32_t z = 0; z < l.depth; ++z)
    for (uint32_t y = 0; y < l.rows; ++y)
      std::memcpy(s.ptr + size_t(z) * l.slicePitch + size_t(y) * l.rowPitch,
                  src + size_t(z) * depthPitch + size_t(y) * rowPitch, l.rowPitch);
  VkCommandBuffer cmd = c.d->cmd();
  transition(*c.d, cmd, r, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, true);
  FormatInfo info;
  lookupFormat(t->format(), info);
  VkBufferImageCopy region{};
  region.bufferOffset = s.offset;
  region.bufferRowLength = info.blockCompressed ? ((w + 3) / 4) * 4 : 0;
  region.bufferImageHeight = info.blockCompressed ? l.rows * 4 : 0;
  region.imageSubresource = {(r.aspect & VK_IMAGE_ASPECT_DEPTH_BIT) ? VkImageAspectFlags(VK_IMAGE_ASPECT_DEPTH_BIT) : r.aspect, mip, layer, 1};
  region.imageExtent = {w, h, dd};
  vkCmdCopyBufferToImage(cmd, s.buffer, r.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
}

namespace {
bool isIntegerFormat(VkFormat f) {
  switch (f) {
    case VK_FORMAT_R16_SINT:
    case VK_FORMAT_R16G16_SINT:
    case VK_FORMAT_R16G16B16A16_SINT:
    case VK_FORMAT_R32_SINT:
    case VK_FORMAT_R32G32_SINT:
    case VK_FORMAT_R32G32B32A32_SINT:
    case VK_FORMAT_R8G8B8A8_SINT:
    case VK_FORMAT_R8_UINT:
    case VK_FORMAT_R8G8_UINT:
    case VK_FORMAT_R16_UINT:
    case VK_FORMAT_R16G16_UINT:
    case VK_FORMAT_R16G16B16A16_UINT:
    case VK_FORMAT_R32_UINT:
    case VK_FORMAT_R32G32_UINT:
    case VK_FORMAT_R32G32B32A32_UINT:
    case VK_FORMAT_R8G8B8A8_UINT: return true;
    default: return false;
  }
}

void clearImage(ContextImpl& c, Resource& r, const VkClearColorValue& v, uint32_t layer, uint32_t layerCount) {
  c.endRendering();
  VkCommandBuffer cmd = c.d->cmd();
  transition(*c.d, cmd, r, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, true);
  VkImageSubresourceRange range{VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, layer, layerCount};
  vkCmdClearColorImage(cmd, r.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &v, 1, &range);
}
}  // namespace

void DeviceContext::clearRenderTargetView(Texture* target, const float colour[4], uint32_t slice) {
  if (!target || !target->resource || !target->resource->isImage) return;
  Resource& r = *target->resource;
  if (r.aspect != VK_IMAGE_ASPECT_COLOR_BIT) return;
  VkClearColorValue v{};
  if (isIntegerFormat(r.format))
    for (int i = 0; i < 4; ++i) v.int32[i] = int32_t(colour[i]);
  else
    for (int i = 0; i < 4; ++i) v.float32[i] = colour[i];
  clearImage(*impl_, r, v, std::min(slice, r.layers - 1), 1);
}

void DeviceContext::clearDepthStencilView(Texture* depth, uint32_t flags, float depthValue, uint8_t stencil) {
  ContextImpl& c = *impl_;
  if (!depth || !depth->resource || !depth->resource->isImage) return;
  Resource& r = *depth->resource;
  VkImageAspectFlags aspect = 0;
  if (flags & D3D11_CLEAR_DEPTH) aspect |= VK_IMAGE_ASPECT_DEPTH_BIT;
  if (flags & D3D11_CLEAR_STENCIL) aspect |= r.aspect & VK_IMAGE_ASPECT_STENCIL_BIT;
  aspect &= r.aspect;
  if (!aspect) return;
  c.endRendering();
  VkCommandBuffer cmd = c.d->cmd();
  transition(*c.d, cmd, r, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, true);
  VkClearDepthStencilValue v{std::clamp(depthValue, 0.0f, 1.0f), stencil};
  VkImageSubresourceRange range{aspect, 0, VK_REMAINING_MIP_LEVELS, 0, VK_REMAINING_ARRAY_LAYERS};
  vkCmdClearDepthStencilImage(cmd, r.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &v, 1, &range);
}

namespace {

float halfToFloat(uint32_t h) {
  const uint32_t sign = (h >> 15) & 1, exponent = (h >> 10) & 31, mantissa = h & 1023;
  float v;
  if (exponent == 0) v = std::ldexp(float(mantissa), -24);
  else if (exponent == 31) v = mantissa ? std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::infinity();
  else v = std::ldexp(float(mantissa | 1024), int(exponent) - 25);
  return sign ? -v : v;
}

// The clear value that writes the lowest bits of each of `values` into the channels of
// `format` unchanged, as Direct3D's integer clear of any view does. False for formats it does
// not know (sRGB among them: its encoding is not a plain division).
bool bitCopyClear(VkFormat format, const uint32_t values[4], VkClearColorValue& out) {
  enum Kind { Unorm, Snorm, Float, Uint, Sint };
  Kind kind;
  uint32_t bits;
  switch (format) {
    case VK_FORMAT_R8_UNORM: case VK_FORMAT_R8G8_UNORM: case VK_FORMAT_R8G8B8A8_UNORM: case VK_FORMAT_B8G8R8A8_UNORM:
      kind = Unorm, bits = 8; break;
    case VK_FORMAT_R16_UNORM: case VK_FORMAT_R16G16_UNORM: case VK_FORMAT_R16G16B16A16_UNORM:
      kind = Unorm, bits = 16; break;
    case VK_FORMAT_R8G8B8A8_SNORM: kind = Snorm, bits = 8; break;
    case VK_FORMAT_R16_SNORM: case VK_FORMAT_R16G16_SNORM: case VK_FORMAT_R16G16B16A16_SNORM:
      kind = Snorm, bits = 16; break;
    case VK_FORMAT_R16_SFLOAT: case VK_FORMAT_R16G16_SFLOAT: case VK_FORMAT_R16G16B16A16_SFLOAT:
      kind = Float, bits = 16; break;
    case VK_FORMAT_R32_SFLOAT: case VK_FORMAT_R32G32_SFLOAT: case VK_FORMAT_R32G32B32A32_SFLOAT:
      kind = Float, bits = 32; break;
    case VK_FORMAT_R8_UINT: case VK_FORMAT_R8G8B8A8_UINT: kind = Uint, bits = 8; break;
    case VK_FORMAT_R16_UINT: case VK_FORMAT_R16G16_UINT: case VK_FORMAT_R16G16B16A16_UINT: kind = Uint, bits = 16; break;
    case VK_FORMAT_R32_UINT: case VK_FORMAT_R32G32_UINT: case VK_FORMAT_R32G32B32A32_UINT: kind = Uint, bits = 32; break;
    case VK_FORMAT_R8G8B8A8_SINT: kind = Sint, bits = 8; break;
    case VK_FORMAT_R16_SINT: case VK_FORMAT_R16G16_SINT: case VK_FORMAT_R16G16B16A16_SINT: kind = Sint, bits = 16; break;
    case VK_FORMAT_R32_SINT: case VK_FORMAT_R32G32_SINT: case VK_FORMAT_R32G32B32A32_SINT: kind = Sint, bits = 32; break;
    default: return false;
  }
  const uint32_t mask = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
  for (int i = 0; i < 4; ++i) {
    const uint32_t v = values[i] & mask;
    const int32_t signedValue = bits == 32 ? int32_t(v) : (v >> (bits - 1)) ? int32_t(v) - int32_t(1u << bits) : int32_t(v);
    switch (kind) {
      case Unorm: out.float32[i] = float(v) / float(mask); break;
      case Snorm: out.float32[i] = std::max(-1.0f, float(signedValue) / float(mask >> 1)); break;
      case Float:
        if (bits == 32) std::memcpy(&out.float32[i], &v, 4);
        else out.float32[i] = halfToFloat(v);
        break;
      case Uint: out.uint32[i] = v; break;
      case Sint: out.int32[i] = signedValue; break;
    }
  }
  return true;
}

}  // namespace

void DeviceContext::clearUnorderedAccessViewUint(Texture* t, const uint32_t values[4]) {
  ContextImpl& c = *impl_;
  if (!t || !t->resource) return;
  Resource& r = *t->resource;
  if (r.isImage) {
    VkClearColorValue v{};
    if (!bitCopyClear(r.viewFormat, values, v)) {
      if (isIntegerFormat(r.format))
        for (int i = 0; i < 4; ++i) v.uint32[i] = values[i];
      else
        for (int i = 0; i < 4; ++i) v.float32[i] = float(values[i]);
    }
    clearImage(c, r, v, 0, VK_REMAINING_ARRAY_LAYERS);
    return;
  }
  if (!r.buffer) return;
  c.endRendering();
  VkCommandBuffer cmd = c.d->cmd();
  bufferBarrier(*c.d, cmd, r, true);
  if (r.size >= 4) vkCmdFillBuffer(cmd, r.buffer, 0, r.size / 4 * 4, values[0]);
}

void DeviceContext::clearUnorderedAccessViewFloat(Texture* t, const float values[4]) {
  ContextImpl& c = *impl_;
  if (!t || !t->resource) return;
  Resource& r = *t->resource;
  if (r.isImage) {
    VkClearColorValue v{};
    for (int i = 0; i < 4; ++i) v.float32[i] = values[i];
    clearImage(c, r, v, 0, VK_REMAINING_ARRAY_LAYERS);
    return;
  }
  uint32_t bits;
  std::memcpy(&bits, &values[0], 4);
  if (!r.buffer) return;
  c.endRendering();
  VkCommandBuffer cmd = c.d->cmd();
  bufferBarrier(*c.d, cmd, r, true);
  if (r.size >= 4) vkCmdFillBuffer(cmd, r.buffer, 0, r.size / 4 * 4, bits);
}

void DeviceContext::clearState() {
  ContextImpl& c = *impl_;
  for (auto& s : c.stages) s = StageState{};
  c.topology = D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED;
  c.layout = nullptr;
  for (uint32_t i = 0; i < kVertexBufferSlots; ++i) {
    c.vbs[i] = nullptr;
    c.strides[i] = c.offsets[i] = 0;
  }
  c.ib = nullptr;
  c.ibOffset = 0;
  for (auto& t : c.rts) t = nullptr;
  c.rtCount = 0;
  c.depth = nullptr;
  c.slice = 0;
  c.viewportSet = false;
  c.scissor = ScissorRect{};
  c.state = nullptr;
  c.stencilRef = 0;
}

void DeviceContext::unbindEverywhere(const Texture* t) {
  ContextImpl& c = *impl_;
  if (!t) return;
  for (StageState& st : c.stages) {
    for (auto& x : st.cbs) if (x == t) x = nullptr;
    for (auto& x : st.srvs) if (x == t) x = nullptr;
    for (auto& x : st.uavs) if (x == t) x = nullptr;
  }
  for (auto& x : c.vbs) if (x == t) x = nullptr;
  if (c.ib == t) c.ib = nullptr;
  bool open = false;
  for (uint32_t i = 0; i < kRenderTargetSlots; ++i) {
    if (c.rts[i] == t) c.rts[i] = nullptr;
    if (c.rRts[i] == t) open = true;
  }
  if (c.depth == t) c.depth = nullptr;
  if (c.rDepth == t) open = true;
  // The open rendering uses its views: close it before they go.
  if (open) {
    c.endRendering();
    for (auto& x : c.rRts) x = nullptr;
    c.rDepth = nullptr;
  }
  while (c.rtCount > 0 && !c.rts[c.rtCount - 1]) --c.rtCount;
}

void DeviceContext::flush(bool wait) { impl_->d->submit(wait); }

// Labels must open and close in one command buffer, and a read-back or a full upload ring
// may split a frame into several; markers are therefore not recorded.
void DeviceContext::beginEvent(const char* name) { (void)name; }
void DeviceContext::endEvent() {}

// The immediate context on Vulkan, descriptors and layouts: a program's descriptor-set layout,
// what is bound to each of its bindings (stand-ins for unbound slots), the barriers its
// resources need, and pushing or allocating its descriptors.
#include "gfx/vulkan/VkContextState.h"

namespace gfxbackend {

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

namespace {

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

}  // namespace

// Stages searched for a shared binding: pixel first, then the pipeline order.
constexpr uint32_t kStageOrder[6] = {hlsl::Pixel, hlsl::Vertex, hlsl::Hull, hlsl::Domain, hlsl::Geometry, hlsl::Compute};

// Where a stage's bindings start in a graphics pipeline's descriptor set (compute: 0).
constexpr uint32_t kStageBindingStride = 256;  // more than the HLSL front end's binding ranges
uint32_t stageBindingOffset(uint32_t stage) { return stage < hlsl::Compute ? stage * kStageBindingStride : 0; }

ProgramLayout* programLayout(ContextImpl& c, Shader* const shaders[6]) {
  std::array<uint32_t, 6> key{};
  for (int s = 0; s < 6; ++s) key[s] = shaders[s] ? shaders[s]->id : 0;
  if (c.lastLayout && key == c.lastLayoutKey) return c.lastLayout;
  auto it = c.layouts.find(key);
  if (it != c.layouts.end()) {
    c.lastLayoutKey = key;
    c.lastLayout = it->second;
    return it->second;
  }
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
  c.lastLayoutKey = key;
  c.lastLayout = pl;
  return pl;
}

// What is bound to element `element` of a binding (register reg + element).
Texture* boundFor(ContextImpl& c, const BindingSource& b, Sampler** sampler, uint32_t element) {
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

// The most a copy into the ring fetches ahead for the next one.
constexpr VkDeviceSize kRingPrefetchBytes = 1024;

// Dynamic buffers: make sure the latest contents sit in this frame's ring.
void ensureRing(ContextImpl& c, Resource& r) {
  if (r.ringEpoch == c.d->epoch) return;
  Staging s = c.d->staging(r.size, std::max<VkDeviceSize>(c.d->properties.limits.minUniformBufferOffsetAlignment, 16));
  std::memcpy(s.ptr, r.shadow.data(), size_t(r.size));
  // The ring's memory is written once a frame, megabytes of it, so its lines are rarely in
  // the cache; the next upload of this size lands right after this one. Fetching those
  // lines now (a hint: it changes nothing and never faults) lets that copy find them there.
  for (VkDeviceSize at = 0; at < r.size && at < kRingPrefetchBytes; at += 64)
    __builtin_prefetch(s.ptr + r.size + at, 1, 3);
  r.ringBuffer = s.buffer;
  r.ringOffset = s.offset;
  r.ringEpoch = c.d->epoch;
}

namespace {

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

}  // namespace

bool needsBarrier(const Use& u) { return needsBarrier(*u.r, u.layout, u.access); }

namespace {

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

}  // namespace

// Fills the descriptor writes for a program and collects the resources it touches.
// Returns false when a required descriptor cannot be given.
bool gatherDescriptors(ContextImpl& c, ProgramLayout& pl, std::vector<Use>& uses, bool compute) {
  c.writes.clear();
  c.bufferInfos.clear();
  c.imageInfos.clear();
  c.texelViews.clear();
  c.sources.clear();
  c.rings.clear();
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
      if (!compute) c.sources.push_back(b.kind == BindKind::Sampler ? static_cast<const void*>(sampler) : t);
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
            if (!compute)
              c.rings.push_back({&r, uint32_t(c.bufferInfos.size()), uint32_t(c.writes.size()), bi.range, false});
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
    VkWriteDescriptorSet& w = c.writes.emplace_back();  // filled in place: draws make many
    w.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
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
  }
  return true;
}

namespace {

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

}  // namespace

namespace {

bool sameDescriptor(const VkDescriptorBufferInfo& a, const VkDescriptorBufferInfo& b) {
  return a.buffer == b.buffer && a.offset == b.offset && a.range == b.range;
}
bool sameDescriptor(const VkDescriptorImageInfo& a, const VkDescriptorImageInfo& b) {
  return a.sampler == b.sampler && a.imageView == b.imageView && a.imageLayout == b.imageLayout;
}
bool sameDescriptor(VkBufferView a, VkBufferView b) { return a == b; }

template <typename T>
bool sameRange(const T* first, uint32_t count, const std::vector<T>& now, const std::vector<T>& before) {
  const size_t at = size_t(first - now.data());
  if (before.size() != now.size() || at + count > before.size()) return false;
  for (uint32_t i = 0; i < count; ++i)
    if (!sameDescriptor(first[i], before[at + i])) return false;
  return true;
}

// Whether a gathered write gives its binding what the bound descriptors already hold (the
// bound ones were gathered for the same layout, so they lie at the same places).
bool alreadyBound(const ContextImpl& c, const VkWriteDescriptorSet& w) {
  const BoundGraphics& b = c.bound;
  if (w.pImageInfo) return sameRange(w.pImageInfo, w.descriptorCount, c.imageInfos, b.imageInfos);
  if (w.pTexelBufferView) return sameRange(w.pTexelBufferView, w.descriptorCount, c.texelViews, b.texelViews);
  return sameRange(w.pBufferInfo, w.descriptorCount, c.bufferInfos, b.bufferInfos);
}

}  // namespace

// Hands the gathered descriptors to the command buffer: pushed, or written into a set. For
// drawing, what the command buffer already holds under the same layout is not given again:
// pushed descriptors keep their values until a push under another layout, so only the
// bindings that changed are pushed; a set whose every binding is unchanged stays bound.
void bindDescriptors(ContextImpl& c, VkCommandBuffer cmd, VkPipelineBindPoint point, const ProgramLayout& pl) {
  const bool graphics = point == VK_PIPELINE_BIND_POINT_GRAPHICS;
  if (c.writes.empty() && !graphics) return;
  const bool known = graphics && c.bound.layout == pl.layout;
  if (pl.push) {
    const std::vector<VkWriteDescriptorSet>* writes = &c.writes;
    if (known) {
      c.changedWrites.clear();
      for (const VkWriteDescriptorSet& w : c.writes)
        if (!alreadyBound(c, w)) c.changedWrites.push_back(w);
      writes = &c.changedWrites;
    }
    if (!writes->empty())
      c.d->pushDescriptorSet(cmd, point, pl.layout, 0, uint32_t(writes->size()), writes->data());
  } else if (!c.writes.empty()) {
    bool same = known;
    for (size_t i = 0; same && i < c.writes.size(); ++i) same = alreadyBound(c, c.writes[i]);
    if (!same) {
      VkDescriptorSet set = allocateSet(c, pl);
      for (VkWriteDescriptorSet& w : c.writes) w.dstSet = set;
      vkUpdateDescriptorSets(c.d->device, uint32_t(c.writes.size()), c.writes.data(), 0, nullptr);
      vkCmdBindDescriptorSets(cmd, point, pl.layout, 0, 1, &set, 0, nullptr);
    }
  }
  if (graphics) {
    // Swapped, not copied (a swap keeps each list's storage, so the writes still point into
    // them): the gathered lists are refilled before their next use.
    c.bound.layout = pl.layout;
    std::swap(c.bound.bufferInfos, c.bufferInfos);
    std::swap(c.bound.imageInfos, c.imageInfos);
    std::swap(c.bound.texelViews, c.texelViews);
    std::swap(c.bound.writes, c.writes);
    c.writes.clear();
  }
}

void sourceSlots(ContextImpl& c, const ProgramLayout& pl, std::vector<SourceSlot>& slots) {
  slots.clear();
  for (uint32_t i = 0; i < pl.bindings.size(); ++i) {
    const BindingSource& b = pl.bindings[i];
    const bool oneStage = b.stageMask && !(b.stageMask & (b.stageMask - 1));
    uint32_t stage = 0;
    while (oneStage && !(b.stageMask & (1u << stage))) ++stage;
    StageState& st = c.stages[stage];
    for (uint32_t element = 0; element < b.count; ++element) {
      const uint32_t reg = b.reg + element;
      SourceSlot s{SourceSlot::Search, nullptr, i, element};
      if (oneStage) switch (b.kind) {
          case BindKind::ConstantBuffer:
            if (reg < kConstantBufferSlots) s = {SourceSlot::TextureSlot, &st.cbs[reg], i, element};
            break;
          case BindKind::ShaderResource:
            if (reg < kShaderResourceSlots) s = {SourceSlot::TextureSlot, &st.srvs[reg], i, element};
            break;
          case BindKind::Sampler:
            if (reg < kSamplerSlots) s = {SourceSlot::SamplerSlot, &st.samplers[reg], i, element};
            break;
          case BindKind::Uav:
          case BindKind::Counter:
            if (reg < kUavSlots) s = {SourceSlot::TextureSlot, &st.uavs[reg], i, element};
            break;
        }
      slots.push_back(s);
    }
  }
}

bool sameSources(ContextImpl& c) {
  const LastDraw& last = c.last;
  const size_t n = last.slots.size();
  if (n != last.sources.size()) return false;
  for (size_t i = 0; i < n; ++i) {
    const SourceSlot& s = last.slots[i];
    const void* now = nullptr;
    switch (s.how) {
      case SourceSlot::TextureSlot: now = *static_cast<Texture* const*>(s.at); break;
      case SourceSlot::SamplerSlot: now = *static_cast<Sampler* const*>(s.at); break;
      case SourceSlot::Search: {
        const BindingSource& b = last.pl->bindings[s.binding];
        Sampler* sampler = nullptr;
        Texture* t = boundFor(c, b, &sampler, s.element);
        now = b.kind == BindKind::Sampler ? static_cast<const void*>(sampler) : t;
        break;
      }
    }
    if (now != last.sources[i]) return false;
  }
  return true;
}

void refreshRingDescriptors(ContextImpl& c) {
  std::vector<VkDescriptorBufferInfo>& infos = c.bound.bufferInfos;
  for (RingDescriptor& rd : c.last.rings) {
    Resource& r = *rd.r;
    ensureRing(c, r);
    const VkDescriptorBufferInfo bi{r.ringBuffer, r.ringOffset, rd.range};
    if (!sameDescriptor(bi, infos[rd.info])) {
      infos[rd.info] = bi;
      rd.changed = true;
    }
  }
}

void bindLastDescriptors(ContextImpl& c, VkCommandBuffer cmd, const ProgramLayout& pl) {
  BoundGraphics& bound = c.bound;
  std::vector<VkWriteDescriptorSet>& writes = bound.writes;
  // Under the same layout the command buffer holds these descriptors but for the refreshed
  // ring-backed ones.
  const bool known = bound.layout == pl.layout;
  bool changed = false;
  for (const RingDescriptor& rd : c.last.rings) changed = changed || rd.changed;
  if (!writes.empty()) {
    if (pl.push) {
      if (!known) {
        c.d->pushDescriptorSet(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pl.layout, 0, uint32_t(writes.size()),
                               writes.data());
      } else if (changed) {
        c.changedWrites.clear();
        uint32_t lastWrite = UINT32_MAX;
        for (const RingDescriptor& rd : c.last.rings)
          if (rd.changed && rd.write != lastWrite) {  // an array's elements share a write
            c.changedWrites.push_back(writes[rd.write]);
            lastWrite = rd.write;
          }
        c.d->pushDescriptorSet(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pl.layout, 0,
                               uint32_t(c.changedWrites.size()), c.changedWrites.data());
      }
    } else if (!known || changed) {
      VkDescriptorSet set = allocateSet(c, pl);
      for (VkWriteDescriptorSet& w : writes) w.dstSet = set;
      vkUpdateDescriptorSets(c.d->device, uint32_t(writes.size()), writes.data(), 0, nullptr);
      vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pl.layout, 0, 1, &set, 0, nullptr);
    }
  }
  for (RingDescriptor& rd : c.last.rings) rd.changed = false;
  bound.layout = pl.layout;
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
      trackingChanged();
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

}  // namespace gfxbackend

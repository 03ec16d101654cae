// The immediate context on Vulkan, pipelines: shader modules patched to the bound views, graphics
// and compute pipelines built on first use and cached by key, and the shader and vertex-layout
// objects they are built from.
#include "gfx/vulkan/VkContextState.h"

namespace gfxbackend {

namespace {

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

}  // namespace

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
  // Keys are compared byte for byte, padding included, so they are always copied with memcpy:
  // a member-wise copy (what an optimised build makes of an assignment) leaves the padding
  // undefined, and the copy would never match again.
  if (c.lastPipelineKnown && c.lastPipelineCompute == compute && std::memcmp(&c.lastPipelineKey, &key, sizeof(key)) == 0)
    return c.lastPipeline;
  auto remember = [&](VkPipeline p) {
    std::memcpy(&c.lastPipelineKey, &key, sizeof(key));
    c.lastPipelineCompute = compute;
    c.lastPipeline = p;
    c.lastPipelineKnown = true;
    return p;
  };
  uint32_t hash = descHash(key);
  auto& bucket = c.pipelines[hash];
  for (const PipelineEntry& e : bucket)
    if (std::memcmp(&e.key, &key, sizeof(key)) == 0) return remember(e.pipeline);
  VkPipeline p = compute ? buildComputePipeline(c, pl, key) : buildGraphicsPipeline(c, pl, key);
  bucket.push_back({key, p});
  std::memcpy(&bucket.back().key, &key, sizeof(key));
  return remember(p);
}

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

gfxbackend::Shader* createShader(Device* device, hlsl::Stage stage, const std::vector<uint32_t>& spirv) {
  hlsl::Reflection reflection;
  std::string error;
  if (!hlsl::reflect(spirv, reflection, &error)) {
    logMessage("Could not reflect shader: %s\n", error.c_str());
    return nullptr;
  }
  return createShader(device, stage, spirv, reflection);
}

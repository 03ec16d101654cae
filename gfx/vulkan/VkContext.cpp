// The immediate context on Vulkan, state and draws: recorded state, rendering opened into the
// bound targets, draws and dispatches. Descriptors, pipelines and transfers have files of their own.
#include "gfx/vulkan/VkContextState.h"

#include "gfx/SketchDraws.h"

using namespace gfxbackend;

void DeviceContext::unbindEverywhere(const gfxbackend::Shader* shader) {
  impl_->last.valid = false;  // another shader may come at the same address
  for (StageState& st : impl_->stages)
    if (st.shader == shader) st.shader = nullptr;
}

void DeviceContext::unbindEverywhere(const gfxbackend::VertexLayout* layout) {
  impl_->last.valid = false;
  if (impl_->layout == layout) impl_->layout = nullptr;
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
  if (stage < hlsl::kStageCount) impl_->stages[stage].shader = shader;
}

void DeviceContext::setConstantBuffers(hlsl::Stage stage, uint32_t start, uint32_t count, Texture* const* buffers) {
  if (stage >= hlsl::kStageCount) return;
  for (uint32_t i = 0; i < count && start + i < kConstantBufferSlots; ++i)
    impl_->stages[stage].cbs[start + i] = buffers ? buffers[i] : nullptr;
}

void DeviceContext::setShaderResources(hlsl::Stage stage, uint32_t start, uint32_t count, Texture* const* resources) {
  if (stage >= hlsl::kStageCount) return;
  for (uint32_t i = 0; i < count && start + i < kShaderResourceSlots; ++i)
    impl_->stages[stage].srvs[start + i] = resources ? resources[i] : nullptr;
}

void DeviceContext::setSamplers(hlsl::Stage stage, uint32_t start, uint32_t count, Sampler* const* samplers) {
  if (stage >= hlsl::kStageCount) return;
  for (uint32_t i = 0; i < count && start + i < kSamplerSlots; ++i)
    impl_->stages[stage].samplers[start + i] = samplers ? samplers[i] : nullptr;
}

void DeviceContext::setUnorderedAccessViews(hlsl::Stage stage, uint32_t start, uint32_t count, Texture* const* views,
                                            const uint32_t* initialCounts) {
  if (stage >= hlsl::kStageCount) return;
  for (uint32_t i = 0; i < count && start + i < kUavSlots; ++i) {
    Texture* t = views ? views[i] : nullptr;
    impl_->stages[stage].uavs[start + i] = t;
    if (t && t->resource && initialCounts && initialCounts[i] != kKeepUavCount) {
      t->resource->pendingCount = initialCounts[i];
      trackingChanged();  // the next use of it writes the count first, as a barrier would
    }
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
  c.bound.forget();
  c.rendering = true;
  c.rRtCount = c.rtCount;
  for (uint32_t i = 0; i < kRenderTargetSlots; ++i) c.rRts[i] = c.rts[i];
  c.rDepth = c.depth;
  c.rSlice = c.slice;
  c.extent = {w, h};
  return true;
}

thread_local std::vector<Use> tUses;

bool recordDraw(ContextImpl& c, bool indexed, ProgramLayout* pl, VkPipeline pipeline, bool again,
                Shader* const shaders[6]);

// Whether the pipeline's inputs are those of the last fully prepared draw.
bool samePipelineInputs(const ContextImpl& c, const LastDraw& last, Shader* const shaders[6]) {
  if (std::memcmp(last.shaders, shaders, sizeof(last.shaders)) != 0 || last.layout != c.layout ||
      last.state != c.state || last.topology != c.topology || last.rtCount != c.rtCount || last.depth != c.depth)
    return false;
  for (uint32_t i = 0; i < kRenderTargetSlots; ++i)
    if (last.rts[i] != c.rts[i]) return false;
  return true;
}

// Whether the last fully prepared draw's layout, pipeline and descriptors serve this one.
bool sameAsLastDraw(ContextImpl& c, Shader* const shaders[6]) {
  const LastDraw& last = c.last;
  if (!last.valid || !samePipelineInputs(c, last, shaders)) return false;
  if (std::memcmp(last.pixelUavs, c.stages[hlsl::Pixel].uavs, sizeof(last.pixelUavs)) != 0) return false;
  return sameSources(c);
}

// Remembers a fully prepared draw (its descriptors are BoundGraphics' lists by now).
void rememberDraw(ContextImpl& c, Shader* const shaders[6], ProgramLayout* pl, VkPipeline pipeline,
                  const std::vector<Use>& uses, size_t descriptorUses, uint64_t trackingStamp) {
  LastDraw& last = c.last;
  std::memcpy(last.shaders, shaders, sizeof(last.shaders));
  last.layout = c.layout;
  last.state = c.state;
  last.topology = c.topology;
  for (uint32_t i = 0; i < kRenderTargetSlots; ++i) last.rts[i] = c.rts[i];
  last.rtCount = c.rtCount;
  last.depth = c.depth;
  std::memcpy(last.pixelUavs, c.stages[hlsl::Pixel].uavs, sizeof(last.pixelUavs));
  std::swap(last.sources, c.sources);
  sourceSlots(c, *pl, last.slots);
  std::swap(last.rings, c.rings);
  last.uses.assign(uses.begin(), uses.begin() + std::ptrdiff_t(descriptorUses));
  last.readsOnly = true;
  for (const Use& u : last.uses)
    if (u.access.write || u.r->hasCounter) last.readsOnly = false;
  last.trackingStamp = trackingStamp;
  last.pl = pl;
  last.pipeline = pipeline;
  last.valid = true;
}

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
  // Draw after draw of one program with the same textures (bound again for each, as callers
  // do) needs nothing built, looked up or gathered again: only the ring-backed constants
  // move, and the barriers are checked again.
  const bool again = sameAsLastDraw(c, shaders);
  if (again) return recordDraw(c, indexed, c.last.pl, c.last.pipeline, true, shaders);
  c.last.valid = false;  // the lists it names are replaced below
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
  return recordDraw(c, indexed, pl, pipeline, false, shaders);
}

// Records what a draw needs bound, with the last draw's descriptors (`again`) or freshly
// gathered ones.
bool recordDraw(ContextImpl& c, bool indexed, ProgramLayout* pl, VkPipeline pipeline, bool again,
                Shader* const shaders[6]) {
  std::vector<Use>& uses = tUses;
  size_t descriptorUses = 0;
  bool settled = false;  // the last draw's reads, with no resource's tracking changed since
  // Ring space for dynamic buffers may run out while the draw is prepared; that submits and
  // starts a fresh ring, so everything taken from the old one is taken again.
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint64_t epoch = c.d->epoch;
    uses.clear();
    for (uint32_t i = 0; i < kVertexBufferSlots && c.layout; ++i)
      if (c.vbs[i] && c.vbs[i]->resource && c.vbs[i]->resource->dynamic) ensureRing(c, *c.vbs[i]->resource);
    if (indexed && c.ib && c.ib->resource && c.ib->resource->dynamic) ensureRing(c, *c.ib->resource);
    if (again) {
      refreshRingDescriptors(c);
      // The same reads as the last draw's, with nothing changed since, need no barrier.
      settled = c.last.readsOnly && c.last.trackingStamp == trackingChanges();
      if (!settled) uses.assign(c.last.uses.begin(), c.last.uses.end());
    } else if (!gatherDescriptors(c, *pl, uses, false)) {
      c.warn("a shader resource is not bound");
      return false;
    }
    if (c.d->epoch == epoch) break;
  }
  descriptorUses = uses.size();
  LastDraw& last = c.last;
  if (!settled || last.indexed != indexed || (indexed && last.ib != c.ib) ||
      std::memcmp(last.vbs, c.vbs, sizeof(last.vbs)) != 0) {
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
  }
  if (!beginRendering(c)) {
    // The refreshed descriptors were not handed over: the next draw gives them all.
    if (again) c.bound.layout = VK_NULL_HANDLE;
    c.warn("the targets have no memory");
    return false;
  }
  const uint64_t trackingStamp = trackingChanges();
  if (again) last.trackingStamp = trackingStamp;
  std::memcpy(last.vbs, c.vbs, sizeof(last.vbs));
  last.ib = c.ib;
  last.indexed = indexed;
  VkCommandBuffer cmd = c.d->cmd();
  // What this command buffer already has bound is not recorded again (a submit above, for
  // ring space, started a new one).
  BoundGraphics& bound = c.bound;
  if (bound.epoch != c.d->epoch) {
    bound.forget();
    bound.epoch = c.d->epoch;
  }
  if (bound.pipeline != pipeline) {
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline);
    bound.pipeline = pipeline;
  }
  if (again) {
    bindLastDescriptors(c, cmd, *pl);
  } else {
    bindDescriptors(c, cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, *pl);
    rememberDraw(c, shaders, pl, pipeline, uses, descriptorUses, trackingStamp);
  }
  // Direct3D's top-left origin: a viewport with negative height.
  D3DViewport v = c.viewport;
  if (!c.viewportSet) v = {0, 0, float(c.extent.width), float(c.extent.height), 0, 1};
  VkViewport vp{v.x, v.y + v.height, v.width, -v.height, v.minDepth, v.maxDepth};
  // A viewport without area draws nothing in Direct3D; Vulkan refuses one, so it becomes a
  // one-pixel viewport behind an empty scissor.
  const bool noArea = !(v.width > 0.0f) || !(v.height > 0.0f);
  if (noArea) vp = {v.x, v.y + 1.0f, 1.0f, -1.0f, v.minDepth, v.maxDepth};
  if (!bound.haveViewport || std::memcmp(&bound.viewport, &vp, sizeof(vp)) != 0) {
    vkCmdSetViewport(cmd, 0, 1, &vp);
    bound.viewport = vp;
    bound.haveViewport = true;
  }
  VkRect2D sc{{0, 0}, c.extent};
  const RenderState* state = c.state ? c.state : c.device->defaultState();
  if (state->desc.flags & kScissor) {
    int32_t l = std::max(c.scissor.left, 0), t = std::max(c.scissor.top, 0);
    int32_t r = std::min<int32_t>(c.scissor.right, int32_t(c.extent.width));
    int32_t b = std::min<int32_t>(c.scissor.bottom, int32_t(c.extent.height));
    sc = {{l, t}, {uint32_t(std::max(r - l, 0)), uint32_t(std::max(b - t, 0))}};
  }
  // A prepared draw runs with an empty scissor: everything up to the rasterizer runs (some
  // drivers compile their shader variants on a draw's first execution, not with the
  // pipeline) and no pixel is written.
  if (c.prepareOnly || noArea) sc = {{0, 0}, {0, 0}};
  // A sketched draw shades one pixel: the viewport's first that the scissor lets through.
  if (c.sketch && sc.extent.width > 0 && sc.extent.height > 0) {
    const int32_t right = sc.offset.x + int32_t(sc.extent.width) - 1;
    const int32_t bottom = sc.offset.y + int32_t(sc.extent.height) - 1;
    sc.offset.x = std::clamp(int32_t(std::floor(v.x)), sc.offset.x, right);
    sc.offset.y = std::clamp(int32_t(std::floor(v.y)), sc.offset.y, bottom);
    sc.extent = {1, 1};
  }
  if (!bound.haveScissor || std::memcmp(&bound.scissor, &sc, sizeof(sc)) != 0) {
    vkCmdSetScissor(cmd, 0, 1, &sc);
    bound.scissor = sc;
    bound.haveScissor = true;
  }
  if (!bound.haveStencilRef || bound.stencilRef != c.stencilRef) {
    vkCmdSetStencilReference(cmd, VK_STENCIL_FACE_FRONT_AND_BACK, c.stencilRef);
    bound.stencilRef = c.stencilRef;
    bound.haveStencilRef = true;
  }
  if (!bound.haveBlend) {
    float zero[4] = {0, 0, 0, 0};
    vkCmdSetBlendConstants(cmd, zero);
    bound.haveBlend = true;
  }
  const VkPrimitiveTopology topology = toVkTopology(c.topology, nullptr);
  if (bound.topology != topology) {
    vkCmdSetPrimitiveTopology(cmd, topology);
    bound.topology = topology;
  }
  if (c.layout) {
    uint32_t usedSlots = 0;
    for (const auto& e : c.layout->elements)
      if (e.inputSlot < kVertexBufferSlots) usedSlots |= 1u << e.inputSlot;
    for (uint32_t i = 0; i < kVertexBufferSlots; ++i) {
      if (!(usedSlots & (1u << i))) continue;
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
      if (bound.vbs[i] != buf || bound.vbOffsets[i] != offset || bound.vbStrides[i] != stride) {
        vkCmdBindVertexBuffers2(cmd, i, 1, &buf, &offset, nullptr, &stride);
        bound.vbs[i] = buf;
        bound.vbOffsets[i] = offset;
        bound.vbStrides[i] = stride;
      }
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
    const VkIndexType type = toVkIndexType(c.ibFormat);
    if (bound.ib != buf || bound.ibOffset != offset || bound.ibType != type) {
      vkCmdBindIndexBuffer(cmd, buf, offset, type);
      bound.ib = buf;
      bound.ibOffset = offset;
      bound.ibType = type;
    }
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

void setSketchDraws(DeviceContext* context, bool on) {
  if (context) context->impl()->sketch = on;
}

bool sketchDraws(const DeviceContext* context) { return context && context->impl()->sketch; }

SketchScope::SketchScope(DeviceContext* context, bool on) : context_(context) {
  if (!context_) return;
  was_ = sketchDraws(context_);
  setSketchDraws(context_, on);
}

SketchScope::~SketchScope() {
  if (context_) setSketchDraws(context_, was_);
}

PictureDispatchScope::PictureDispatchScope(DeviceContext* context) : context_(context) {
  if (!context_) return;
  was_ = context_->impl()->pictureDispatches;
  context_->impl()->pictureDispatches = true;
}

PictureDispatchScope::~PictureDispatchScope() {
  if (context_) context_->impl()->pictureDispatches = was_;
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
  // A dispatch for a sketched picture runs one group: its variant is compiled, little is run.
  if (c.sketch && c.pictureDispatches && x > 0 && y > 0 && z > 0) x = y = z = 1;
  applyUses(c, uses);
  VkCommandBuffer cmd = c.d->cmd();
  c.bound.forget();  // draws after the dispatch bind everything again
  vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline);
  bindDescriptors(c, cmd, VK_PIPELINE_BIND_POINT_COMPUTE, *pl);
  vkCmdDispatch(cmd, x, y, z);
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
  // Its views go (deleted or resized), and another texture may come at the same address.
  c.last.valid = false;
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

#include "scene/Mesh.h"

#include <algorithm>
#include <vector>

#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/InputLayout.h"
#include "gfx/ShaderProgram.h"
#include "gfx/Texture.h"

Mesh::~Mesh() {
  for (uint32_t i = 0; i < kMeshStreams; ++i)
    if (ownedBuffers & (1u << i)) deleteTexture(vertexBuffers[i]);
  if (ownedBuffers & kOwnsIndexBuffer) deleteTexture(indexBuffer);
}

namespace {

Texture* makeBuffer(Device* device, uint32_t flags, uint32_t elements, uint32_t stride, const void* data) {
  TextureDesc desc;
  desc.flags = flags;
  desc.bitsPerPixel = stride * 8;
  desc.width = elements;
  return createTexture(device, desc, data);
}

}  // namespace

std::unique_ptr<Mesh> createMesh(Device* device, const void* vertices, uint32_t vertexCount, uint32_t stride,
                                 const uint32_t* indices, uint32_t indexCount, InputLayout* layout,
                                 D3DPrimitiveTopology topology, const char* what) {
  if (!what) what = "mesh";
  if (!device || !vertices || vertexCount == 0 || stride == 0) {
    logMessage("Cannot create %s: no device or no vertices\n", what);
    return nullptr;
  }
  for (uint32_t i = 0; i < indexCount; ++i) {
    if (indices[i] >= vertexCount) {
      logMessage("Cannot create %s: index %u points past its %u vertices\n", what, indices[i], vertexCount);
      return nullptr;
    }
  }
  auto mesh = std::make_unique<Mesh>();
  mesh->vertexBuffers[0] = makeBuffer(device, kMeshVertexBufferFlags, vertexCount, stride, vertices);
  mesh->ownedBuffers = 1;
  mesh->strides[0] = stride;
  mesh->layout = layout;
  mesh->topology = topology;
  mesh->vertexCount = vertexCount;
  if (indices && indexCount > 0) {
    if (vertexCount <= kMax16BitVertices) {
      std::vector<uint16_t> narrow(indices, indices + indexCount);
      mesh->indexBuffer = makeBuffer(device, kMeshIndexBufferFlags, indexCount, 2, narrow.data());
      mesh->indexFormat = DXGI_FORMAT_R16_UINT;
    } else {
      mesh->indexBuffer = makeBuffer(device, kMeshIndexBufferFlags, indexCount, 4, indices);
      mesh->indexFormat = DXGI_FORMAT_R32_UINT;
    }
    mesh->ownedBuffers |= Mesh::kOwnsIndexBuffer;
    mesh->indexed = true;
    mesh->indexCount = indexCount;
  }
  return mesh;
}

void submitDraw(const DrawRequest& r) {
  if (!r.program || !r.mesh || !r.program->shaders[0] || !r.program->device) return;
  const Mesh& mesh = *r.mesh;
  DeviceContext* dc = r.program->device->context();
  if (!dc) return;

  bindProgram(r.program);
  dc->setPrimitiveTopology(mesh.topology);
  dc->setInputLayout(mesh.layout ? mesh.layout->layout : nullptr);
  const uint32_t offsets[kMeshStreams] = {};
  dc->setVertexBuffers(0, kMeshStreams, mesh.vertexBuffers, mesh.strides, offsets);

  const bool instanced = (r.flags & kDrawInstanced) != 0;
  if (mesh.indexed && mesh.indexBuffer) {
    dc->setIndexBuffer(mesh.indexBuffer, mesh.indexFormat, 0);
    uint32_t first = mesh.firstIndex, count = mesh.indexCount;
    if (r.range) {
      first = r.range->first;
      count = r.range->end > r.range->first ? r.range->end - r.range->first : 0;
    }
    if (count) {
      if (instanced)
        dc->drawIndexedInstanced(count, r.instanceCount, first, int32_t(mesh.baseVertex), 0);
      else
        dc->drawIndexed(count, first, int32_t(mesh.baseVertex));
    }
  } else {
    dc->setIndexBuffer(nullptr, DXGI_FORMAT_R16_UINT, 0);
    uint32_t first = mesh.baseVertex, count = mesh.vertexCount;
    if (r.range) {
      first = r.range->first;
      count = r.range->end > r.range->first ? r.range->end - r.range->first : 0;
    }
    if (count) {
      if (instanced)
        dc->drawInstanced(count, r.instanceCount, first, 0);
      else
        dc->draw(count, first);
    }
  }
  unbindResources(r.program);
}

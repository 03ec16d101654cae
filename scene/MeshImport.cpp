#include "scene/MeshImport.h"

#include <algorithm>
#include <map>

#include "gfx/Device.h"
#include "gfx/DeviceCaches.h"
#include "gfx/FatalError.h"
#include "gfx/Hash.h"
#include "gfx/LoadFailures.h"
#include "gfx/ShaderManager.h"
#include "gfx/Texture.h"
#include "scene/ModelReader.h"

const uint32_t kInstancedLayoutCodes[9] = {0x1, 0x2, 0x3, 0x10, 0x100118, 0x100119, 0x10011A, 0x10011B, 0};

namespace {

void forgetMeshesOf(Device* device);

// Never destroyed: a Device deleted as the process ends forgets its meshes here after the
// other statics are gone.
std::map<uint32_t, SubMeshList>& meshCache() {
  static auto* cache = new std::map<uint32_t, SubMeshList>();
  static const bool watched = (onDeviceGone(&forgetMeshesOf), true);
  (void)watched;
  return *cache;
}

// A file whose meshes were made on a going Device leaves the cache (its buffers are deleted
// while the Device still works); files that gave no mesh stay, as they hold nothing of it.
void forgetMeshesOf(Device* device) {
  auto madeOn = [device](const SubMeshEntry& e) {
    if (!e.mesh) return false;
    if (e.mesh->indexBuffer && e.mesh->indexBuffer->device == device) return true;
    for (Texture* vb : e.mesh->vertexBuffers)
      if (vb && vb->device == device) return true;
    return false;
  };
  for (auto it = meshCache().begin(); it != meshCache().end();) {
    if (std::any_of(it->second.begin(), it->second.end(), madeOn))
      it = meshCache().erase(it);
    else
      ++it;
  }
}

std::map<uint32_t, std::shared_ptr<const LwoObject>>& lwoCache() {
  static std::map<uint32_t, std::shared_ptr<const LwoObject>> cache;
  return cache;
}

uint32_t pathKey(const std::string& path) { return nameHash(path.data(), path.size()); }

Texture* makeBuffer(Device* device, uint32_t flags, uint32_t elements, uint32_t stride, const void* data) {
  TextureDesc desc;
  desc.flags = flags;
  desc.bitsPerPixel = stride * 8;
  desc.width = elements;
  return createTexture(device, desc, data);
}

std::shared_ptr<Mesh> makeMesh(Device* device, const ModelPart& part, const MeshImportOptions& options) {
  const uint32_t count = uint32_t(part.vertices.size());
  if (count == 0 || (options.indexed && part.indices.empty())) return nullptr;
  auto mesh = std::make_shared<Mesh>();
  mesh->vertexBuffers[0] = makeBuffer(device, options.vertexBufferFlags, count, sizeof(MeshVertex), part.vertices.data());
  if (!mesh->vertexBuffers[0]) return nullptr;
  mesh->ownedBuffers = 1;
  mesh->strides[0] = sizeof(MeshVertex);
  mesh->layout = device->defaultInputLayout(1);
  mesh->topology = D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST;
  mesh->vertexCount = count;
  if (options.indexed) {
    const uint32_t n = uint32_t(part.indices.size());
    // Sixteen bits address 65,536 vertices; a bigger sub-mesh would wrap its indices.
    if (count <= kMax16BitVertices) {
      std::vector<uint16_t> narrow(part.indices.begin(), part.indices.end());
      mesh->indexBuffer = makeBuffer(device, options.indexBufferFlags, n, 2, narrow.data());
      mesh->indexFormat = DXGI_FORMAT_R16_UINT;
    } else {
      mesh->indexBuffer = makeBuffer(device, options.indexBufferFlags, n, 4, part.indices.data());
      mesh->indexFormat = DXGI_FORMAT_R32_UINT;
    }
    if (!mesh->indexBuffer) return nullptr;
    mesh->ownedBuffers |= Mesh::kOwnsIndexBuffer;
    mesh->indexed = true;
    mesh->indexCount = n;
  }
  return mesh;
}

}  // namespace

MeshImportOptions MeshImportOptions::forOperators() {
  MeshImportOptions o;
  o.root = mat::scaling({0.01f, 0.01f, 0.01f});
  return o;
}

SubMeshList LoadMeshFile(const std::string& path, const MeshImportOptions& options, bool useCache, Device* device) {
  if (!device) device = gDevice;
  const uint32_t key = pathKey(path);
  if (useCache) {
    auto it = meshCache().find(key);
    if (it != meshCache().end()) return it->second;
  }
  SubMeshList list;
  ModelReadOptions read;
  read.indexed = options.indexed;
  read.root = options.root;
  std::vector<ModelPart> parts;
  std::string error;
  if (!readModelFile(path, read, parts, &error)) {
    logMessage("Cannot read mesh file %s: %s\n", path.c_str(), error.c_str());
    noteLoadFailure("mesh", path, error);
  } else if (device) {
    for (const ModelPart& part : parts) list.push_back({makeMesh(device, part, options), part.transform});
  }
  if (useCache) meshCache()[key] = list;
  return list;
}

size_t meshCacheSize() { return meshCache().size(); }
void clearMeshCache() { meshCache().clear(); }

std::shared_ptr<const LwoObject> LoadLWO(const std::string& path) {
  const uint32_t key = pathKey(path);
  auto it = lwoCache().find(key);
  if (it != lwoCache().end()) return it->second;
  std::string bytes;
  if (!readWholeFile(path, bytes)) {
    logMessage("Failed to open %s\n", path.c_str());
    logMessage("File not found!\n");
    noteLoadFailure("mesh", path, "cannot open it");
    return nullptr;
  }
  auto object = std::make_shared<LwoObject>();
  std::string error;
  if (!parseLwo(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), *object, error)) {
    noteLoadFailure("mesh", path, error);
    if (error == "Wrong file type!") {
      logMessage("Cannot read LightWave object %s\n", path.c_str());
      logMessage("Wrong file type!\n");
    } else {
      logMessage("Cannot read LightWave object %s: %s\n", path.c_str(), error.c_str());
    }
    return nullptr;
  }
  lwoCache()[key] = object;
  return object;
}

size_t lwoCacheSize() { return lwoCache().size(); }
void clearLwoCache() { lwoCache().clear(); }

std::unique_ptr<Mesh> BuildLWOMesh(const LwoLayer& layer, int32_t surface, Device* device) {
  if (!device) device = gDevice;
  if (!device) return nullptr;
  const std::vector<LwoVertex> vertices = lwoTriangles(layer, surface);
  if (vertices.empty()) return nullptr;
  auto mesh = std::make_unique<Mesh>();
  mesh->vertexBuffers[0] =
      makeBuffer(device, kMeshVertexBufferFlags, uint32_t(vertices.size()), sizeof(LwoVertex), vertices.data());
  if (!mesh->vertexBuffers[0]) return nullptr;
  mesh->ownedBuffers = 1;
  mesh->strides[0] = sizeof(LwoVertex);
  mesh->layout = device->defaultInputLayout(2);
  mesh->topology = D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST;
  mesh->vertexCount = uint32_t(vertices.size());
  return mesh;
}

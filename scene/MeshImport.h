#pragma once
// Meshes from files, on the GPU: model files through Assimp (scene/ModelReader) and
// LightWave objects (scene/LightWave), each with a process-wide cache keyed by the hash of
// the path, so that operators naming the same file share one copy. The caches live until
// shutdown, which empties them before the Device goes.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/Math.h"
#include "scene/LightWave.h"
#include "scene/Mesh.h"

class Device;
class InputLayout;

// One drawable piece of an imported file: the mesh and the transform of its node.
struct SubMeshEntry {
  std::shared_ptr<Mesh> mesh;  // null for a mesh without triangles (points or lines only)
  Float4x4 transform;
};
using SubMeshList = std::vector<SubMeshEntry>;

struct MeshImportOptions {
  bool indexed = true;
  uint32_t vertexBufferFlags = kMeshVertexBufferFlags;
  uint32_t indexBufferFlags = kMeshIndexBufferFlags;
  Float4x4 root;  // applied after every node transform

  // What the mesh operators ask for: indexed, file units scaled by 0.01.
  static MeshImportOptions forOperators();
};

// The sub-meshes of a model file in node-walk order (empty when Assimp cannot read it: one
// line names the file and Assimp's reason). Vertex buffers hold the 44-byte vertex with
// the Device's layout {POSITION, NORMAL, TANGENT, TEXCOORD0}; a sub-mesh of more than
// 65,536 vertices gets 32-bit indices. With useCache the result is kept under the path
// (also when empty) and returned again for the same path.
SubMeshList LoadMeshFile(const std::string& path, const MeshImportOptions& options, bool useCache,
                         Device* device = nullptr);
size_t meshCacheSize();
void clearMeshCache();

// The parsed LightWave object of a file, cached by path; null when the file cannot be
// opened ("Failed to open <path>" and "File not found!"), is not an LWO2 file ("Wrong file
// type!"), or is damaged (a line naming the file and the fault).
std::shared_ptr<const LwoObject> LoadLWO(const std::string& path);
size_t lwoCacheSize();
void clearLwoCache();

// A non-indexed triangle list of the layer's polygons (all when surface < 0) with the
// 32-byte LightWave vertex and the Device's {POSITION, NORMAL, TEXCOORD0} layout; null
// when the layer has no triangles.
std::unique_ptr<Mesh> BuildLWOMesh(const LwoLayer& layer, int32_t surface = -1, Device* device = nullptr);

// The element codes of the instanced layout: the 44-byte vertex in slot 0, WORLD0-WORLD3
// (float4 each) per instance in slot 1.
extern const uint32_t kInstancedLayoutCodes[9];

#pragma once
// Model files of any format Assimp reads, turned into plain vertex and index arrays.
//
// The file is imported with tangent space, joined identical vertices, left-handed
// coordinates, triangulation, flipped texture coordinates and flipped winding. Its node
// tree is walked depth first (a node's own meshes in the node's order, then its children
// in order); every mesh a node names becomes one part with the node's accumulated
// transform. Nothing of Assimp's scene is kept after the call.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Math.h"

// The vertex of imported meshes: position, normal, tangent, texture coordinate (44 bytes).
struct MeshVertex {
  Float3 position;
  Float3 normal{0.0f, 1.0f, 0.0f};
  Float3 tangent;
  Float2 uv;
};
static_assert(sizeof(MeshVertex) == 44);

// aiProcess_CalcTangentSpace | JoinIdenticalVertices | MakeLeftHanded | Triangulate |
// FlipUVs | FlipWindingOrder.
constexpr uint32_t kModelImportFlags = 0x0180000F;

struct ModelPart {
  // Indexed: every vertex of the mesh once. Otherwise three per triangle, in face order.
  std::vector<MeshVertex> vertices;
  std::vector<uint32_t> indices;  // three per triangle; empty when read without indices
  Float4x4 transform;             // the node transforms from this node up to the root, then the root option
  uint32_t meshIndex = 0;         // the mesh's number in the file
};

struct ModelReadOptions {
  bool indexed = true;
  Float4x4 root;  // applied after every node transform
};

// The parts of the file in walk order. False, with Assimp's reason in *error, when Assimp
// cannot read the file. Faces that are not triangles after triangulation (points and
// lines) are left out; a mesh made only of them gives a part without triangles. A mesh
// without normals gets the face normal written into each face's vertices (indexed; a later
// face overwrites an earlier one at a shared vertex) or (0, 1, 0) (not indexed).
bool readModelFile(const std::string& path, const ModelReadOptions& options, std::vector<ModelPart>& parts,
                   std::string* error = nullptr);

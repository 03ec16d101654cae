#pragma once
// CPU-side geometry of the procedural shapes, turned into a Mesh once and then discarded.
//
// Every shape is unit-sized around its centre and winds its triangles clockwise seen from
// the side its normals point to (the front faces of the G-buffer pass, which culls back
// faces). Indices are 32-bit here; toMesh stores them with 16 bits whenever every vertex
// can be addressed so, else with 32 bits (never wrapped).
//
// Two vertex forms:
//   compact (toMesh):   position, normal, texture coordinate         32 bytes
//   full (toMeshFull):  position, normal, tangent, texture coordinate 44 bytes
// The third vector (the tangent stream) is (0, 1, 0) for every shape built here.
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/Math.h"
#include "gfx/D3DEnums.h"

class Device;
struct Mesh;

constexpr uint32_t kCompactVertexFloats = 8;   // 32 bytes
constexpr uint32_t kFullVertexFloats = 11;     // 44 bytes

struct Bounds {
  Float3 min{0, 0, 0};
  Float3 max{0, 0, 0};
};

class MeshBuilder {
 public:
  std::vector<Float4> positions;  // w = 1
  std::vector<Float4> normals;    // w = 0
  std::vector<Float4> tangents;   // the third vector, w = 0
  std::vector<Float2> texcoords;
  std::vector<uint32_t> indices;

  uint32_t vertexCount() const { return uint32_t(positions.size()); }
  uint32_t triangleCount() const { return uint32_t(indices.size() / 3); }
  bool needs32BitIndices() const;
  Bounds bounds() const;  // all zero when empty
  void clear();

  // One vertex (third vector (0, 1, 0)); returns its index.
  uint32_t addVertex(Float3 position, Float3 normal, Float2 uv);
  void addTriangle(uint32_t a, uint32_t b, uint32_t c);

  // Four new vertices c, c + b, c + a + b, c + a with uv (0,1), (0,0), (1,0), (1,1), all
  // with the normal cross(normalize(b), normalize(a)); triangles (0,1,2) and (0,2,3).
  void addFace(Float3 corner, Float3 edgeA, Float3 edgeB);

  // Box of the given size: six faces of four vertices, 24 vertices and 12 triangles.
  void addBox(Float3 centre, Float3 size);
  // Quad in the XZ plane facing +Y, side 1: 4 vertices, 2 triangles.
  void addQuad(Float3 centre);
  // Sphere of radius 1 with detail N (rings and columns, clamped to 1..100):
  // (N + 1)^2 vertices, 2 N^2 triangles; `invert` turns the normals inward.
  void addSphere(Float3 centre, int detail, bool invert);
  // Cone with its apex at the centre and a base of radius 1 at z = centre.z - 1, opening
  // towards -Z; `segments` (at least 3) around: 6n vertices, 2n triangles.
  void addCone(Float3 centre, int segments);
  // Cylinder of radius 1 and height 1 about Y, 32 segments: 320 vertices, 128 triangles.
  void addCylinder(Float3 centre);
  // Triangular prism of radius 1 and height 1 about Y: 30 vertices, 12 triangles.
  void addPrism(Float3 centre);
  // Half sphere of radius 1 with z >= centre.z, open towards -Z: 289 vertices, 512 triangles.
  void addDome(Float3 centre);

  // Interleaved vertex data of the two forms.
  std::vector<float> compactVertices() const;
  std::vector<float> fullVertices() const;

  // GPU meshes (null without a device or without vertices). The topology may be a point
  // list: the vertices are then drawn without the indices.
  std::unique_ptr<Mesh> toMesh(Device* device,
                               D3DPrimitiveTopology topology = D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST) const;
  std::unique_ptr<Mesh> toMeshFull(Device* device) const;
};

// Ready-made meshes for other subsystems: light volumes and decal boxes.
// Sphere of radius 1 (compact form): the point-light volume uses detail 6.
std::unique_ptr<Mesh> buildSphereMesh(Device* device, int detail, bool invert = false);
// Cone of `segments` (compact form; the spot-light volume uses 16).
std::unique_ptr<Mesh> buildConeMesh(Device* device, int segments);
// Unit box around the origin (full form): the "Cube" and the decal volume.
std::unique_ptr<Mesh> buildUnitBoxMesh(Device* device);

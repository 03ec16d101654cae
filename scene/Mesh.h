#pragma once
// GPU geometry and the record through which every mesh draw reaches the device.
//
// A Mesh is owned by the operator (or subsystem) that built it. It owns the buffers it was
// created with; a stream attached later by someone else (the per-instance matrices of an
// instanced draw) stays that owner's.
#include <cstdint>
#include <memory>

#include "gfx/D3DEnums.h"

class Device;
class InputLayout;
class ShaderProgram;
class Texture;

constexpr uint32_t kMeshStreams = 4;

// Buffer flags of mesh geometry: immutable vertex and index buffers.
constexpr uint32_t kMeshVertexBufferFlags = 0x104;
constexpr uint32_t kMeshIndexBufferFlags = 0x102;
// Above this many vertices 16-bit indices cannot address every vertex.
constexpr uint32_t kMax16BitVertices = 65536;

struct Mesh {
  DxgiFormat indexFormat = DXGI_FORMAT_R16_UINT;
  Texture* indexBuffer = nullptr;
  Texture* vertexBuffers[kMeshStreams] = {};
  D3DPrimitiveTopology topology = D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST;
  bool indexed = false;
  InputLayout* layout = nullptr;       // not owned (the Device's default layouts or the owner's)
  uint32_t strides[kMeshStreams] = {}; // bytes per element of each stream
  uint32_t indexCount = 0;             // indices drawn when no range is given
  uint32_t firstIndex = 0;
  uint32_t vertexCount = 0;            // vertices drawn when not indexed
  uint32_t baseVertex = 0;

  // Bit i: vertexBuffers[i] is deleted with the mesh; bit 4: the index buffer.
  uint8_t ownedBuffers = 0;
  static constexpr uint8_t kOwnsIndexBuffer = 0x10;

  Mesh() = default;
  ~Mesh();
  Mesh(const Mesh&) = delete;
  Mesh& operator=(const Mesh&) = delete;
};

// A mesh from one interleaved vertex stream (slot 0) and optional indices. Indices are
// stored with 16 bits when every vertex can be addressed so, else with 32 bits. Null (with
// a message naming `what`) when there is no device or no vertex, or an index points past
// the vertices.
std::unique_ptr<Mesh> createMesh(Device* device, const void* vertices, uint32_t vertexCount, uint32_t stride,
                                 const uint32_t* indices, uint32_t indexCount, InputLayout* layout,
                                 D3DPrimitiveTopology topology, const char* what = "mesh");

// Sub-range of a draw: indices [first, end) of an indexed mesh, else vertices.
struct DrawRange {
  uint32_t first = 0;
  uint32_t end = 0;
};

constexpr uint32_t kDrawInstanced = 1;

// What a draw hands to the device layer.
struct DrawRequest {
  uint32_t instanceCount = 0;
  uint32_t flags = 0;  // kDrawInstanced
  ShaderProgram* program = nullptr;
  const Mesh* mesh = nullptr;
  const DrawRange* range = nullptr;  // null: the whole mesh
};

// Binds the program (states, shaders, resources, samplers), the mesh's layout, streams,
// index buffer and topology, draws, and unbinds the program's resources. The render
// targets are the caller's. A request without program, mesh or vertex shader draws nothing.
void submitDraw(const DrawRequest& request);

#include "scene/MeshBuilder.h"

#include <algorithm>
#include <cmath>

#include "gfx/Device.h"
#include "scene/Mesh.h"

namespace {

constexpr float kPi = 3.14159265358979f;

Float4 point4(Float3 p) { return {p.x, p.y, p.z, 1.0f}; }
Float4 vector4(Float3 v) { return {v.x, v.y, v.z, 0.0f}; }

// Radius-1 ring point about the Y axis at angle theta, at height y relative to c.
Float3 ringPoint(Float3 c, float theta, float y) { return c + Float3{std::cos(theta), y, std::sin(theta)}; }
Float2 capUv(float theta) { return {0.5f + 0.5f * std::cos(theta), 0.5f + 0.5f * std::sin(theta)}; }

}  // namespace

bool MeshBuilder::needs32BitIndices() const { return vertexCount() > kMax16BitVertices; }

Bounds MeshBuilder::bounds() const {
  Bounds b;
  if (positions.empty()) return b;
  b.min = b.max = {positions[0].x, positions[0].y, positions[0].z};
  for (const Float4& p : positions) {
    b.min = {std::min(b.min.x, p.x), std::min(b.min.y, p.y), std::min(b.min.z, p.z)};
    b.max = {std::max(b.max.x, p.x), std::max(b.max.y, p.y), std::max(b.max.z, p.z)};
  }
  return b;
}

void MeshBuilder::clear() {
  positions.clear();
  normals.clear();
  tangents.clear();
  texcoords.clear();
  indices.clear();
}

uint32_t MeshBuilder::addVertex(Float3 position, Float3 normal, Float2 uv) {
  positions.push_back(point4(position));
  normals.push_back(vector4(normal));
  tangents.push_back({0.0f, 1.0f, 0.0f, 0.0f});
  texcoords.push_back(uv);
  return uint32_t(positions.size() - 1);
}

void MeshBuilder::addTriangle(uint32_t a, uint32_t b, uint32_t c) {
  indices.push_back(a);
  indices.push_back(b);
  indices.push_back(c);
}

void MeshBuilder::addFace(Float3 c, Float3 a, Float3 b) {
  const Float3 n = cross(normalize(b), normalize(a));
  const uint32_t v0 = addVertex(c, n, {0, 1});
  addVertex(c + b, n, {0, 0});
  addVertex(c + a + b, n, {1, 0});
  addVertex(c + a, n, {1, 1});
  addTriangle(v0, v0 + 1, v0 + 2);
  addTriangle(v0, v0 + 2, v0 + 3);
}

void MeshBuilder::addBox(Float3 centre, Float3 size) {
  const Float3 h = size * 0.5f;
  const Float3 lo = centre - h, hi = centre + h;
  const Float3 x{size.x, 0, 0}, y{0, size.y, 0}, z{0, 0, size.z};
  addFace(lo, x, y);
  addFace(lo, z, x);
  addFace(lo, y, z);
  addFace(hi, -x, -z);
  addFace(hi, -y, -x);
  addFace(hi, -z, -y);
}

void MeshBuilder::addQuad(Float3 c) {
  const Float3 n{0, 1, 0};
  const uint32_t v0 = addVertex(c + Float3{-0.5f, 0, -0.5f}, n, {0, 1});
  addVertex(c + Float3{-0.5f, 0, 0.5f}, n, {0, 0});
  addVertex(c + Float3{0.5f, 0, 0.5f}, n, {1, 0});
  addVertex(c + Float3{0.5f, 0, -0.5f}, n, {1, 1});
  addTriangle(v0, v0 + 1, v0 + 2);
  addTriangle(v0, v0 + 2, v0 + 3);
}

namespace {

// The sphere's ring-and-column grid, shared by the sphere and the dome: rows j = 0..rows
// (polar angle j * pi / rows), columns i = 0..columns (azimuth i * azimuthStep).
void addSphereGrid(MeshBuilder& b, Float3 c, int rows, int columns, float azimuthStep, bool invert) {
  const uint32_t ring = uint32_t(columns) + 1;
  for (int j = 0; j <= rows; ++j) {
    const float a = float(j) * kPi / float(rows);
    for (int i = 0; i <= columns; ++i) {
      const float az = float(i) * azimuthStep;
      const Float3 offset{std::cos(az) * std::sin(a), -std::cos(a), std::sin(az) * std::sin(a)};
      Float3 n = normalize(offset);
      if (invert) n = -n;
      const uint32_t k = b.addVertex(c + offset, n, {float(i) / float(columns), 1.0f - float(j) / float(rows)});
      if (j > 0 && i > 0) {
        b.addTriangle(k, k - ring, k - ring - 1);
        b.addTriangle(k - 1, k, k - ring - 1);
      }
    }
  }
}

}  // namespace

void MeshBuilder::addSphere(Float3 centre, int detail, bool invert) {
  const int n = std::clamp(detail, 1, 100);
  addSphereGrid(*this, centre, n, n, 2.0f * kPi / float(n), invert);
}

void MeshBuilder::addDome(Float3 centre) { addSphereGrid(*this, centre, 16, 16, kPi / 16.0f, false); }

void MeshBuilder::addCone(Float3 c, int segments) {
  const int n = std::max(segments, 3);
  auto ring = [&](int k) {
    const float th = float(k) * 2.0f * kPi / float(n);
    return Float3{c.x + std::sin(th), c.y + std::cos(th), c.z - 1.0f};
  };
  auto radial = [&](int k) {
    const float th = float(k) * 2.0f * kPi / float(n);
    return Float3{std::sin(th), std::cos(th), 0.0f};
  };
  const float fn = float(n);
  // Side: the slope is not taken into the normals.
  for (int k = 0; k < n; ++k) {
    const uint32_t v0 = addVertex(ring(k), radial(k), {float(k) / fn, 1.0f});
    addVertex(c, {0, 0, 1}, {float(k + 1) / fn, 0.0f});
    addVertex(ring(k + 1), radial(k + 1), {float(k) / fn, 1.0f});
    addTriangle(v0, v0 + 1, v0 + 2);
  }
  // Base, facing -Z: the vertices in the order ring k, centre, ring k + 1, wound so that the
  // base is a front face seen from outside the cone (the side's order would face it inward
  // and leave the cone open from below).
  const Float3 down{0, 0, -1};
  const Float3 baseCentre = c + Float3{0, 0, -1};
  for (int k = 0; k < n; ++k) {
    const uint32_t v0 = addVertex(ring(k), down, {float(k) / fn, 1.0f});
    addVertex(baseCentre, down, {float(k + 1) / fn, 0.0f});
    addVertex(ring(k + 1), down, {float(k) / fn, 1.0f});
    addTriangle(v0, v0 + 2, v0 + 1);
  }
}

namespace {

// Cylinder-like solid about Y: `segments` side panels, bottom and top caps, radius 1,
// height 1. flatSides gives every side vertex the panel's own normal (the prism).
void addRoundSolid(MeshBuilder& b, Float3 c, int segments, bool flatSides) {
  const float step = 2.0f * kPi / float(segments);
  const float fs = float(segments);
  for (int k = 0; k < segments; ++k) {
    const float th0 = float(k) * step, th1 = float(k + 1) * step;
    Float3 n0{std::cos(th0), 0, std::sin(th0)}, n1{std::cos(th1), 0, std::sin(th1)};
    if (flatSides) {
      const float m = (float(k) + 0.5f) * step;
      n0 = n1 = Float3{std::cos(m), 0, std::sin(m)};
    }
    const float u0 = float(k) / fs, u1 = float(k + 1) / fs;
    const uint32_t b0 = b.addVertex(ringPoint(c, th0, -0.5f), n0, {u0, 0});
    const uint32_t b1 = b.addVertex(ringPoint(c, th1, -0.5f), n1, {u1, 0});
    const uint32_t t0 = b.addVertex(ringPoint(c, th0, 0.5f), n0, {u0, 1});
    const uint32_t t1 = b.addVertex(ringPoint(c, th1, 0.5f), n1, {u1, 1});
    b.addTriangle(b0, t0, t1);
    b.addTriangle(b0, t1, b1);
  }
  const Float3 down{0, -1, 0}, up{0, 1, 0};
  for (int k = 0; k < segments; ++k) {
    const float th0 = float(k) * step, th1 = float(k + 1) * step;
    const uint32_t v0 = b.addVertex(ringPoint(c, th0, -0.5f), down, capUv(th0));
    b.addVertex(ringPoint(c, th1, -0.5f), down, capUv(th1));
    b.addVertex(c + Float3{0, -0.5f, 0}, down, {0.5f, 0.5f});
    b.addTriangle(v0, v0 + 1, v0 + 2);
  }
  for (int k = 0; k < segments; ++k) {
    const float th0 = float(k) * step, th1 = float(k + 1) * step;
    const uint32_t v0 = b.addVertex(ringPoint(c, th0, 0.5f), up, capUv(th0));
    b.addVertex(c + Float3{0, 0.5f, 0}, up, {0.5f, 0.5f});
    b.addVertex(ringPoint(c, th1, 0.5f), up, capUv(th1));
    b.addTriangle(v0, v0 + 1, v0 + 2);
  }
}

}  // namespace

void MeshBuilder::addCylinder(Float3 centre) { addRoundSolid(*this, centre, 32, false); }

void MeshBuilder::addPrism(Float3 centre) { addRoundSolid(*this, centre, 3, true); }

std::vector<float> MeshBuilder::compactVertices() const {
  std::vector<float> out;
  out.reserve(positions.size() * kCompactVertexFloats);
  for (size_t i = 0; i < positions.size(); ++i) {
    const Float4 &p = positions[i], &n = normals[i];
    const Float2& uv = texcoords[i];
    out.insert(out.end(), {p.x, p.y, p.z, n.x, n.y, n.z, uv.x, uv.y});
  }
  return out;
}

std::vector<float> MeshBuilder::fullVertices() const {
  std::vector<float> out;
  out.reserve(positions.size() * kFullVertexFloats);
  for (size_t i = 0; i < positions.size(); ++i) {
    const Float4 &p = positions[i], &n = normals[i], &t = tangents[i];
    const Float2& uv = texcoords[i];
    out.insert(out.end(), {p.x, p.y, p.z, n.x, n.y, n.z, t.x, t.y, t.z, uv.x, uv.y});
  }
  return out;
}

namespace {

std::unique_ptr<Mesh> upload(const MeshBuilder& b, Device* device, const std::vector<float>& vertices,
                             uint32_t floatsPerVertex, uint32_t layoutIndex, D3DPrimitiveTopology topology) {
  if (!device || b.vertexCount() == 0) return nullptr;
  const bool points = topology == D3D11_PRIMITIVE_TOPOLOGY_POINTLIST;
  return createMesh(device, vertices.data(), b.vertexCount(), floatsPerVertex * sizeof(float),
                    points ? nullptr : b.indices.data(), points ? 0 : uint32_t(b.indices.size()),
                    device->defaultInputLayout(layoutIndex), topology, "procedural mesh");
}

}  // namespace

std::unique_ptr<Mesh> MeshBuilder::toMesh(Device* device, D3DPrimitiveTopology topology) const {
  return upload(*this, device, compactVertices(), kCompactVertexFloats, 2, topology);
}

std::unique_ptr<Mesh> MeshBuilder::toMeshFull(Device* device) const {
  return upload(*this, device, fullVertices(), kFullVertexFloats, 1, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
}

std::unique_ptr<Mesh> buildSphereMesh(Device* device, int detail, bool invert) {
  MeshBuilder b;
  b.addSphere({}, detail, invert);
  return b.toMesh(device);
}

std::unique_ptr<Mesh> buildConeMesh(Device* device, int segments) {
  MeshBuilder b;
  b.addCone({}, segments);
  return b.toMesh(device);
}

std::unique_ptr<Mesh> buildUnitBoxMesh(Device* device) {
  MeshBuilder b;
  b.addBox({}, {1, 1, 1});
  return b.toMeshFull(device);
}

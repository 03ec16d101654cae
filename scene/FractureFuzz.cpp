// libFuzzer entry for the CPU break-up of meshes. Input: a technique and grid byte, a
// randomness byte, then triangles of small fixed-point coordinates. Whatever they are, cutting must
// not crash, every piece must be whole triangles, the plane cut must lose no triangle, and
// every vertex of a piece must lie within the mesh's bounds (cuts only interpolate).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "scene/Fracture.h"

namespace {
void check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  FractureOptions options;
  options.technique = data[0] % 3;
  options.cells = 1 + (data[0] / 3) % 14;  // the player always uses 14; small grids run faster
  options.randomness = float(data[1]) / 64.0f;
  std::vector<MeshVertex> vertices;
  for (size_t at = 2; at + 6 <= size && vertices.size() < 3 * 48; at += 6) {
    MeshVertex v;
    const auto coord = [&](size_t k) { return float(int16_t(uint16_t(data[at + k] << 8 | data[at + k + 1]))) / 256.0f; };
    v.position = {coord(0), coord(2), coord(4)};
    v.uv = {v.position.x, v.position.z};
    vertices.push_back(v);
  }
  vertices.resize(vertices.size() / 3 * 3);
  std::vector<uint32_t> indices(vertices.size());
  for (uint32_t i = 0; i < indices.size(); ++i) indices[i] = i;

  crtSrand(data[1]);
  const std::vector<TriangleSoup> pieces = fractureMesh(vertices, indices, options);
  if (options.technique == 2) {
    check(pieces.empty());
    return 0;
  }
  const FractureBounds b = boundsOf(vertices);
  const float slack = 1e-3f * (1.0f + length(b.extents()));
  size_t triangles = 0;
  for (const TriangleSoup& piece : pieces) {
    check(piece.size() >= 3 && piece.size() % 3 == 0);
    triangles += piece.size() / 3;
    for (const MeshVertex& v : piece) {
      const Float3 p = v.position;
      check(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
      check(p.x >= b.min.x - slack && p.y >= b.min.y - slack && p.z >= b.min.z - slack);
      check(p.x <= b.max.x + slack && p.y <= b.max.y + slack && p.z <= b.max.z + slack);
    }
  }
  if (options.technique == kFracturePlanes) check(triangles >= vertices.size() / 3);
  return 0;
}

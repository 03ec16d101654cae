#include "scene/Fracture.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

MeshVertex lerp(const MeshVertex& a, const MeshVertex& b, float t) {
  static_assert(sizeof(MeshVertex) == 11 * sizeof(float));
  MeshVertex r;
  const auto* fa = reinterpret_cast<const float*>(&a);
  const auto* fb = reinterpret_cast<const float*>(&b);
  auto* fr = reinterpret_cast<float*>(&r);
  for (int i = 0; i < 11; ++i) fr[i] = fa[i] + t * (fb[i] - fa[i]);
  return r;
}

Float3 xyz(Float4 v) { return {v.x, v.y, v.z}; }

// A count from a side's share of the reference side: truncated, at least 1.
int32_t share(float side, float reference, int32_t cells) {
  const float r = side / reference * static_cast<float>(cells);
  if (!(r >= 1.0f)) return 1;  // also NaN (a flat or empty box)
  return static_cast<int32_t>(r);
}

template <typename T>
void shuffle(std::vector<T>& items) {
  const size_t n = items.size();
  if (n == 0) return;
  for (size_t k = 0; k < n / 2; ++k) {
    const size_t i = static_cast<size_t>(crtRand()) % n;
    const size_t j = static_cast<size_t>(crtRand()) % n;
    std::swap(items[i], items[j]);
  }
}

// t in [0, 1] where the edge from a to b crosses the sphere: the root with +sqrt first,
// else the other. False when the edge has no crossing (negative discriminant) or no length.
bool sphereCrossing(Float3 a, Float3 b, const CutSphere& s, float& t) {
  const Float3 d = a - s.centre;
  const Float3 e = b - a;
  const float qa = dot(e, e);
  const float qb = dot(d, e);
  const float qc = dot(d, d) - s.radius * s.radius;
  const float disc = qb * qb - qa * qc;
  if (!(disc >= 0.0f) || !(qa > 0.0f)) return false;
  const float root = std::sqrt(disc);
  t = (-qb + root) / qa;
  if (!(t >= 0.0f && t <= 1.0f)) t = (-qb - root) / qa;
  // Rounding can put both roots a hair outside the edge when an end lies on the sphere;
  // the edge point stays on the edge.
  t = std::clamp(t, 0.0f, 1.0f);
  return true;
}

}  // namespace

FractureBounds boundsOf(const std::vector<MeshVertex>& vertices) {
  FractureBounds b;
  for (const MeshVertex& v : vertices) {
    b.min = {std::min(b.min.x, v.position.x), std::min(b.min.y, v.position.y), std::min(b.min.z, v.position.z)};
    b.max = {std::max(b.max.x, v.position.x), std::max(b.max.y, v.position.y), std::max(b.max.z, v.position.z)};
  }
  return b;
}

FractureGrid fractureGrid(Float3 e, int32_t cells) {
  const int32_t n = std::max(cells, 1);
  FractureGrid g;
  if (e.x > e.y && e.x > e.z) {
    g = {n, share(e.y, e.x, n), share(e.z, e.x, n), e.x};
  } else if (e.y > e.x && e.y > e.z) {
    g = {share(e.x, e.y, n), n, share(e.z, e.y, n), e.y};
  } else if (e.x <= kMaxTieRatio * e.z) {
    // Z is the reference whenever neither X nor Y alone is the longest side, also when X and
    // Y tie above it (a 2 x 2 x 1 box gets 28, 28 and 14).
    g = {share(e.x, e.z, n), share(e.y, e.z, n), n, e.z};
  } else {
    // X and Y tie far above Z: a flat square would divide by its zero thickness, a nearly
    // flat one ask for thousands of planes on each side (and millions of pieces). The tied
    // side is the reference instead.
    g = {n, n, share(e.z, e.x, n), e.x};
  }
  return g;
}

std::vector<CutPlane> fracturePlanes(const FractureBounds& bounds, const FractureGrid& grid, int32_t cells,
                                     float randomness) {
  const float cell = grid.length / static_cast<float>(std::max(cells, 1));
  const Float3 mn = bounds.min;
  std::vector<CutPlane> planes;
  planes.reserve(size_t(grid.nx) + size_t(grid.ny) + size_t(grid.nz));
  for (int32_t k = 0; k < grid.nz; ++k)
    planes.push_back({{mn.x, mn.y, mn.z + (static_cast<float>(k) + 0.5f) * cell, 0.0f}, {0, 0, 1, 0}});
  for (int32_t k = 0; k < grid.ny; ++k)
    planes.push_back({{mn.x, mn.y + (static_cast<float>(k) + 0.5f) * cell, mn.z, 0.0f}, {0, 1, 0, 0}});
  for (int32_t k = 0; k < grid.nx; ++k)
    planes.push_back({{mn.x + (static_cast<float>(k) + 0.5f) * cell, mn.y, mn.z, 0.0f}, {1, 0, 0, 0}});

  const float scale = 2.0f / 32767.0f;
  for (CutPlane& p : planes) {
    const float a1 = static_cast<float>(crtRand()) * randomness * scale - randomness;
    const float a2 = static_cast<float>(crtRand()) * randomness * scale - randomness;
    const float a3 = static_cast<float>(crtRand()) * randomness * scale - randomness;
    const Float4x4 r = mat::rotationX(a3) * mat::rotationY(a2) * mat::rotationZ(a1);
    const Float3 n = mat::transformVector(xyz(p.normal), r);
    p.normal = {n.x, n.y, n.z, 0.0f};
  }
  shuffle(planes);
  return planes;
}

std::vector<CutSphere> fractureSpheres(const FractureBounds& bounds, const FractureGrid& grid, int32_t cells) {
  const float h = grid.length * 0.5f / static_cast<float>(std::max(cells, 1));
  const float r = std::sqrt(2.0f * h * h) * 2.5f;
  const Float3 e = bounds.extents();
  const Float3 mn = bounds.min;
  std::vector<CutSphere> spheres;
  spheres.reserve(size_t(grid.nx) * size_t(grid.ny) * size_t(grid.nz));
  for (int32_t k = 0; k < grid.nz; ++k)
    for (int32_t j = 0; j < grid.ny; ++j)
      for (int32_t i = 0; i < grid.nx; ++i) {
        const Float3 c{mn.x + e.x * static_cast<float>(i) / static_cast<float>(grid.nx) + r,
                       mn.y + e.y * static_cast<float>(j) / static_cast<float>(grid.ny) + r,
                       mn.z + e.z * static_cast<float>(k) / static_cast<float>(grid.nz) + r};
        spheres.push_back({c, r});
      }
  shuffle(spheres);
  return spheres;
}

void splitByPlane(const TriangleSoup& soup, const CutPlane& plane, TriangleSoup& positive, TriangleSoup& negative) {
  const Float3 point = xyz(plane.point);
  const Float3 normal = xyz(plane.normal);
  for (size_t t = 0; t + 3 <= soup.size(); t += 3) {
    const MeshVertex* v = &soup[t];
    float d[3];
    int positives = 0;
    for (int k = 0; k < 3; ++k) {
      d[k] = dot(v[k].position - point, normal);
      if (d[k] > 0.0f) ++positives;
    }
    if (positives == 3 || positives == 0) {
      TriangleSoup& side = positives == 3 ? positive : negative;
      side.insert(side.end(), v, v + 3);
      continue;
    }
    // The lone vertex is the one alone on its side; a and b follow it in the triangle's order.
    int lone = 0;
    for (int k = 0; k < 3; ++k)
      if ((d[k] > 0.0f) == (positives == 1)) lone = k;
    const int ia = (lone + 1) % 3, ib = (lone + 2) % 3;
    MeshVertex edge[2];
    bool valid = true;
    const int others[2] = {ia, ib};
    for (int e = 0; e < 2 && valid; ++e) {
      const int a = others[e];
      const float span = d[lone] - d[a];
      const float t = -d[a] / span;
      if (std::fabs(span) >= 1e-05f)
        valid = t >= 0.0f && t <= 1.0f;
      else
        valid = d[a] == 0.0f;
      if (valid) edge[e] = lerp(v[a], v[lone], std::fabs(span) >= 1e-05f ? t : 0.0f);
    }
    if (!valid) {
      positive.insert(positive.end(), v, v + 3);
      continue;
    }
    TriangleSoup& loneSide = d[lone] > 0.0f ? positive : negative;
    TriangleSoup& otherSide = d[lone] > 0.0f ? negative : positive;
    loneSide.insert(loneSide.end(), {v[lone], edge[0], edge[1]});
    otherSide.insert(otherSide.end(), {edge[0], v[ia], v[ib], edge[0], v[ib], edge[1]});
  }
}

std::vector<TriangleSoup> breakByPlanes(const TriangleSoup& soup, const std::vector<CutPlane>& planes) {
  std::vector<TriangleSoup> pieces{soup};
  TriangleSoup positive, negative;
  for (const CutPlane& plane : planes) {
    const size_t existing = pieces.size();
    for (size_t i = 0; i < existing; ++i) {
      positive.clear();
      negative.clear();
      splitByPlane(pieces[i], plane, positive, negative);
      if (!positive.empty() && !negative.empty()) {
        pieces[i].swap(positive);
        pieces.push_back(negative);
      } else if (!positive.empty()) {
        pieces[i].swap(positive);
      } else {
        pieces[i].swap(negative);
      }
    }
  }
  std::vector<TriangleSoup> kept;
  for (TriangleSoup& p : pieces)
    if (p.size() >= 3) kept.push_back(std::move(p));
  return kept;
}

std::vector<TriangleSoup> breakBySpheres(const TriangleSoup& input, const std::vector<CutSphere>& spheres) {
  TriangleSoup soup(input.begin(), input.begin() + (input.size() / 3) * 3);
  std::vector<uint8_t> consumed(soup.size() / 3, 0);
  std::vector<TriangleSoup> pieces;
  for (const CutSphere& s : spheres) {
    TriangleSoup piece;
    const size_t existing = consumed.size();
    for (size_t t = 0; t < existing; ++t) {
      if (consumed[t]) continue;
      MeshVertex v[3] = {soup[t * 3], soup[t * 3 + 1], soup[t * 3 + 2]};
      bool inside[3];
      int count = 0;
      for (int k = 0; k < 3; ++k) {
        inside[k] = length(v[k].position - s.centre) < s.radius;
        if (inside[k]) ++count;
      }
      if (count == 0) continue;
      if (count == 3) {
        piece.insert(piece.end(), v, v + 3);
        consumed[t] = 1;
        continue;
      }
      int lone = 0;
      for (int k = 0; k < 3; ++k)
        if (inside[k] == (count == 1)) lone = k;
      const int ia = (lone + 1) % 3, ib = (lone + 2) % 3;
      float ta = 0.0f, tb = 0.0f;
      if (!sphereCrossing(v[lone].position, v[ia].position, s, ta) ||
          !sphereCrossing(v[lone].position, v[ib].position, s, tb))
        continue;
      const MeshVertex ea = lerp(v[lone], v[ia], ta);
      const MeshVertex eb = lerp(v[lone], v[ib], tb);
      const MeshVertex loneTri[3] = {v[lone], ea, eb};
      const MeshVertex rest[6] = {ea, v[ia], v[ib], ea, v[ib], eb};
      const bool loneInside = inside[lone];
      piece.insert(piece.end(), loneInside ? loneTri : rest, loneInside ? loneTri + 3 : rest + 6);
      const MeshVertex* out = loneInside ? rest : loneTri;
      const size_t outCount = loneInside ? 6 : 3;
      soup.insert(soup.end(), out, out + outCount);
      consumed.resize(consumed.size() + outCount / 3, 0);
      consumed[t] = 1;
    }
    if (piece.size() >= 3) pieces.push_back(std::move(piece));
  }
  return pieces;
}

std::vector<TriangleSoup> fractureMesh(const std::vector<MeshVertex>& vertices, const std::vector<uint32_t>& indices,
                                       const FractureOptions& options) {
  const FractureBounds bounds = boundsOf(vertices);
  const int32_t cells = std::max(options.cells, 1);
  const FractureGrid grid = fractureGrid(bounds.extents(), cells);
  TriangleSoup soup;
  soup.reserve(indices.size());
  for (size_t f = 0; f + 3 <= indices.size(); f += 3) {
    if (indices[f] >= vertices.size() || indices[f + 1] >= vertices.size() || indices[f + 2] >= vertices.size())
      continue;
    soup.insert(soup.end(), {vertices[indices[f]], vertices[indices[f + 1]], vertices[indices[f + 2]]});
  }
  if (options.technique == kFracturePlanes)
    return breakByPlanes(soup, fracturePlanes(bounds, grid, cells, options.randomness));
  if (options.technique == kFractureSpheres) return breakBySpheres(soup, fractureSpheres(bounds, grid, cells));
  return {};
}

Float3 pieceOffset(uint32_t piece, float strength) {
  crtSrand(piece);
  const int r1 = crtRand();
  const int r2 = crtRand();
  const int r3 = crtRand();
  return Float3{static_cast<float>(r3 % 10 - 5), static_cast<float>(r2 % 10 - 5), static_cast<float>(r1 % 10 - 5)} *
         strength;
}

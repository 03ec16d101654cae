// The CPU half of the cloth: topology and rest shape of a piece, the sub-step clock and the
// group counts. No GPU here.
#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <set>
#include <tuple>

#include "scene/ModelReader.h"
#include "sim/Cloth.h"

namespace sim {

namespace {

// Springs collected per vertex before they are laid out as ranges.
class SpringLists {
 public:
  explicit SpringLists(size_t vertices) : lists_(vertices) {}
  void add(const std::vector<Float3>& p, uint32_t a, uint32_t b, uint32_t kind) {
    if (a == b) return;
    const float rest = length(p[a] - p[b]);
    lists_[a].push_back({b, rest, kind, 0});
    lists_[b].push_back({a, rest, kind, 0});
  }
  void resize(size_t vertices) { lists_.resize(vertices); }
  void layOut(ClothGeometry& g) const {
    g.springRanges.clear();
    g.springs.clear();
    for (uint32_t& m : g.mostSprings) m = 0;
    const size_t meshVertices = lists_.size() - std::min<size_t>(g.anchors, lists_.size());
    for (size_t v = 0; v < lists_.size(); ++v) {
      const auto& list = lists_[v];
      // Anchors carry the mass of all their springs; only mesh vertices bound the stiffness.
      if (v < meshVertices) {
        uint32_t perKind[4] = {};
        for (const ClothSpring& s : list) ++perKind[s.kind & 3];
        for (int k = 0; k < 4; ++k) g.mostSprings[k] = std::max(g.mostSprings[k], perKind[k]);
      }
      g.springRanges.push_back(uint32_t(g.springs.size()));
      g.springRanges.push_back(uint32_t(list.size()));
      g.springs.insert(g.springs.end(), list.begin(), list.end());
    }
  }

 private:
  std::vector<std::vector<ClothSpring>> lists_;
};

void layOutFaces(ClothGeometry& g) {
  std::vector<std::vector<uint32_t>> faces(g.positions.size());
  for (uint32_t t = 0; t * 3 + 2 < g.triangles.size(); ++t)
    for (int k = 0; k < 3; ++k) faces[g.triangles[t * 3 + k]].push_back(t);
  g.faceRanges.clear();
  g.faceList.clear();
  for (const auto& list : faces) {
    g.faceRanges.push_back(uint32_t(g.faceList.size()));
    g.faceRanges.push_back(uint32_t(list.size()));
    g.faceList.insert(g.faceList.end(), list.begin(), list.end());
  }
}

Float3 directionOr(Float3 v, Float3 fallback) {
  const float l = length(v);
  return (l > 1e-12f && std::isfinite(l)) ? v * (1.0f / l) : fallback;
}

}  // namespace

uint32_t planeVerticesPerSide(float divisions) {
  if (!(divisions >= 0.0f)) return 2;  // NaN and negative counts
  if (divisions > 254.0f) return 256;
  return uint32_t(divisions) + 2;
}

ClothGeometry buildPlaneCloth(Float3 centre, Float3 normal, float w, float h, uint32_t nx, uint32_t ny) {
  nx = std::clamp<uint32_t>(nx, 2, 256);
  ny = std::clamp<uint32_t>(ny, 2, 256);
  const Float3 n = directionOr(normal, {0.0f, 1.0f, 0.0f});
  const Float3 helper = std::fabs(n.z) < 0.9f ? Float3{0.0f, 0.0f, 1.0f} : Float3{1.0f, 0.0f, 0.0f};
  const Float3 u = normalize(cross(n, helper));
  const Float3 v = cross(u, n);
  ClothGeometry g;
  const uint32_t count = nx * ny;
  g.positions.resize(count);
  g.inverseMass.assign(count, 1.0f);
  g.remap.resize(count);
  g.renderNormals.assign(count, n);
  g.renderTangents.assign(count, u);
  g.renderUvs.resize(count);
  for (uint32_t j = 0; j < ny; ++j)
    for (uint32_t i = 0; i < nx; ++i) {
      const uint32_t k = j * nx + i;
      const float fu = float(i) / float(nx - 1), fv = float(j) / float(ny - 1);
      g.positions[k] = centre + u * ((fu - 0.5f) * w) + v * ((fv - 0.5f) * h);
      g.remap[k] = k;
      g.renderUvs[k] = {fu, 1.0f - fv};
    }
  auto at = [nx](uint32_t i, uint32_t j) { return j * nx + i; };
  // Two triangles a cell, clockwise as seen from the side the normal points to.
  for (uint32_t j = 0; j + 1 < ny; ++j)
    for (uint32_t i = 0; i + 1 < nx; ++i) {
      const uint32_t quad[6] = {at(i, j + 1), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1), at(i + 1, j), at(i, j)};
      g.triangles.insert(g.triangles.end(), quad, quad + 6);
    }
  g.renderIndices = g.triangles;
  SpringLists springs(count);
  for (uint32_t j = 0; j < ny; ++j)
    for (uint32_t i = 0; i < nx; ++i) {
      const uint32_t k = at(i, j);
      if (i + 1 < nx) springs.add(g.positions, k, at(i + 1, j), kSpringStretch);
      if (j + 1 < ny) springs.add(g.positions, k, at(i, j + 1), kSpringStretch);
      if (i + 1 < nx && j + 1 < ny) springs.add(g.positions, k, at(i + 1, j + 1), kSpringShear);
      if (i + 1 < nx && j > 0) springs.add(g.positions, k, at(i + 1, j - 1), kSpringShear);
      if (i + 2 < nx) springs.add(g.positions, k, at(i + 2, j), kSpringBend);
      if (j + 2 < ny) springs.add(g.positions, k, at(i, j + 2), kSpringBend);
    }
  springs.layOut(g);
  layOutFaces(g);
  return g;
}

ClothGeometry buildMeshCloth(const std::vector<MeshVertex>& vertices, const std::vector<uint32_t>& indices,
                             const Float4x4& transform, bool bend, AuxConnections aux, bool freezeAux) {
  ClothGeometry g;
  if (vertices.empty() || indices.size() < 3) return g;
  std::vector<Float3> placed(vertices.size());
  Float3 lo{1e30f, 1e30f, 1e30f}, hi{-1e30f, -1e30f, -1e30f};
  for (size_t i = 0; i < vertices.size(); ++i) {
    placed[i] = mat::transformPoint(vertices[i].position, transform);
    lo = {std::min(lo.x, placed[i].x), std::min(lo.y, placed[i].y), std::min(lo.z, placed[i].z)};
    hi = {std::max(hi.x, placed[i].x), std::max(hi.y, placed[i].y), std::max(hi.z, placed[i].z)};
  }
  // Weld by position: seams of the file (uv or normal splits) must not tear the cloth apart.
  const double cell = std::max(double(length(hi - lo)) * 1e-6, 1e-12);
  std::map<std::tuple<int64_t, int64_t, int64_t>, uint32_t> welded;
  g.remap.resize(vertices.size());
  for (size_t i = 0; i < vertices.size(); ++i) {
    const auto key = std::make_tuple(int64_t(std::llround(placed[i].x / cell)), int64_t(std::llround(placed[i].y / cell)),
                                     int64_t(std::llround(placed[i].z / cell)));
    auto [it, inserted] = welded.emplace(key, uint32_t(g.positions.size()));
    if (inserted) g.positions.push_back(placed[i]);
    g.remap[i] = it->second;
    g.renderNormals.push_back(directionOr(mat::transformVector(vertices[i].normal, transform), {0, 1, 0}));
    g.renderTangents.push_back(directionOr(mat::transformVector(vertices[i].tangent, transform), {1, 0, 0}));
    g.renderUvs.push_back(vertices[i].uv);
  }
  const uint32_t meshCount = uint32_t(g.positions.size());
  g.inverseMass.assign(meshCount, 1.0f);

  std::set<std::pair<uint32_t, uint32_t>> edges;
  std::map<std::pair<uint32_t, uint32_t>, std::vector<uint32_t>> opposite;
  for (size_t t = 0; t + 2 < indices.size(); t += 3) {
    if (indices[t] >= vertices.size() || indices[t + 1] >= vertices.size() || indices[t + 2] >= vertices.size())
      continue;
    g.renderIndices.insert(g.renderIndices.end(), {indices[t], indices[t + 1], indices[t + 2]});
    const uint32_t s[3] = {g.remap[indices[t]], g.remap[indices[t + 1]], g.remap[indices[t + 2]]};
    if (s[0] == s[1] || s[1] == s[2] || s[0] == s[2]) continue;  // collapsed by the weld
    g.triangles.insert(g.triangles.end(), s, s + 3);
    for (int k = 0; k < 3; ++k) {
      const auto e = std::minmax(s[k], s[(k + 1) % 3]);
      edges.insert(e);
      opposite[e].push_back(s[(k + 2) % 3]);
    }
  }
  SpringLists springs(meshCount);
  for (const auto& e : edges) springs.add(g.positions, e.first, e.second, kSpringStretch);
  if (bend) {
    for (const auto& [e, others] : opposite) {
      if (others.size() != 2) continue;
      const auto across = std::minmax(others[0], others[1]);
      if (!edges.count(across)) springs.add(g.positions, across.first, across.second, kSpringBend);
    }
  }

  std::vector<Float3> anchors;
  const Float3 mid = (lo + hi) * 0.5f;
  if (aux == kAuxCenter || aux == kAuxCenterBox) anchors.push_back(mid);
  if (aux == kAuxBox || aux == kAuxCenterBox || aux == kAuxBoxBottom) {
    for (int c = 0; c < 8; ++c) {
      const bool top = (c & 2) != 0;
      if (aux == kAuxBoxBottom && top) continue;
      anchors.push_back({(c & 1) ? hi.x : lo.x, top ? hi.y : lo.y, (c & 4) ? hi.z : lo.z});
    }
  }
  g.anchors = uint32_t(anchors.size());
  springs.resize(meshCount + anchors.size());
  for (size_t a = 0; a < anchors.size(); ++a) {
    const uint32_t anchor = uint32_t(g.positions.size());
    g.positions.push_back(anchors[a]);
    // An anchor holds every vertex: as heavy as all of them, so its many springs stay stable.
    g.inverseMass.push_back(freezeAux ? 0.0f : 1.0f / float(std::max<uint32_t>(meshCount, 1)));
    for (uint32_t i = 0; i < meshCount; ++i) springs.add(g.positions, i, anchor, kSpringAux);
  }
  springs.layOut(g);
  layOutFaces(g);
  return g;
}

void clothGroupCounts(uint32_t n, uint32_t& x, uint32_t& y) {
  x = 2;
  y = 2;
  bool xNext = true;
  while (uint64_t(x) * y * 256 < n && (x < (1u << 20) || y < (1u << 20))) {
    if (xNext) x *= 2;
    else y *= 2;
    xNext = !xNext;
  }
  if (x * 16 > 1024) x = 64;
  if (y * 16 > 1024) y = 64;
}

float ClothClock::stepLength(float stepsPerSecond) {
  if (!(stepsPerSecond >= 1.0f)) stepsPerSecond = 1.0f;  // NaN too
  if (stepsPerSecond > kMaxStepsPerSecond) stepsPerSecond = kMaxStepsPerSecond;
  return 1.0f / stepsPerSecond;
}

uint32_t ClothClock::advance(float t, float stepsPerSecond) {
  const double h = stepLength(stepsPerSecond);
  double e = (double(t) - last_) + leftover_;
  if (!(e > 0.0)) e = 0.0;
  if (e > 0.1) e = 0.1;
  last_ = t;
  // Whole sub-steps; a hair of rounding below a whole one still counts as one.
  uint32_t steps = uint32_t(std::floor(e / h + 1e-4));
  leftover_ = std::max(0.0, e - double(steps) * h);
  if (leftover_ >= h) leftover_ = 0.0;
  return steps;
}

float stableStiffness(float requested, float h, uint32_t springsAtOneVertex) {
  if (!(requested > 0.0f)) return 0.0f;  // NaN, zero and negative springs: none
  const float limit = 0.5f / (h * h * float(std::max<uint32_t>(springsAtOneVertex, 1)));
  return std::min(requested, limit);
}

}  // namespace sim

// The CPU break-up of meshes: the C runtime generator, grid counts, the plane and sphere
// cuts, and the per-piece offsets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <tuple>

#include "engine/Project.h"
#include "scene/Fracture.h"

namespace {

// An independent C runtime generator for checking what the break-up consumed.
struct Lcg {
  uint32_t state;
  int next() {
    state = state * 214013u + 2531011u;
    return int((state >> 16) & 0x7FFF);
  }
};

// A closed box surface of 12 triangles from min to max.
std::vector<MeshVertex> boxSoup(Float3 mn, Float3 mx) {
  const Float3 c[8] = {{mn.x, mn.y, mn.z}, {mx.x, mn.y, mn.z}, {mx.x, mx.y, mn.z}, {mn.x, mx.y, mn.z},
                       {mn.x, mn.y, mx.z}, {mx.x, mn.y, mx.z}, {mx.x, mx.y, mx.z}, {mn.x, mx.y, mx.z}};
  const int faces[12][3] = {{0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4},
                            {3, 6, 2}, {3, 7, 6}, {0, 4, 7}, {0, 7, 3}, {1, 2, 6}, {1, 6, 5}};
  std::vector<MeshVertex> soup;
  for (const auto& f : faces)
    for (int k : f) {
      MeshVertex v;
      v.position = c[k];
      v.uv = {c[k].x, c[k].y};
      soup.push_back(v);
    }
  return soup;
}

std::vector<uint32_t> identityIndices(size_t n) {
  std::vector<uint32_t> idx(n);
  for (uint32_t i = 0; i < n; ++i) idx[i] = i;
  return idx;
}

double area(const TriangleSoup& soup) {
  double a = 0;
  for (size_t i = 0; i + 3 <= soup.size(); i += 3)
    a += 0.5 * length(cross(soup[i + 1].position - soup[i].position, soup[i + 2].position - soup[i].position));
  return a;
}

TEST(CrtRandom, FollowsTheCRuntimeSequence) {
  crtSrand(1);
  const int expected[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358};
  for (int e : expected) EXPECT_EQ(crtRand(), e);
  Lcg lcg{12345};
  crtSrand(12345);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(crtRand(), lcg.next());
}

TEST(FractureGrid, CountsFollowTheLongestSideAndTiesMeasureAgainstZ) {
  const auto counts = [](const FractureGrid& g) { return std::make_tuple(g.nx, g.ny, g.nz, g.length); };
  EXPECT_EQ(counts(fractureGrid({2, 1, 1}, 14)), std::make_tuple(14, 7, 7, 2.0f));
  EXPECT_EQ(counts(fractureGrid({0.5f, 3, 0.01f}, 14)), std::make_tuple(2, 14, 1, 3.0f));
  EXPECT_EQ(counts(fractureGrid({1, 2, 3}, 14)), std::make_tuple(4, 9, 14, 3.0f));
  // Whenever neither X nor Y alone is the longest side, Z is the reference: tied sides
  // longer than Z get more than the 14 cells.
  EXPECT_EQ(counts(fractureGrid({1, 1, 1}, 14)), std::make_tuple(14, 14, 14, 1.0f));
  EXPECT_EQ(counts(fractureGrid({2, 2, 1}, 14)), std::make_tuple(28, 28, 14, 1.0f));
  EXPECT_EQ(counts(fractureGrid({2, 1, 2}, 14)), std::make_tuple(14, 7, 14, 2.0f));
  EXPECT_EQ(counts(fractureGrid({1, 2, 2}, 14)), std::make_tuple(7, 14, 14, 2.0f));
  EXPECT_EQ(counts(fractureGrid({2, 2, 0.25f}, 14)), std::make_tuple(112, 112, 14, 0.25f));
  // A flat square has no thickness to measure against, and a nearly flat one would get
  // thousands of planes (millions of pieces): past eight times the cells on the tied sides,
  // the tied side is the reference.
  EXPECT_EQ(counts(fractureGrid({2, 2, 0}, 14)), std::make_tuple(14, 14, 1, 2.0f));
  EXPECT_EQ(counts(fractureGrid({2, 2, 0.001f}, 14)), std::make_tuple(14, 14, 1, 2.0f));
  EXPECT_EQ(counts(fractureGrid({2, 2, 0.2f}, 14)), std::make_tuple(14, 14, 1, 2.0f));
  EXPECT_EQ(counts(fractureGrid({0, 0, 0}, 14)), std::make_tuple(1, 1, 14, 0.0f));  // a point
}

TEST(FracturePlanes, ATwoByTwoByOneBoxIsCutOnTheGridOfItsShortSide) {
  const std::vector<MeshVertex> box = boxSoup({0, 0, 0}, {2, 2, 1});
  const FractureBounds b = boundsOf(box);
  crtSrand(5);
  const std::vector<CutPlane> planes = fracturePlanes(b, fractureGrid(b.extents(), 14), 14, 0.0f);
  // Planes 1/14 apart on every axis: 28 across X and Y, 14 across Z.
  int perAxis[3] = {0, 0, 0};
  for (const CutPlane& p : planes) {
    const int axis = p.normal.x == 1 ? 0 : p.normal.y == 1 ? 1 : 2;
    ++perAxis[axis];
    const float along = axis == 0 ? p.point.x : axis == 1 ? p.point.y : p.point.z;
    const float k = along * 14.0f - 0.5f;
    EXPECT_NEAR(k, std::round(k), 1e-3f);
  }
  EXPECT_EQ(std::tie(perAxis[0], perAxis[1], perAxis[2]), std::make_tuple(28, 28, 14));
}

TEST(FracturePlanes, TwentyEightPlanesForATwoByOneByOneBox) {
  const std::vector<MeshVertex> box = boxSoup({-1, 0, 0}, {1, 1, 1});
  const FractureBounds b = boundsOf(box);
  const FractureGrid g = fractureGrid(b.extents(), 14);
  crtSrand(99);
  const std::vector<CutPlane> planes = fracturePlanes(b, g, 14, 0.0f);
  ASSERT_EQ(planes.size(), 28u);
  // Randomness 0 leaves them axis-aligned, through the cell middles; the shuffle only reorders.
  std::multiset<std::tuple<int, int>> seen;
  for (const CutPlane& p : planes) {
    const int axis = p.normal.x == 1 ? 0 : p.normal.y == 1 ? 1 : 2;
    EXPECT_EQ(p.normal.x + p.normal.y + p.normal.z, 1.0f);
    const float along = axis == 0 ? p.point.x - b.min.x : axis == 1 ? p.point.y - b.min.y : p.point.z - b.min.z;
    const float k = along / (2.0f / 14.0f) - 0.5f;
    EXPECT_NEAR(k, std::round(k), 1e-4f);
    seen.insert({axis, int(std::lround(k))});
  }
  std::multiset<std::tuple<int, int>> expected;
  for (int k = 0; k < 14; ++k) expected.insert({0, k});
  for (int k = 0; k < 7; ++k) expected.insert({1, k}), expected.insert({2, k});
  EXPECT_EQ(seen, expected);
  // Three draws per plane for the tilt, two per swap for the 14 swaps of the shuffle.
  Lcg lcg{99};
  for (int i = 0; i < 28 * 3 + 14 * 2; ++i) lcg.next();
  EXPECT_EQ(crtRandState(), lcg.state);

  // A tilt moves only the normal, which stays a unit vector within reach of its axis.
  crtSrand(99);
  int tiltedCount = 0;
  for (const CutPlane& p : fracturePlanes(b, g, 14, 0.3f)) {
    const Float3 n{p.normal.x, p.normal.y, p.normal.z};
    EXPECT_NEAR(length(n), 1.0f, 1e-5f);
    const float off = std::acos(std::min(1.0f, std::max({std::fabs(n.x), std::fabs(n.y), std::fabs(n.z)})));
    EXPECT_LT(off, 0.3f * 1.8f);
    if (off > 0.01f) ++tiltedCount;
  }
  EXPECT_GT(tiltedCount, 20);
}

TEST(FracturePlanes, BoxBreaksIntoOnePiecePerCellItCrosses) {
  const std::vector<MeshVertex> box = boxSoup({0, 0, 0}, {2, 1, 1});
  FractureOptions options;
  crtSrand(7);
  const std::vector<TriangleSoup> pieces = fractureMesh(box, identityIndices(box.size()), options);
  // 14 X planes make 15 slabs, 7 Y and Z planes 8 each: of the 15 x 8 x 8 cells the
  // surface crosses all but the 13 x 6 x 6 inner ones.
  EXPECT_EQ(pieces.size(), size_t(15 * 8 * 8 - 13 * 6 * 6));
  const float cell = 2.0f / 14.0f;
  std::set<std::tuple<int, int, int>> cells;
  double total = 0;
  for (const TriangleSoup& piece : pieces) {
    ASSERT_EQ(piece.size() % 3, 0u);
    total += area(piece);
    // Every vertex of a piece lies in (or on the border of) one cell.
    Float3 lo{1e9f, 1e9f, 1e9f}, hi{-1e9f, -1e9f, -1e9f};
    for (const MeshVertex& v : piece) {
      lo = {std::min(lo.x, v.position.x), std::min(lo.y, v.position.y), std::min(lo.z, v.position.z)};
      hi = {std::max(hi.x, v.position.x), std::max(hi.y, v.position.y), std::max(hi.z, v.position.z)};
    }
    const auto slab = [&](float a, float b) {
      const int i = int(std::floor(a / cell + 0.5f + 1e-4f));
      EXPECT_EQ(i, int(std::floor(b / cell + 0.5f - 1e-4f))) << a << " " << b;
      return i;
    };
    cells.insert({slab(lo.x, hi.x), slab(lo.y, hi.y), slab(lo.z, hi.z)});
    // Interpolated texture coordinates follow the positions they were made from.
    for (const MeshVertex& v : piece) {
      EXPECT_NEAR(v.uv.x, v.position.x, 1e-5f);
      EXPECT_NEAR(v.uv.y, v.position.y, 1e-5f);
    }
  }
  EXPECT_EQ(cells.size(), pieces.size());
  EXPECT_NEAR(total, 10.0, 1e-4);
}

TEST(FracturePlanes, SplitKeepsTrianglesWholeOnOneSideAndCutsCrossingOnes) {
  const std::vector<MeshVertex> box = boxSoup({0, 0, 0}, {2, 1, 1});
  TriangleSoup pos, neg;
  splitByPlane(box, {{0.5f, 0, 0, 0}, {1, 0, 0, 0}}, pos, neg);
  // The four X-facing triangles stay whole; the eight others cross and make three each.
  EXPECT_EQ(pos.size() / 3 + neg.size() / 3, 4u + 8u * 3u);
  for (const MeshVertex& v : pos) EXPECT_GE(v.position.x, 0.5f - 1e-6f);
  for (const MeshVertex& v : neg) EXPECT_LE(v.position.x, 0.5f + 1e-6f);
  EXPECT_NEAR(area(pos), 1.0 + 4 * 1.5, 1e-5);
  EXPECT_NEAR(area(neg), 1.0 + 4 * 0.5, 1e-5);
  // A vertex on the plane is not positive: the face lying in the plane goes to the negative
  // side whole; triangles touching it with one vertex or edge go positive whole and leave
  // only zero-area slivers behind.
  pos.clear(), neg.clear();
  splitByPlane(box, {{0, 0, 0, 0}, {1, 0, 0, 0}}, pos, neg);
  EXPECT_NEAR(area(neg), 1.0, 1e-6);
  EXPECT_NEAR(area(pos), 9.0, 1e-6);
  for (const MeshVertex& v : pos) EXPECT_GE(v.position.x, 0.0f);
}

TEST(FractureSpheres, PiecesLieInTheirSpheresAndNeverOverlap) {
  // A finely split plate, so that the spheres take visible bites.
  std::vector<MeshVertex> plate;
  const int n = 24;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const float x0 = float(i) / n * 2, x1 = float(i + 1) / n * 2, z0 = float(j) / n, z1 = float(j + 1) / n;
      const Float3 q[4] = {{x0, 0.5f, z0}, {x1, 0.5f, z0}, {x1, 0.5f, z1}, {x0, 0.5f, z1}};
      for (int k : {0, 2, 1, 0, 3, 2}) {
        MeshVertex v;
        v.position = q[k];
        plate.push_back(v);
      }
    }
  plate.push_back(plate[0]);  // a stray vertex widens the box in Y only
  plate.back().position.y = 0.0f;
  const std::vector<MeshVertex> vertices = plate;
  plate.pop_back();
  FractureOptions options;
  options.technique = kFractureSpheres;
  crtSrand(3);
  const std::vector<TriangleSoup> pieces = fractureMesh(vertices, identityIndices(plate.size()), options);
  crtSrand(3);
  const FractureBounds b = boundsOf(vertices);
  const FractureGrid g = fractureGrid(b.extents(), 14);
  EXPECT_EQ(std::tie(g.nx, g.ny, g.nz), std::make_tuple(14, 3, 7));
  const std::vector<CutSphere> spheres = fractureSpheres(b, g, 14);
  ASSERT_EQ(spheres.size(), size_t(14 * 3 * 7));
  const float h = 2.0f * 0.5f / 14.0f;
  EXPECT_FLOAT_EQ(spheres[0].radius, std::sqrt(2 * h * h) * 2.5f);

  // Pieces come in sphere order, one per sphere that collected anything.
  ASSERT_GT(pieces.size(), 10u);
  size_t s = 0;
  double total = 0;
  for (const TriangleSoup& piece : pieces) {
    total += area(piece);
    const auto inside = [&](const CutSphere& sp) {
      for (const MeshVertex& v : piece)
        if (length(v.position - sp.centre) > sp.radius * 1.0001f) return false;
      return true;
    };
    while (s < spheres.size() && !inside(spheres[s])) ++s;
    ASSERT_LT(s, spheres.size()) << "a piece lies in no later sphere";
    ++s;
  }
  EXPECT_LE(total, 2.0 + 1e-4);
  EXPECT_GT(total, 1.0);
}

TEST(Fracture, SameGeneratorStateGivesTheSamePieces) {
  const std::vector<MeshVertex> box = boxSoup({0, 0, 0}, {1, 2, 0.5f});
  for (int technique : {kFracturePlanes, kFractureSpheres}) {
    FractureOptions options;
    options.technique = technique;
    options.randomness = 0.2f;
    crtSrand(42);
    const auto a = fractureMesh(box, identityIndices(box.size()), options);
    crtSrand(42);
    const auto b = fractureMesh(box, identityIndices(box.size()), options);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
      ASSERT_EQ(a[i].size(), b[i].size());
      EXPECT_EQ(std::memcmp(a[i].data(), b[i].data(), a[i].size() * sizeof(MeshVertex)), 0);
    }
  }
  FractureOptions unknown;
  unknown.technique = 2;
  EXPECT_TRUE(fractureMesh(box, identityIndices(box.size()), unknown).empty());
}

TEST(Fracture, PiecesFollowWhatOtherUsersDrewFromTheGeneratorBefore) {
  // The break-up does not seed the generator: a graph made just before it (its id takes one
  // draw) gives the pieces of one draw made by hand, not those of the untouched sequence.
  const std::vector<MeshVertex> box = boxSoup({0, 0, 0}, {1, 2, 0.5f});
  FractureOptions options;
  options.randomness = 0.3f;
  const auto breakUp = [&] { return fractureMesh(box, identityIndices(box.size()), options); };
  const auto same = [](const std::vector<TriangleSoup>& a, const std::vector<TriangleSoup>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (a[i].size() != b[i].size() || std::memcmp(a[i].data(), b[i].data(), a[i].size() * sizeof(MeshVertex)))
        return false;
    return true;
  };
  crtSrand(42);
  const auto untouched = breakUp();
  crtSrand(42);
  crtRand();
  const auto afterOneDraw = breakUp();
  ASSERT_FALSE(same(untouched, afterOneDraw));
  crtSrand(42);
  const uint32_t before = crtRandState();
  { OperatorGraph graph; }
  EXPECT_NE(crtRandState(), before);
  EXPECT_TRUE(same(breakUp(), afterOneDraw));
}

TEST(Fracture, PieceOffsetsDependOnThePieceIndexOnly) {
  // The same piece lands on the same offset every time (frames and runs agree); pieces differ.
  const Float3 v = pieceOffset(5, 0.5f);
  const Float3 again = pieceOffset(5, 0.5f);
  EXPECT_EQ(std::tie(v.x, v.y, v.z), std::tie(again.x, again.y, again.z));
  int distinct = 0;
  for (uint32_t i = 0; i < 16; ++i) {
    const Float3 a = pieceOffset(i, 1.0f), b = pieceOffset(i + 1, 1.0f);
    if (a.x != b.x || a.y != b.y || a.z != b.z) ++distinct;
    // Whole steps of the scale, at most five either way.
    for (float c : {a.x, a.y, a.z}) {
      EXPECT_EQ(c, std::round(c));
      EXPECT_LE(std::abs(c), 5.0f);
    }
    // The scale stretches the same offset.
    const Float3 half = pieceOffset(i, 0.5f);
    EXPECT_EQ(half.x, a.x * 0.5f);
    EXPECT_EQ(half.z, a.z * 0.5f);
  }
  EXPECT_GE(distinct, 12);
  EXPECT_EQ(length(pieceOffset(17, 0.0f)), 0.0f);
}

}  // namespace

#pragma once
// Breaking a mesh into pieces on the CPU: a grid of slightly tilted planes cuts the
// triangles apart, or overlapping spheres collect them. Pieces are open triangle soups
// (nothing closes the cuts). Everything here is plain data, so it can be fuzzed alone.
#include <cstdint>
#include <vector>

#include "engine/CrtRand.h"
#include "engine/Math.h"
#include "scene/ModelReader.h"

// The break-up draws from the process-wide C runtime generator (engine/CrtRand.h) without
// seeding it, so its pieces follow from whatever drew before; the drawing of the pieces seeds it.

// Three vertices per triangle.
using TriangleSoup = std::vector<MeshVertex>;

enum FractureTechnique : int32_t { kFracturePlanes = 0, kFractureSpheres = 1 };

struct FractureOptions {
  int32_t cells = 14;      // cells along the longest side of the bounding box
  int32_t technique = kFracturePlanes;
  float randomness = 0.0f; // tilt range of the planes, radians
};

struct FractureBounds {
  Float3 min{1e9f, 1e9f, 1e9f};
  Float3 max{-1e9f, -1e9f, -1e9f};
  Float3 extents() const { return max - min; }
};
FractureBounds boundsOf(const std::vector<MeshVertex>& vertices);

// Cells per axis: the longest side gets `cells`, the others their share of it (at least 1);
// length is that side. When X or Y is not alone the longest, Z is the reference, so sides
// that tie above Z get more than `cells`, up to kMaxTieRatio times as many; past that (a flat
// or nearly flat square) the tied side is the reference.
constexpr float kMaxTieRatio = 8.0f;
struct FractureGrid {
  int32_t nx = 1, ny = 1, nz = 1;
  float length = 0.0f;
};
FractureGrid fractureGrid(Float3 extents, int32_t cells);

struct CutPlane {
  Float4 point;
  Float4 normal;
};
struct CutSphere {
  Float3 centre;
  float radius = 0.0f;
};

// The planes of a grid in cutting order: Z planes, Y planes, X planes through the cell
// middles, each normal tilted by up to `randomness` radians about every axis (three draws
// a plane), then shuffled (two draws per swap, count / 2 swaps).
std::vector<CutPlane> fracturePlanes(const FractureBounds& bounds, const FractureGrid& grid, int32_t cells,
                                     float randomness);
// The spheres of a grid, shuffled like the planes (no other draws).
std::vector<CutSphere> fractureSpheres(const FractureBounds& bounds, const FractureGrid& grid, int32_t cells);

// Splits triangles by a plane: vertices with dot(p - point, normal) > 0 are positive.
// Triangles on one side go to that side whole; a crossing triangle gives one triangle on
// its lone vertex's side and two on the other, with every vertex component interpolated.
// A crossing that cannot be placed on both edges keeps the triangle whole on the positive side.
void splitByPlane(const TriangleSoup& soup, const CutPlane& plane, TriangleSoup& positive, TriangleSoup& negative);

// The pieces of one soup (pieces of fewer than three vertices are dropped).
std::vector<TriangleSoup> breakByPlanes(const TriangleSoup& soup, const std::vector<CutPlane>& planes);
std::vector<TriangleSoup> breakBySpheres(const TriangleSoup& soup, const std::vector<CutSphere>& spheres);

// One mesh (vertices and triangle indices) broken up by the options' technique; an unknown
// technique gives no piece. Draws from the process-wide generator.
std::vector<TriangleSoup> fractureMesh(const std::vector<MeshVertex>& vertices, const std::vector<uint32_t>& indices,
                                       const FractureOptions& options);

// Offset of piece i when every piece is drawn: the generator is seeded with i and three
// draws r1, r2, r3 give ((r3 % 10) - 5, (r2 % 10) - 5, (r1 % 10) - 5) * strength.
Float3 pieceOffset(uint32_t piece, float strength);

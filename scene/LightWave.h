#pragma once
// LightWave objects (IFF "FORM" of type "LWO2"): the chunk reader and the triangle list a
// layer is drawn from. Plain data only; loading from disk, the cache and the GPU mesh live
// in scene/MeshOperators.
//
// What is read: layers ("LAYR"), points ("PNTS"), bounding boxes ("BBOX"), polygons
// ("POLS"), polygon tags ("PTAG": surface, smoothing group, part), tag strings ("TAGS"),
// surfaces ("SURF", of which only the maximum smoothing angle "SMAN") and explicit vertex
// normals ("VMAD" of type "NORM"). Every other chunk is skipped by its length.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Math.h"

struct LwoPolygonVertex {
  uint32_t point = 0;
  Float3 normal;
};

struct LwoPolygon {
  uint32_t surfaceTag = 0;  // index into the object's tags
  int32_t surface = -1;     // index into the object's surfaces, once resolved
  uint32_t smoothingGroup = 0;
  uint32_t part = 0;
  uint16_t flags = 0;       // the high 6 bits of the vertex count word
  Float3 normal;
  std::vector<LwoPolygonVertex> vertices;
};

struct LwoPoint {
  Float3 position;
  std::vector<uint32_t> polygons;  // the polygons that use the point
};

struct LwoLayer {
  uint16_t number = 0;
  uint16_t flags = 0;
  Float3 pivot;
  float bounds[6] = {};  // min x, y, z, max x, y, z
  std::string name;
  std::vector<LwoPoint> points;
  std::vector<LwoPolygon> polygons;
};

struct LwoSurface {
  std::string name;
  std::string source;
  float smoothingAngle = 0.0f;  // radians; 0 when the surface gives none
};

struct LwoObject {
  std::vector<LwoLayer> layers;
  std::vector<std::string> tags;
  std::vector<LwoSurface> surfaces;
};

// Reads a whole file's bytes. On failure `error` says what is wrong: "Wrong file type!"
// for a header other than "FORM" ... "LWO2", else the chunk and the fault (a length past
// the end of the data, an index past the point or polygon list, a polygon whose surface
// names no "SURF", an object without geometry). Never reads outside [data, data + size).
bool parseLwo(const uint8_t* data, size_t size, LwoObject& object, std::string& error);

// The 32-byte vertex of LightWave meshes: position, normal, two zeros.
struct LwoVertex {
  Float3 position;
  Float3 normal;
  float u = 0.0f, v = 0.0f;
};
static_assert(sizeof(LwoVertex) == 32);

// A triangle list of the layer's polygons (all of them when `surface` is negative, else
// those of that surface): each polygon vertex becomes one vertex with the point's position
// and the vertex normal. Polygons of more than three vertices are cut into a fan around
// their first vertex; points and lines are left out.
std::vector<LwoVertex> lwoTriangles(const LwoLayer& layer, int32_t surface = -1);

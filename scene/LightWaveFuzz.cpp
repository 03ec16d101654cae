// libFuzzer entry for the LightWave object reader. Whatever the bytes, reading must not
// crash or read outside them, and an object it accepts must be safe to draw: every
// polygon names points of its layer and a surface of the object.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "scene/LightWave.h"

namespace {
void check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LwoObject object;
  std::string error;
  if (!parseLwo(data, size, object, error)) {
    check(!error.empty());
    return 0;
  }
  check(!object.layers.empty());
  for (const LwoLayer& layer : object.layers) {
    for (const LwoPolygon& p : layer.polygons) {
      check(p.surface >= 0 && size_t(p.surface) < object.surfaces.size());
      for (const LwoPolygonVertex& v : p.vertices) check(v.point < layer.points.size());
    }
    const size_t all = lwoTriangles(layer).size();
    check(all % 3 == 0);
    size_t perSurface = 0;
    for (size_t s = 0; s < object.surfaces.size(); ++s) perSurface += lwoTriangles(layer, int32_t(s)).size();
    check(perSurface == all);
  }
  return 0;
}

#include "scene/ShadowCasters.h"

#include "scene/FrameSetup.h"

namespace {
std::vector<ShadowCaster>& casters() {
  static std::vector<ShadowCaster> list;
  return list;
}
}  // namespace

void AddShadowCaster(const Mesh* geometry, const Float4x4& world, uint32_t kind, uint32_t instanceCount) {
  // The list joins beginFrame's emptying with its first entry: before that it is empty anyway.
  static const bool registered = (registerPerFrameList(&clearShadowCasters), true);
  (void)registered;
  ShadowCaster c;
  c.geometry = geometry;
  c.world = world;
  c.kind = kind;
  c.instanceCount = instanceCount;
  casters().push_back(c);
}

const std::vector<ShadowCaster>& shadowCasters() { return casters(); }

void clearShadowCasters() { casters().clear(); }

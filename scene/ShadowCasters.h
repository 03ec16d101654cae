#pragma once
// The process-wide list of shadow casters: geometry operators append what they drew, the
// lighting's shadow passes read it in the same frame, and the Context's beginFrame empties it.
#include <cstdint>
#include <vector>

#include "engine/Math.h"

struct Mesh;

enum ShadowCasterKind : uint32_t {
  kCasterMesh = 0,       // a plain mesh
  kCasterCloth = 1,      // index-only draw whose vertices come from the cloth's position texture
  kCasterInstanced = 3,  // a mesh drawn instanceCount times with its per-instance stream
};

struct alignas(16) ShadowCaster {
  const Mesh* geometry = nullptr;
  Float4x4 world;             // the Context world at the time of the draw
  uint32_t kind = kCasterMesh;
  uint32_t instanceCount = 0; // kCasterInstanced only
};

void AddShadowCaster(const Mesh* geometry, const Float4x4& world, uint32_t kind, uint32_t instanceCount);
const std::vector<ShadowCaster>& shadowCasters();
void clearShadowCasters();

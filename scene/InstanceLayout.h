#pragma once
// Where the copies of an instanced mesh go: one matrix per copy, in the mesh's local space
// (the Context world is applied on top when the copies are drawn).
#include <cstdint>

#include "engine/Math.h"

// Copy i of a progression: scale 1 + i * (Scale - 1) per axis, rotation i * Rotation
// (degrees, X then Y then Z), translation i * Position. Copy 0 is the identity.
Float4x4 repeatInstance(int32_t i, Float3 position, Float3 rotationDegrees, Float3 scale);

enum ReplicateMode : int32_t { kReplicateRing = 0, kReplicatePoint = 1, kReplicateDisc = 2, kReplicateSpherical = 3 };
enum ReplicateOrientation : int32_t { kOrientSurface = 0, kOrientFixed = 1 };

struct ReplicateInstSettings {
  int32_t count = 1;
  float radius = 1.0f;
  int32_t mode = kReplicateRing;
  uint32_t seed = 0;
  int32_t orientation = kOrientSurface;
  Float3 offsetRandom;
  Float3 offset;
  float wrap = 0.0f;
  Float3 rotateRandom;  // degrees
  float sizeRandom = 0.0f;
};

// Writes settings.count matrices node * R * F: a base point by mode from a generator
// seeded with the seed, a frame facing outward (local -Z along the outward direction) or
// +Z, jitter, size, wrap of X and a random rotation. A copy without an outward direction
// (at the centre) faces +Z.
void replicateInstances(const ReplicateInstSettings& settings, const Float4x4& node, Float4x4* out);

#pragma once
// Where copies go, for the scene operators that draw their input several times ("Repeat",
// "Replicate") and for instanced meshes: one matrix per copy.
#include <cstdint>
#include <random>

#include "engine/Math.h"

// Copy i of a progression: scale 1 + i * (Scale - 1) per axis, rotation i * Rotation
// (degrees, X then Y then Z), translation i * Position, composed scale * rotation *
// translation. Copy 0 is the identity.
Float4x4 repeatStep(int32_t i, Float3 position, Float3 rotationDegrees, Float3 scale);

enum ReplicateMode : int32_t { kReplicateRing = 0, kReplicatePoint = 1, kReplicateDisc = 2, kReplicateSpherical = 3 };
enum ReplicateOrientation : int32_t { kOrientSurface = 0, kOrientFixed = 1 };

struct ReplicateSettings {
  int32_t count = 1;
  float radius = 1.0f;
  int32_t mode = kReplicateRing;
  uint32_t seed = 0;
  int32_t orientation = kOrientSurface;
  Float3 offsetRandom;
  Float3 offset;
  float wrap = 0.0f;  // above 0.5: the x of each copy is wrapped with this modulus
  Float3 rotateRandom;  // degrees
  float sizeRandom = 0.0f;
  Float3 scaleRandom;   // only the scene's "Replicate" draws a random scale (see ReplicateLayout::next)
};

// The copies of a replicated layout, one after the other. The generator is seeded afresh for
// every layout, so a seed always yields the same copies. Each copy takes its draws in a fixed
// order: the mode's, three offset, one size, three rotation (and three scale for next()). The
// base point comes from the mode; the frame faces outward (local -Z along the outward
// direction) or +Z; a copy without an outward direction (at the centre, or an unknown mode)
// faces +Z instead of collapsing to a zero frame.
class ReplicateLayout {
 public:
  explicit ReplicateLayout(const ReplicateSettings& settings);
  // The local matrix of the next copy of the scene's "Replicate": random scale * rotation * frame.
  Float4x4 next();
  // The next copy of an instanced mesh, under its node: node * rotation * frame (no scale drawn).
  Float4x4 nextUnder(const Float4x4& node);

 private:
  float draw(float lo, float hi);  // lo + (hi - lo) * v / 2^32 of one 32-bit output v
  void place(Float4x4& rotation, Float4x4& frame);

  const ReplicateSettings& s_;
  std::mt19937 engine_;
  int32_t index_ = 0;
};

// Writes settings.count matrices node * R * F of an instanced mesh (see ReplicateLayout).
void replicateInstances(const ReplicateSettings& settings, const Float4x4& node, Float4x4* out);

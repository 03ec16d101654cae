#pragma once
// "Attractor" and "Collider": they draw nothing; each appends a record to a process-wide
// list that other operators read in the same frame (mesh scattering, generated meshes,
// cloth). The Context's beginFrame empties both lists; consumers of attractors also empty
// that list after use.
#include <cstdint>
#include <vector>

#include "engine/Math.h"
#include "engine/Operator.h"

struct AttractorState {
  Float4 position;  // w = 1
  Float4 offset;
  Float4 rotation;  // degrees
  float radius = 0;
  float power = 0;
};

// The attractor at t and at t - 0.001 (for the previous matrices of whatever it moves).
struct AttractorRecord {
  AttractorState now;
  AttractorState previous;
};

enum ColliderType : uint32_t { kColliderSphere = 0, kColliderBox = 1 };

struct ColliderRecord {
  uint32_t type = kColliderSphere;
  Float4 position;  // w = 1
  float radius = 0;
  float power = 0;
  Float3 size;
  Float3 rotation;  // degrees
};

void addAttractor(const AttractorRecord& record);
const std::vector<AttractorRecord>& attractors();
void clearAttractors();

void addCollider(const ColliderRecord& record);
const std::vector<ColliderRecord>& colliders();
void clearColliders();

class AttractorOp : public Operator {
 public:
  enum In : uint32_t {
    PositionX, PositionY, PositionZ, Radius, Power,
    OffsetX, OffsetY, OffsetZ, RotationX, RotationY, RotationZ, WorldPosition,
    Count
  };
  static const ParamDecl kParams[];
  AttractorOp();
  class AttractorFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class ColliderOp : public Operator {
 public:
  enum In : uint32_t {
    Type, PositionX, PositionY, PositionZ, Radius, Power,
    SizeX, SizeY, SizeZ, RotationX, RotationY, RotationZ, WorldPosition,
    Count
  };
  static const ParamDecl kParams[];
  ColliderOp();
  class ColliderFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

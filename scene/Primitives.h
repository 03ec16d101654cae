#pragma once
// The primitive operators: each builds its unit shape once (the sphere again when its
// shape parameters change) and draws it with the Context's transform and material, then
// adds itself to the shadow casters where its type casts shadows.
#include <cstdint>
#include <iterator>
#include <memory>

#include "engine/Operator.h"
#include "scene/Mesh.h"

// What every primitive's function keeps: its mesh.
class PrimitiveFunction : public Function {
 public:
  std::unique_ptr<Mesh> mesh;
};

// "Size" scales the unit box (in the object's own space, before the Context's transform):
// the box of a Size 2 x 1 x 1 cube is twice as wide. The defaults leave it the unit box.
class CubeOp : public Operator {
 public:
  enum In : uint32_t { SizeX, SizeY, SizeZ, CastShadows, Count };
  static const ParamDecl kParams[];
  CubeOp();
  class CubeFunction : public PrimitiveFunction {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class ConeOp : public Operator {
 public:
  ConeOp();
  static constexpr int kSegments = 32;
  class ConeFunction : public PrimitiveFunction {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class QuadOp : public Operator {
 public:
  QuadOp();
  class QuadFunction : public PrimitiveFunction {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class CylinderOp : public Operator {
 public:
  CylinderOp();
  class CylinderFunction : public PrimitiveFunction {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class SphereOp : public Operator {
 public:
  enum In : uint32_t { InvertNormals, PrimitiveType, Details, Count };
  static const ParamDecl kParams[];
  SphereOp();
  // "Details" truncated and clamped to 1..100 (NaN and out-of-range values give 1 or 100).
  static int detailFrom(float details);
  class SphereFunction : public PrimitiveFunction {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    // The shape the mesh was built for.
    int builtDetail = -1;
    bool builtInverted = false;
    bool builtPoints = false;
  };
};

// Dome and prism draw like the others but leave the targets bound and cast no shadow.
class DomeOp : public Operator {
 public:
  DomeOp();
  class DomeFunction : public PrimitiveFunction {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class PrismOp : public Operator {
 public:
  PrismOp();
  class PrismFunction : public PrimitiveFunction {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

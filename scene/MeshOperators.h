#pragma once
// Assets from files as operators: "Mesh" draws the sub-meshes of a model file, "LWO" the
// first layer of a LightWave object, "Texture" outputs a picture. Each loads on its first
// evaluation with a non-empty path, through the process-wide caches of scene/MeshImport.
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>

#include "engine/Math.h"
#include "engine/Operator.h"
#include "scene/Forces.h"
#include "scene/MeshImport.h"

class Texture;

// An attractor's pull on an object matrix: when the matrix's translation lies within the
// radius, k = (1 - distance / radius) * power; a generator seeded with `seed` draws an
// offset U(-offset, offset) per axis, added times k to the translation, then angles
// U(0, rotation) per axis, times k, that turn the object (degrees, X then Y then Z) in
// its own frame. Outside the radius the matrix is unchanged.
Float4x4 attractMatrix(const Float4x4& m, const AttractorState& a, uint32_t seed);

class MeshOp : public Operator {
 public:
  enum In : uint32_t {
    Filepath, MeshID, CastShadows, Attractors,
    PositionX, PositionY, PositionZ, RotationX, RotationY, RotationZ, ScaleX, ScaleY, ScaleZ,
    WritesVelocity,
    Count
  };
  static const ParamDecl kParams[];
  MeshOp();
  class MeshFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    SubMeshList subMeshes;
  };
};

class LWOOp : public Operator {
 public:
  enum In : uint32_t { Filepath, Count };
  static const ParamDecl kParams[];
  LWOOp();
  class LWOFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    std::unique_ptr<Mesh> mesh;
  };
};

class TextureOp : public Operator {
 public:
  enum In : uint32_t { Filepath, Count };
  static const ParamDecl kParams[];
  TextureOp();
  class TextureFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    Texture* image = nullptr;  // owned by the texture cache
    std::string path;          // the path loaded last, whether it loaded or not
  };
};

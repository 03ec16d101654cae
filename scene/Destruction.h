#pragma once
// Meshes that come apart. "DestructMesh" breaks every mesh of a model file into pieces once,
// on the CPU, when it loads (scene/Fracture), and draws them in place or pushed apart by a
// random offset per piece. "DynaMesh" cuts the sub-meshes of a model file by a sequence of
// tilted planes on the GPU every frame: each plane's compute pass reads the triangles of
// one buffer and writes the cut (and parted) triangles into the other, then the last one is
// drawn without vertex or index buffers.
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/Math.h"
#include "engine/Operator.h"
#include "scene/Fracture.h"
#include "scene/MeshImport.h"

class ShaderProgram;
class Texture;

// The pieces of every mesh of a file (node tree order, meshes in file coordinates: no node
// transform, no root scale), each a non-indexed triangle list with an identity transform.
// Imports the file anew at every call; empty when it cannot be read.
SubMeshList LoadFracturedMesh(const std::string& path, const FractureOptions& options, Device* device = nullptr);

// The "DynaMesh" sizes and plane sequence.
int32_t dynaMeshPlaneCount(float planeCount);                           // truncated, then 1..32
uint32_t dynaMeshMultiplier(uint32_t vertexCount, int32_t planeCount);  // buffer capacity / source vertices
// Thread groups for `triangles`: both start at 1 and double in turn (x first) until
// gx * gy * 256 covers them; neither grows past 64 (the shader loops over the rest).
void dynaMeshGroups(uint64_t triangles, uint32_t& gx, uint32_t& gy);
// Axes cut in turn (0 X, 1 Y, 2 Z): the enabled ones in order, X alone when none is.
struct DynaAxes {
  int axis[3] = {0, 1, 2};
  int count = 3;
};
DynaAxes dynaMeshAxes(bool x, bool y, bool z);

struct DynaMeshPlanes {
  int32_t count = 3;
  DynaAxes axes;
  float randomness = 0.0f;
  float phase = 0.0f;
  Float3 axisPhase;
  Float3 offset;
  float distance = 1.0f;
};
struct DynaPlane {
  int axis = 0;
  Float3 point;      // before the sub-mesh's inverse node transform
  Float3 direction;  // unit
};
// The planes in cutting order, three draws from the process-wide C runtime generator each
// (the caller seeds it): plane k cuts along axes[k % count], its normal tilted by up to
// `randomness` radians, through direction * (distance cut so far along that axis + phase +
// the axis's phase) + offset. `out` is refilled (its storage is reused from frame to frame).
void dynaMeshPlanes(const DynaMeshPlanes& settings, std::vector<DynaPlane>& out);

class DestructMeshOp : public Operator {
 public:
  enum In : uint32_t { Filepath, MeshID, CastShadows, Technique, Strength, Randomness, Count };
  static const ParamDecl kParams[];
  DestructMeshOp();
  class DestructMeshFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    SubMeshList pieces;
  };
};

class DynaMeshOp : public Operator {
 public:
  enum In : uint32_t {
    ShaderCS, ShaderVSPS, Filepath, MeshID, CastShadows, Technique, Strength, Randomness, PlaneCount,
    Phase, PhaseX, PhaseY, PhaseZ, PlaneXEnabled, PlaneYEnabled, PlaneZEnabled,
    PlaneXOffset, PlaneYOffset, PlaneZOffset, PlaneDistance,
    Count
  };
  static const ParamDecl kParams[];
  DynaMeshOp();
  class DynaMeshFunction : public Function {
   public:
    DynaMeshFunction();
    ~DynaMeshFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;

    struct Sub {
      SubMeshEntry source;      // the imported sub-mesh: one vertex per triangle corner
      std::unique_ptr<Mesh> a;  // the two cut buffers, capacity vertices each
      std::unique_ptr<Mesh> b;
    };
    std::vector<Sub> subs;
    Texture* counters[2] = {nullptr, nullptr};
    std::unique_ptr<ShaderProgram> computeProgram, drawProgram, clearProgram, resetProgram;
    // The plane count the buffers were sized for (kept per operator: a count shared by
    // every operator would re-import every file every frame when two operators differ).
    int32_t lastPlaneCount = 0;
    bool planeCountSeen = false;
    bool loaded = false;

   private:
    void load(const std::string& path, float planeCount, Context& ctx);
    std::unique_ptr<Mesh> drawRecord_;  // a vertex count and nothing else
    std::vector<DynaPlane> planes_;
  };
};

#pragma once
// "RepeatInst" and "ReplicateInst": many copies of one sub-mesh of a model file in one
// instanced draw. Each loads its file like "Mesh" does, writes one matrix per copy into a
// dynamic per-instance stream (64 bytes a copy, slot 1, WORLD0-WORLD3) and draws with the
// instanced G-buffer program. "ReplicateInst" rewrites its matrices only when a parameter
// changed, and casts shadows as an instanced caster.
//
// The copies are drawn through a mesh record of the operator's own that shares the
// sub-mesh's vertex and index buffers and adds the instance stream and the instanced
// layout: the cached sub-mesh itself stays untouched, so a "Mesh" operator or a second
// instanced operator drawing the same file is not disturbed.
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>

#include "engine/Math.h"
#include "engine/Operator.h"
#include "scene/InstanceLayout.h"
#include "scene/MeshImport.h"

class InputLayout;
class Texture;

// Copies of one draw are limited to this many (64 MB of matrices); a larger count draws
// this many.
constexpr int32_t kMaxInstances = 1 << 20;

// What both functions keep.
class InstancedFunction : public Function {
 public:
  ~InstancedFunction() override;

  SubMeshList subMeshes;
  std::unique_ptr<InputLayout> instancedLayout;
  Texture* instanceBuffer = nullptr;  // owned by `instanced`
  int32_t bufferCount = -1;           // instance count the buffer was made for
  const Mesh* bufferMesh = nullptr;   // sub-mesh the buffer was made for
  std::unique_ptr<Mesh> instanced;    // the sub-mesh's buffers plus the instance stream

 protected:
  // Loads the file on the first evaluation with a non-empty path.
  void load(const std::string& path, Context& ctx);
  // The sub-mesh for MeshID (compared as unsigned: negative selects nothing), or null.
  const Mesh* select(int32_t meshId) const;
  // Makes the instance buffer when the count or the sub-mesh changed; true when made.
  bool prepare(const Mesh& mesh, int32_t count, Context& ctx);
  // Maps the stream with discard and hands the matrices to `fill`.
  template <typename Fill>
  void write(Context& ctx, Fill&& fill);
  // One instanced draw with the instanced G-buffer program.
  void draw(Context& ctx, int32_t count);
};

class RepeatInstOp : public Operator {
 public:
  enum In : uint32_t {
    Filepath, MeshID, InstanceCount,
    PositionX, PositionY, PositionZ, RotationX, RotationY, RotationZ, ScaleX, ScaleY, ScaleZ,
    Count
  };
  static const ParamDecl kParams[];
  RepeatInstOp();
  class RepeatFunction : public InstancedFunction {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class ReplicateInstOp : public Operator {
 public:
  enum In : uint32_t {
    Filepath, MeshID, InstanceCount, Radius, Mode, Seed,
    OffsetRandomX, OffsetRandomY, OffsetRandomZ, SizeRandom, Orientation,
    OffsetX, OffsetY, OffsetZ, Wrap, RotateRandomX, RotateRandomY, RotateRandomZ,
    Count
  };
  static const ParamDecl kParams[];
  ReplicateInstOp();
  class ReplicateFunction : public InstancedFunction {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;

    // The values of the last fill; the first evaluation never matches them.
    struct Filled {
      ReplicateSettings settings;
      int32_t meshId = 0x7FFFFFFF;
      std::string path;
      Filled();
    } filled;

   private:
    std::string path_;
  };
};

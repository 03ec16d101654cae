#pragma once
// "Transform", "Repeat" and "Replicate": draw their input under one or several extra local
// transforms. Each puts local * world (and local * previous world) into the Context while
// its input is evaluated and restores both matrices afterwards.
#include <cstdint>
#include <iterator>

#include "engine/Operator.h"
#include "scene/InstanceLayout.h"

// The most copies one "Repeat" or "Replicate" draws. Each copy evaluates the whole scene
// beneath, so a count of a few billion would keep a single frame busy for hours.
constexpr int32_t kMaxSceneCopies = 10000;
// Copies from a "Count" parameter: truncated toward zero; NaN and values below 1 give none,
// values above kMaxSceneCopies (infinity too) give kMaxSceneCopies.
int32_t sceneCopyCount(float count);

class TransformOp : public Operator {
 public:
  enum In : uint32_t { InScene, PosX, PosY, PosZ, RotX, RotY, RotZ, ScaleX, ScaleY, ScaleZ, Count };
  static constexpr ParamDecl kParams[] = {
      param::scene("InScene"),
      param::number("Position.X", 0.0f), param::number("Position.Y", 0.0f), param::number("Position.Z", 0.0f),
      param::number("Rotation.X", 0.0f), param::number("Rotation.Y", 0.0f), param::number("Rotation.Z", 0.0f),
      param::number("Scale.X", 1.0f), param::number("Scale.Y", 1.0f), param::number("Scale.Z", 1.0f),
  };
  static_assert(std::size(kParams) == Count);
  static_assert(RotX == PosX + 3 && ScaleX == PosX + 6, "read together as one placement");

  TransformOp();
  class TransformFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class RepeatOp : public Operator {
 public:
  enum In : uint32_t {
    InScene, TimeOffset, Copies, PosX, PosY, PosZ, RotX, RotY, RotZ, ScaleX, ScaleY, ScaleZ, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::scene("InScene"),
      param::number("TimeOffset", 0.0f),
      param::number("Count", 1.0f),
      param::number("Position.X", 0.0f), param::number("Position.Y", 0.0f), param::number("Position.Z", 0.0f),
      param::number("Rotation.X", 0.0f), param::number("Rotation.Y", 0.0f), param::number("Rotation.Z", 0.0f),
      param::number("Scale.X", 1.0f), param::number("Scale.Y", 1.0f), param::number("Scale.Z", 1.0f),
  };
  static_assert(std::size(kParams) == Count);
  static_assert(RotX == PosX + 3 && ScaleX == PosX + 6, "read together as one placement");

  RepeatOp();
  class RepeatFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class ReplicateOp : public Operator {
 public:
  enum In : uint32_t {
    InScene, Copies, Radius, Mode, Seed, OffsetRandomX, OffsetRandomY, OffsetRandomZ, SizeRandom, Orientation,
    OffsetX, OffsetY, OffsetZ, Wrap, RotateRandomX, RotateRandomY, RotateRandomZ, ScaleRandomX, ScaleRandomY,
    ScaleRandomZ, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::scene("InScene"),
      param::number("Count", 1.0f),
      param::number("Radius", 1.0f),
      param::choice("Mode", 0.0f, "Ring|Point|Disc"),
      param::number("Seed", 0.0f),
      param::number("OffsetRandom.X", 0.0f), param::number("OffsetRandom.Y", 0.0f),
      param::number("OffsetRandom.Z", 0.0f),
      param::number("SizeRandom", 0.0f),
      param::choice("Orientation", 0.0f, "Surface|Fixed"),
      param::number("Offset.X", 0.0f), param::number("Offset.Y", 0.0f), param::number("Offset.Z", 0.0f),
      param::number("Wrap", 0.0f),
      param::number("RotateRandom.X", 0.0f), param::number("RotateRandom.Y", 0.0f),
      param::number("RotateRandom.Z", 0.0f),
      param::number("ScaleRandom.X", 0.0f), param::number("ScaleRandom.Y", 0.0f), param::number("ScaleRandom.Z", 0.0f),
  };
  static_assert(std::size(kParams) == Count);

  ReplicateOp();
  class ReplicateFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

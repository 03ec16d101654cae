#pragma once
// "Transform", "Repeat" and "Replicate": draw their input under one or several extra local
// transforms. Each puts local * world (and local * previous world) into the Context while
// its input is evaluated and restores both matrices afterwards.
#include <cstdint>
#include <iterator>
#include <random>

#include "engine/Operator.h"

// The most copies one "Repeat" or "Replicate" draws. Each copy evaluates the whole scene
// beneath, so a count of a few billion would keep a single frame busy for hours.
constexpr int32_t kMaxSceneCopies = 10000;
// Copies from a "Count" parameter: truncated toward zero; NaN and values below 1 give none,
// values above kMaxSceneCopies (infinity too) give kMaxSceneCopies.
int32_t sceneCopyCount(float count);

// Copy i (1..n) of "Repeat": scale 1 + i * (scale - 1), rotation i * rotation (degrees),
// translation i * position, composed scale * rotation * translation.
Float4x4 repeatStep(int32_t i, Float3 position, Float3 rotationDegrees, Float3 scale);

// The copies of "Replicate", one frame matrix after the other. The generator is seeded
// afresh for every layout, so a seed always yields the same copies; each copy takes its
// draws in a fixed order (the mode's, three offset, one size, three rotation, three scale).
struct ReplicateSettings {
  enum Mode : int32_t { Ring = 0, Point = 1, Disc = 2 };
  enum Orientation : int32_t { Surface = 0, Fixed = 1 };
  int32_t count = 1;
  float radius = 1.0f;
  int32_t mode = Ring;
  uint32_t seed = 0;
  int32_t orientation = Surface;
  Float3 offsetRandom;
  Float3 offset;
  float wrap = 0.0f;  // above 0.5: the x of each copy is wrapped with this modulus
  Float3 rotateRandom;  // degrees
  Float3 scaleRandom;
  float sizeRandom = 0.0f;
};

class ReplicateLayout {
 public:
  explicit ReplicateLayout(const ReplicateSettings& settings);
  // The local matrix of the next copy (call it count times).
  Float4x4 next();

 private:
  float draw(float lo, float hi);  // lo + (hi - lo) * v / 2^32 of one 32-bit output v

  const ReplicateSettings& s_;
  std::mt19937 engine_;
  int32_t index_ = 0;
};

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

#pragma once
// Animation curves: the source of an animated float parameter.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Port.h"

struct Key {
  float time = 0.0f;
  float value = 0.0f;
  int32_t shape = 0;  // of the segment that ends at this key: 0 linear, 1 Bezier, 2 Hermite, 3 step
  float cp1[2] = {0.0f, 0.0f};  // incoming handle, offset from (time, value)
  float cp2[2] = {0.0f, 0.0f};  // outgoing handle
};

// Out-of-range modes: 0 zero, 1 hold, 2 loop, 3 ping-pong, other: t unchanged.
enum CurveMode : uint32_t { CurveZero = 0, CurveHold = 1, CurveLoop = 2, CurvePingPong = 3 };

class CurveFunction : public ValueFunction {
 public:
  explicit CurveFunction(std::unique_ptr<IValue> v) : ValueFunction(std::move(v)) {}
  // Without keys the parameter's constant; otherwise the curve at t (the holder keeps it).
  void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  void assign(Context& ctx, float t) override;
  // The constant under the port's name, then the child "track" with the modes and keys.
  void serialize(TreeNodeRef node, const char* key) override;
  // Sets every key within 0.1 s of t to v, or inserts a new key.
  void setKey(float t, float v);

  std::vector<Key> keys;
  // Editor state; never read or written by the player.
  std::vector<float> editorValues;
  std::string editorText;
  uint32_t beforeMode = CurveHold;
  uint32_t afterMode = CurveHold;
};

float curveValue(const std::vector<Key>& keys, uint32_t beforeMode, uint32_t afterMode, float t);

// The parameter u in [0, 1] at which the cubic Bezier x polynomial through x0..x3 equals x,
// found by bisection (stops after a fixed number of halvings, since at large x the
// tolerance can lie below the float spacing).
float solveBezierX(float x0, float x1, float x2, float x3, float x);

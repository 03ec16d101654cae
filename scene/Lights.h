#pragma once
// The light operators and the three process-wide light lists they fill.
//
// A light operator draws nothing: it appends one record to its list and evaluates its scene
// input. The lighting pass reads the lists after the scene traversal; the Context's
// beginFrame empties them, so a record lives for one graph output.
//
// Two quirks productions rely on are kept: a directional light's direction is taken as
// given, not rotated by the world matrix, and a point light's colour is not multiplied by
// its brightness (the shader gets the brightness separately). Directional and spot colours
// are premultiplied.
#include <cstdint>
#include <iterator>
#include <vector>

#include "engine/Context.h"
#include "engine/Operator.h"

struct DirLightRecord {
  Float4 direction;  // towards the light, as given (w = 0)
  Float4 colour;     // rgb x brightness, w = 0
  uint8_t enabled = 1;
  uint8_t castsShadows = 0;
};

struct PointLightRecord {
  Float4 position;    // through the world matrix (w kept)
  Float4 colour;      // rgb, w = 0: not multiplied by brightness
  Float4 scattering;  // density, multiplier, falloff, 0
  float radius = 0.0f;
  float brightness = 0.0f;
  uint8_t enabled = 1;
};

struct SpotLightRecord {
  Float4 direction;   // through the world matrix (w = 0), normalised
  Float4 position;    // through the world matrix, w = 1
  Float4 colour;      // rgb x brightness, w = 0
  Float4 scattering;  // density, multiplier, falloff, shadows in the scattering (0 or 1)
  float farPlane = 0.0f;
  float angle = 0.0f;         // full cone angle, degrees
  float scatteringSteps = 0;  // an integer value
  uint8_t enabled = 1;
  uint8_t castsShadows = 0;
};

// The lists (registered with the per-frame lists on first use, so beginFrame empties them).
std::vector<DirLightRecord>& dirLights();
std::vector<PointLightRecord>& pointLights();
std::vector<SpotLightRecord>& spotLights();
void clearLightLists();

class DirLightOp : public Operator {
 public:
  enum In : uint32_t { InScene, DirectionX, DirectionY, DirectionZ, ColorR, ColorG, ColorB, CastShadows, Brightness, Count };
  static constexpr ParamDecl kParams[] = {
      param::scene("InScene"),
      param::number("Direction.X", 1.0f), param::number("Direction.Y", 1.0f), param::number("Direction.Z", 1.0f),
      param::number("Color.R", 1.0f), param::number("Color.G", 1.0f), param::number("Color.B", 1.0f),
      param::boolean("Cast Shadows", false),
      param::number("Brightness", 1.0f),
  };
  static_assert(std::size(kParams) == Count);
  DirLightOp();
  class DirLightFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class PointLightOp : public Operator {
 public:
  enum In : uint32_t {
    SceneIn, PositionX, PositionY, PositionZ, ColorR, ColorG, ColorB, Radius, Brightness,
    ScattMultiplier, ScattDensity, ScattFalloff, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::scene("SceneIn"),
      param::number("Position.X", 0.0f), param::number("Position.Y", 0.0f), param::number("Position.Z", 0.0f),
      param::number("Color.R", 1.0f), param::number("Color.G", 1.0f), param::number("Color.B", 1.0f),
      param::number("Radius", 5.0f),
      param::number("Brightness", 1.0f),
      param::number("ScattMultiplier", 0.0f),
      param::number("ScattDensity", 0.1f),
      param::number("ScattFalloff", 1.0f),
  };
  static_assert(std::size(kParams) == Count);
  PointLightOp();
  class PointLightFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class SpotLightOp : public Operator {
 public:
  enum In : uint32_t {
    SceneIn, PositionX, PositionY, PositionZ, DirectionX, DirectionY, DirectionZ, ColorR, ColorG, ColorB,
    Angle, FarPlane, Brightness, CastShadows, ScattMultiplier, ScattDensity, ScattFalloff, ScattShadows,
    ScattSteps, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::scene("SceneIn"),
      param::number("Position.X", 0.0f), param::number("Position.Y", 0.0f), param::number("Position.Z", 0.0f),
      param::number("Direction.X", 0.0f), param::number("Direction.Y", -1.0f), param::number("Direction.Z", 0.0f),
      param::number("Color.R", 1.0f), param::number("Color.G", 1.0f), param::number("Color.B", 1.0f),
      param::number("Angle", 45.0f),
      param::number("FarPlane", 10.0f),
      param::number("Brightness", 10.0f),
      param::boolean("Cast Shadows", true),
      param::number("ScattMultiplier", 0.0f),
      param::number("ScattDensity", 0.1f),
      param::number("ScattFalloff", 1.0f),
      param::boolean("ScattShadows", false),
      param::integer("ScattSteps", 32.0f),
  };
  static_assert(std::size(kParams) == Count);
  SpotLightOp();
  class SpotLightFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

#pragma once
// Operators that make pictures from formulas: "Radial" and "Gradient" colour ramps (drawn
// into the next post-process ring image, over the input picture when one is connected),
// and "ImageShader" and "Engraver", which run a shader file the production names straight
// into the current picture.
#include <cstdint>
#include <iterator>
#include <memory>

#include "engine/Operator.h"

class ShaderProgram;

// The colour ports both ramps start with (after "ImageIn").
#define ZV_RAMP_COLOURS                                                                     \
  param::number("Color 1 R", 1.0f), param::number("Color 1 G", 1.0f), param::number("Color 1 B", 1.0f), \
      param::number("Color 1 A", 1.0f), param::number("Color 2 R", 0.0f), param::number("Color 2 G", 0.0f), \
      param::number("Color 2 B", 0.0f), param::number("Color 2 A", 1.0f)

class RadialOp : public Operator {
 public:
  enum In : uint32_t {
    ImageIn, Color1R, Color1G, Color1B, Color1A, Color2R, Color2G, Color2B, Color2A, PositionX, PositionY,
    RadiusInner, RadiusOuter, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"), ZV_RAMP_COLOURS,
      param::number("Position X", 0.0f), param::number("Position Y", 0.0f),
      param::number("Radius Inner", 0.25f), param::number("Radius Outer", 0.75f),
  };
  static_assert(std::size(kParams) == Count);

  RadialOp();
  class RadialFunction : public Function {
   public:
    RadialFunction();  // loads "radial" when a device exists (else on the first evaluation)
    ~RadialFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    std::unique_ptr<ShaderProgram> program;
    bool tried = false;
  };
};

class GradientOp : public Operator {
 public:
  enum In : uint32_t {
    ImageIn, Color1R, Color1G, Color1B, Color1A, Color2R, Color2G, Color2B, Color2A, Position1X, Position1Y,
    Position2X, Position2Y, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"), ZV_RAMP_COLOURS,
      param::number("Position 1 X", 0.0f), param::number("Position 1 Y", -1.0f),
      param::number("Position 2 X", 0.0f), param::number("Position 2 Y", 1.0f),
  };
  static_assert(std::size(kParams) == Count);

  GradientOp();
  class GradientFunction : public Function {
   public:
    GradientFunction();  // loads "gradient" like Radial
    ~GradientFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    std::unique_ptr<ShaderProgram> program;
    bool tried = false;
  };
};

#undef ZV_RAMP_COLOURS

class ImageShaderOp : public Operator {
 public:
  enum In : uint32_t {
    ImageIn, Filepath, Param1X, Param1Y, Param1Z, Param2X, Param2Y, Param2Z, Param3X, Param3Y, Param3Z, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),
      param::shader("Filepath", ""),
      param::number("Param1.X", 1.0f), param::number("Param1.Y", 1.0f), param::number("Param1.Z", 1.0f),
      param::number("Param2.X", 1.0f), param::number("Param2.Y", 1.0f), param::number("Param2.Z", 1.0f),
      param::number("Param3.X", 1.0f), param::number("Param3.Y", 1.0f), param::number("Param3.Z", 1.0f),
  };
  static_assert(std::size(kParams) == Count);

  ImageShaderOp();
  class ImageShaderFunction : public Function {
   public:
    ImageShaderFunction();
    ~ImageShaderFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    // Set until a non-empty "Filepath" has been tried; an empty path is read again.
    uint8_t notLoaded = 1;
    std::unique_ptr<ShaderProgram> program;
  };
};

class EngraverOp : public Operator {
 public:
  enum In : uint32_t {
    ShaderPath, ImageIn, NormalDepthIn, Scale, Rotation, Power, DistortionType, DistortionScale, LineCenter, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::shader("Shader path", "data/shaders/imageShaders/engraver.hlsl"),
      param::image("ImageIn"),
      param::image("NormalDepthIn"),
      param::number("Scale", 0.8f),
      param::number("Rotation", 1.0f),
      param::number("Power", 1.0f),
      param::choice("DistortionType", 0.0f, "None|Normal|Depth"),
      param::number("DistortionScale", 0.0f),
      param::number("LineCenter", 0.5f),
  };
  static_assert(std::size(kParams) == Count);

  EngraverOp();
  class EngraverFunction : public Function {
   public:
    EngraverFunction();
    ~EngraverFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    uint8_t notLoaded = 1;  // set until a non-empty "Shader path" has been tried
    std::unique_ptr<ShaderProgram> program;
  };
};

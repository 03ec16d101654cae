#pragma once
// Scene leaves that draw into the G-buffer with a shader file of their own:
//
// "Decal" projects a picture onto whatever lies inside its box (the unit box through the
// Context's world), adding light to the emissive target; the box is drawn from inside (front
// faces culled) so the decal still shows when the camera stands in it. "FSDecal" does the
// same with a full-screen triangle. Both read the normal target and the frame's depth to find
// the surface under each pixel.
//
// "RayMarching" draws one full-screen triangle into the whole G-buffer pass, depth included:
// the shader marches its own scene and writes surfaces that mix with rasterised geometry by
// depth.
#include <cstdint>
#include <iterator>
#include <memory>

#include "engine/Context.h"
#include "engine/Operator.h"
#include "gfx/Device.h"

class ShaderProgram;
struct Mesh;

// Render states as the operators give them to their programs.
RenderStateDesc decalRenderState();
RenderStateDesc fsDecalRenderState();
// What the Context's draws use (the G-buffer programs' state), which full-screen G-buffer
// writers take as it is.
RenderStateDesc contextRenderState();

// The constants and bindings both decals share.
struct DecalInputs {
  enum In : uint32_t { Filepath, ImageIn, TileU, TileV, EmissiveR, EmissiveG, EmissiveB, Brightness, Count };
};

class DecalOp : public Operator, public DecalInputs {
 public:
  static constexpr ParamDecl kParams[] = {
      param::shader("Filepath", "data/shaders/decal.hlsl"),
      param::image("ImageIn"),
      param::number("TileU", 1.0f), param::number("TileV", 1.0f),
      param::number("EmissiveColor.R", 1.0f), param::number("EmissiveColor.G", 1.0f),
      param::number("EmissiveColor.B", 1.0f),
      param::number("Brightness", 1.0f),
  };
  static_assert(std::size(kParams) == Count);
  DecalOp();
  class DecalFunction : public Function {
   public:
    DecalFunction();
    ~DecalFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    std::unique_ptr<ShaderProgram> program;
    std::unique_ptr<Mesh> box;
  };
};

class FSDecalOp : public Operator, public DecalInputs {
 public:
  // The same inputs without "Brightness".
  static constexpr ParamDecl kParams[] = {
      param::shader("Filepath", "data/shaders/fsdecal.hlsl"),
      param::image("ImageIn"),
      param::number("TileU", 1.0f), param::number("TileV", 1.0f),
      param::number("EmissiveColor.R", 1.0f), param::number("EmissiveColor.G", 1.0f),
      param::number("EmissiveColor.B", 1.0f),
  };
  static_assert(std::size(kParams) == Count - 1);
  FSDecalOp();
  class FSDecalFunction : public Function {
   public:
    FSDecalFunction();
    ~FSDecalFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    std::unique_ptr<ShaderProgram> program;
  };
};

class RayMarchingOp : public Operator {
 public:
  enum In : uint32_t {
    Filepath, Param1X, Param1Y, Param1Z, Param1W, Param2X, Param2Y, Param2Z, Param2W, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::shader("Filepath"),
      param::number("Param1.X", 1.0f), param::number("Param1.Y", 1.0f), param::number("Param1.Z", 1.0f),
      param::number("Param1.W", 1.0f),
      param::number("Param2.X", 1.0f), param::number("Param2.Y", 1.0f), param::number("Param2.Z", 1.0f),
      param::number("Param2.W", 1.0f),
  };
  static_assert(std::size(kParams) == Count);
  RayMarchingOp();
  class RayMarchingFunction : public Function {
   public:
    RayMarchingFunction();
    ~RayMarchingFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    std::unique_ptr<ShaderProgram> program;
  };
};

#pragma once
// "Forward": draws a scene with a shader file of the production's choosing straight into the
// picture of its image input, with a depth buffer of its own. The scene's geometry draws
// through the G-buffer renderer as usual, so the shader receives the per-object constants
// and material textures every mesh draw sets (see data/shaders/forward/unlit.hlsl).
#include <iterator>
#include <memory>

#include "engine/Operator.h"
#include "gfx/Device.h"

class ShaderProgram;

class ForwardOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, SceneIn, Shader, Depth, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),
      param::scene("SceneIn"),
      param::shader("Shader", ""),
      param::boolean("Depth", true),
  };
  static_assert(std::size(kParams) == Count);

  ForwardOp();
  class ForwardFunction : public Function {
   public:
    ForwardFunction();
    ~ForwardFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;

    uint8_t notLoaded = 1;                   // the shader file is read on the first evaluation only
    std::unique_ptr<ShaderProgram> program;  // null when the file did not load
    Texture* depth = nullptr;                // owned; remade when the picture's size changes
    RenderPass pass;                         // the Context's scene pass while the scene draws
  };
};

#pragma once
// The two passes that turn scenes into pictures with the deferred lighting:
//
// "LightPass" draws its scene into the frame's G-buffer (which fills the light and
// shadow-caster lists), then lights it into the Context's image (the lighting object's
// Render with a ring image as light map) and runs the velocity sequence of the
// post-processing. While the production is loading it lights nothing; its draws are only
// prepared (DeviceContext::setPrepareOnly).
//
// "Transparency" draws a scene with a shader file of its own into a private picture (the
// frame's depth target tests against the opaque scene; G-buffer target 1 takes the
// surfaces' normal and depth), at "Screen %" of the region's size, and blends it stretched
// over its input image. Below full size the frame's depth is first shrunk into a private
// depth target over the reduced region ("transparencyDepth"), so the test against the opaque
// scene happens where the picture will be stretched to.
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>

#include "engine/Context.h"
#include "engine/Operator.h"
#include "gfx/Device.h"

class ShaderProgram;

class LightPassOp : public Operator {
 public:
  enum In : uint32_t { SceneIn, EnvMap, Count };
  static constexpr ParamDecl kParams[] = {param::scene("SceneIn"), param::image("EnvMap")};
  static_assert(std::size(kParams) == Count);
  LightPassOp();
  class LightPassFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    RenderPass gbufferPass;  // the Context's scene pass while the scene is drawn
  };
};

// The private picture's blending (target 1, the G-buffer's normal and depth, written only at
// full size: below it the surfaces lie where the picture is, not where they belong), and the
// copy that lays the picture over the input.
RenderStateDesc transparencyRenderState(bool writeNormals = true);
RenderStateDesc transparencyCompositeState();

class TransparencyPassOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, SceneIn, Shader, ScreenPercent, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),
      param::scene("SceneIn"),
      param::shader("Shader", "data\\shaders\\transparency.hlsl"),
      param::number("Screen %", 100.0f),
  };
  static_assert(std::size(kParams) == Count);
  TransparencyPassOp();
  class TransparencyFunction : public Function {
   public:
    TransparencyFunction();
    ~TransparencyFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;

    std::unique_ptr<ShaderProgram> program;  // null when the file did not load
    std::string loadedPath;
    bool loadedOnce = false;
    Texture* target = nullptr;  // back-buffer sized, made on first use
    Texture* depth = nullptr;   // the shrunk depth, made on the first reduced evaluation
    std::unique_ptr<ShaderProgram> depthProgram;
    RenderState* fullState = nullptr;
    RenderState* reducedState = nullptr;
    RenderPass pass;
  };
};

// The scaled rectangle of "Screen %": each of the region's four coordinates multiplied by
// the fraction (clamped to 0..1; not a number counts as 0) and truncated. The copy back
// stretches about the origin, which puts the scaled rectangle back onto the region.
Viewport scaledRegion(const Viewport& region, float fraction);

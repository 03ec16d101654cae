#pragma once
// Image operators that read the G-buffer of the current frame: "Fog" (depth fog) and "SSR"
// (screen-space reflections with a two-pass blur). Both load their shader files on their
// first evaluation and draw into the next post-process ring image.
#include <cstdint>
#include <iterator>
#include <memory>

#include "engine/Operator.h"

class ShaderProgram;

class FogOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, Shader, MaxDistance, FogColorR, FogColorG, FogColorB, Enabled, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),
      param::shader("Shader", "data//shaders//fog.hlsl"),
      param::number("MaxDistance", 1000.0f),
      param::number("FogColor.R", 0.4f),
      param::number("FogColor.G", 0.6f),
      param::number("FogColor.B", 0.7f),
      param::boolean("Enabled", true),
  };
  static_assert(std::size(kParams) == Count);

  FogOp();
  class FogFunction : public Function {
   public:
    FogFunction();
    ~FogFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    uint8_t notLoaded = 1;  // "Shader" is read on the first evaluation only
    std::unique_ptr<ShaderProgram> program;
  };
};

class SSROp : public Operator {
 public:
  enum In : uint32_t {
    InImage, Shader, BlurShader, StrideZCutoff, ZThickness, Stride, MaxSteps, BlurRadius, NormalBias, DepthBias, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::image("InImage"),
      param::shader("Shader", "data/shaders/ssr.hlsl"),
      param::shader("BlurShader", "data/shaders/ssrBlur.hlsl"),
      param::number("StrideZCutoff", 0.001f),
      param::number("zThickness", 0.2f),
      param::number("Stride", 1.0f),
      param::number("MaxSteps", 200.0f),
      param::number("BlurRadius", 8.0f),
      param::number("NormalBias", 0.29f),
      param::number("DepthBias", 0.305f),
  };
  static_assert(std::size(kParams) == Count);

  SSROp();
  class SSRFunc : public Function {
   public:
    SSRFunc();
    ~SSRFunc() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    uint8_t notLoaded = 1;  // both shader files are read on the first evaluation only
    // The edge in pixels of the blocks the march's nearest-depth target stands for
    // (kTile in the shader).
    static constexpr uint32_t kTileEdge = 16;
    // Blurs that reach further than this many blocks draw every block.
    static constexpr uint32_t kMaxTileReach = 8;
    std::unique_ptr<ShaderProgram> reflection;
    std::unique_ptr<ShaderProgram> tiles;  // the nearest-depth target, from the same file
    std::unique_ptr<ShaderProgram> reflectedTiles;  // the blocks that hold a reflection, same file
    std::unique_ptr<ShaderProgram> blur;       // drawn over the blocks near a reflection
    std::unique_ptr<ShaderProgram> composite;  // the blurred reflections over the picture, blur's file
    bool overBlocks = true;  // the blur file has the block entries (else every pixel, and the copy pass)
    Texture* intermediate = nullptr;  // from the pool, valid for the frame it was taken in
  };
};

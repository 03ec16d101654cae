#pragma once
// Operators that combine pictures: "Blend" (two pictures by a colour and an alpha mode,
// optionally through a mask), "MaskImage" (keeps a picture where a mask passes a
// threshold) and "Sprite" (a textured rectangle laid over the current picture).
//
// Unlike the effects they do not draw into the post-process ring: "Blend" and "MaskImage"
// draw into the picture that was current when they started, "Sprite" into the picture
// its "ImageIn" left; that picture stays the image result.
#include <cstdint>
#include <iterator>
#include <memory>

#include "engine/Operator.h"
#include "engine/Math.h"

class ShaderProgram;

class BlendOp : public Operator {
 public:
  enum In : uint32_t { ImageA, ImageB, ImageMask, Color, Alpha, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageA"),
      param::image("ImageB"),
      param::image("ImageMask"),
      param::choice("Color", 0.0f, "Normal|Add|Mul|Diff"),
      param::choice("Alpha", 0.0f, "Normal|MaskA|MaskB|Opaque"),
  };
  static_assert(std::size(kParams) == Count);

  BlendOp();
  class BlendFunction : public Function {
   public:
    BlendFunction();  // loads "blend" when a device exists (else on the first evaluation)
    ~BlendFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    std::unique_ptr<ShaderProgram> program;
    bool tried = false;
  };
};

class MaskImageOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, Mask, Threshold, ChannelMaskR, ChannelMaskG, ChannelMaskB, ChannelMaskA, Invert, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),
      param::image("Mask"),
      param::number("Threshold", 0.5f),
      param::number("ChannelMask.R", 0.0f),
      param::number("ChannelMask.G", 0.0f),
      param::number("ChannelMask.B", 0.0f),
      param::number("ChannelMask.A", 1.0f),
      param::boolean("Invert", false),
  };
  static_assert(std::size(kParams) == Count);

  MaskImageOp();
  class MaskImageFunction : public Function {
   public:
    MaskImageFunction();  // loads "mask" like Blend
    ~MaskImageFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    std::unique_ptr<ShaderProgram> program;
    bool tried = false;
  };
};

// Where the sprite lands, in pixels of the viewport (x to the right, y down): the pixel
// scale per texel (Scale x viewport height / 1080 on both axes, so a 1920 x 1080 frame draws
// one texel per pixel at Scale 1) and the rectangle [x0, x0 + w] x [y0 - h, y0] (the
// bottom-left corner at the origin).
struct SpriteRect {
  float sx = 0, sy = 0;  // pixels per texel
  float w = 0, h = 0;    // size in pixels
  float x0 = 0, y0 = 0;  // origin: left edge and bottom edge
  // Nothing to draw: no area, or a size or place that is not a number. (A negative scale
  // mirrors the sprite and still draws.)
  bool empty() const;
};
// Position in [-1, 1] over the viewport (y down), pivot 0..8 ("Center", "Left", "Right",
// "Bottom", "BottomLeft", "BottomRight", "Top", "TopLeft", "TopRight"; others are "Center").
// An empty texture or viewport gives an empty rectangle.
SpriteRect spriteRect(float viewportWidth, float viewportHeight, float textureWidth, float textureHeight,
                      float positionX, float positionY, float scaleX, float scaleY, int32_t pivot);
// The gScreen matrix: scale(w, h, 1) * translate(x0, y0, 0) * (pixels -> clip space, y down,
// z * -0.01).
Float4x4 spriteScreenMatrix(const SpriteRect& r, float viewportWidth, float viewportHeight);

class SpriteOp : public Operator {
 public:
  enum In : uint32_t {
    ImageIn, TextureIn, PositionX, PositionY, ColorR, ColorG, ColorB, ColorA, ScaleX, ScaleY, Pivot, Glitch,
    ShaderPath, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),
      param::image("Texture"),
      param::number("Position.X", 0.0f),
      param::number("Position.Y", 0.0f),
      param::number("Color.R", 1.0f),
      param::number("Color.G", 1.0f),
      param::number("Color.B", 1.0f),
      param::number("Color.A", 1.0f),
      param::number("Scale.X", 1.0f),
      param::number("Scale.Y", 1.0f),
      param::choice("Pivot", 0.0f, "Center|Left|Right|Bottom|BottomLeft|BottomRight|Top|TopLeft|TopRight"),
      param::number("Glitch", 0.0f),
      param::shader("Shader path", "data/shaders/sprite.hlsl"),
  };
  static_assert(std::size(kParams) == Count);

  SpriteOp();
  class SpriteFunction : public Function {
   public:
    SpriteFunction();
    ~SpriteFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    uint8_t notLoaded = 1;  // "Shader path" is read on the first evaluation only
    std::unique_ptr<ShaderProgram> program;
  };
};

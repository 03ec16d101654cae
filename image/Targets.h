#pragma once
// The image operators that decide where a picture is drawn: "Image" (a pooled target for
// this frame), "SlotIn" / "SlotOut" (a picture kept under an id, across frames too),
// "GBuffer" (a fresh G-buffer for the scene below) and "SplitGBuffer" (one G-buffer texture
// as the picture).
#include <cstdint>
#include <iterator>

#include "engine/Operator.h"

// The largest side of a texture the device takes.
constexpr uint32_t kMaxImageSide = 16384;

// The size an image operator asks for. A side of 0 takes the window's side, so "Size.X" 256
// with "Size.Y" 0 is 256 pixels wide and as high as the window; only with both sides 0 is
// the request screen-sized (the target then follows window resizes). Negative sides count as
// 0; sides above kMaxImageSide are capped.
struct RequestedSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool screenSized = false;
};
RequestedSize requestedSize(float sizeX, float sizeY, const Context& ctx);

class ImageOp : public Operator {
 public:
  enum In : uint32_t {
    ImageIn, ClearR, ClearG, ClearB, ClearA, Clear, SizeX, SizeY, ClearGBufferAfter, SetRegionToCurrentSize,
    Format, Count
  };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),
      param::number("Clear.R", 0.0f), param::number("Clear.G", 0.0f), param::number("Clear.B", 0.0f),
      param::number("Clear.A", 0.0f),
      param::boolean("Clear", true),
      param::number("Size.X", 0.0f), param::number("Size.Y", 0.0f),
      param::boolean("ClearGBufferAfter", false),
      param::boolean("SetRegionToCurrentSize", false),
      param::choice("Format", 0.0f, "RGBA16|RGBA8"),
  };
  static_assert(std::size(kParams) == Count);

  ImageOp();
  class ImageFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    Texture* target = nullptr;  // from the pool, taken again at every evaluation
    float sizeX = 0.0f;
    float sizeY = 0.0f;
  };
};

class SlotInOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, Id, ClearR, ClearG, ClearB, ClearA, Clear, SizeX, SizeY, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),
      param::integer("ID", 0.0f),
      param::number("Clear.R", 0.0f), param::number("Clear.G", 0.0f), param::number("Clear.B", 0.0f),
      param::number("Clear.A", 0.0f),
      param::boolean("Clear", true),
      param::number("Size.X", 0.0f), param::number("Size.Y", 0.0f),
  };
  static_assert(std::size(kParams) == Count);

  SlotInOp();
  class SlotInFunction : public Function {
   public:
    SlotInFunction() = default;
    ~SlotInFunction() override;  // drops the target and its slot entries
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    Texture* target = nullptr;  // owned; remade only when the requested pixels change
    RequestedSize made;         // what it was made for
    float sizeX = 0.0f;         // the parameters it was made for
    float sizeY = 0.0f;
  };
};

class SlotOutOp : public Operator {
 public:
  enum In : uint32_t { Id, Count };
  static constexpr ParamDecl kParams[] = {param::integer("ID", 0.0f)};
  static_assert(std::size(kParams) == Count);

  SlotOutOp();
  class SlotOutFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class GBufferOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, Count };
  static constexpr ParamDecl kParams[] = {param::image("ImageIn")};
  static_assert(std::size(kParams) == Count);

  GBufferOp();
  class GBufferFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class SplitGBufferOp : public Operator {
 public:
  enum In : uint32_t { InImage, Count };
  static constexpr ParamDecl kParams[] = {param::image("InImage")};
  static_assert(std::size(kParams) == Count);

  SplitGBufferOp();
  // One per output: its output number (0 albedo, 1 normal, 2 material, 3 emissive) picks the
  // G-buffer texture.
  class SplitFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

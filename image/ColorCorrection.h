#pragma once
// The colour-grading operators. Each runs one pass of the post-process manager over the
// current picture; the four CC operators take an optional mask picture ("MaskIn") that
// limits where the grade applies. An empty input picture makes them do nothing, without
// touching the ring. The formulas are in docs/colour-grading.md.
#include <cstdint>
#include <iterator>

#include "image/Effects.h"

class ColorCorrectionOp : public Operator {
 public:
  enum In : uint32_t {
    ImageIn,
    PreAddR, PreAddG, PreAddB,
    MulR, MulG, MulB,
    PowR, PowG, PowB,
    PostAddR, PostAddG, PostAddB,
    PostMulR, PostMulG, PostMulB,
    MinR, MinG, MinB,
    MaxR, MaxG, MaxB,
    Saturation,
    Preview,
    Count
  };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),
      param::number("R Pre Add", 0), param::number("G Pre Add", 0), param::number("B Pre Add", 0),
      param::number("R Mul", 1), param::number("G Mul", 1), param::number("B Mul", 1),
      param::number("R Pow", 1), param::number("G Pow", 1), param::number("B Pow", 1),
      param::number("R Post Add", 0), param::number("G Post Add", 0), param::number("B Post Add", 0),
      param::number("R Post Mul", 1), param::number("G Post Mul", 1), param::number("B Post Mul", 1),
      param::number("R Min", 0), param::number("G Min", 0), param::number("B Min", 0),
      param::number("R Max", 1), param::number("G Max", 1), param::number("B Max", 1),
      param::number("Saturation", 1),
      param::boolean("Preview", false),
  };
  static_assert(std::size(kParams) == In::Count);
  ColorCorrectionOp();
  ZV_EFFECT_FUNCTION(ColorCorrection);
};

class CCSplitToningOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, MaskIn, HiR, HiG, HiB, HiInfluence, Balance, LoR, LoG, LoB, LoInfluence, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),      param::image("MaskIn"),       param::number("Hi R", 1),
      param::number("Hi G", 1),     param::number("Hi B", 1),     param::number("Hi Influence", 1),
      param::number("Balance", 0.5f), param::number("Lo R", 0),   param::number("Lo G", 0),
      param::number("Lo B", 0),     param::number("Lo Influence", 1),
  };
  static_assert(std::size(kParams) == In::Count);
  CCSplitToningOp();
  ZV_EFFECT_FUNCTION(CCSplitToning);
};

class CCColorOp : public Operator {
 public:
  // Three ports per hue range (hue, saturation, luminance), ranges in CCRange order.
  enum In : uint32_t { ImageIn, MaskIn, FirstRange, Count = FirstRange + 24 };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),
      param::image("MaskIn"),
      param::number("Red HUE", 0), param::number("Red Saturation", 0), param::number("Red Luminance", 0),
      param::number("Orange HUE", 0), param::number("Orange Saturation", 0), param::number("Orange Luminance", 0),
      param::number("Yellow HUE", 0), param::number("Yellow Saturation", 0), param::number("Yellow Luminance", 0),
      param::number("Green HUE", 0), param::number("Green Saturation", 0), param::number("Green Luminance", 0),
      param::number("Aqua HUE", 0), param::number("Aqua Saturation", 0), param::number("Aqua Luminance", 0),
      param::number("Blue HUE", 0), param::number("Blue Saturation", 0), param::number("Blue Luminance", 0),
      param::number("Purple HUE", 0), param::number("Purple Saturation", 0), param::number("Purple Luminance", 0),
      param::number("Magenta HUE", 0), param::number("Magenta Saturation", 0),
      param::number("Magenta Luminance", 0),
  };
  static_assert(std::size(kParams) == In::Count);
  CCColorOp();
  ZV_EFFECT_FUNCTION(CCColor);
};

class CCHSLOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, MaskIn, Hue, Saturation, Luminance, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"), param::image("MaskIn"), param::number("HUE", 0), param::number("Saturation", 0),
      param::number("Luminance", 0)};
  static_assert(std::size(kParams) == In::Count);
  CCHSLOp();
  ZV_EFFECT_FUNCTION(CCHSL);
};

class CCToneOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, MaskIn, Exposure, Contrast, Highlights, Shadows, Whites, Blacks, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),      param::image("MaskIn"),        param::number("Exposure", 0),
      param::number("Contrast", 0), param::number("Highlights", 0), param::number("Shadows", 0),
      param::number("Whites", 0),   param::number("Blacks", 0)};
  static_assert(std::size(kParams) == In::Count);
  CCToneOp();
  ZV_EFFECT_FUNCTION(CCTone);
};

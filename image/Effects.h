#pragma once
// The effect operators of the post-process manager, and FXAA. Each evaluates its picture
// ("ImageIn"), reads its parameters into its manager block, takes its destination from the
// post-process ring and runs its pass; the destination becomes the Context image result.
//
// What each does with an empty input differs, and productions rely on it:
//   stop, ring untouched:            ToneMapping, Grain, Feedback, MotionBlur, FXAA
//   ring advanced, result unchanged: Bloom
//   ring advanced, result switched:  SSAO, GaussBlur, Invert, DOF (RadialBlur too, when it runs)
// RadialBlur with "Intensity" or "Radius" at or below 1e-5 passes its picture through
// without touching the ring.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>

#include "engine/Operator.h"
#include "image/PostProcessManager.h"
#include "scene/FrameSetup.h"

class Texture;

namespace effects {
// The picture left by evaluating input i.
Texture* evalImage(const std::vector<Port*>& sources, size_t i, float t, Context& ctx);
// Whether input i has at least one connection.
bool connected(const std::vector<Port*>& sources, size_t i);
// Inputs first, first + 1 and first + 2 as (r, g, b, 0), read in that order.
Float4 readRgb(const std::vector<Port*>& sources, size_t first, float t, Context& ctx);
// The picture of input 0 ("ImageIn") and, when input 1 ("MaskIn") has a connection, the
// picture its chain leaves as the mask; the picture is put back as the image result. False,
// with nothing more evaluated, when there is no picture.
bool pictureAndMask(const std::vector<Port*>& sources, float t, Context& ctx, Texture*& source, Texture*& mask);
// The next slot of the post-process ring that is neither empty nor `source`, advancing the
// ring index past every slot looked at (null after three slots without one).
Texture* nextRingTargetOtherThan(Context& ctx, const Texture* source);

// The end most effects share: the next ring image becomes the picture, drawn by
// pass(manager, destination) when there is a manager. A slot holding `source` is passed
// over: the ring's three images come round again after two generators, and a pass that
// draws into the picture it samples reads what it is writing (black on Vulkan).
template <typename Pass>
void drawIntoNextRingImage(Context& ctx, const Texture* source, Pass&& pass) {
  Texture* destination = nextRingTargetOtherThan(ctx, source);
  if (PostProcessManager* m = gPostProcessManager) pass(*m, destination);
  ctx.imageResult = destination;
}

// An input of an effect operator and the field of its manager block that it fills: one float
// input, or for a Float4 field the three inputs (r, g, b) from `input` on (w = 0).
template <typename Block, typename T = float>
struct Field {
  uint32_t input;
  T Block::*member;
};

// The values of a table of fields, read at t in table order (with or without a manager);
// storeInto writes them into the block when the pass is about to run.
template <typename Block, typename T, size_t N>
class Reading {
 public:
  Reading(const Field<Block, T> (&fields)[N], const std::vector<Port*>& s, float t, Context& ctx) : fields_(fields) {
    for (size_t i = 0; i < N; ++i) {
      if constexpr (std::is_same_v<T, Float4>)
        values_[i] = readRgb(s, fields[i].input, t, ctx);
      else
        values_[i] = evalFloat(s, fields[i].input, t, ctx);
    }
  }
  void storeInto(Block& block) const {
    for (size_t i = 0; i < N; ++i) block.*(fields_[i].member) = values_[i];
  }

 private:
  const Field<Block, T> (&fields_)[N];
  T values_[N];
};
}  // namespace effects

// The one output of an effect operator, depending on every input.
#define ZV_IMAGE_OUT(Op, Fn)                                            \
  do {                                                                  \
    addOutput("ImageOut", PortType::Image, std::make_unique<Op::Fn>()); \
    linkOutput();                                                       \
  } while (0)

#define ZV_EFFECT_FUNCTION(Name)                                                         \
  class Name##Function : public Function {                                               \
   public:                                                                               \
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;    \
  }

class ToneMappingOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, Exposure, Sharpen, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"), param::number("Exposure", 1.0f), param::number("Sharpen", 0.0f)};
  static_assert(std::size(kParams) == In::Count);
  ToneMappingOp();
  ZV_EFFECT_FUNCTION(ToneMapping);
};

class SSAOOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, Radius, FadeStart, FadeEnd, Power, SurfaceEpsilon, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),         param::number("Radius", 0.2f), param::number("FadeStart", 0.3f),
      param::number("FadeEnd", 8.0f),  param::number("Power", 1.0f),  param::number("SurfaceEpsilon", 0.08f)};
  static_assert(std::size(kParams) == In::Count);
  SSAOOp();
  ZV_EFFECT_FUNCTION(SSAO);
};

class BloomOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, ExtractThreshold, RadiusX, RadiusY, Intensity, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),         param::number("ExtractThreshold", 0.25f), param::number("RadiusX", 50.0f),
      param::number("RadiusY", 50.0f), param::number("Intensity", 1.0f)};
  static_assert(std::size(kParams) == In::Count);
  BloomOp();
  ZV_EFFECT_FUNCTION(Bloom);
};

class GaussBlurOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, Intensity, Radius, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"), param::number("Intensity", 1.0f), param::number("Radius", 50.0f)};
  static_assert(std::size(kParams) == In::Count);
  GaussBlurOp();
  ZV_EFFECT_FUNCTION(GaussBlur);
};

class RadialBlurOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, Intensity, Radius, CenterX, CenterY, CenterZ, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),       param::number("Intensity", 1.0f), param::number("Radius", 50.0f),
      param::number("CenterX", 0.0f), param::number("CenterY", 0.0f),  param::number("CenterZ", 0.0f)};
  static_assert(std::size(kParams) == In::Count);
  RadialBlurOp();
  ZV_EFFECT_FUNCTION(RadialBlur);
};

class InvertOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, MaskIn, Intensity, UseMaskImage, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"), param::image("MaskIn"), param::number("Intensity", 1.0f),
      param::boolean("UseMaskImage", false)};
  static_assert(std::size(kParams) == In::Count);
  InvertOp();
  ZV_EFFECT_FUNCTION(Invert);
};

class GrainOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, Strength, Contrast, ContrastStr, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"), param::number("Strength", 1.0f), param::number("Contrast", 0.0f),
      param::number("ContrastStr", 0.8f)};
  static_assert(std::size(kParams) == In::Count);
  GrainOp();
  ZV_EFFECT_FUNCTION(Grain);
};

class FeedbackOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, Influence, Intensity, NoiseStrength, NoiseFrequency, NoisePhase, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),
      param::number("Influence", 0.8f),
      param::number("Intensity", 1.0f),
      param::number("Noise Strength", 0.0f),
      param::number("Noise Frequency", 35.5f),
      param::number("Noise Phase", 0.0f)};
  static_assert(std::size(kParams) == In::Count);
  FeedbackOp();
  ZV_EFFECT_FUNCTION(Feedback);
};

class DOFOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, FocalLength, FocalPlane, Aperture, Count };
  // "Apreture" is the name productions store.
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"), param::number("FocalLength", 0.45f), param::number("FocalPlane", 1.0f),
      param::number("Apreture", 0.075f)};
  static_assert(std::size(kParams) == In::Count);
  DOFOp();
  ZV_EFFECT_FUNCTION(DOF);
};

class MotionBlurOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, MaskIn, Strength, Alpha, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"), param::image("MaskIn"), param::number("Strength", 10.0f),
      param::number("Alpha", 1.0f)};
  static_assert(std::size(kParams) == In::Count);
  MotionBlurOp();
  ~MotionBlurOp() override;
  ZV_EFFECT_FUNCTION(MotionBlur);
};

class FXAAOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, Count };
  static constexpr ParamDecl kParams[] = {param::image("ImageIn")};
  static_assert(std::size(kParams) == In::Count);
  FXAAOp();
  ZV_EFFECT_FUNCTION(FXAA);
};

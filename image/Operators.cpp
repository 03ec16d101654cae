#include "image/Operators.h"

#include "engine/Operator.h"
#include "image/Forward.h"
#include "image/ImageCameras.h"
#include "image/Routing.h"
#include "image/Targets.h"
#include "image/ColorCorrection.h"
#include "image/Effects.h"

namespace {
template <class T>
OperatorFactory* spawner() {
  static OpSpawner<T> s;
  return &s;
}
}  // namespace

void registerImageOperators() {
  // One line per type, grouped by family: OperatorRegistry::add("Name", spawner<NameOp>());
  OperatorRegistry::add("Image", spawner<ImageOp>());
  OperatorRegistry::add("SlotIn", spawner<SlotInOp>());
  OperatorRegistry::add("SlotOut", spawner<SlotOutOp>());
  OperatorRegistry::add("GBuffer", spawner<GBufferOp>());
  OperatorRegistry::add("SplitGBuffer", spawner<SplitGBufferOp>());
  OperatorRegistry::add("ImageEval", spawner<ImageEvalOp>());
  OperatorRegistry::add("ImageGroup", spawner<ImageGroupOp>());
  OperatorRegistry::add("TimeOffset", spawner<TimeOffsetOp>());
  OperatorRegistry::add("ImageCamera", spawner<ImageCameraOp>());
  OperatorRegistry::add("ImageTargetCam", spawner<ImageTargetCameraOp>());
  OperatorRegistry::add("ImageOrthoTargetCam", spawner<ImageOrthoTargetCameraOp>());
  OperatorRegistry::add("ImageCameraBlend", spawner<ImageCameraBlendOp>());
  OperatorRegistry::add("Forward", spawner<ForwardOp>());
  // Post-process effects
  OperatorRegistry::add("ToneMapping", spawner<ToneMappingOp>());
  OperatorRegistry::add("SSAO", spawner<SSAOOp>());
  OperatorRegistry::add("Bloom", spawner<BloomOp>());
  OperatorRegistry::add("GaussBlur", spawner<GaussBlurOp>());
  OperatorRegistry::add("RadialBlur", spawner<RadialBlurOp>());
  OperatorRegistry::add("Invert", spawner<InvertOp>());
  OperatorRegistry::add("Grain", spawner<GrainOp>());
  OperatorRegistry::add("Feedback", spawner<FeedbackOp>());
  OperatorRegistry::add("DOF", spawner<DOFOp>());
  OperatorRegistry::add("MotionBlur", spawner<MotionBlurOp>());
  OperatorRegistry::add("FXAA", spawner<FXAAOp>());
  // Colour correction
  OperatorRegistry::add("ColorCorrection", spawner<ColorCorrectionOp>());
  OperatorRegistry::add("CCSplitToning", spawner<CCSplitToningOp>());
  OperatorRegistry::add("CCColor", spawner<CCColorOp>());
  OperatorRegistry::add("CCHSL", spawner<CCHSLOp>());
  OperatorRegistry::add("CCTone", spawner<CCToneOp>());
}

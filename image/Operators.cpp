#include "image/Operators.h"

#include "engine/Operator.h"
#include "image/ColorCorrection.h"
#include "image/Compositing.h"
#include "image/DepthRecordings.h"
#include "image/Effects.h"
#include "image/Forward.h"
#include "image/Generators.h"
#include "image/ImageCameras.h"
#include "image/PixelSorting.h"
#include "image/Routing.h"
#include "image/SSFluids.h"
#include "image/ScreenSpace.h"
#include "image/Targets.h"

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
  // Compositing and generators
  OperatorRegistry::add("Blend", spawner<BlendOp>());
  OperatorRegistry::add("MaskImage", spawner<MaskImageOp>());
  OperatorRegistry::add("Sprite", spawner<SpriteOp>());
  OperatorRegistry::add("Radial", spawner<RadialOp>());
  OperatorRegistry::add("Gradient", spawner<GradientOp>());
  OperatorRegistry::add("ImageShader", spawner<ImageShaderOp>());
  OperatorRegistry::add("Engraver", spawner<EngraverOp>());
  OperatorRegistry::add("Fog", spawner<FogOp>());
  // Screen-space effects
  OperatorRegistry::add("SSR", spawner<SSROp>());
  OperatorRegistry::add("PixelSorting", spawner<PixelSortingOp>());
  OperatorRegistry::add("SSFluids", spawner<SSFluidsOp>());
  // Depth recordings
  OperatorRegistry::add("XEDDepth", spawner<XEDDepthOp>());
  OperatorRegistry::add("AXEDDepth", spawner<AXEDDepthOp>());
}

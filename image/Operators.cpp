#include "image/Operators.h"

#include "engine/Operator.h"
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

#include "image/Operators.h"

#include "engine/Operator.h"
#include "image/Forward.h"
#include "image/ImageCameras.h"
#include "image/Routing.h"
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
}

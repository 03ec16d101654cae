#include "scene/Operators.h"

#include "engine/Operator.h"
#include "scene/Cameras.h"
#include "scene/Grouping.h"
#include "scene/Transforms.h"

namespace {
template <class T>
OperatorFactory* spawner() {
  static OpSpawner<T> s;
  return &s;
}
}  // namespace

void registerSceneOperators() {
  // One line per type, grouped by family: OperatorRegistry::add("Name", spawner<NameOp>());
  OperatorRegistry::add("Camera", spawner<CameraOp>());
  OperatorRegistry::add("TargetCamera", spawner<TargetCameraOp>());
  OperatorRegistry::add("Group", spawner<GroupOp>());
  OperatorRegistry::add("Transform", spawner<TransformOp>());
  OperatorRegistry::add("Repeat", spawner<RepeatOp>());
  OperatorRegistry::add("Replicate", spawner<ReplicateOp>());
  OperatorRegistry::add("Eval", spawner<SceneEvalOp>());
}

#include "scene/Operators.h"

#include "engine/Operator.h"
#include "scene/Cameras.h"
#include "scene/Decals.h"
#include "scene/Destruction.h"
#include "scene/Forces.h"
#include "scene/Generators.h"
#include "scene/Grouping.h"
#include "scene/InstancedMeshes.h"
#include "scene/LightPasses.h"
#include "scene/Lights.h"
#include "scene/Materials.h"
#include "scene/MeshOperators.h"
#include "scene/Primitives.h"
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
  // Cameras and structure.
  OperatorRegistry::add("Camera", spawner<CameraOp>());
  OperatorRegistry::add("TargetCamera", spawner<TargetCameraOp>());
  OperatorRegistry::add("Group", spawner<GroupOp>());
  OperatorRegistry::add("Transform", spawner<TransformOp>());
  OperatorRegistry::add("Repeat", spawner<RepeatOp>());
  OperatorRegistry::add("Replicate", spawner<ReplicateOp>());
  OperatorRegistry::add("Eval", spawner<SceneEvalOp>());

  // Primitives.
  OperatorRegistry::add("Cube", spawner<CubeOp>());
  OperatorRegistry::add("Cone", spawner<ConeOp>());
  OperatorRegistry::add("Quad", spawner<QuadOp>());
  OperatorRegistry::add("Cylinder", spawner<CylinderOp>());
  OperatorRegistry::add("Sphere", spawner<SphereOp>());
  OperatorRegistry::add("Dome", spawner<DomeOp>());
  OperatorRegistry::add("Prism", spawner<PrismOp>());
  // Shader-driven generators.
  OperatorRegistry::add("PointGrid", spawner<PointGridOp>());
  OperatorRegistry::add("Corruption", spawner<CorruptionOp>());
  OperatorRegistry::add("ProcMesh", spawner<ProcMeshOp>());
  // Materials.
  OperatorRegistry::add("Material", spawner<MaterialOp>());
  OperatorRegistry::add("CustomMaterial", spawner<CustomMaterialOp>());
  // Attractors and colliders.
  OperatorRegistry::add("Attractor", spawner<AttractorOp>());
  OperatorRegistry::add("Collider", spawner<ColliderOp>());
  // Lights and the passes that light scenes.
  OperatorRegistry::add("DirLight", spawner<DirLightOp>());
  OperatorRegistry::add("PointLight", spawner<PointLightOp>());
  OperatorRegistry::add("SpotLight", spawner<SpotLightOp>());
  OperatorRegistry::add("LightPass", spawner<LightPassOp>());
  OperatorRegistry::add("Transparency", spawner<TransparencyPassOp>());
  // Decals and ray marching into the G-buffer.
  OperatorRegistry::add("Decal", spawner<DecalOp>());
  OperatorRegistry::add("FSDecal", spawner<FSDecalOp>());
  OperatorRegistry::add("RayMarching", spawner<RayMarchingOp>());
  // Assets from files, instancing and destruction.
  OperatorRegistry::add("Mesh", spawner<MeshOp>());
  OperatorRegistry::add("LWO", spawner<LWOOp>());
  OperatorRegistry::add("Texture", spawner<TextureOp>());
  OperatorRegistry::add("RepeatInst", spawner<RepeatInstOp>());
  OperatorRegistry::add("ReplicateInst", spawner<ReplicateInstOp>());
  OperatorRegistry::add("DestructMesh", spawner<DestructMeshOp>());
  OperatorRegistry::add("DynaMesh", spawner<DynaMeshOp>());
}

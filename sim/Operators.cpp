#include "sim/Operators.h"

#include "engine/Operator.h"
#include "sim/Cloth.h"
#include "sim/Fluid.h"
#include "sim/Particles.h"

namespace {
template <class T>
OperatorFactory* spawner() {
  static OpSpawner<T> s;
  return &s;
}
}  // namespace

void registerSimOperators() {
  // Particles.
  OperatorRegistry::add("ParticleSystem", spawner<sim::ParticleSysOp>());
  OperatorRegistry::add("SphereEmitter", spawner<sim::SphereEmitterOp>());
  OperatorRegistry::add("BoxEmitter", spawner<sim::BoxEmitterOp>());
  OperatorRegistry::add("CurlNoise", spawner<sim::CurlNoiseOp>());
  OperatorRegistry::add("ParticleRender", spawner<sim::ParticleRendererOp>());
  OperatorRegistry::add("SmokeRender", spawner<sim::SmokeRendererOp>());
  // Fluid.
  OperatorRegistry::add("SPH", spawner<sim::SPHOp>());
  // Cloth.
  OperatorRegistry::add("Cloth", spawner<sim::ClothOp>());
  OperatorRegistry::add("ClothMesh", spawner<sim::ClothMeshOp>());
}

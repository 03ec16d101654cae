#include "engine/FloatOperators.h"
#include "engine/GraphOp.h"
#include "engine/Operator.h"

namespace {

template <class T>
OperatorFactory* spawner() {
  static OpSpawner<T> s;
  return &s;
}

// The engine's own types, in the order of the registry table.
template <class Add>
void engineOperators(Add&& add) {
  add("Sin", spawner<SinOp>());
  add("Time", spawner<TimeOp>());
  add("Var", spawner<VarOp>());
  add("Add", spawner<AddOp>());
  add("Sub", spawner<SubOp>());
  add("Mul", spawner<MulOp>());
  add("Div", spawner<DivOp>());
  add("Floor", spawner<FloorOp>());
  add("Mod", spawner<ModOp>());
  add("Abs", spawner<AbsOp>());
  add("Clamp", spawner<ClampOp>());
  add("Pow", spawner<PowOp>());
  add("Sign", spawner<SignOp>());
  add("Rand", spawner<RandOp>());
  add("RGBALerp", spawner<RGBALerpOp>());
  add("HSV2RGB", spawner<HSV2RGBOp>());
  add("CameraShake", spawner<CamShakeOp>());
  add("Graph", spawner<GraphOp>());
}

}  // namespace

OperatorRegistry::Map& OperatorRegistry::map() {
  // Created on first use (thread-safe static initialisation) with the engine's types
  // already in it, so they are there whatever the linker kept.
  static Map m = [] {
    Map init;
    engineOperators([&init](const char* name, OperatorFactory* f) { init.emplace(name, f); });
    return init;
  }();
  return m;
}

bool OperatorRegistry::add(const std::string& name, OperatorFactory* factory) {
  if (!factory) return false;
  return map().emplace(name, factory).second;
}

OperatorFactory* OperatorRegistry::find(const std::string& name) {
  const Map& m = map();
  auto it = m.find(name);
  return it == m.end() ? nullptr : it->second;
}

const OperatorRegistry::Map& OperatorRegistry::entries() { return map(); }

void registerEngineOperators() {
  engineOperators([](const char* name, OperatorFactory* f) { OperatorRegistry::add(name, f); });
}

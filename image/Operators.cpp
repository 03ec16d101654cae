#include "image/Operators.h"

#include "engine/Operator.h"

namespace {
template <class T>
OperatorFactory* spawner() {
  static OpSpawner<T> s;
  return &s;
}
}  // namespace

void registerImageOperators() {
  // One line per type, grouped by family: OperatorRegistry::add("Name", spawner<NameOp>());
}

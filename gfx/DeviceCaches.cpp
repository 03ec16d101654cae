#include "gfx/DeviceCaches.h"

#include <algorithm>
#include <vector>

namespace {
// Never destroyed: a Device that lives until the process ends (a static one) is deleted
// after the statics made before it, and still calls what is registered here.
std::vector<ForgetDeviceObjects>& registered() {
  static auto* list = new std::vector<ForgetDeviceObjects>();
  return *list;
}
}  // namespace

void onDeviceGone(ForgetDeviceObjects forget) {
  auto& list = registered();
  if (forget && std::find(list.begin(), list.end(), forget) == list.end()) list.push_back(forget);
}

void forgetDeviceObjects(Device* device) {
  for (ForgetDeviceObjects forget : registered()) forget(device);
}

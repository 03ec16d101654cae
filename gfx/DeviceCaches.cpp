#include "gfx/DeviceCaches.h"

#include <algorithm>
#include <vector>

namespace {
std::vector<ForgetDeviceObjects>& registered() {
  static std::vector<ForgetDeviceObjects> list;
  return list;
}
}  // namespace

void onDeviceGone(ForgetDeviceObjects forget) {
  auto& list = registered();
  if (forget && std::find(list.begin(), list.end(), forget) == list.end()) list.push_back(forget);
}

void forgetDeviceObjects(Device* device) {
  for (ForgetDeviceObjects forget : registered()) forget(device);
}

// The choice of the physical device: ZV_DEVICE may name one, otherwise discrete GPUs come first;
// each device gets a line saying whether it was chosen, passed over (and why) or not chosen.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "gfx/vulkan/Backend.h"

namespace gfxbackend {

namespace {

const char* typeText(VkPhysicalDeviceType t) {
  switch (t) {
    case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU: return "discrete GPU";
    case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU: return "integrated GPU";
    case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU: return "virtual GPU";
    case VK_PHYSICAL_DEVICE_TYPE_CPU: return "CPU driver";
    default: return "device";
  }
}

int rank(VkPhysicalDeviceType t) {
  switch (t) {
    case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU: return 4;
    case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU: return 3;
    case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU: return 2;
    case VK_PHYSICAL_DEVICE_TYPE_CPU: return 1;
    default: return 0;
  }
}

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

int chooseDevice(const std::vector<DeviceCandidate>& devices, const char* wanted, std::string& log) {
  int best = -1;
  for (size_t i = 0; i < devices.size(); ++i)
    if (devices[i].problem.empty() && (best < 0 || rank(devices[i].type) > rank(devices[size_t(best)].type)))
      best = int(i);
  // ZV_DEVICE: an index, or part of the name in any case.
  const std::string want = wanted ? std::string(wanted) : std::string();
  if (!want.empty()) {
    int named = -1;
    const bool number = want.find_first_not_of("0123456789") == std::string::npos;
    for (size_t i = 0; i < devices.size() && named < 0; ++i)
      if (number ? std::to_string(i) == want : lower(devices[i].name).find(lower(want)) != std::string::npos)
        named = int(i);
    char line[320];
    if (named < 0) {
      std::snprintf(line, sizeof(line), "ZV_DEVICE=%s names no Vulkan device; choosing one\n", want.c_str());
      log += line;
    } else if (!devices[size_t(named)].problem.empty()) {
      std::snprintf(line, sizeof(line), "ZV_DEVICE=%s names %s, which cannot be used (%s); choosing another\n",
                    want.c_str(), devices[size_t(named)].name.c_str(), devices[size_t(named)].problem.c_str());
      log += line;
    } else {
      best = named;
    }
  }
  for (size_t i = 0; i < devices.size(); ++i) {
    char line[384];
    const DeviceCandidate& c = devices[i];
    if (int(i) == best)
      std::snprintf(line, sizeof(line), "Vulkan device %zu: %s (%s), chosen\n", i, c.name.c_str(), typeText(c.type));
    else if (!c.problem.empty())
      std::snprintf(line, sizeof(line), "Vulkan device %zu: %s (%s), passed over: %s\n", i, c.name.c_str(),
                    typeText(c.type), c.problem.c_str());
    else
      std::snprintf(line, sizeof(line), "Vulkan device %zu: %s (%s), not chosen\n", i, c.name.c_str(), typeText(c.type));
    log += line;
  }
  if (best < 0) log += devices.empty() ? "Vulkan: no device found\n" : "Vulkan: no usable device\n";
  return best;
}

}  // namespace gfxbackend

#include "gfx/MemoryBudget.h"

#include <algorithm>
#include <cstdio>

#include "gfx/Device.h"
#include "gfx/FatalError.h"
#include "gfx/vulkan/Backend.h"

void setMemoryOwner(Device* device, const std::string& owner) {
  if (device && device->impl()) device->impl()->memoryOwner = owner;
}

void attributeMemory(Device* device, const std::string& owner) {
  if (!device || !device->impl()) return;
  gfxbackend::DeviceImpl& d = *device->impl();
  if (d.unattributedBytes) d.memoryByOwner[owner] += d.unattributedBytes;
  d.unattributedBytes = 0;
}

std::vector<MemoryDemand> memoryDemands(Device* device) {
  std::vector<MemoryDemand> out;
  if (!device || !device->impl()) return out;
  for (const auto& [owner, bytes] : device->impl()->memoryByOwner) out.push_back({owner, bytes});
  std::stable_sort(out.begin(), out.end(), [](const MemoryDemand& a, const MemoryDemand& b) { return a.bytes > b.bytes; });
  return out;
}

uint64_t refusedMemory(Device* device) { return device && device->impl() ? device->impl()->refusedBytes : 0; }

void checkMemoryAfterLoading(Device* device) {
  if (!device || !device->impl() || device->impl()->refusals == 0) return;
  const gfxbackend::DeviceImpl& d = *device->impl();
  auto mib = [](uint64_t bytes) { return double(bytes) / (1024.0 * 1024.0); };
  std::string biggest;
  const std::vector<MemoryDemand> demands = memoryDemands(device);
  for (size_t i = 0; i < demands.size() && i < 3; ++i) {
    char part[160];
    std::snprintf(part, sizeof(part), "%s%s (%.1f MiB)", i ? ", " : "", demands[i].owner.c_str(), mib(demands[i].bytes));
    biggest += part;
  }
  char text[640];
  std::snprintf(text, sizeof(text),
                "This production needs more GPU memory than the device has: %u targets (%.1f MiB) did not fit in "
                "its budget of %.1f MiB%s%s",
                d.refusals, mib(d.refusedBytes), mib(d.limits.memoryBudget),
                biggest.empty() ? "" : "; the operators that ask for the most: ", biggest.c_str());
  fatalError(text);
}

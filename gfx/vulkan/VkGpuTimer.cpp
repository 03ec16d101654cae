#include "gfx/GpuTimer.h"

#include <vector>

#include "gfx/Device.h"
#include "gfx/vulkan/Backend.h"

using gfxbackend::DeviceImpl;

struct GpuTimer::Impl {
  DeviceImpl* d = nullptr;
  VkQueryPool pool = VK_NULL_HANDLE;
  uint32_t capacity = 0;  // spans
  uint32_t used = 0;
  bool reset = false;     // a reset of the pool is recorded for this frame
  double msPerTick = 0;
  uint64_t validMask = ~0ull;
  std::vector<uint64_t> stamps;
};

GpuTimer::GpuTimer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<GpuTimer> GpuTimer::create(Device* device, uint32_t maxSpansPerFrame) {
  if (!device || !device->impl() || maxSpansPerFrame == 0) return nullptr;
  DeviceImpl& d = *device->impl();
  uint32_t count = 0;
  vkGetPhysicalDeviceQueueFamilyProperties(d.physical, &count, nullptr);
  std::vector<VkQueueFamilyProperties> families(count);
  vkGetPhysicalDeviceQueueFamilyProperties(d.physical, &count, families.data());
  if (d.queueFamily >= count) return nullptr;
  const uint32_t validBits = families[d.queueFamily].timestampValidBits;
  const float period = d.properties.limits.timestampPeriod;
  if (validBits == 0 || !(period > 0.0f)) return nullptr;

  auto impl = std::make_unique<Impl>();
  impl->d = &d;
  impl->capacity = maxSpansPerFrame;
  impl->msPerTick = double(period) * 1e-6;
  impl->validMask = validBits >= 64 ? ~0ull : ((1ull << validBits) - 1);
  VkQueryPoolCreateInfo info{VK_STRUCTURE_TYPE_QUERY_POOL_CREATE_INFO};
  info.queryType = VK_QUERY_TYPE_TIMESTAMP;
  info.queryCount = maxSpansPerFrame * 2;
  if (vkCreateQueryPool(d.device, &info, nullptr, &impl->pool) != VK_SUCCESS) return nullptr;
  return std::unique_ptr<GpuTimer>(new GpuTimer(std::move(impl)));
}

GpuTimer::~GpuTimer() {
  if (impl_ && impl_->pool && impl_->d && impl_->d->device) {
    DeviceImpl& d = *impl_->d;
    VkDevice device = d.device;
    VkQueryPool pool = impl_->pool;
    // The pool may be named in work still in flight: it goes with the frame's deletions.
    d.deferDelete([device, pool] { vkDestroyQueryPool(device, pool, nullptr); });
  }
}

void GpuTimer::beginFrame() {
  impl_->used = 0;
  impl_->reset = false;
}

int GpuTimer::begin() {
  Impl& t = *impl_;
  if (t.used >= t.capacity) return -1;
  VkCommandBuffer cmd = t.d->cmd();
  if (!t.reset) {
    // A reset may not sit inside a rendering instance.
    if (t.d->endRenderingHook) t.d->endRenderingHook();
    vkCmdResetQueryPool(cmd, t.pool, 0, t.capacity * 2);
    t.reset = true;
  }
  vkCmdWriteTimestamp(cmd, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, t.pool, t.used * 2);
  return int(t.used++);
}

void GpuTimer::end(int span) {
  Impl& t = *impl_;
  if (span < 0 || uint32_t(span) >= t.used) return;
  vkCmdWriteTimestamp(t.d->cmd(), VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT, t.pool, uint32_t(span) * 2 + 1);
}

uint32_t GpuTimer::spansThisFrame() const { return impl_->used; }

bool GpuTimer::read(std::vector<double>& ms) {
  ms.clear();
  Impl& t = *impl_;
  if (t.used == 0) return true;
  t.stamps.resize(size_t(t.used) * 4);  // value and availability for each query
  const VkResult r = vkGetQueryPoolResults(t.d->device, t.pool, 0, t.used * 2, t.stamps.size() * sizeof(uint64_t),
                                           t.stamps.data(), 2 * sizeof(uint64_t),
                                           VK_QUERY_RESULT_64_BIT | VK_QUERY_RESULT_WITH_AVAILABILITY_BIT);
  if (r != VK_SUCCESS) return false;
  ms.resize(t.used);
  for (uint32_t i = 0; i < t.used; ++i) {
    const uint64_t* begin = &t.stamps[size_t(i) * 4];
    const uint64_t* end = begin + 2;
    if (!begin[1] || !end[1]) {  // a span left open, or work not finished
      ms.clear();
      return false;
    }
    const uint64_t ticks = ((end[0] & t.validMask) - (begin[0] & t.validMask)) & t.validMask;
    ms[i] = double(ticks) * t.msPerTick;
  }
  return true;
}

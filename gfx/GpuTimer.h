#pragma once
// GPU time of spans of recorded work, from Vulkan timestamp queries, for profiling. Only a
// profiling run makes a timer: without one nothing is written into the command stream. A
// frame's spans are opened and closed while its work is recorded (spans may nest; each
// measures everything recorded between its begin and end) and read once the frame has
// finished on the GPU. The query pool is made once, so timing adds no GPU object per frame.
#include <cstdint>
#include <memory>
#include <vector>

class Device;

class GpuTimer {
 public:
  // Null when the device's queue writes no timestamps (the profile then has CPU times only).
  static std::unique_ptr<GpuTimer> create(Device* device, uint32_t maxSpansPerFrame);
  ~GpuTimer();  // before the Device goes
  GpuTimer(const GpuTimer&) = delete;
  GpuTimer& operator=(const GpuTimer&) = delete;

  // Starts a frame: the previous frame's spans are forgotten.
  void beginFrame();
  // Opens a span; its index in this frame, or -1 when the frame's spans are used up (the
  // operator is then profiled on the CPU only).
  int begin();
  void end(int span);
  uint32_t spansThisFrame() const;
  // After the frame's work has finished (Device::waitIdle): each span's milliseconds in the
  // order the spans were opened. False (and `ms` empty) when results are not available.
  bool read(std::vector<double>& ms);

  struct Impl;

 private:
  explicit GpuTimer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

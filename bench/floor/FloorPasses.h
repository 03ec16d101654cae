#pragma once
// The floor a full-screen pass can reach on this device: a Vulkan program of its own (no
// player code) that draws full-screen passes into an RGBA16F target, each reading an RGBA16F
// picture k times through a bilinear sampler with a multiply-add per fetch. Effects are
// measured against it in the same run, so that drift between runs cancels out.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace floorpass {

struct FloorTiming {
  double wallMsPerPass = 0;  // submit to fence, divided by the passes
  double gpuMsPerPass = -1;  // from timestamps around each pass; -1 without timestamp support
};

class FloorRig {
 public:
  FloorRig(uint32_t width, uint32_t height);
  ~FloorRig();
  FloorRig(const FloorRig&) = delete;
  FloorRig& operator=(const FloorRig&) = delete;

  // Empty when the device is ready; otherwise what failed.
  const std::string& error() const { return error_; }
  bool timestampsSupported() const;

  // Records `passes` passes of k fetches each (ping-ponging between two targets, a barrier
  // between passes, as a chain of effects does), submits them once and waits.
  FloorTiming run(int fetches, int passes);

  // The value the last pass wrote at the target's centre (red), read back; lets a test see
  // that the passes really sample the picture.
  float centreRed();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string error_;
};

// The GLSL fragment shader of a floor pass with k fetches (kept visible for tests).
std::string floorFragmentSource(int fetches);

// Floor milliseconds for a pass of `fetches` fetches over `areaFraction` of the full target,
// interpolated linearly between measured fetch counts (and extrapolated from the last two).
double interpolateFloor(const std::map<int, double>& msByFetches, double fetches, double areaFraction = 1.0);

}  // namespace floorpass

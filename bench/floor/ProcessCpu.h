#pragma once
// CPU time of the whole process (every thread: the CPU driver's rasterising threads too).
// On a machine shared with other work, wall time grows with every other process that runs,
// while the CPU time a pass consumes barely does: the benchmarks report both.
#include <ctime>

namespace floorpass {

inline double processCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

}  // namespace floorpass

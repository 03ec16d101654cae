// The floor: full-screen passes at 1280 x 720 (RGBA16F read, RGBA16F written) with k bilinear
// fetches each, drawn by a Vulkan program of its own. Ten passes are recorded and submitted
// at once; the reported time is the wall time per pass, with the timestamps' figure beside it.
#include <benchmark/benchmark.h>

#include <memory>

#include "bench/floor/FloorPasses.h"
#include "bench/floor/ProcessCpu.h"

namespace {

constexpr int kPassesPerSubmit = 10;

floorpass::FloorRig& rig() {
  static floorpass::FloorRig instance(1280, 720);
  return instance;
}

void BM_Floor(benchmark::State& state) {
  floorpass::FloorRig& r = rig();
  const int fetches = int(state.range(0));
  r.run(fetches, 2);  // pipeline and first touch of the targets
  if (!r.error().empty()) {
    state.SkipWithError(r.error().c_str());
    return;
  }
  double gpu = 0;
  const double cpuStart = floorpass::processCpuMs();
  for (auto _ : state) {
    const floorpass::FloorTiming t = r.run(fetches, kPassesPerSubmit);
    state.SetIterationTime(t.wallMsPerPass * 1e-3);
    gpu += t.gpuMsPerPass;
  }
  state.counters["cpu_ms"] = (floorpass::processCpuMs() - cpuStart) / double(state.iterations() * kPassesPerSubmit);
  if (r.timestampsSupported()) state.counters["gpu_ms_per_pass"] = gpu / double(state.iterations());
}
BENCHMARK(BM_Floor)->ArgName("fetches")->Arg(1)->Arg(4)->Arg(16)->Arg(32)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

// The frame-budget run: the floors (BM_Floor, fetches 1, 4, 16, 32) and the effects'
// benchmarks in one process, then a table of each effect's time over the floor of its own
// passes. Run from the repository root. With --benchmark_repetitions=N the table takes the
// fastest of the N runs of each benchmark (the machine is shared; the minimum is the figure
// least disturbed by other work).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench/floor/BudgetTable.h"
#include "bench/floor/FloorPasses.h"

namespace {

class BudgetReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
      const double ms = run.GetAdjustedRealTime() * benchmark::GetTimeUnitMultiplier(benchmark::kMillisecond) /
                        benchmark::GetTimeUnitMultiplier(run.time_unit);
      auto [it, fresh] = best_.emplace(run.benchmark_name(), ms);
      if (!fresh) it->second = std::min(it->second, ms);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::map<int, double> floors;
    std::map<std::string, double> effects;
    for (const auto& [name, ms] : best_) {
      const std::string prefix = "BM_Floor/fetches:";
      if (name.rfind(prefix, 0) == 0) floors[std::atoi(name.c_str() + prefix.size())] = ms;
      else effects[name] = ms;
    }
    std::printf("\n%s", budget::formatTable(floors, effects).c_str());
  }

 private:
  std::map<std::string, double> best_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  BudgetReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

// The frame-budget run: the floors (BM_Floor, fetches 1, 4, 16, 32) and the effects'
// benchmarks in one process, then a table of each effect's time over the floor of its own
// passes. Run from the repository root. With --benchmark_repetitions=N the table takes the
// fastest of the N runs of each benchmark (the machine is shared; the minimum is the figure
// least disturbed by other work). A second table does the same with the CPU time of the
// whole process, which other processes on the machine disturb far less than wall time.
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
      auto cpu = run.counters.find("cpu_ms");
      if (cpu != run.counters.end()) {
        auto [c, first] = bestCpu_.emplace(run.benchmark_name(), double(cpu->second));
        if (!first) c->second = std::min(c->second, double(cpu->second));
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    auto print = [](const char* title, const std::map<std::string, double>& times) {
      std::map<int, double> floors;
      std::map<std::string, double> effects;
      for (const auto& [name, ms] : times) {
        const std::string prefix = "BM_Floor/fetches:";
        if (name.rfind(prefix, 0) == 0) floors[std::atoi(name.c_str() + prefix.size())] = ms;
        else effects[name] = ms;
      }
      std::printf("\n%s\n%s", title, budget::formatTable(floors, effects).c_str());
    };
    print("Wall time:", best_);
    if (!bestCpu_.empty()) print("CPU time of the whole process (the driver's threads included):", bestCpu_);
  }

 private:
  std::map<std::string, double> best_;
  std::map<std::string, double> bestCpu_;
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

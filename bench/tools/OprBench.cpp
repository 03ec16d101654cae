// Building a production from its JSON source must grow linearly with the number of
// operators: a long list once cost a rescan of the whole list at every closing brace.
#include <benchmark/benchmark.h>

#include <string>

#include "engine/Project.h"
#include "tools/opr/JsonProduction.h"

namespace {

// One graph of n operators, each with a parameter, and a span showing it.
std::string source(int64_t n) {
  std::string text = "{\"graphs\": [{\"id\": 1, \"operators\": [\n";
  for (int64_t i = 0; i < n; ++i) {
    text += i ? ",\n" : "";
    text += "  {\"type\": \"Var\", \"params\": {\"Value\": " + std::to_string(i) + "}}";
  }
  return text + "\n]}], \"tracks\": [[{\"graph\": 1, \"start\": 0, \"end\": 10}]]}\n";
}

void BM_BuildFromJson(benchmark::State& state) {
  const std::string text = source(state.range(0));
  for (auto _ : state) {
    Project project;
    setCurrentProject(&project);
    std::string error;
    if (!buildProjectFromJson(text, "bench.json", project, error)) state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(project.graphs.size());
    setCurrentProject(nullptr);
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BuildFromJson)->RangeMultiplier(4)->Range(1000, 64000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

}  // namespace

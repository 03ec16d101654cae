// Evaluating and loading large graphs of float operators; both must grow linearly with
// the number of operators.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "project/ProjectLoader.h"

namespace {

// A balanced tree of about n operators: one Time feeding n/2 Sin leaves, combined pairwise
// by alternating Add and Mul up to one root, which feeds the graph's FinalOutput.
Operator* buildTree(OperatorGraph& g, int64_t n) {
  Operator* time = g.createOperator("Time");
  std::vector<Operator*> level;
  const int64_t leaves = std::max<int64_t>(1, n / 2);
  for (int64_t i = 0; i < leaves; ++i) {
    Operator* sin = g.createOperator("Sin");
    g.connect(*time, "FloatOut", *sin, "Value");
    level.push_back(sin);
  }
  bool add = true;
  while (level.size() > 1) {
    std::vector<Operator*> next;
    for (size_t i = 0; i + 1 < level.size(); i += 2) {
      Operator* op = g.createOperator(add ? "Add" : "Mul");
      add = !add;
      g.connect(*level[i], "FloatOut", *op, "Value 1");
      g.connect(*level[i + 1], "FloatOut", *op, "Value 2");
      next.push_back(op);
    }
    if (level.size() % 2) next.push_back(level.back());
    level.swap(next);
  }
  return level[0];
}

void BM_EvaluateFloatTree(benchmark::State& state) {
  OperatorGraph g;
  g.createGraphEnds();
  Operator* root = buildTree(g, state.range(0));
  Context ctx;
  float t = 0;
  for (auto _ : state) {
    root->outputs[0].evaluate(t, ctx);
    benchmark::DoNotOptimize(ctx.floatResult);
    t += 1.0f / 60.0f;
  }
  state.counters["operators"] = static_cast<double>(g.operators.size());
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(g.operators.size()));
}
BENCHMARK(BM_EvaluateFloatTree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

std::string productionFile(int64_t n) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("zv_bench_" + std::to_string(n) + "_" + std::to_string(::getpid()) + ".opr_b"))
                               .string();
  Project p;
  OperatorGraph& g = *p.graphs[0];
  buildTree(g, n);
  saveProjectFile(path, p);
  return path;
}

void BM_LoadProduction(benchmark::State& state) {
  const std::string path = productionFile(state.range(0));
  size_t operators = 0;
  for (auto _ : state) {
    Project p;
    if (!loadProjectFile(path, p)) state.SkipWithError("load failed");
    operators = p.graphs.empty() ? 0 : p.graphs[0]->operators.size();
    benchmark::DoNotOptimize(operators);
  }
  std::remove(path.c_str());
  state.counters["operators"] = static_cast<double>(operators);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(operators));
}
BENCHMARK(BM_LoadProduction)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

// Reading and writing the tree of a production with n operators, without the engine: what
// the file layer costs of a production load (bench/engine measures the whole load).
#include <benchmark/benchmark.h>

#include <cstring>
#include <sstream>
#include <string>

#include "treefile/TreeFile.h"

namespace {

void setFloat(TreeNode& parent, const char* name, float v) {
  TreeNode& n = parent.getOrCreateChild(name, 0);
  n.type = NodeType::Float;
  n.value.resize(4);
  std::memcpy(n.value.data(), &v, 4);
}

void setInt(TreeNode& parent, const char* name, int32_t v) {
  TreeNode& n = parent.getOrCreateChild(name, 0);
  n.type = NodeType::Int;
  n.value.resize(4);
  std::memcpy(n.value.data(), &v, 4);
}

void setText(TreeNode& parent, const char* name, const std::string& s) {
  TreeNode& n = parent.getOrCreateChild(name, 0);
  n.type = NodeType::String;
  n.value.assign(s.begin(), s.end());
}

// One graph of n operators shaped as the engine writes them: five parameters and one
// connection each.
std::string productionBytes(int64_t n) {
  TreeFile f;
  TreeNode& g = f.root().getOrCreateChild("graph", 0);
  setInt(g, "id", 1);
  setText(g, "name", "bench");
  for (int64_t i = 0; i < n; ++i) {
    TreeNode& op = g.getOrCreateChild("operator", static_cast<uint32_t>(i));
    setText(op, "type", "Sin");
    setInt(op, "id", static_cast<int32_t>(i));
    setFloat(op, "pos_x", static_cast<float>(i));
    setFloat(op, "pos_y", 0.0f);
    setInt(op, "hidden", 0);
    setInt(op, "childrenHidden", 0);
    setText(op, "customName", "");
    static const char* params[] = {"Value", "Amplitude", "Frequency", "Phase", "Offset"};
    for (uint32_t k = 0; k < 5; ++k) setFloat(op.getOrCreateChild("input", k), params[k], 1.0f);
    TreeNode& c = op.getOrCreateChild("connection", 0);
    setInt(c, "source", static_cast<int32_t>(i > 0 ? i - 1 : 0));
    setText(c, "sourceProp", "FloatOut");
    setInt(c, "target", static_cast<int32_t>(i));
    setText(c, "targetProp", "Value");
    setInt(c, "sourceIndexInTarget", 0);
  }
  std::ostringstream out(std::ios::binary);
  f.write(out);
  return out.str();
}

void BM_TreeRead(benchmark::State& state) {
  const std::string bytes = productionBytes(state.range(0));
  for (auto _ : state) {
    std::istringstream in(bytes, std::ios::binary);
    TreeFile f;
    if (!f.read(in)) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(f.root().children.size());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
  state.counters["file_bytes"] = static_cast<double>(bytes.size());
}
BENCHMARK(BM_TreeRead)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_TreeWrite(benchmark::State& state) {
  const std::string bytes = productionBytes(state.range(0));
  std::istringstream in(bytes, std::ios::binary);
  TreeFile f;
  f.read(in);
  for (auto _ : state) {
    std::ostringstream out(std::ios::binary);
    if (!f.write(out)) state.SkipWithError("write failed");
    benchmark::DoNotOptimize(out.str().size());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_TreeWrite)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

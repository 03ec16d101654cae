// zarvo --profile through the program itself, on a tiny production: which operators the
// table names and how often each ran per frame, that GPU times are measured, that the CSV
// holds the same rows, that the load's warm-up is counted apart, that pre-rolled frames are not
// measured, and that bad requests fail at once. Nothing here depends on how long anything took.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/player/ZarvoRun.h"

using namespace playertest;

namespace {

// Graph 1 "main" (frames 0-2): a Gradient drawn into both inputs of a Blend, so it and the
// Sin that moves it run twice a frame, then a Feedback, which keeps history. Graph 2
// "plain" (frames 3-5): one Gradient.
nlohmann::json twoSpanProduction() {
  nlohmann::json main = {
      {"id", 1},
      {"name", "main"},
      {"operators",
       {{{"id", 2}, {"type", "Blend"}, {"name", "mix"}},
        {{"id", 3}, {"type", "Gradient"}, {"name", "sky"}},
        {{"id", 4}, {"type", "Sin"}, {"name", "swell"}},
        {{"id", 5}, {"type", "Feedback"}, {"name", "echo"}}}},
      {"connections",
       {{{"from", 3}, {"output", "ImageOut"}, {"to", 2}, {"input", "ImageA"}},
        {{"from", 3}, {"output", "ImageOut"}, {"to", 2}, {"input", "ImageB"}},
        {{"from", 4}, {"output", "FloatOut"}, {"to", 3}, {"input", "Position 1 Y"}},
        {{"from", 2}, {"output", "ImageOut"}, {"to", 5}, {"input", "ImageIn"}},
        {{"from", 5}, {"output", "ImageOut"}, {"to", 0}, {"input", "In"}}}}};
  nlohmann::json plain = {{"id", 2},
                          {"name", "plain"},
                          {"operators", {{{"id", 2}, {"type", "Gradient"}, {"name", "flat"}}}},
                          {"connections", {{{"from", 2}, {"output", "ImageOut"}, {"to", 0}, {"input", "In"}}}}};
  // 0.04 s lies between frames 2 (0.033 s) and 3 (0.05 s).
  return {{"graphs", {main, plain}},
          {"tracks", {{{{"graph", 1}, {"start", 0}, {"end", 0.04}}, {{"graph", 2}, {"start", 0.04}, {"end", 0.1}}}}}};
}

struct Row {
  int graph = 0, id = 0;
  std::string type, name;
  double calls = 0, cpu = 0, gpu = 0;
};

std::vector<std::string> words(const std::string& line, char separator = ' ') {
  std::vector<std::string> out;
  std::stringstream in(line);
  for (std::string w; std::getline(in, w, separator);)
    if (!w.empty() || separator != ' ') out.push_back(w);
  return out;
}

// The operator rows of the printed table, in order.
std::vector<Row> tableRows(const std::string& out) {
  std::vector<Row> rows;
  std::stringstream in(out);
  bool inTable = false;
  for (std::string line; std::getline(in, line);) {
    if (line.find(" graph ") != std::string::npos && line.find("calls") != std::string::npos) {
      inTable = true;
      continue;
    }
    if (!inTable) continue;
    if (line.rfind("frames ", 0) == 0) break;
    std::vector<std::string> w = words(line);
    if (w.size() < 6) {
      ADD_FAILURE() << "not a row: " << line;
      continue;
    }
    Row r{std::stoi(w[0]), std::stoi(w[1]), w[2], "", std::stod(w[w.size() - 3]), std::stod(w[w.size() - 2]),
          std::stod(w[w.size() - 1])};
    for (size_t i = 3; i + 3 < w.size(); ++i) r.name += (r.name.empty() ? "" : " ") + w[i];
    rows.push_back(r);
  }
  return rows;
}

std::vector<Row> csvRows(const std::string& text) {
  std::vector<Row> rows;
  std::stringstream in(text);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "graph,id,type,name,calls_per_frame,cpu_ms_per_frame,gpu_ms_per_frame");
  while (std::getline(in, line)) {
    std::vector<std::string> f = words(line, ',');
    if (f.size() == 6) f.push_back("");  // getline drops an empty last field
    if (f.size() != 7) {
      ADD_FAILURE() << "not a CSV row: " << line;
      continue;
    }
    rows.push_back({std::stoi(f[0]), std::stoi(f[1]), f[2], f[3], std::stod(f[4]), std::stod(f[5]), std::stod(f[6])});
  }
  return rows;
}

const Row* findRow(const std::vector<Row>& rows, int graph, int id) {
  for (const Row& r : rows)
    if (r.graph == graph && r.id == id) return &r;
  return nullptr;
}

class ProfileGpuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeWorkDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::ofstream(dir_ / "config.ini") << "width 24 height 16\n";
    std::ofstream(dir_ / "two.json") << twoSpanProduction().dump(1);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }
  fs::path dir_;
};

}  // namespace

TEST_F(ProfileGpuTest, TheTableCountsEachOperatorsCallsAndTheCsvHasTheSameRows) {
  ZarvoRun run = runZarvo(dir_, "", "two.json --profile --csv profile.csv");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err.find("alidation"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find(": 6 frames at 24x16"), std::string::npos) << run.out;
  // Timestamps are written on every device these tests run on: the note of their absence
  // would mean the GPU column is empty.
  EXPECT_EQ(run.out.find("no timestamp queries"), std::string::npos) << run.out;

  const std::vector<Row> rows = tableRows(run.out);
  // Per frame over all six frames: graph 1 is drawn in three of them, its Gradient and the
  // Sin moving it twice in each; the Blend, Feedback and graph end once.
  const struct {
    int graph, id;
    const char* type;
    const char* name;
    double calls;
  } expected[] = {
      {1, 0, "Output", "", 0.5},      {1, 2, "Blend", "mix", 0.5},  {1, 3, "Gradient", "sky", 1.0},
      {1, 4, "Sin", "swell", 1.0},    {1, 5, "Feedback", "echo", 0.5}, {2, 0, "Output", "", 0.5},
      {2, 2, "Gradient", "flat", 0.5},
  };
  EXPECT_EQ(rows.size(), std::size(expected)) << run.out;
  double gpuTotal = 0;
  for (const auto& e : expected) {
    const Row* r = findRow(rows, e.graph, e.id);
    ASSERT_NE(r, nullptr) << e.graph << "/" << e.id << "\n" << run.out;
    EXPECT_EQ(r->type, e.type);
    EXPECT_EQ(r->name, e.name);
    EXPECT_DOUBLE_EQ(r->calls, e.calls) << e.type;
    EXPECT_GE(r->cpu, 0.0) << e.type;
    EXPECT_GE(r->gpu, 0.0) << e.type;
    gpuTotal += r->gpu;
  }
  EXPECT_GT(gpuTotal, 0.0) << run.out;  // drawing takes some time: the spans were read back
  for (size_t i = 1; i < rows.size(); ++i)
    EXPECT_GE(std::max(rows[i - 1].cpu, rows[i - 1].gpu) + 0.0015, std::max(rows[i].cpu, rows[i].gpu))
        << "not sorted by cost at row " << i;

  // Each span's frames: three each, on either side of 0.04 s.
  EXPECT_NE(run.out.find("main"), std::string::npos);
  std::stringstream lines(run.out);
  int spanRows = 0;
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> w = words(line);
    if (w.size() == 9 && (w[2] == "main" || w[2] == "plain")) {
      ++spanRows;
      EXPECT_EQ(w[1], w[2] == "main" ? "1" : "2") << line;
      EXPECT_EQ(w[5], "3") << line;
    }
  }
  EXPECT_EQ(spanRows, 2) << run.out;

  // The CSV: the same rows, in the same order, with the same numbers to the table's precision.
  const std::vector<Row> csv = csvRows(slurp(dir_ / "profile.csv"));
  ASSERT_EQ(csv.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(csv[i].graph, rows[i].graph);
    EXPECT_EQ(csv[i].id, rows[i].id);
    EXPECT_EQ(csv[i].type, rows[i].type);
    EXPECT_EQ(csv[i].name, rows[i].name);
    EXPECT_NEAR(csv[i].calls, rows[i].calls, 0.005);
    EXPECT_NEAR(csv[i].cpu, rows[i].cpu, 0.0006);
    EXPECT_NEAR(csv[i].gpu, rows[i].gpu, 0.0006);
  }
  // A profile writes no frames.
  EXPECT_FALSE(fs::exists(dir_ / "framedump"));
  EXPECT_FALSE(fs::exists(dir_ / "profile.csv.part"));
}

// The warm-up evaluates every operator once and, inside it, everything upstream of it again:
// the load's table counts each of those evaluations, and none of them reaches the frames'.
TEST_F(ProfileGpuTest, TheLoadTableCountsEveryWarmUpEvaluationAndLeavesTheFramesAlone) {
  ZarvoRun run = runZarvo(dir_, "", "two.json --profile");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const size_t at = run.out.find("\nLoading took ");
  ASSERT_NE(at, std::string::npos) << run.out;
  double loadMs = 0, cpuSum = 0, gpuSum = 0;
  ASSERT_EQ(std::sscanf(run.out.c_str() + at,
                        "\nLoading took %lf ms; the operators' own times while they warmed up add up to %lf ms on "
                        "the CPU and %lf ms",
                        &loadMs, &cpuSum, &gpuSum),
            3)
      << run.out;
  std::vector<Row> load;
  std::stringstream lines(run.out.substr(at + 1));
  std::string line;
  std::getline(lines, line);  // the summary
  std::getline(lines, line);  // the header
  EXPECT_NE(line.find("calls"), std::string::npos) << line;
  while (std::getline(lines, line)) {
    std::vector<std::string> w = words(line);
    ASSERT_GE(w.size(), 6u) << line;
    load.push_back({std::stoi(w[0]), std::stoi(w[1]), w[2], "", std::stod(w[w.size() - 3]), std::stod(w[w.size() - 2]),
                    std::stod(w[w.size() - 1])});
  }
  // Graph 1's output pulls the whole chain (the Gradient twice, each with its Sin), then the
  // Blend, the Gradient, the Sin and the Feedback warm up in turn, each pulling its own inputs.
  const struct {
    int graph, id;
    double calls;
  } expected[] = {{1, 0, 1}, {1, 2, 3}, {1, 3, 7}, {1, 4, 8}, {1, 5, 2}, {2, 0, 1}, {2, 2, 2}};
  for (const auto& e : expected) {
    const Row* r = findRow(load, e.graph, e.id);
    ASSERT_NE(r, nullptr) << e.graph << "/" << e.id << "\n" << run.out;
    EXPECT_EQ(r->calls, e.calls) << r->type;
  }
  // Own times exclude what ran inside: they add up to no more than the load.
  double cpu = 0, gpu = 0;
  for (const Row& r : load) {
    EXPECT_GE(r.cpu, 0.0) << r.type;
    EXPECT_GE(r.gpu, 0.0) << r.type;
    cpu += r.cpu;
    gpu += r.gpu;
  }
  EXPECT_NEAR(cpu, cpuSum, 0.001 * double(load.size()) + 0.06);
  EXPECT_NEAR(gpu, gpuSum, 0.001 * double(load.size()) + 0.06);
  EXPECT_LE(cpuSum, loadMs);
  EXPECT_GT(gpu, 0.0) << run.out;  // the warm-up's spans were read back
  // The frames' table counts only the frames' calls.
  const std::vector<Row> frames = tableRows(run.out);
  const Row* sky = findRow(frames, 1, 3);
  ASSERT_NE(sky, nullptr) << run.out;
  EXPECT_DOUBLE_EQ(sky->calls, 1.0);
}

TEST_F(ProfileGpuTest, PreRolledFramesAreDrawnButNotMeasured) {
  // From 0.05 s: graph 1 keeps history, so frames 0-2 are drawn first, unmeasured; only
  // graph 2's three frames are in the profile.
  ZarvoRun run = runZarvo(dir_, "", "two.json --profile --from 0.05 --to 0.1");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find(": 3 frames at"), std::string::npos) << run.out;
  const std::vector<Row> rows = tableRows(run.out);
  ASSERT_EQ(rows.size(), 2u) << run.out;
  for (const Row& r : rows) {
    EXPECT_EQ(r.graph, 2);
    EXPECT_DOUBLE_EQ(r.calls, 1.0);
  }
}

TEST_F(ProfileGpuTest, RequestsThatCannotBeMetFailWithOneLine) {
  fs::create_directories(dir_ / "taken.csv");
  const struct {
    const char* args;
    const char* says;
  } cases[] = {
      {"two.json --profile --csv missing/p.csv", "zarvo: --csv missing/p.csv: the folder missing does not exist\n"},
      {"two.json --profile --csv taken.csv", "zarvo: --csv taken.csv: it is a folder\n"},
      {"two.json --csv p.csv", "zarvo: --csv writes the table of a profile: it needs --profile\n"},
      {"two.json --profile --csv", "zarvo: --csv needs a value: a file for the profile's table, such as profile.csv\n"},
      {"two.json --profile --at 0 -o f.png",
       "zarvo: --profile writes no frames: it does not go with -o (render and profile in separate runs)\n"},
  };
  for (const auto& c : cases) {
    ZarvoRun run = runZarvo(dir_, "", c.args);
    EXPECT_EQ(run.exitCode, 2) << c.args;
    EXPECT_EQ(run.err, c.says) << c.args;
    EXPECT_EQ(run.out, "") << c.args;
  }
  for (auto& e : fs::directory_iterator(dir_)) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name == "data" || name == "config.ini" || name == "two.json" || name == "taken.csv" ||
                name == "out.txt" || name == "err.txt")
        << name;
  }
}

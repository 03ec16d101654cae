// What the player says about loading: the per-program lines, the summary of the files a
// production asked for and could not get, --strict, and no noise from the device layers.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/player/ZarvoRun.h"

using namespace playertest;

namespace {

// One graph drawing an image shader whose file is missing, with a mesh whose file is
// missing beside it; `music` names the production's music.
nlohmann::json brokenFiles(const std::string& music = "") {
  nlohmann::json ops = nlohmann::json::array();
  ops.push_back({{"id", 2}, {"type", "ImageShader"}, {"name", "effect"},
                 {"params", {{"Filepath", "data/shaders/nothere.hlsl"}}}});
  ops.push_back({{"id", 3}, {"type", "Image"}});
  ops.push_back({{"id", 4}, {"type", "Mesh"}, {"params", {{"Filepath", "meshes/nothere.obj"}}}});
  nlohmann::json conns = nlohmann::json::array();
  conns.push_back({{"from", 2}, {"output", "ImageOut"}, {"to", 3}, {"input", "ImageIn"}});
  conns.push_back({{"from", 3}, {"output", "ImageOut"}, {"to", 0}, {"input", "In"}});
  nlohmann::json out;
  if (!music.empty()) out["music"] = music;
  out["graphs"] = nlohmann::json::array(
      {{{"id", 1}, {"name", "broken"}, {"operators", ops}, {"connections", conns}}});
  out["tracks"] = nlohmann::json::array({nlohmann::json::array({{{"graph", 1}, {"start", 0}, {"end", 0.05}}})});
  return out;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class LoadMessagesGpuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeWorkDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::ofstream(dir_ / "config.ini") << "width 32\nheight 18\n";
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }
  fs::path dir_;
};

}  // namespace

TEST_F(LoadMessagesGpuTest, OptionsSumUpFailedFilesWithWhoAskedAndStrictFails) {
  std::ofstream(dir_ / "p.json") << brokenFiles().dump(1);

  ZarvoRun run = runZarvo(dir_, "", "p.json --at 0 -o f.png");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(fs::exists(dir_ / "f.png"));
  EXPECT_TRUE(has(run.err, "2 files could not be used:")) << run.err;
  EXPECT_TRUE(has(run.err, "shader data/shaders/nothere.hlsl: cannot open it (asked for by graph 1 \"broken\", "
                           "operator 2 ImageShader 'effect')"))
      << run.err;
  EXPECT_TRUE(has(run.err, "mesh meshes/nothere.obj")) << run.err;
  EXPECT_TRUE(has(run.err, "operator 4 Mesh)")) << run.err;
  // Quiet loading: no line per program, and nothing from the device layers offscreen.
  EXPECT_FALSE(has(run.err, "Loading shader program")) << run.err;
  EXPECT_FALSE(has(run.err, "XDG_RUNTIME_DIR")) << run.err;

  ZarvoRun verbose = runZarvo(dir_, "", "p.json --at 0 -o g.png --verbose");
  EXPECT_EQ(verbose.exitCode, 0) << verbose.err;
  EXPECT_TRUE(has(verbose.err, "Loading shader program data/shaders/nothere.hlsl")) << verbose.err;

  ZarvoRun strict = runZarvo(dir_, "", "p.json --at 0 -o h.png --strict");
  EXPECT_EQ(strict.exitCode, 1) << strict.err;
  EXPECT_TRUE(has(strict.err, "--strict: 2 files could not be used")) << strict.err;
  EXPECT_FALSE(fs::exists(dir_ / "h.png"));

  // A production that loads whole passes --strict.
  nlohmann::json whole = brokenFiles();
  whole["graphs"][0]["operators"][0]["params"]["Filepath"] = "data/shaders/imageShaders/logo.hlsl";
  whole["graphs"][0]["operators"].erase(2);
  std::ofstream(dir_ / "whole.json") << whole.dump(1);
  ZarvoRun clean = runZarvo(dir_, "", "whole.json --at 0 -o w.png --strict");
  EXPECT_EQ(clean.exitCode, 0) << clean.err;
  EXPECT_FALSE(has(clean.err, "could not be used")) << clean.err;
}

TEST_F(LoadMessagesGpuTest, StrictLivePlaybackEndsBeforePlayingAndNamesTheMusic) {
  std::ofstream(dir_ / "p.json") << brokenFiles("data-missing/song.ogg").dump(1);
  ZarvoRun run = runZarvo(dir_, "", "p.json --strict");
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_TRUE(has(run.err, "music data-missing/song.ogg: cannot read it (asked for by the production p.json)"))
      << run.err;
  EXPECT_TRUE(has(run.err, "3 files could not be used")) << run.err;
}

TEST_F(LoadMessagesGpuTest, ThePlayerWithoutArgumentsLogsEveryProgramAsBefore) {
  buildProduction(dir_, brokenFiles());
  std::ofstream(dir_ / "config.ini") << "width 32\nheight 18\nframedump 1\n";
  ZarvoRun run = runZarvo(dir_);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(has(run.err, "Loading shader program data/shaders/nothere.hlsl")) << run.err;
  EXPECT_TRUE(has(run.out, "Failed to open data/shaders/nothere.hlsl")) << run.out;
  EXPECT_FALSE(has(run.err, "could not be used")) << run.err;
  EXPECT_FALSE(has(run.err, "XDG_RUNTIME_DIR")) << run.err;
}

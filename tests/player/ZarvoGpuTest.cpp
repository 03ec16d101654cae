// The program itself, run offscreen in a scratch working directory as a user would run it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <tiffio.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/player/ZarvoRun.h"

using namespace playertest;

namespace {

void writeConfig(const fs::path& dir, const char* text) { std::ofstream(dir / "config.ini") << text; }

class ZarvoGpuTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = makeWorkDir(::testing::UnitTest::GetInstance()->current_test_info()->name()); }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }
  fs::path dir_;
};

}  // namespace

TEST_F(ZarvoGpuTest, DumpsOneTiffPerFrameUntilTheTimelineEnds) {
  // [0, 0.1) covers frames 0 to 5; the production names music, which dumping ignores.
  ASSERT_TRUE(writeProduction(dir_ / "demo.opr_b", 0.1f, 3, "data-missing/music.ogg"));
  writeConfig(dir_, "width 40\nheight 24\nvsync 1\nframedump 1\n");
  ZarvoRun run = runZarvo(dir_);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("offscreen"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("music.ogg"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("alidation"), std::string::npos) << run.err;
  // Progress and the closing count are diagnostics: standard output stays empty.
  EXPECT_NE(run.err.find("6 frames written to"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
  int files = 0;
  for (auto& entry : fs::directory_iterator(dir_ / "framedump")) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 6);
  for (int i = 0; i < 6; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "framedump/frame_%06d.tiff", i);
    TIFF* tif = TIFFOpen((dir_ / name).string().c_str(), "r");
    ASSERT_NE(tif, nullptr) << name;
    uint32_t w = 0, h = 0;
    uint16_t spp = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFClose(tif);
    EXPECT_EQ(w, 40u);
    EXPECT_EQ(h, 24u);
    EXPECT_EQ(spp, 4);
  }
}

TEST_F(ZarvoGpuTest, UnusableProductionFilesSayWhatIsWrongAndFail) {
  writeConfig(dir_, "width 32 height 32 framedump 1");
  const struct {
    const char* setup;
    const char* says;
  } cases[] = {
      {"missing", "Cannot open production file demo.opr_b: nothing to play"},
      {"folder", "demo.opr_b is a folder, not a production file"},
      {"empty", "demo.opr_b is empty"},
      {"noise", "demo.opr_b is not a production file"},
  };
  for (const auto& c : cases) {
    fs::remove_all(dir_ / "demo.opr_b");
    const std::string setup = c.setup;
    if (setup == "folder") fs::create_directory(dir_ / "demo.opr_b");
    if (setup == "empty") std::ofstream(dir_ / "demo.opr_b", std::ios::binary);
    if (setup == "noise") std::ofstream(dir_ / "demo.opr_b", std::ios::binary) << "this is not a production file at all";
    ZarvoRun run = runZarvo(dir_);
    EXPECT_EQ(run.exitCode, 1) << setup << ": " << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("damaged"), std::string::npos) << run.err;
    // No frame, and no claim about a folder that was never made.
    EXPECT_FALSE(fs::exists(dir_ / "framedump"));
    EXPECT_EQ(run.err.find("framedump"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("No frames written"), std::string::npos) << run.err;
  }
}

TEST_F(ZarvoGpuTest, WithoutMusicTheProductionPlaysInRealTime) {
  // Half a second without music, offscreen, where frames take a millisecond or two: on the
  // frame clock it ended in a small part of that; in real time it takes the half second.
  ASSERT_TRUE(writeProduction(dir_ / "demo.opr_b", 0.5f, 1, "no/such/music.wav"));
  writeConfig(dir_, "width 32 height 32 vsync 0");
  auto start = std::chrono::steady_clock::now();
  ZarvoRun run = runZarvo(dir_);
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("no/such/music.wav"), std::string::npos) << run.err;
  EXPECT_GT(elapsed, 0.5);
  EXPECT_LT(elapsed, 30.0);
}

TEST_F(ZarvoGpuTest, SettingsProblemsAreReportedAndTheRestOfTheFileCounts) {
  ASSERT_TRUE(writeProduction(dir_ / "demo.opr_b", 0.04f, 1));
  // A size beyond the device's largest image is brought down to it instead of failing.
  writeConfig(dir_, "widht 64\nwidth 24 height abc\nheight 100000\nframedump 1\n");
  ZarvoRun run = runZarvo(dir_);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("config.ini:1: unknown key \"widht\""), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("config.ini:2: height abc: not a whole number"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("config.ini: height 100000 is more than this device's largest image; using "),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("alidation"), std::string::npos) << run.err;
  TIFF* tif = TIFFOpen((dir_ / "framedump/frame_000000.tiff").string().c_str(), "r");
  ASSERT_NE(tif, nullptr);
  uint32_t w = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
  TIFFClose(tif);
  EXPECT_EQ(w, 24u);
}

TEST_F(ZarvoGpuTest, AMissingCopyShaderEndsTheRunNamingTheFile) {
  // Without the copy program nothing reaches the screen: black frames and status 0 hid it.
  fs::remove(dir_ / "data");
  fs::create_directories(dir_ / "data/shaders");
  fs::copy_file(fs::path(ZV_SOURCE_DIR) / "data/shaders/progressBar.hlsl", dir_ / "data/shaders/progressBar.hlsl");
  ASSERT_TRUE(writeProduction(dir_ / "demo.opr_b", 0.1f, 1));
  writeConfig(dir_, "width 32 height 32 framedump 1");
  ZarvoRun run = runZarvo(dir_);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("Fatal error: Cannot load the copy shader data/shaders/copy.hlsl (entry point VS)"),
            std::string::npos)
      << run.err;
  // The shader manager's missing-file line is the one text on standard output.
  EXPECT_NE(run.out.find("Failed to open data/shaders/copy.hlsl"), std::string::npos) << run.out;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) EXPECT_EQ(line.rfind("Failed to open ", 0), 0u) << line;
  EXPECT_FALSE(fs::exists(dir_ / "framedump"));
}

TEST_F(ZarvoGpuTest, MusicPlaysInRealTimeAndEndsTheRun) {
  ASSERT_TRUE(writeTone(dir_ / "tune.wav", 0.3));
  ASSERT_TRUE(writeProduction(dir_ / "demo.opr_b", 60.0f, 1, "tune.wav"));
  writeConfig(dir_, "width 32 height 32 vsync 0");
  auto start = std::chrono::steady_clock::now();
  ZarvoRun run = runZarvo(dir_);
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_GT(elapsed, 0.3);
  EXPECT_LT(elapsed, 30.0);  // not the 60 s of the timeline
  EXPECT_FALSE(fs::exists(dir_ / "framedump"));
}

namespace {

// `cores` processes that spin until killed: the machine is busy while a dump runs.
std::vector<pid_t> loadTheCpu(long cores) {
  std::vector<pid_t> children;
  for (long i = 0; i < cores; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      volatile uint64_t spin = 0;
      for (;;) spin = spin + 1;
    }
    if (pid > 0) children.push_back(pid);
  }
  return children;
}

void stop(const std::vector<pid_t>& children) {
  for (pid_t pid : children) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// The frames of two dumps that differ, by number.
std::vector<int> differingFrames(const fs::path& a, const fs::path& b, int frames) {
  std::vector<int> differ;
  for (int frame = 0; frame < frames; ++frame) {
    char name[64];
    std::snprintf(name, sizeof name, "frame_%06d.tiff", frame);
    const std::string x = slurp(a / name), y = slurp(b / name);
    if (x.empty() || x != y) differ.push_back(frame);
  }
  return differ;
}

std::string listed(const std::vector<int>& frames) {
  std::string s;
  for (int f : frames) s += " " + std::to_string(f);
  return s;
}

}  // namespace

TEST_F(ZarvoGpuTest, DumpsFollowTheFrameNumberNotTheMachinesSpeed) {
  // Fog, sprites, emitters, curl noise and smoke follow the real-time clock; Feedback, the
  // particles, SPH and cloth carry state from frame to frame. Dumped, every frame depends
  // on its number alone, not on how long the machine took to draw the ones before: a dump
  // made while every core is busy equals one made on a quiet machine. The device driver
  // runs on one thread here, so the clock is the one thing that can differ.
  constexpr int kFramesEach = 3;
  buildProduction(dir_, historyProduction({11, 4, 5}, kFramesEach));
  writeConfig(dir_, "width 24 height 16 framedump 1");
  ZarvoRun quiet = runZarvo(dir_, "LP_NUM_THREADS=0 ZV_VALIDATION=0");
  ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
  fs::rename(dir_ / "framedump", dir_ / "quiet");
  const std::vector<pid_t> load = loadTheCpu(1);
  ZarvoRun busy = runZarvo(dir_, "LP_NUM_THREADS=0 ZV_VALIDATION=0");
  stop(load);
  ASSERT_EQ(busy.exitCode, 0) << busy.err;
  EXPECT_EQ(listed(differingFrames(dir_ / "quiet", dir_ / "framedump", 3 * kFramesEach)), "")
      << "frames 0-2 fog and sprites, 3-5 particles, smoke and Feedback, 6-8 SPH and cloth";
}

TEST_F(ZarvoGpuTest, ParticleDumpsDoNotDependOnTheDriversThreads) {
  // The same particle scene again, with the device driver on its usual threads. Emitters
  // once claimed dead particle slots through the buffer's counter in the order the
  // driver's threads reached it, and a newborn's seed is its slot: frames then changed
  // from run to run, though they were identical on one driver thread.
  constexpr int kFrames = 8;
  buildProduction(dir_, historyProduction({4}, kFrames));
  writeConfig(dir_, "width 24 height 16 framedump 1");
  ZarvoRun first = runZarvo(dir_, "ZV_VALIDATION=0");
  ASSERT_EQ(first.exitCode, 0) << first.err;
  fs::rename(dir_ / "framedump", dir_ / "first");
  // The differences come and go with the threads' timing: two more runs make them show.
  std::vector<int> differ;
  for (int run = 0; run < 2 && differ.empty(); ++run) {
    fs::remove_all(dir_ / "framedump");
    ZarvoRun again = runZarvo(dir_, "ZV_VALIDATION=0");
    ASSERT_EQ(again.exitCode, 0) << again.err;
    differ = differingFrames(dir_ / "first", dir_ / "framedump", kFrames);
  }
  EXPECT_EQ(listed(differ), "")
      << "particle frames differ between two identical runs: the particle simulation depends on the order of the "
         "device's threads (sim/ particles)";
}

// The Player on a device: loading with the bar, frame steps on the frame clock and on the
// music, the frame dump, and no GPU object made by a frame once warmed up.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <bit>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "gfx/Screen.h"
#include "engine/Operator.h"
#include "engine/Project.h"
#include "player/App.h"
#include "player/Clock.h"
#include "player/Globals.h"
#include "player/Player.h"
#include "tests/player/PlayerTestSupport.h"

using namespace playertest;

namespace {

class PlayerGpuTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("ZV_VALIDATION", "1", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    ScreenSettings settings;
    settings.width = 64;
    settings.height = 48;
    sScreen = new Screen(nullptr, settings);
  }
  static void TearDownTestSuite() {
    delete sScreen;
    sScreen = nullptr;
  }
  void SetUp() override {
    old_ = fs::current_path();
    dir_ = makeWorkDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::current_path(dir_);
    frameCounter = 0;
    framedumpSetting = 0;
    quitRequested = false;
    isLoading = true;
    messages_ = sScreen->device->validationMessageCount();
  }
  void TearDown() override {
    player_.reset();
    fs::current_path(old_);
    fs::remove_all(dir_);
    EXPECT_EQ(sScreen->device->validationMessageCount(), messages_) << "validation messages";
  }
  Player& load() {
    player_ = std::make_unique<Player>(sScreen, nullptr);
    complete_ = player_->load();
    isLoading = false;
    resetClock();  // as the player does once loading is over
    return *player_;
  }

  static Screen* sScreen;
  std::unique_ptr<Player> player_;
  bool complete_ = false;  // what the last load() returned
  fs::path dir_, old_;
  uint64_t messages_ = 0;
};
Screen* PlayerGpuTest::sScreen = nullptr;

uint32_t tiffWidth(const std::string& file) {
  TIFF* tif = TIFFOpen(file.c_str(), "r");
  if (!tif) return 0;
  uint32_t w = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
  TIFFClose(tif);
  return w;
}

}  // namespace

TEST_F(PlayerGpuTest, TheBarIsDrawnOncePerWarmedUpOperator) {
  ASSERT_TRUE(writeProduction("demo.opr_b", 1.0f, 2));  // the graph ends and two operators
  Player& p = load();
  EXPECT_EQ(p.warmedUp, 4u);
  EXPECT_EQ(p.loadingBarDraws, 4);
  EXPECT_TRUE(p.frame());
}

TEST_F(PlayerGpuTest, AnEmptyProductionDrawsNoBarAndEndsAtOnce) {
  ASSERT_TRUE(writeEmptyProduction("demo.opr_b"));
  Player& p = load();
  EXPECT_EQ(p.warmedUp, 0u);
  EXPECT_EQ(p.loadingBarDraws, 0);
  EXPECT_FALSE(p.frame());
  EXPECT_EQ(frameCounter, 0);
}

TEST_F(PlayerGpuTest, AMissingProductionIsAnEmptyOne) {
  // Not the default production of the engine (a graph shown for 60 s): nothing at all.
  testing::internal::CaptureStderr();
  Player& p = load();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("demo.opr_b"), std::string::npos);
  EXPECT_TRUE(p.project->graphs.empty());
  EXPECT_FALSE(p.frame());
}

TEST_F(PlayerGpuTest, DumpingRunsOnTheFrameClockWithoutGapsAndCreatesNothingAfterWarmUp) {
  ASSERT_TRUE(writeTone("music.wav", 0.05));
  ASSERT_TRUE(writeProduction("demo.opr_b", 0.2f, 2, "music.wav"));
  framedumpSetting = 1;
  Player& p = load();
  EXPECT_EQ(musicChannel, 0u);  // no music while dumping, even when the production names one
  EXPECT_FALSE(p.musicPlaying);

  // The first frames take each of the three post-process ring targets into use once; from
  // then on a frame creates nothing.
  uint64_t createdByFirstFrames = 0;
  int frames = 0;
  for (; frames < 30; ++frames) {
    EXPECT_EQ(p.productionTime(), frameTime(frameCounter));
    if (!p.frame()) break;
    sScreen->present();
    if (frames == 2) createdByFirstFrames = sScreen->device->counters().total();
  }
  // Frames at 0, 1/60, ... 11/60 are inside [0, 0.2); 12/60 is not and is neither drawn nor written.
  EXPECT_EQ(frames, 12);
  EXPECT_EQ(frameCounter, 12);
  EXPECT_EQ(sScreen->device->counters().total(), createdByFirstFrames) << "a frame created GPU objects";
  ASSERT_TRUE(p.finishDump());  // the files are written on the writer's thread
  for (int i = 0; i < 12; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "framedump/frame_%06d.tiff", i);
    EXPECT_EQ(tiffWidth(name), 64u) << name;
  }
  EXPECT_FALSE(fs::exists("framedump/frame_000012.tiff"));
}

TEST_F(PlayerGpuTest, FramesFollowAResizedScreen) {
  ASSERT_TRUE(writeProduction("demo.opr_b", 10.0f, 0));
  framedumpSetting = 1;
  Player& p = load();
  ASSERT_TRUE(p.frame());
  sScreen->resize(40, 30);
  ASSERT_TRUE(p.frame());
  sScreen->present();
  ASSERT_TRUE(p.finishDump());
  EXPECT_EQ(tiffWidth("framedump/frame_000000.tiff"), 64u);
  EXPECT_EQ(tiffWidth("framedump/frame_000001.tiff"), 40u);
  EXPECT_EQ(p.context.viewport.right, 40);
  sScreen->resize(64, 48);
  EXPECT_TRUE(p.frame());
}

TEST_F(PlayerGpuTest, TheEndOfTheMusicEndsTheProduction) {
  ASSERT_TRUE(writeTone("music.wav", 0.25));
  ASSERT_TRUE(writeProduction("demo.opr_b", 60.0f, 1, "music.wav"));
  Player& p = load();
  ASSERT_NE(musicChannel, 0u);
  ASSERT_TRUE(p.musicPlaying);
  auto start = std::chrono::steady_clock::now();
  float last = -1.0f;
  int frames = 0;
  while (p.frame() && frames < 100000) {
    sScreen->present();
    float t = p.productionTime();
    EXPECT_GE(t, last);  // the music position never goes back
    last = t;
    ++frames;
  }
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(frames, 0);
  EXPECT_GT(elapsed, 0.2);  // it played in real time, not on the frame clock
  EXPECT_LT(elapsed, 3.0);
  EXPECT_LE(last, 0.25f);
  int counted = frameCounter;
  EXPECT_FALSE(p.frame());  // and stays over
  EXPECT_EQ(frameCounter, counted);
}

TEST_F(PlayerGpuTest, WithoutMusicTheRealTimeClockDrivesTheProductionUnlessDumping) {
  ASSERT_TRUE(writeProduction("demo.opr_b", 60.0f, 0, "music/absent.ogg"));
  testing::internal::CaptureStderr();
  Player& p = load();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("music/absent.ogg"), std::string::npos);
  EXPECT_EQ(musicChannel, 0u);
  EXPECT_FALSE(p.musicPlaying);
  // Counting frames would run the production at the display's pace (2.4 times too fast at
  // 144 Hz, far faster offscreen); it follows the real-time clock instead.
  wallClockTime = 2.5;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(p.frame());
  EXPECT_EQ(p.productionTime(), 2.5f);
  wallClockTime = 61.0;  // past the span: the production is over
  EXPECT_FALSE(p.frame());
  // Dumped frames keep the frame clock whatever the real time.
  framedumpSetting = 1;
  EXPECT_EQ(p.productionTime(), frameTime(3));
}

TEST_F(PlayerGpuTest, LoadSaysWhetherTheProductionFileWasReadWhole) {
  ASSERT_TRUE(writeProduction("demo.opr_b", 1.0f, 1));
  load();
  EXPECT_TRUE(complete_);
  std::ofstream("demo.opr_b", std::ios::binary | std::ios::trunc) << std::string("\xA3\xA1\xA2\xA0", 4);
  testing::internal::CaptureStderr();
  load();
  EXPECT_FALSE(complete_);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("demo.opr_b is cut short"), std::string::npos);
}

namespace {

// A graph of `type` (empty: none) shown on track `track` during [start, end).
OperatorGraph& addShownGraph(Project& p, int32_t id, const char* type, size_t track, float start, float end) {
  auto g = std::make_unique<OperatorGraph>();
  g->createGraphEnds();
  g->id = id;
  if (*type) g->createOperator(type);
  auto span = std::make_unique<Span>();
  span->graphId = id;
  span->timeStart = start;
  span->timeEnd = end;
  p.tracks[track].spans.push_back(std::move(span));
  p.graphs.push_back(std::move(g));
  return *p.graphs.back();
}

}  // namespace

TEST_F(PlayerGpuTest, AnOfflineRenderDrawsBeforeItsFirstFrameOnlyWhatKeepsHistory) {
  registerPlayerOperators();
  Player& p = load();  // for its Context
  Project project;
  project.clear();
  addShownGraph(project, 7, "", 0, 0.0f, 1.0f);
  addShownGraph(project, 8, "ParticleSystem", 0, 1.0f, 2.0f);
  addShownGraph(project, 9, "", 1, 2.0f, 3.0f);  // another track, no gap
  addShownGraph(project, 10, "", 2, 4.0f, 5.0f);  // after a gap: never played
  EXPECT_EQ(productionEnd(project), 3.0);
  // A frame at 2.5 s needs the particle frames [1, 2) s and nothing else.
  std::vector<int32_t> frames = prerollFrames(project, 150, 60, p.context);
  ASSERT_EQ(frames.size(), 60u);
  EXPECT_EQ(frames.front(), 60);
  EXPECT_EQ(frames.back(), 119);
  // Only the graphs those frames show are warmed up.
  frames.push_back(150);
  std::vector<int32_t> graphs;
  ASSERT_TRUE(graphsToWarm(project, frames, 60, p.context, graphs));
  EXPECT_EQ(graphs, (std::vector<int32_t>{8, 9}));
  // A graph drawn through a "Graph" operator counts as shown, and its history with it.
  OperatorGraph& host = *project.findGraph(7);
  Operator* embed = host.createOperator("Graph");
  ASSERT_NE(embed, nullptr);
  const int32_t particles = 8;
  auto* id = dynamic_cast<Float*>(embed->inputs[0].source->value());
  ASSERT_NE(id, nullptr);
  id->value = std::bit_cast<float>(particles);  // the parameter holds the id's bits
  EXPECT_EQ(prerollFrames(project, 150, 60, p.context).front(), 0);
  ASSERT_TRUE(graphsToWarm(project, {30}, 60, p.context, graphs));
  EXPECT_EQ(graphs, (std::vector<int32_t>{7, 8}));
  // Without history, nothing before the frame.
  Project plain;
  plain.clear();
  addShownGraph(plain, 7, "Sin", 0, 0.0f, 9.0f);
  EXPECT_TRUE(prerollFrames(plain, 300, 60, p.context).empty());
  // Motion blur reads the previous frame's camera: every frame before.
  addShownGraph(plain, 8, "MotionBlur", 0, 9.0f, 10.0f);
  EXPECT_EQ(prerollFrames(plain, 300, 60, p.context).size(), 300u);
}

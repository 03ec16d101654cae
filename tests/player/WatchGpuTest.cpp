// The author's loop without a window: a production edited on disk while it plays, and the
// cursor moved by keys. The picture follows each good edit, the cursor stays where it was,
// and a broken edit never reaches the screen.
#include <gtest/gtest.h>
#include <SDL.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "gfx/Reload.h"
#include "gfx/Screen.h"
#include "player/App.h"
#include "player/Globals.h"
#include "player/Player.h"
#include "player/Watch.h"
#include "tests/player/PlayerTestSupport.h"

using namespace playertest;

namespace {

// An image shader drawing one flat colour made from Param1, wrapped in its canvas; the
// spans name the graph twice, "first" then "second".
nlohmann::json flatProduction(double r, double g, double b) {
  nlohmann::json ops = nlohmann::json::array();
  ops.push_back({{"id", 3}, {"type", "Image"}, {"params", {{"Clear.A", 1}}}});
  ops.push_back({{"id", 4},
                 {"type", "ImageShader"},
                 {"params", {{"Filepath", "mine/flat.hlsl"}, {"Param1.X", r}, {"Param1.Y", g}, {"Param1.Z", b}}}});
  nlohmann::json conns = nlohmann::json::array();
  conns.push_back({{"from", 4}, {"output", "ImageOut"}, {"to", 3}, {"input", "ImageIn"}});
  conns.push_back({{"from", 3}, {"output", "ImageOut"}, {"to", 0}, {"input", "In"}});
  nlohmann::json out;
  // A second graph, on no span, that no edit below touches but the shader's.
  nlohmann::json other = ops;
  other[1]["params"] = {{"Filepath", "mine/flat.hlsl"}, {"Param1.X", 0.5}};
  out["graphs"] = nlohmann::json::array({{{"id", 1}, {"name", "flat"}, {"operators", ops}, {"connections", conns}},
                                         {{"id", 2}, {"name", "aside"}, {"operators", other}, {"connections", conns}}});
  out["tracks"] = nlohmann::json::array({nlohmann::json::array(
      {{{"graph", 1}, {"start", 0}, {"end", 4}, {"name", "first"}},
       {{"graph", 1}, {"start", 4}, {"end", 30}, {"name", "second"}}})});
  return out;
}

const char* const kShaderHead = "#include \"../data/shaders/common/imageShader.hlsli\"\n";

// Writes `text` to `file` with a modification time that surely differs from the last one.
void save(const fs::path& file, const std::string& text) {
  std::error_code ec;
  const auto before = fs::last_write_time(file, ec);
  std::ofstream(file, std::ios::trunc) << text;
  if (!ec && fs::last_write_time(file) <= before) fs::last_write_time(file, before + std::chrono::seconds(1));
}

class WatchGpuTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("ZV_VALIDATION", "1", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    registerPlayerOperators();
    ScreenSettings settings;
    settings.width = 16;
    settings.height = 8;
    sScreen = new Screen(nullptr, settings);
    sRenderers = new Renderers(sScreen);
  }
  static void TearDownTestSuite() {
    delete sRenderers;
    sRenderers = nullptr;
    delete sScreen;
    sScreen = nullptr;
  }
  void SetUp() override {
    old_ = fs::current_path();
    dir_ = makeWorkDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::current_path(dir_);
    fs::create_directory("mine");
    frameCounter = 0;
    framedumpSetting = 0;
    isLoading = true;
    save("mine/flat.hlsl", std::string(kShaderHead) +
                               "float4 PS(FullscreenVertex i) : SV_TARGET { return float4(gParam1.rgb, 1.0); }\n");
    save("p.json", flatProduction(1, 0, 0).dump(1));
  }
  void TearDown() override {
    session_.reset();
    player_.reset();
    fs::current_path(old_);
    if (!HasFailure()) fs::remove_all(dir_);
  }
  WatchSession& start() {
    player_ = std::make_unique<Player>(sScreen, nullptr);
    session_ = std::make_unique<WatchSession>(*player_, "p.json", 60, nullptr);
    EXPECT_TRUE(session_->start());
    return *session_;
  }
  // The colour in the middle of the frame at the cursor.
  std::vector<int> shown() {
    EXPECT_TRUE(session_->drawFrame());
    std::vector<uint8_t> rgba;
    EXPECT_TRUE(sScreen->readBack(rgba));
    sScreen->present();
    const size_t at = (size_t(sScreen->height / 2) * sScreen->width + sScreen->width / 2) * 4;
    if (rgba.size() < at + 3) return {};
    return {rgba[at], rgba[at + 1], rgba[at + 2]};
  }

  static Screen* sScreen;
  static Renderers* sRenderers;
  std::unique_ptr<Player> player_;
  std::unique_ptr<WatchSession> session_;
  fs::path dir_, old_;
};
Screen* WatchGpuTest::sScreen = nullptr;
Renderers* WatchGpuTest::sRenderers = nullptr;

const std::vector<int> kRed{255, 0, 0}, kGreen{0, 255, 0}, kMagenta{255, 0, 255}, kYellow{255, 255, 0};

}  // namespace

TEST_F(WatchGpuTest, EditsReachThePictureAtTheKeptTimeAndBrokenOnesNever) {
  WatchSession& watch = start();
  watch.seekTo(2.5);
  EXPECT_EQ(shown(), kRed);
  EXPECT_EQ(watch.poll(), WatchSession::Reload::None);

  // A parameter in the source: nothing is compiled again, and only its graph is built anew.
  const size_t compiled = shaderStagesCompiled();
  save("p.json", flatProduction(0, 1, 0).dump(1));
  EXPECT_EQ(watch.poll(), WatchSession::Reload::Done) << watch.lastError();
  EXPECT_EQ(shown(), kGreen);
  EXPECT_DOUBLE_EQ(watch.time(), 2.5);
  EXPECT_EQ(shaderStagesCompiled(), compiled);
  EXPECT_EQ(watch.graphsRebuilt(), 1);

  // The shader: only its own program is compiled again.
  save("mine/flat.hlsl",
       std::string(kShaderHead) + "float4 PS(FullscreenVertex i) : SV_TARGET { return float4(1.0 - gParam1.rgb, 1.0); }\n");
  EXPECT_EQ(watch.poll(), WatchSession::Reload::Done) << watch.lastError();
  EXPECT_EQ(shown(), kMagenta);
  EXPECT_DOUBLE_EQ(watch.time(), 2.5);
  EXPECT_GT(shaderStagesCompiled(), compiled);
  EXPECT_LE(shaderStagesCompiled(), compiled + 2);
  EXPECT_EQ(watch.graphsRebuilt(), 2);  // both name the file

  // A broken source keeps the last good version on screen and says where it broke.
  std::string text = flatProduction(0, 0, 1).dump(1);
  save("p.json", text.substr(0, text.size() / 2));
  EXPECT_EQ(watch.poll(), WatchSession::Reload::Failed);
  EXPECT_NE(watch.lastError().find("p.json:"), std::string::npos) << watch.lastError();
  EXPECT_EQ(shown(), kMagenta);

  // Mended: the new parameter shows, still at the same time.
  save("p.json", text);
  EXPECT_EQ(watch.poll(), WatchSession::Reload::Done) << watch.lastError();
  EXPECT_EQ(shown(), kYellow);
  EXPECT_DOUBLE_EQ(watch.time(), 2.5);

  // A shader that does not compile is refused the same way, naming its file and line.
  save("mine/flat.hlsl", std::string(kShaderHead) + "float4 PS(FullscreenVertex i) : SV_TARGET {\n return nope;\n}\n");
  EXPECT_EQ(watch.poll(), WatchSession::Reload::Failed);
  EXPECT_NE(watch.lastError().find("mine/flat.hlsl"), std::string::npos) << watch.lastError();
  EXPECT_NE(watch.lastError().find(":3"), std::string::npos) << watch.lastError();
  EXPECT_EQ(shown(), kYellow);
  save("mine/flat.hlsl", std::string(kShaderHead) +
                             "float4 PS(FullscreenVertex i) : SV_TARGET { return float4(gParam1.rgb, 1.0); }\n");
  EXPECT_EQ(watch.poll(), WatchSession::Reload::Done) << watch.lastError();
  EXPECT_EQ(shown(), (std::vector<int>{0, 0, 255}));
  EXPECT_EQ(watch.reloads(), 4);
  EXPECT_EQ(watch.time(), 2.5);
}

TEST_F(WatchGpuTest, KeysMoveTheCursorAndTheTitleFollows) {
  WatchSession& watch = start();
  auto press = [&](int key, bool shift = false) { watch.apply(watchKeyFor(key, shift)); };
  EXPECT_NE(watch.title(60).find("0.00 s | first | 60.0 fps"), std::string::npos) << watch.title(60);

  press(SDLK_RIGHT);
  EXPECT_DOUBLE_EQ(watch.time(), 1.0);
  press(SDLK_RIGHT, true);
  EXPECT_DOUBLE_EQ(watch.time(), 11.0);
  EXPECT_NE(watch.title(30).find("second"), std::string::npos) << watch.title(30);
  press(SDLK_LEFT);
  EXPECT_DOUBLE_EQ(watch.time(), 10.0);
  press(SDLK_LEFT, true);
  press(SDLK_LEFT, true);
  EXPECT_DOUBLE_EQ(watch.time(), 0.0);  // not before the start

  // Frame steps only while paused, on the frame grid.
  watch.seekTo(1.004);
  press(SDLK_PERIOD);
  EXPECT_DOUBLE_EQ(watch.time(), 1.004);
  press(SDLK_SPACE);
  EXPECT_TRUE(watch.paused());
  press(SDLK_PERIOD);
  EXPECT_NEAR(watch.time(), 61.0 / 60.0, 1e-9);
  press(SDLK_COMMA);
  press(SDLK_COMMA);
  EXPECT_NEAR(watch.time(), 59.0 / 60.0, 1e-9);
  watch.advance(0.5);  // paused: time stands
  EXPECT_NEAR(watch.time(), 59.0 / 60.0, 1e-9);
  press(SDLK_SPACE);
  watch.advance(0.5);
  EXPECT_NEAR(watch.time(), 59.0 / 60.0 + 0.5, 1e-9);

  // L loops the span under the cursor: [0, 4) here.
  watch.seekTo(3.5);
  press(SDLK_l);
  EXPECT_TRUE(watch.looping());
  watch.advance(1.0);
  EXPECT_NEAR(watch.time(), 0.5, 1e-9);
  press(SDLK_l);
  EXPECT_FALSE(watch.looping());

  press(SDLK_HOME);
  EXPECT_DOUBLE_EQ(watch.time(), 0.0);
  // The production's end holds the cursor on its last frame, paused.
  watch.advance(100.0);
  EXPECT_TRUE(watch.paused());
  EXPECT_LT(watch.time(), 30.0);
  EXPECT_GT(watch.time(), 29.9);
  EXPECT_EQ(watchKeyFor(SDLK_a, false), WatchKey::None);
}

TEST_F(WatchGpuTest, AnEditedIncludeRebuildsTheShadersThatUseIt) {
  save("mine/tint.hlsli", "float3 tint(float3 c) { return c; }\n");
  save("mine/flat.hlsl", std::string(kShaderHead) + "#include \"tint.hlsli\"\n"
                         "float4 PS(FullscreenVertex i) : SV_TARGET { return float4(tint(gParam1.rgb), 1.0); }\n");
  WatchSession& watch = start();
  EXPECT_EQ(shown(), kRed);
  save("mine/tint.hlsli", "float3 tint(float3 c) { return c.bgr; }\n");
  EXPECT_EQ(watch.poll(), WatchSession::Reload::Done) << watch.lastError();
  EXPECT_EQ(shown(), (std::vector<int>{0, 0, 255}));
}

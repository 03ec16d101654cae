// The warm-up while loading sketches its draws (one pixel each) and its pictures-only
// dispatches (one group each): a load that way must give the same bar, the same GPU objects
// and, frame for frame, the same pictures as a load whose warm-up shades everything, for a
// production whose operators keep state from the warm-up into the frames (particles emitted
// and stepped, smoke sorted for its drawing, a feedback history, shadowed lighting, bloom).
// That a simulation's dispatches still run in full is the device layer's test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/Screen.h"
#include "gfx/SketchDraws.h"
#include "player/App.h"
#include "player/Clock.h"
#include "player/Globals.h"
#include "player/Player.h"
#include "tests/player/PlayerTestSupport.h"

using namespace playertest;

namespace {

const char* kStateful = R"({
  "graphs": [
    { "id": 1, "name": "particles",
      "operators": [
        { "id": 2, "type": "Image", "params": { "Clear.R": 0.02, "Clear.G": 0.02, "Clear.B": 0.04, "Clear.A": 1 } },
        { "id": 3, "type": "LightPass" },
        { "id": 4, "type": "ToneMapping", "params": { "Exposure": 0.7 } },
        { "id": 5, "type": "Camera", "params": { "Position.Y": 1.5, "Position.Z": -5, "Direction.Y": -0.2, "Direction.Z": 1, "FOV": 60 } },
        { "id": 6, "type": "Group" },
        { "id": 7, "type": "DirLight", "params": { "Direction.X": 0.4, "Direction.Y": 1, "Direction.Z": -0.3, "Cast Shadows": 1 } },
        { "id": 8, "type": "Quad" },
        { "id": 9, "type": "Material", "params": { "Color.R": 0.5, "Color.G": 0.5, "Color.B": 0.5 } },
        { "id": 10, "type": "Transform", "params": { "Position.Y": -1, "Scale.X": 10, "Scale.Z": 10 } },
        { "id": 11, "type": "ParticleSystem", "params": { "Gravity.Y": -1, "PlaneHeight": -1 } },
        { "id": 12, "type": "SphereEmitter", "params": { "Radius": 0.4, "Speed": 2.5, "MaxLifetime": 3, "SpawnRate": 8000 } },
        { "id": 13, "type": "ParticleRender", "params": { "Color.R": 1, "Color.G": 0.55, "Color.B": 0.15, "Size": 0.05 } },
        { "id": 14, "type": "ParticleSystem", "params": { "Gravity.Y": 0.9, "PlaneHeight": -1 } },
        { "id": 15, "type": "BoxEmitter", "params": { "SizeX": 0.7, "SizeY": 0.1, "SizeZ": 0.7, "Speed": 0.25, "MaxLifetime": 4, "SpawnRate": 6000 } },
        { "id": 16, "type": "SmokeRender", "params": { "Color.R": 0.75, "Color.G": 0.75, "Color.B": 0.8, "Color.A": 0.2, "ParticleSize": 0.3 } },
        { "id": 17, "type": "Bloom", "params": { "ExtractThreshold": 0.5, "Intensity": 0.8 } },
        { "id": 18, "type": "Feedback", "params": { "Influence": 0.8 } }
      ],
      "connections": [
        { "from": 5, "output": "OutScene", "to": 3, "input": "SceneIn" },
        { "from": 3, "output": "ImageOut", "to": 2, "input": "ImageIn" },
        { "from": 2, "output": "ImageOut", "to": 17, "input": "ImageIn" },
        { "from": 17, "output": "ImageOut", "to": 4, "input": "ImageIn" },
        { "from": 4, "output": "ImageOut", "to": 18, "input": "ImageIn" },
        { "from": 6, "output": "OutScene", "to": 5, "input": "InScene" },
        { "from": 7, "output": "OutScene", "to": 6, "input": "InScene" },
        { "from": 10, "output": "OutScene", "to": 6, "input": "InScene" },
        { "from": 11, "output": "SceneOut", "to": 6, "input": "InScene" },
        { "from": 14, "output": "SceneOut", "to": 6, "input": "InScene" },
        { "from": 8, "output": "OutScene", "to": 9, "input": "sceneIn" },
        { "from": 9, "output": "SceneOut", "to": 10, "input": "InScene" },
        { "from": 12, "output": "SceneOut", "to": 11, "input": "Emitter" },
        { "from": 13, "output": "SceneOut", "to": 11, "input": "Renderer" },
        { "from": 15, "output": "SceneOut", "to": 14, "input": "Emitter" },
        { "from": 16, "output": "SceneOut", "to": 14, "input": "Renderer" },
        { "from": 18, "output": "ImageOut", "to": 0, "input": "In" }
      ] }
  ],
  "tracks": [ [ { "graph": 1, "start": 0, "end": 1 } ] ]
})";

constexpr int kFrames = 4;

struct Start {
  std::vector<uint8_t> bar;                  // the screen once loaded: the last bar drawn
  std::vector<std::vector<uint8_t>> frames;  // the first frames, as shown
  uint64_t objectsByLoad = 0;
  uint64_t objectsByFrames = 0;
  uint64_t validationMessages = 0;
};

class WarmUpGpuTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("ZV_VALIDATION", "1", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    registerPlayerOperators();
    old_ = fs::current_path();
    dir_ = makeWorkDir("warm_up");
    fs::current_path(dir_);
    std::ofstream("stateful.json") << kStateful;
    const std::string build = std::string("'") + ZV_OPR_PATH + "' build stateful.json -o demo.opr_b";
    built_ = std::system(build.c_str()) == 0;
  }
  static void TearDownTestSuite() {
    fs::current_path(old_);
    fs::remove_all(dir_);
  }

  // A fresh screen and renderers (the feedback's history and the rings start empty), the
  // production loaded with the warm-up sketched or not, then its first frames on a 60 Hz clock.
  static Start start(bool sketch) {
    Start r;
    ScreenSettings settings;
    settings.width = 64;
    settings.height = 48;  // the bar, 5% of the height, then covers a row of pixels
    auto screen = std::make_unique<Screen>(nullptr, settings);
    const uint64_t messages = screen->device->validationMessageCount();
    {
      Renderers renderers(screen.get());
      frameCounter = 0;
      framedumpSetting = 0;
      isLoading = true;
      Player player(screen.get(), nullptr);
      player.sketchWarmUp = sketch;
      const uint64_t before = screen->device->counters().total();
      testing::internal::CaptureStderr();
      player.load();
      testing::internal::GetCapturedStderr();
      isLoading = false;
      screen->device->waitIdle();
      r.objectsByLoad = screen->device->counters().total() - before;
      EXPECT_FALSE(sketchDraws(screen->device->context())) << "the frames must not be sketched";
      EXPECT_TRUE(screen->readBack(r.bar));
      const uint64_t loaded = screen->device->counters().total();
      for (int i = 0; i < kFrames; ++i) {
        wallClockTime = double(i) / 60.0;
        if (!player.frame()) break;
        r.frames.emplace_back();
        EXPECT_TRUE(screen->readBack(r.frames.back()));
        screen->present();
      }
      screen->device->waitIdle();
      r.objectsByFrames = screen->device->counters().total() - loaded;
    }
    r.validationMessages = screen->device->validationMessageCount() - messages;
    return r;
  }

  static bool built_;
  static fs::path dir_, old_;
};
bool WarmUpGpuTest::built_ = false;
fs::path WarmUpGpuTest::dir_, WarmUpGpuTest::old_;

// Pixels that differ between two pictures of the same size.
int differing(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int n = 0;
  for (size_t i = 0; i + 3 < a.size() && i + 3 < b.size(); i += 4)
    n += a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2] || a[i + 3] != b[i + 3];
  return n;
}

// Pixels brighter than `floor` (red + green + blue).
int lit(const std::vector<uint8_t>& picture, int floor) {
  int n = 0;
  for (size_t i = 0; i + 3 < picture.size(); i += 4) n += picture[i] + picture[i + 1] + picture[i + 2] > floor;
  return n;
}

}  // namespace

TEST_F(WarmUpGpuTest, ASketchedWarmUpGivesTheSameBarObjectsAndFramesAsAFullOne) {
  ASSERT_TRUE(built_);
  const Start full = start(false);
  const Start sketched = start(true);
  ASSERT_EQ(full.frames.size(), size_t(kFrames));
  ASSERT_EQ(sketched.frames.size(), size_t(kFrames));

  // The bar is drawn in full however the warm-up draws.
  ASSERT_EQ(sketched.bar.size(), full.bar.size());
  EXPECT_GT(lit(full.bar, 0), 32) << "no bar on the screen once loaded";
  EXPECT_EQ(differing(sketched.bar, full.bar), 0) << "the loading bar was sketched";

  // The same objects made while loading, and none more by the frames: nothing was left for
  // the first frame to make.
  EXPECT_GT(full.objectsByLoad, 0u);
  EXPECT_EQ(sketched.objectsByLoad, full.objectsByLoad);
  EXPECT_EQ(sketched.objectsByFrames, full.objectsByFrames);

  // Pixel for pixel: what the operators kept from the warm-up is the same. The pictures
  // are not empty, so an equality of two blank screens proves nothing.
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(sketched.frames[i].size(), full.frames[i].size());
    EXPECT_EQ(differing(sketched.frames[i], full.frames[i]), 0) << "frame " << i;
  }
  EXPECT_GT(lit(full.frames[0], 60), 16) << "the first frame shows nothing";
  EXPECT_EQ(full.validationMessages, 0u);
  EXPECT_EQ(sketched.validationMessages, 0u);
}

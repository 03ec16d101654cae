// Productions built with opr and played in-process from start to end: after the first frame,
// no frame creates a GPU object or allocates from the heap, through scene changes too, and
// the frames are not empty. The sample production (demo/demo.json), and one whose geometry
// first shows in a later span (so only the warm-up can have prepared its draws).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "gfx/Screen.h"
#include "player/App.h"
#include "player/Globals.h"
#include "player/Player.h"
#include "tests/engine/AllocationCounter.h"
#include "scene/Lights.h"
#include "scene/ShadowCasters.h"
#include "tests/player/PlayerTestSupport.h"

using namespace playertest;

namespace {

struct Playback {
  int frames = 0;
  int litFrames = 0;           // of the frames sampled once a second, those showing geometry
  long allocations = 0;        // by the frames after the first
  uint64_t gpuObjects = 0;     // created by the frames after the first
  uint64_t validationMessages = 0;
  size_t recordsAfterLoad = 0;  // lights and shadow casters the warm-up left in the frame lists
};

// Builds the production description `json` with opr in a scratch directory and plays it from
// its first frame to its last, offscreen at 64 x 36, advancing the clock by `stride` sixtieths
// of a second a frame (the validation layer makes every frame slow; a stride still visits
// every span and every scene change).
Playback play(const fs::path& json, bool validation, int stride = 1) {
  Playback r;
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  setenv("ZV_VALIDATION", validation ? "1" : "0", 1);
  registerPlayerOperators();
  const fs::path dir = makeWorkDir(json.stem().string() + (validation ? "_validated" : ""));
  const fs::path old = fs::current_path();
  fs::current_path(dir);
  const std::string build = std::string("'") + ZV_OPR_PATH + "' build '" + json.string() + "' -o demo.opr_b";
  EXPECT_EQ(std::system(build.c_str()), 0) << build;

  ScreenSettings settings;
  settings.width = 64;
  settings.height = 36;
  auto screen = std::make_unique<Screen>(nullptr, settings);
  auto renderers = std::make_unique<Renderers>(screen.get());
  const uint64_t messages = screen->device->validationMessageCount();
  frameCounter = 0;
  // No music file here and no dumping: the real-time clock drives the production. The
  // loop below sets it as a 60 Hz display would advance it, so every run sees the same frames.
  framedumpSetting = 0;
  isLoading = true;
  {
    Player player(screen.get(), nullptr);
    testing::internal::CaptureStderr();
    player.load();
    testing::internal::GetCapturedStderr();  // the missing music is reported; nothing else matters here
    r.recordsAfterLoad = dirLights().size() + pointLights().size() + spotLights().size() + shadowCasters().size();
    isLoading = false;
    EXPECT_FALSE(player.musicPlaying);
    auto atDisplayRate = [stride] { wallClockTime = double(frameCounter) * stride / 60.0; };

    atDisplayRate();
    if (player.frame()) {
      screen->present();
      screen->device->waitIdle();
      const uint64_t created = screen->device->counters().total();
      r.frames = 1;
      std::vector<uint8_t> pixels;
      allocations::start();
      while ((atDisplayRate(), player.frame())) {
        screen->present();
        ++r.frames;
        if (r.frames * stride % 60 == 30) {  // once a second, outside the counted work: is anything drawn?
          allocations::pause();
          EXPECT_TRUE(screen->readBack(pixels));
          int lit = 0;
          for (size_t i = 0; i + 3 < pixels.size(); i += 4) lit += pixels[i] + pixels[i + 1] + pixels[i + 2] > 150;
          r.litFrames += lit > 64;
          pixels.clear();
          allocations::resume();
        }
      }
      r.allocations = allocations::stop();
      screen->device->waitIdle();
      r.gpuObjects = screen->device->counters().total() - created;
    }
  }
  r.validationMessages = screen->device->validationMessageCount() - messages;
  renderers.reset();
  screen.reset();
  fs::current_path(old);
  fs::remove_all(dir);
  unsetenv("ZV_VALIDATION");
  return r;
}

const fs::path kSample = fs::path(ZV_SOURCE_DIR) / "demo" / "demo.json";

TEST(SampleProduction, AfterTheFirstFrameNoFrameCreatesGpuObjects) {
  const Playback p = play(kSample, true, 5);
  EXPECT_EQ(p.frames, 144);  // twelve seconds at 1/12 s a frame, every scene
  EXPECT_EQ(p.gpuObjects, 0u) << "frames after the first created GPU objects";
  EXPECT_EQ(p.litFrames, 12) << "frames sampled once a second should show geometry";
  EXPECT_EQ(p.validationMessages, 0u);
}

TEST(SampleProduction, AfterTheFirstFrameNoFrameAllocates) {
  // Without the validation layer, which allocates for its own bookkeeping through the
  // program's allocation functions on every call.
  const Playback p = play(kSample, false);
  EXPECT_EQ(p.frames, 720);
  EXPECT_EQ(p.allocations, 0) << "frames after the first allocated from the heap";
}

// For its first second a backdrop alone; then, with a span of their own, a cube lit by a
// shadowed light through "LightPass" and drawn again through "Forward". The cube and the
// lighting skip their drawing while loading, so only a warm-up that prepares their draws
// keeps the second span from building pipelines, views and targets.
const char* kLateScene = R"({
  "graphs": [
    { "id": 1, "name": "backdrop",
      "operators": [
        { "id": 2, "type": "Image", "params": { "Clear.B": 0.2, "Clear.A": 1 } }
      ],
      "connections": [ { "from": 2, "output": "ImageOut", "to": 0, "input": "In" } ] },
    { "id": 2, "name": "cubes",
      "operators": [
        { "id": 2, "type": "Image", "params": { "Clear.A": 1 } },
        { "id": 3, "type": "LightPass" },
        { "id": 4, "type": "TargetCamera", "params": { "CamOffset.Z": -4, "Pitch": 20 } },
        { "id": 5, "type": "Group" },
        { "id": 6, "type": "DirLight", "params": { "Cast Shadows": 1 } },
        { "id": 7, "type": "Material", "params": { "Color.R": 1, "Color.G": 1, "Color.B": 1 } },
        { "id": 8, "type": "Cube" },
        { "id": 9, "type": "Forward", "params": { "Shader": "data/shaders/forward/headlight.hlsl" } },
        { "id": 10, "type": "TargetCamera", "params": { "CamOffset.Z": -3 } }
      ],
      "connections": [
        { "from": 3, "output": "ImageOut", "to": 2, "input": "ImageIn" },
        { "from": 4, "output": "OutScene", "to": 3, "input": "SceneIn" },
        { "from": 5, "output": "OutScene", "to": 4, "input": "InScene" },
        { "from": 6, "output": "OutScene", "to": 5, "input": "InScene" },
        { "from": 7, "output": "SceneOut", "to": 5, "input": "InScene" },
        { "from": 8, "output": "OutScene", "to": 7, "input": "sceneIn" },
        { "from": 2, "output": "ImageOut", "to": 9, "input": "ImageIn" },
        { "from": 10, "output": "OutScene", "to": 9, "input": "SceneIn" },
        { "from": 7, "output": "SceneOut", "to": 10, "input": "InScene" },
        { "from": 9, "output": "ImageOut", "to": 0, "input": "In" }
      ] }
  ],
  "tracks": [ [ { "graph": 1, "start": 0, "end": 1 }, { "graph": 2, "start": 1, "end": 2 } ] ]
})";

TEST(SteadyPlayback, GeometryFirstShownInALaterSpanCreatesNothingWhenItComes) {
  const fs::path json = fs::temp_directory_path() / ("zv_late_scene_" + std::to_string(getpid()) + ".json");
  std::ofstream(json) << kLateScene;
  const Playback p = play(json, true);
  fs::remove(json);
  EXPECT_EQ(p.frames, 120);
  EXPECT_EQ(p.gpuObjects, 0u) << "the lit cube's first frame created GPU objects";
  EXPECT_EQ(p.litFrames, 1) << "the cube should show in the second second only";
  // Each operator down the image chain evaluates the scene again while loading; its lights
  // and casters must not pile up from one to the next.
  EXPECT_EQ(p.recordsAfterLoad, 0u);
  EXPECT_EQ(p.validationMessages, 0u);
}

}  // namespace

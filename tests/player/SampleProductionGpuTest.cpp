// The sample production (demo/demo.json, built with opr) played in-process from start to end:
// after its first frame, no frame creates a GPU object or allocates from the heap, through
// the scene change in the middle too; and its frames are not empty.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "gfx/Screen.h"
#include "player/Clock.h"
#include "player/App.h"
#include "player/App.h"
#include "player/Globals.h"
#include "player/Player.h"
#include "tests/player/PlayerTestSupport.h"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t n) {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept { return operator new(n, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using namespace playertest;

namespace {

struct Playback {
  int frames = 0;
  int litFrames = 0;           // of the frames sampled once a second, those showing geometry
  long allocations = 0;        // by the frames after the first
  uint64_t gpuObjects = 0;     // created by the frames after the first
  uint64_t validationMessages = 0;
};

// Builds demo/demo.json with opr in a scratch directory and plays it from its first frame to
// its last, offscreen at 64 x 36.
Playback play(bool validation) {
  Playback r;
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  setenv("ZV_VALIDATION", validation ? "1" : "0", 1);
  registerPlayerOperators();
  const fs::path dir = makeWorkDir(validation ? "sample_validated" : "sample");
  const fs::path old = fs::current_path();
  fs::current_path(dir);
  const std::string build =
      std::string("'") + ZV_OPR_PATH + "' build '" + ZV_SOURCE_DIR + "/demo/demo.json' -o demo.opr_b";
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
    isLoading = false;
    EXPECT_FALSE(player.musicPlaying);
    auto atDisplayRate = [] { wallClockTime = double(frameCounter) / 60.0; };

    atDisplayRate();
    if (player.frame()) {
      screen->present();
      screen->device->waitIdle();
      const uint64_t created = screen->device->counters().total();
      r.frames = 1;
      std::vector<uint8_t> pixels;
      g_allocations = 0;
      g_counting = true;
      while ((atDisplayRate(), player.frame())) {
        screen->present();
        ++r.frames;
        if (r.frames % 60 == 30) {  // outside the counted work: is anything drawn?
          g_counting = false;
          EXPECT_TRUE(screen->readBack(pixels));
          int lit = 0;
          for (size_t i = 0; i + 3 < pixels.size(); i += 4) lit += pixels[i] + pixels[i + 1] + pixels[i + 2] > 150;
          r.litFrames += lit > 64;
          pixels.clear();
          g_counting = true;
        }
      }
      g_counting = false;
      r.allocations = g_allocations.load();
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

TEST(SampleProduction, AfterTheFirstFrameNoFrameCreatesGpuObjects) {
  const Playback p = play(true);
  EXPECT_EQ(p.frames, 720);  // twelve seconds at 1/60 s a frame, every scene
  EXPECT_EQ(p.gpuObjects, 0u) << "frames after the first created GPU objects";
  EXPECT_EQ(p.litFrames, 12) << "frames sampled once a second should show geometry";
  EXPECT_EQ(p.validationMessages, 0u);
}

TEST(SampleProduction, AfterTheFirstFrameNoFrameAllocates) {
  // Without the validation layer, which allocates for its own bookkeeping through the
  // program's allocation functions on every call.
  const Playback p = play(false);
  EXPECT_EQ(p.frames, 720);
  EXPECT_EQ(p.allocations, 0) << "frames after the first allocated from the heap";
}

}  // namespace

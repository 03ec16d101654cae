// Offline rendering of the sample production at 1280 x 720: the same frames rendered
// alone (the floor), written as TIFF files (the frame dump), and encoded as an H.264
// video, all in one run. Reports each against the floor and the video against the dump.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "gfx/Screen.h"
#include "player/App.h"
#include "player/Clock.h"
#include "player/FrameWriter.h"
#include "player/Globals.h"
#include "player/Player.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 720;
constexpr int32_t kFirst = 360, kFrames = 30;  // half a second of the reflections scene

struct Sample {
  Sample() {
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    dir = fs::temp_directory_path() / ("zv_render_bench_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::create_directory_symlink(fs::path(ZV_SOURCE_DIR) / "data", dir / "data");
    old = fs::current_path();
    fs::current_path(dir);
    registerPlayerOperators();
    ScreenSettings settings;
    settings.width = kWidth;
    settings.height = kHeight;
    screen = std::make_unique<Screen>(nullptr, settings);
    renderers = std::make_unique<Renderers>(screen.get());
    framedumpSetting = 1;
    setOfflineClock(60);
    player = std::make_unique<Player>(screen.get(), nullptr);
    loaded = player->load((fs::path(ZV_SOURCE_DIR) / "demo/demo.json").string());
    isLoading = false;
  }
  ~Sample() {
    player.reset();
    renderers.reset();
    screen.reset();
    fs::current_path(old);
    fs::remove_all(dir);
  }
  // Renders the frames into `writer` (null: rendering alone); seconds of wall time.
  double render(std::unique_ptr<FrameOutput> output) {
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<FrameWriter> writer;
    if (output) writer = std::make_unique<FrameWriter>(std::move(output));
    player->setOutput(writer.get(), kFirst);
    // Alone: no frame dump either (the production then follows the real-time clock, which
    // offline steps with the frames).
    framedumpSetting = writer ? 1 : 0;
    for (int32_t n = kFirst; n < kFirst + kFrames; ++n) {
      frameCounter = n;
      advanceClockForFrame(n);
      player->frame();
      screen->present();
    }
    std::string error;
    if (writer && !writer->finish(error)) return -1.0;
    player->setOutput(nullptr, 0);
    framedumpSetting = 1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  fs::path dir, old;
  std::unique_ptr<Screen> screen;
  std::unique_ptr<Renderers> renderers;
  std::unique_ptr<Player> player;
  bool loaded = false;
};

void BM_SampleRenderedAloneAsTiffAndAsVideo(benchmark::State& state) {
  static Sample sample;
  if (!sample.loaded) {
    state.SkipWithError("the sample production did not load");
    return;
  }
  sample.render(nullptr);  // warm: the scene's first frames make its targets
  double alone = 0.0, tiff = 0.0, video = 0.0;
  for (auto _ : state) {
    alone += sample.render(nullptr);
    fs::create_directories("dump");
    tiff += sample.render(makeSequenceOutput("dump/frame_%06d.tiff"));
    VideoSettings v;
    v.path = "sample.mp4";
    v.width = kWidth;
    v.height = kHeight;
    std::string error;
    auto out = makeVideoOutput(v, error);
    if (!out) {
      state.SkipWithError(error.c_str());
      return;
    }
    video += sample.render(std::move(out));
    fs::remove_all("dump");
  }
  const double n = double(state.iterations()) * kFrames;
  state.counters["alone_ms_per_frame"] = alone / n * 1e3;
  state.counters["tiff_ms_per_frame"] = tiff / n * 1e3;
  state.counters["mp4_ms_per_frame"] = video / n * 1e3;
  state.counters["tiff_over_alone"] = tiff / alone;
  state.counters["mp4_over_tiff"] = video / tiff;
}
BENCHMARK(BM_SampleRenderedAloneAsTiffAndAsVideo)->Iterations(2)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

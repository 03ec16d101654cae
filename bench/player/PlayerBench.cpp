// Offscreen playback at 1280 x 720 (frame step + present, with and without writing every
// frame as TIFF) and the loading of a production of 200 operators (warm-up with the loading
// bar drawn and presented after each operator).
#include <string>
#include <unistd.h>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "engine/Project.h"
#include "gfx/Screen.h"
#include "player/Globals.h"
#include "player/Player.h"
#include "project/ProjectLoader.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 720;

// One offscreen Screen for the whole run (one Device per process), and a scratch working
// directory with data/ linked to the repository's.
struct Bench {
  Bench() {
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    dir = fs::temp_directory_path() / ("zv_player_bench_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::create_directory_symlink(fs::path(ZV_SOURCE_DIR) / "data", dir / "data");
    old = fs::current_path();
    fs::current_path(dir);
    ScreenSettings settings;
    settings.width = kWidth;
    settings.height = kHeight;
    screen = std::make_unique<Screen>(nullptr, settings);
  }
  ~Bench() {
    screen.reset();
    fs::current_path(old);
    fs::remove_all(dir);
  }
  fs::path dir, old;
  std::unique_ptr<Screen> screen;
};

Bench& bench() {
  static Bench b;
  return b;
}

// A production of `operators` operators in one graph shown for a long time.
void writeProduction(int operators) {
  Project p;
  p.tracks[0].spans[0]->timeEnd = 1e6f;
  for (int i = 2; i < operators; ++i) p.graphs[0]->createOperator(i % 3 ? "Sin" : "Time");
  saveProjectFile("demo.opr_b", p);
}

void BM_OffscreenPlayback(benchmark::State& state) {
  Bench& b = bench();
  writeProduction(8);
  framedumpSetting = int32_t(state.range(0));
  frameCounter = 0;
  Player player(b.screen.get(), nullptr);
  player.load();
  isLoading = false;
  for (int i = 0; i < 3; ++i) {  // the ring targets come into use
    player.frame();
    b.screen->present();
  }
  for (auto _ : state) {
    if (!player.frame()) state.SkipWithError("the production ended");
    b.screen->present();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  framedumpSetting = 0;
  fs::remove_all("framedump");
}
// Dumping writes 3.7 MB a frame: a fixed number of frames keeps the disk use bounded.
BENCHMARK(BM_OffscreenPlayback)->Arg(0)->Iterations(300)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OffscreenPlayback)->Arg(1)->Iterations(60)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Load200Operators(benchmark::State& state) {
  Bench& b = bench();
  writeProduction(200);
  for (auto _ : state) {
    Player player(b.screen.get(), nullptr);
    player.load();
    if (player.warmedUp != 200) state.SkipWithError("not all operators were warmed up");
  }
}
BENCHMARK(BM_Load200Operators)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

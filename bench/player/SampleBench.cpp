// The sample production (demo/demo.json) at 1280 x 720 on an offscreen Screen, with the floor
// pass measured in the same process:
// - BM_SampleStart: from nothing loaded to the first frame finished (every program compiled
//   or read, every pipeline made while the operators warm up), from shader sources and from
//   compiled shaders. Each iteration starts with an empty shader cache.
// - BM_SampleFrame: one frame of the offline render (frame n at n/60 s, written as a file as
//   the frame dump does), from the start of the production.
// The compiled shaders are made by the benchmark itself from the programs the sources road
// loaded (what `hlslc bin` would write for that list). Run from the repository root.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "bench/floor/ProcessCpu.h"
#include "engine/Globals.h"
#include "engine/Project.h"
#include "gfx/Device.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "player/App.h"
#include "player/Globals.h"
#include "player/Player.h"
#include "project/ProjectLoader.h"
#include "scene/FrameSetup.h"
#include "tools/opr/JsonProduction.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 720;

struct Sample {
  fs::path dir, old;
  std::unique_ptr<Screen> screen;
  std::string error;
  bool compiledReady = false;
  double loadMs = 0.0, firstFrameMs = 0.0;  // summed over start() calls

  Sample() {
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    // ZV_SAMPLE_ROOT: another tree's demo/ and data/ (to time an older state of the shaders).
    const char* root = std::getenv("ZV_SAMPLE_ROOT");
    const fs::path source = fs::path(root && *root ? root : ZV_SOURCE_DIR);
    dir = fs::temp_directory_path() / ("zv_sample_bench_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "data");
    fs::create_directory_symlink(source / "data/shaders", dir / "data/shaders");
    fs::create_directory_symlink(source / "data/textures", dir / "data/textures");
    registerPlayerOperators();
    std::ifstream in(source / "demo/demo.json");
    std::stringstream text;
    text << in.rdbuf();
    Project project;
    if (!buildProjectFromJson(text.str(), "demo/demo.json", project, error)) return;
    old = fs::current_path();
    fs::current_path(dir);
    if (!saveProjectFile("demo.opr_b", project, &error)) return;
    ScreenSettings settings;
    settings.width = kWidth;
    settings.height = kHeight;
    screen = std::make_unique<Screen>(nullptr, settings);
  }
  ~Sample() {
    screen.reset();
    if (!old.empty()) fs::current_path(old);
    fs::remove_all(dir);
  }

  // Loads the production and draws its first frame; the log of the loading is kept when
  // `log` is given (it names every program loaded).
  bool start(std::string* log = nullptr) {
    clearShaderCache();
    frameCounter = 0;
    int saved = -1;
    const std::string logPath = (dir / "load.log").string();
    if (log) {
      std::fflush(stderr);
      saved = dup(2);
      const int file = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(file, 2);
      ::close(file);
    }
    bool ok;
    {
      // As the player starts: the post-process manager and the lighting, then the
      // production loaded and warmed up, then its first frame.
      const auto begin = std::chrono::steady_clock::now();
      Renderers renderers(screen.get());
      Player player(screen.get(), nullptr);
      ok = player.load();
      screen->device->waitIdle();
      const auto loaded = std::chrono::steady_clock::now();
      ok = ok && player.frame();
      screen->device->waitIdle();
      const auto drawn = std::chrono::steady_clock::now();
      loadMs += std::chrono::duration<double, std::milli>(loaded - begin).count();
      firstFrameMs += std::chrono::duration<double, std::milli>(drawn - loaded).count();
    }
    if (log) {
      std::fflush(stderr);
      dup2(saved, 2);
      ::close(saved);
      std::ifstream in(logPath);
      std::stringstream s;
      s << in.rdbuf();
      *log = s.str();
    }
    return ok;
  }

  // data/binShaders from the programs named in a sources-road loading log.
  bool makeCompiled(const std::string& log) {
    std::istringstream lines(log);
    std::string line;
    const std::string prefix = "Loading shader program ";
    std::set<std::string> written;
    while (std::getline(lines, line)) {
      if (line.rfind(prefix, 0) != 0) continue;
      std::istringstream words(line.substr(prefix.size()));
      std::string name, entry;
      words >> name;
      // Paths are logged with doubled separators; the compiled file sits at the same place
      // under data/binShaders without the extension.
      for (size_t at; (at = name.find("//")) != std::string::npos;) name.erase(at, 1);
      if (name.rfind("data/shaders/", 0) == 0) name = name.substr(13);
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".hlsl") == 0) name.resize(name.size() - 5);
      std::ifstream in("data/shaders/" + name + ".hlsl");
      std::stringstream text;
      text << in.rdbuf();
      while (words >> entry) {
        static const char* const kStages[] = {"vs=", "hs=", "ds=", "gs=", "ps=", "cs="};
        for (uint32_t stage = 0; stage < hlsl::kStageCount; ++stage) {
          if (entry.rfind(kStages[stage], 0) != 0) continue;
          const std::string fn = entry.substr(3);
          const fs::path out = fs::path("data/binShaders") / (name + fn + kStageSuffix[stage]);
          if (!written.insert(out.string()).second) continue;
          auto blob = compileShader(stage, kStageProfile[stage], text.str(), fn.c_str(), ("data/shaders/" + name + ".hlsl").c_str());
          if (!blob) return false;
          fs::create_directories(out.parent_path());
          std::ofstream(out, std::ios::binary)
              .write(static_cast<const char*>(blob->bytes()), std::streamsize(blob->byteSize()));
        }
      }
    }
    return !written.empty();
  }
};

Sample& sample() {
  static Sample s;
  return s;
}

void BM_SampleStart(benchmark::State& state) {
  Sample& s = sample();
  if (!s.screen) {
    state.SkipWithError(("the sample could not be built: " + s.error).c_str());
    return;
  }
  const bool compiled = state.range(0) != 0;
  framedumpSetting = 1;  // no music: the clock is the frame counter
  if (compiled && !s.compiledReady) {
    useBinaryShaders = false;
    std::string log;
    if (!s.start(&log) || !s.makeCompiled(log)) {
      state.SkipWithError("could not make the compiled shaders");
      return;
    }
    s.compiledReady = true;
  }
  useBinaryShaders = compiled;
  s.loadMs = s.firstFrameMs = 0.0;
  const double cpuStart = floorpass::processCpuMs();
  for (auto _ : state)
    if (!s.start()) state.SkipWithError("the sample did not start");
  // Every thread's CPU time per start: what the start costs whatever else the machine runs.
  state.counters["cpu_ms"] = (floorpass::processCpuMs() - cpuStart) / double(state.iterations());
  // The start in two: loading with the warm-up, and the first frame after it.
  state.counters["load_ms"] = s.loadMs / double(state.iterations());
  state.counters["frame0_ms"] = s.firstFrameMs / double(state.iterations());
  useBinaryShaders = false;
  framedumpSetting = 0;
}
BENCHMARK(BM_SampleStart)->ArgName("compiled")->Arg(0)->Arg(1)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SampleFrame(benchmark::State& state) {
  Sample& s = sample();
  if (!s.screen) {
    state.SkipWithError(("the sample could not be built: " + s.error).c_str());
    return;
  }
  useBinaryShaders = false;
  framedumpSetting = 1;
  frameCounter = 0;
  {
    clearShaderCache();
    Renderers renderers(s.screen.get());
    Player player(s.screen.get(), nullptr);
    if (!player.load()) state.SkipWithError("the sample did not load");
    isLoading = false;
    const double cpuStart = floorpass::processCpuMs();
    for (auto _ : state) {
      if (!player.frame()) state.SkipWithError("the production ended");
      s.screen->present();
      s.screen->device->waitIdle();
    }
    // Every thread's CPU time per frame: on the CPU driver, the frame's shading work.
    state.counters["cpu_ms"] = (floorpass::processCpuMs() - cpuStart) / double(state.iterations());
  }
  framedumpSetting = 0;
  fs::remove_all("framedump");
}
// Frames 0-19 (the first third of a second: the dump's clock advances a frame per call).
BENCHMARK(BM_SampleFrame)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

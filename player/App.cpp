#include "player/App.h"

#include <SDL.h>

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <vector>
#if defined(__SANITIZE_ADDRESS__)
#include <dlfcn.h>
#include <link.h>
#endif

#include "engine/Operator.h"
#include "engine/Project.h"
#include "gfx/Device.h"
#include "gfx/FatalError.h"
#include "gfx/LoadFailures.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "gfx/TextureLoader.h"
#include "image/Operators.h"
#include "image/PostProcessManager.h"
#include "player/Clock.h"
#include "player/CommandLine.h"
#include "player/Fatal.h"
#include "player/FrameWriter.h"
#include "player/Globals.h"
#include "player/LoadingBar.h"
#include "player/Log.h"
#include "player/Player.h"
#include "player/Profile.h"
#include "player/Settings.h"
#include "player/Watch.h"
#include "player/Window.h"
#include "scene/DeferredLighting.h"
#include "scene/FrameSetup.h"
#include "scene/MeshImport.h"
#include "scene/Operators.h"
#include "sim/Operators.h"
#include "treefile/TreeFile.h"

namespace {

void playerFatalHandler(const char* text) { playerFatalError(text); }

#if defined(__SANITIZE_ADDRESS__)
// Mesa's Vulkan drivers keep a few blocks for the whole process in their own globals (the
// processor topology, detected once, among them) and never free them. The Vulkan loader
// unloads the driver when the instance is destroyed, so at exit the leak checker finds
// those blocks with nothing pointing at them and reports 240 bytes "from an unknown
// module" on every run. Keeping the drivers mapped until exit lets it see the globals
// that hold them; it hides nothing that our own code allocates.
void keepVulkanDriversMapped() {
  std::vector<std::string> drivers;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* out) {
        const std::string path = info->dlpi_name ? info->dlpi_name : "";
        const std::string file = path.substr(path.rfind('/') + 1);
        if (file.rfind("libvulkan_", 0) == 0) static_cast<std::vector<std::string>*>(out)->push_back(path);
        return 0;
      },
      &drivers);
  // Not inside the walk: it holds the loader's lock that dlopen needs.
  for (const std::string& d : drivers) dlopen(d.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}
#endif

// Every frame reaches the screen, and the frame dump, through the copy program: without it
// the player could only show black frames, so a run cannot go on.
void requireCopyProgram(Device* device) {
  const struct {
    uint32_t stage;
    const char* entry;
  } stages[] = {{0, "VS"}, {4, "PS"}};
  for (const auto& st : stages) {
    EntryPoints entries;
    entries.entry[st.stage] = st.entry;
    ShaderProgram probe(device);
    if (loadProgramAuto("copy", entries, &probe)) continue;
    const std::string file = useBinaryShaders
                                 ? std::string("data/binShaders/copy") + st.entry + kStageSuffix[st.stage]
                                 : std::string("data/shaders/copy.hlsl");
    const std::string text = "Cannot load the copy shader " + file + " (entry point " + st.entry +
                             "): without it no frame can reach the screen";
    fatalError(text.c_str());
  }
}

// The size the screen got may be smaller than asked for (the device's largest image).
void reportClampedSize(const Settings& settings, const Screen& screen) {
  if (uint32_t(settings.width) != screen.width)
    logText("config.ini: width %d is more than this device's largest image; using %u\n", int(settings.width),
            screen.width);
  if (uint32_t(settings.height) != screen.height)
    logText("config.ini: height %d is more than this device's largest image; using %u\n", int(settings.height),
            screen.height);
}

// Mesa's device-selection layer orders the devices by the display's GPU, which it finds
// by connecting to a Wayland compositor: without a session that prints "XDG_RUNTIME_DIR
// is invalid or not set" at every device enumeration. Offscreen there is no display to
// match and the device is chosen here anyway, so the layer is left out then, unless the
// user asked for it by naming a device for it to select.
void leaveOutDisplayDeviceSelection(SDL_Window* window) {
  if (window || std::getenv("MESA_VK_DEVICE_SELECT")) return;
  setenv("NODEVICE_SELECT", "1", 0);
}

Screen* createScreen(SDL_Window* window, const Settings& settings) {
  leaveOutDisplayDeviceSelection(window);
  ScreenSettings screenSettings;
  screenSettings.flags = (settings.vsync ? kScreenVsync : 0) | (settings.fullscreen ? kScreenFullscreen : 0);
  screenSettings.width = uint32_t(settings.width);
  screenSettings.height = uint32_t(settings.height);
  screenSettings.backBufferFormat = 0;
  screenSettings.depthFormat = 0;
  // Pipelines built on this run start the next one (ignored and rebuilt for another driver).
  screenSettings.device.pipelineCachePath = "zarvo-pipelines.bin";
  resetClock();
  if (gScreen) {
    logText("Warning: screen already created\n");
    delete gScreen;
    gScreen = nullptr;
  }
  auto* screen = new Screen(window, screenSettings);
  gScreen = screen;
  return screen;
}

}  // namespace

void runMainLoop(Player& player, Screen& screen) {
  // The old swap-chain images and targets may still be read by work in flight.
  auto resize = [&screen](uint32_t w, uint32_t h) {
    if (screen.device) screen.device->waitIdle();
    screen.resize(w, h);
  };
  while (!quitRequested) {
    SDL_Event event;
    if (SDL_PollEvent(&event)) {
      if (handleEvent(event, screen.width, screen.height, resize) == EventAction::LeaveLoop) break;
      continue;  // events are drained before the next frame
    }
    advanceClockForFrame(frameCounter);
    clearDeviceState(screen.device);
    if (!player.frame()) quitRequested = true;
    screen.present();
  }
}

Renderers::Renderers(Screen* screen) {
  postProcess_ = new PostProcessManager();
  postProcess_->init(screen ? screen->device : nullptr, screen);
  lighting_ = DeferredLighting::Create(screen ? screen->device : nullptr).release();
  gDeferredLighting = lighting_;
  // After every lighting render the lighting pass has the manager prepare the camera motion blur.
  if (lighting_) lighting_->velocityTiles = postProcess_;
}

Renderers::~Renderers() {
  if (lighting_) lighting_->velocityTiles = nullptr;
  delete postProcess_;
  delete lighting_;
  gDeferredLighting = nullptr;
}

void registerPlayerOperators() {
  registerEngineOperators();
  registerSceneOperators();
  registerImageOperators();
  registerSimOperators();
}

namespace {

constexpr const char* kVersion = "zarvo 1.1";

// The shutdown after a run: the caches in their fixed order, all before the Device goes.
void shutDown(std::unique_ptr<Renderers>& renderers, Screen* screen, PlayerWindow& window) {
  renderers.reset();
  clearMeshCache();
  clearShaderCache();
  clearTextureCache();
  clearLwoCache();
  delete screen;
  gScreen = nullptr;
  closePlayerWindow(window);
  setFatalErrorHandler(nullptr);
  SDL_Quit();
}

// The line that ends a --strict run whose production asked for files it could not use.
std::string strictFailure(const Player& player) {
  const size_t n = player.loadFailures.size();
  return "--strict: " + std::to_string(n) + (n == 1 ? " file" : " files") + " could not be used (listed above)";
}

// Live playback (and the frame dump of config.ini), as the player has always run. With
// options (`withOptions`), the files that could not be used are summed up after loading,
// and with `strict` they end the run before it plays.
int playLive(const std::string& production, int32_t width, int32_t height, bool withOptions = false,
             bool strict = false) {
  Settings settings = readSettingsFile("config.ini");
  if (width > 0) settings.width = width, settings.height = height;
  framedumpSetting = settings.framedump;
  // Dumped frames are 1/60 s apart, and so are the real-time clock's steps between them.
  setOfflineClock(framedumpSetting != 0 ? 60 : 0);

  PlayerWindow window = openPlayerWindow(settings);
  Screen* screen = createScreen(window.window, settings);
#if defined(__SANITIZE_ADDRESS__)
  keepVulkanDriversMapped();
#endif
  reportClampedSize(settings, *screen);
  decideBinaryShaders();
  requireCopyProgram(screen->device);
  auto renderers = std::make_unique<Renderers>(screen);

  bool complete = false;
  bool refused = false;
  {
    Player player(screen);
    player.reportLoadFailures = withOptions;
    complete = player.load(production);
    isLoading = false;
    resetClock();
    if (strict && !player.loadFailures.empty()) {
      logText("zarvo: %s\n", strictFailure(player).c_str());
      refused = true;
    } else {
      runMainLoop(player, *screen);
    }

    player.releaseGpu();
    player.freeAudio();
    player.destroyProject();
  }

  if (framedumpSetting != 0) {
    if (frameCounter > 0) {
      std::error_code ec;
      auto folder = std::filesystem::absolute("framedump", ec);
      logText("%d frame%s written to %s\n", int(frameCounter), frameCounter == 1 ? "" : "s",
              folder.string().c_str());
    } else {
      logText("No frames written: the production shows nothing at 0 s\n");
    }
  }

  shutDown(renderers, screen, window);
  if (refused) return 1;
  // A production file that could not be used, of which nothing was shown, is a failed run
  // (the reason is in the log); a complete production that ends at once is not.
  return !complete && frameCounter == 0 ? 1 : 0;
}

// The author's loop: plays in a window (offscreen without a display) with a cursor moved
// by keys, and reloads when the production or a file it uses changes.
void stopWatching(int) { quitRequested = true; }

int runWatch(const CommandLine& cl) {
  // Offscreen no window delivers Ctrl-C as an event: the loop ends at its next turn.
  std::signal(SIGINT, stopWatching);
  std::signal(SIGTERM, stopWatching);
  Settings settings = readSettingsFile("config.ini");
  if (cl.width > 0) settings.width = cl.width, settings.height = cl.height;
  settings.fullscreen = false;
  framedumpSetting = 0;
  setOfflineClock(0);

  PlayerWindow window = openPlayerWindow(settings);
  Screen* screen = createScreen(window.window, settings);
#if defined(__SANITIZE_ADDRESS__)
  keepVulkanDriversMapped();
#endif
  reportClampedSize(settings, *screen);
  decideBinaryShaders();
  requireCopyProgram(screen->device);
  auto renderers = std::make_unique<Renderers>(screen);

  int status = 0;
  {
    Player player(screen);
    player.reportLoadFailures = true;
    WatchSession session(player, cl.production, 60);
    const bool usable = session.start();
    resetClock();
    if (cl.strict && (!usable || !player.loadFailures.empty())) {
      logText("zarvo: --strict: %s does not load whole\n", cl.production.c_str());
      status = 1;
    } else {
      logText("zarvo: watching %s and %zu files it uses; Space pauses, Left/Right seek 1 s (Shift: 10 s), "
              "Comma/Period step a frame, Home goes to 0, L loops the span, Escape quits\n",
              cl.production.c_str(), session.watchedFiles().size() - 1);
      using clock = std::chrono::steady_clock;
      auto last = clock::now(), lastPoll = last, lastTitle = last;
      double rate = 0.0;
      while (!quitRequested) {
        SDL_Event event;
        if (SDL_PollEvent(&event)) {
          if (event.type == SDL_KEYDOWN) {
            const WatchKey key = watchKeyFor(event.key.keysym.sym, (event.key.keysym.mod & KMOD_SHIFT) != 0);
            if (key != WatchKey::None) {
              session.apply(key);
              continue;
            }
          }
          auto resize = [screen](uint32_t w, uint32_t h) {
            if (screen->device) screen->device->waitIdle();
            screen->resize(w, h);
          };
          if (handleEvent(event, screen->width, screen->height, resize) == EventAction::LeaveLoop) break;
          continue;
        }
        const auto now = clock::now();
        const double dt = std::chrono::duration<double>(now - last).count();
        last = now;
        if (dt > 0.0) rate = rate == 0.0 ? 1.0 / dt : rate * 0.9 + 0.1 / dt;
        session.advance(dt);
        if (now - lastPoll >= std::chrono::milliseconds(100)) {
          session.poll();
          lastPoll = now;
        }
        advanceClockForFrame(frameCounter);
        session.drawFrame();
        screen->present();
        if (window.window && now - lastTitle >= std::chrono::milliseconds(250)) {
          SDL_SetWindowTitle(window.window, ("zarvo | " + session.title(rate)).c_str());
          lastTitle = now;
        }
      }
    }
    player.releaseGpu();
    player.freeAudio();
    player.destroyProject();
  }
  shutDown(renderers, screen, window);
  return status;
}

// Ctrl-C during an offline render stops it at the next frame; the unfinished file goes.
void stopRendering(int) { quitRequested = true; }

// Whether `file` can be created in its folder: made and removed at once, so that a render
// never runs for minutes to fail on its first write.
bool probeWritable(const std::string& shownName, const std::string& file, std::string& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path folder = fs::path(file).parent_path();
  if (!folder.empty() && !fs::is_directory(folder, ec)) {
    error = "cannot write " + shownName + ": the folder " + folder.string() + " does not exist";
    return false;
  }
  if (fs::is_directory(file, ec)) {
    error = "cannot write " + shownName + ": it is a folder";
    return false;
  }
  const std::string probe = file + ".part";
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) {
    error = "cannot write " + shownName + ": " + std::strerror(errno);
    return false;
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

// The first frame whose time (the single-precision n x (1 / fps)) is at least t.
int64_t firstFrameFrom(double t, int32_t fps) {
  const double limit = double(INT32_MAX) - 4.0;
  int64_t n = int64_t(std::max(0.0, std::min(limit, std::floor(t * fps) - 2.0)));
  while (n < INT32_MAX && frameTime(int32_t(n), fps) < float(t)) ++n;
  return n;
}

std::string describeSeconds(double t) {
  char text[64];
  std::snprintf(text, sizeof text, "%g s", t);
  return text;
}

// One frame, a range or a video, offscreen. 1 after a message when it cannot be done.
int renderOffline(const CommandLine& cl) {
  auto fail = [](const std::string& why) {
    logText("zarvo: %s\n", why.c_str());
    return 1;
  };
  Settings settings = readSettingsFile("config.ini");
  if (cl.width > 0) settings.width = cl.width, settings.height = cl.height;
  settings.vsync = false;
  settings.fullscreen = false;

  // Everything that can be checked before the device exists is: the output's folder and
  // the production (a JSON source with a mistake fails here, with the tool's message).
  const std::string target =
      cl.outputKind == OutputKind::None ? std::string("framedump/frame_%06d.tiff") : cl.output;
  std::string error;
  if (cl.outputKind != OutputKind::None) {
    const std::string first = cl.outputKind == OutputKind::Sequence ? sequenceName(cl.output, 0) : cl.output;
    if (!probeWritable(cl.output, first, error)) return fail(error);
  }
  {
    TreeFile probe;
    bool opened = false;
    if (!readProductionTree(cl.production, probe, error, opened))
      return fail(opened ? error : "cannot open production file " + cl.production);
  }

  framedumpSetting = 1;
  setOfflineClock(cl.fps);
  std::signal(SIGINT, stopRendering);
  std::signal(SIGTERM, stopRendering);

  PlayerWindow window;  // never a window
  Screen* screen = createScreen(nullptr, settings);
#if defined(__SANITIZE_ADDRESS__)
  keepVulkanDriversMapped();
#endif
  reportClampedSize(settings, *screen);
  decideBinaryShaders();
  requireCopyProgram(screen->device);
  auto renderers = std::make_unique<Renderers>(screen);

  int status = 0;
  {
    Player player(screen, stderr);
    // Declared after the player: it goes first, giving the operators their own functions back.
    std::unique_ptr<ProfileRun> profile = cl.profile ? std::make_unique<ProfileRun>(cl.production) : nullptr;
    player.reportLoadFailures = true;
    // The frames are chosen once the production is read, before its warm-up, so that
    // only the graphs they show are warmed up.
    const int32_t fps = cl.fps;
    int64_t n0 = 0, n1 = 0;
    std::vector<int32_t> frames;  // pre-roll, then the frames written
    int64_t preroll = 0;
    auto choose = [&](Project& project, Context& ctx, std::vector<int32_t>& graphs) {
      const double end = productionEnd(project);
      if (cl.hasAt) {
        n0 = std::llround(cl.at * fps);
        n1 = n0 + 1;
        if (double(frameTime(int32_t(std::min<int64_t>(n0, INT32_MAX)), fps)) >= end)
          error = "--at " + describeSeconds(cl.at) + " is beyond the production's end (" + describeSeconds(end) + ")";
      } else {
        const double from = cl.hasFrom ? cl.from : 0.0;
        const double to = cl.hasTo ? cl.to : end;
        if (from >= end)
          error = "--from " + describeSeconds(from) + " is at or beyond the production's end (" + describeSeconds(end) + ")";
        else if (to > end + 1e-9)
          error = "--to " + describeSeconds(to) + " is beyond the production's end (" + describeSeconds(end) + ")";
        // The frames whose time, as the timeline compares it, lies in [from, to).
        n0 = firstFrameFrom(from, fps);
        n1 = firstFrameFrom(to, fps);
        if (error.empty() && n1 <= n0)
          error = "no frame lies in [" + describeSeconds(from) + ", " + describeSeconds(to) + ")";
      }
      if (error.empty() && n1 > INT32_MAX) error = "the range has too many frames";
      if (!error.empty()) return true;  // nothing will be drawn: warm nothing up
      // Frames before the first one written are drawn, not written, where something that
      // keeps history (feedback, simulations, camera shake) is shown: the written ones then equal those
      // of a render from 0.
      if (!cl.noPreroll) frames = prerollFrames(project, int32_t(n0), fps, ctx);
      preroll = int64_t(frames.size());
      for (int64_t n = n0; n < n1; ++n) frames.push_back(int32_t(n));
      const bool chosen = graphsToWarm(project, frames, fps, ctx, graphs);
      if (profile) profile->watchLoad(project, screen->device);
      return chosen;
    };
    const bool complete = player.load(cl.production, choose);
    isLoading = false;
    resetClock();
    if (!complete) error = "cannot render " + cl.production + ": the production file is not whole";
    if (profile && error.empty()) profile->start(*player.project, screen->device, fps, screen->width, screen->height);
    if (error.empty() && cl.strict && !player.loadFailures.empty()) error = strictFailure(player);

    std::unique_ptr<FrameOutput> output;
    if (error.empty()) {
      switch (cl.outputKind) {
        case OutputKind::None: output = profile ? makeNoFrameOutput() : makeSequenceOutput(target, true); break;
        case OutputKind::Sequence: output = makeSequenceOutput(target); break;
        case OutputKind::Picture: output = makePictureOutput(target); break;
        case OutputKind::Video: {
          VideoSettings video;
          video.path = target;
          video.width = screen->width;
          video.height = screen->height;
          video.fps = fps;
          video.crf = cl.crf;
          video.lossless = cl.lossless;
          const std::string& music = player.project->musicPath;
          std::error_code ec;
          if (!music.empty() && std::filesystem::is_regular_file(music, ec)) {
            video.musicPath = music;
          } else if (!music.empty()) {
            logText("Cannot open the music %s: the video has no sound\n", music.c_str());
          }
          video.audioStart = double(n0) / fps;
          video.audioSeconds = double(n1 - n0) / fps;
          output = makeVideoOutput(video, error);
          break;
        }
      }
    }

    if (!error.empty()) {
      status = fail(error);
    } else {
      FrameWriter writer(std::move(output));
      player.setOutput(&writer, profile ? INT32_MAX : int32_t(n0));  // a profile reads nothing back
      TerminalProgress progress = TerminalProgress::forStream(stderr);
      const auto began = std::chrono::steady_clock::now();
      int64_t drawn = 0;
      bool ended = false;
      for (int32_t n : frames) {
        if (quitRequested || writer.failed()) break;
        frameCounter = n;
        if (profile) profile->beginFrame(n, drawn >= preroll);
        advanceClockForFrame(frameCounter);
        clearDeviceState(screen->device);
        if (!player.frame()) {
          ended = true;
          break;
        }
        screen->present();
        if (profile) profile->endFrame(screen->device);
        ++drawn;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        const double rate = elapsed > 0.0 ? double(drawn) / elapsed : 0.0;
        const double left = rate > 0.0 ? double(int64_t(frames.size()) - drawn) / rate : 0.0;
        if (drawn <= preroll)
          progress.rendered(int(drawn), int(preroll), rate, left, true);
        else
          progress.rendered(int(drawn - preroll), int(n1 - n0), rate, left);
      }
      progress.finish();
      const int64_t written = std::max<int64_t>(0, int64_t(frameCounter) - n0);
      if (quitRequested) {
        writer.abandon();
        status = fail(profile ? std::string("stopped: no profile") : "stopped: nothing written to " + target);
      } else if (writer.failed()) {
        error = writer.error();
        writer.abandon();
        status = fail(error);
      } else if (!writer.finish(error)) {
        status = fail(error);
      } else if (profile) {
        std::fputs(profile->report().c_str(), stdout);
        if (!cl.csv.empty() && !writeProfileCsv(cl.csv, profile->csv(), error)) status = fail(error);
      } else {
        (void)ended;
        logText("%lld frame%s written to %s\n", static_cast<long long>(written), written == 1 ? "" : "s",
                target.c_str());
      }
    }
    player.setOutput(nullptr, 0);
    if (profile) profile->stop();
    player.releaseGpu();
    player.freeAudio();
    player.destroyProject();
  }
  shutDown(renderers, screen, window);
  return status;
}

}  // namespace

double productionEnd(const Project& project) {
  std::vector<std::pair<double, double>> spans;
  for (const Track& track : project.tracks)
    for (const auto& span : track.spans)
      if (span && span->timeEnd > span->timeStart) spans.emplace_back(span->timeStart, span->timeEnd);
  std::sort(spans.begin(), spans.end());
  double end = 0.0;
  for (const auto& [a, b] : spans) {
    if (a > end) break;  // a gap ends the run
    end = std::max(end, b);
  }
  return end;
}

namespace {

// A camera shake eases from its last value towards the next target, so it is history too.
const char* const kHistoryTypes[] = {"Feedback", "CameraShake", "ParticleSystem", "SPH",
                                     "Cloth",    "ClothMesh",   "SSFluids",       "MotionBlur"};

bool hasType(const OperatorGraph& graph, const char* type) {
  for (const auto& op : graph.operators)
    if (op && op->type == type) return true;
  return false;
}

bool graphKeepsHistory(const OperatorGraph& graph) {
  for (const char* type : kHistoryTypes)
    if (hasType(graph, type)) return true;
  return false;
}

}  // namespace

bool keepsHistory(const Project& project) {
  for (const auto& graph : project.graphs)
    if (graphKeepsHistory(*graph)) return true;
  return false;
}

std::vector<int32_t> prerollFrames(const Project& project, int32_t first, int32_t fps, Context& ctx) {
  std::vector<int32_t> frames;
  if (first <= 0 || !keepsHistory(project)) return frames;
  bool everyFrame = false;
  std::vector<int32_t> graphs;  // ids of the graphs whose frames count
  for (const auto& graph : project.graphs) {
    if (hasType(*graph, "MotionBlur")) everyFrame = true;
    if (graphKeepsHistory(*graph)) graphs.push_back(graph->id);
  }
  // A graph that draws one of those (through a "Graph" operator) counts too; one whose
  // graph id is animated or wired may draw any.
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& graph : project.graphs) {
      if (std::find(graphs.begin(), graphs.end(), graph->id) != graphs.end()) continue;
      for (const auto& op : graph->operators) {
        if (!op || op->type != "Graph" || op->inputs.empty()) continue;
        Port& id = op->inputs[0];
        bool counts = !id.sources.empty() || id.curve;
        if (!counts) {
          id.evaluate(0.0f, ctx);  // the parameter holds the graph id's bits
          counts = std::find(graphs.begin(), graphs.end(), std::bit_cast<int32_t>(ctx.floatResult)) != graphs.end();
        }
        if (counts) {
          graphs.push_back(graph->id);
          grew = true;
          break;
        }
      }
    }
  }
  for (int32_t n = 0; n < first; ++n) {
    const float t = frameTime(n, fps);
    bool shown = everyFrame;
    for (const Track& track : project.tracks)
      for (const auto& span : track.spans)
        if (!shown && span && span->covers(t) &&
            std::find(graphs.begin(), graphs.end(), span->graphId) != graphs.end())
          shown = true;
    if (shown) frames.push_back(n);
  }
  return frames;
}

bool graphsToWarm(Project& project, const std::vector<int32_t>& frames, int32_t fps, Context& ctx,
                  std::vector<int32_t>& graphs) {
  graphs.clear();
  for (int32_t n : frames) {
    const float t = frameTime(n, fps);
    for (const Track& track : project.tracks)
      for (const auto& span : track.spans)
        if (span && span->covers(t) && std::find(graphs.begin(), graphs.end(), span->graphId) == graphs.end())
          graphs.push_back(span->graphId);
  }
  // And the graphs those draw through "Graph" operators; one whose graph id is wired or
  // animated may draw any. Slots and the shared generator of mesh destruction tie graphs
  // together in ways the timeline does not show: with them, every graph.
  for (size_t i = 0; i < graphs.size(); ++i) {
    OperatorGraph* graph = project.findGraph(graphs[i]);
    if (!graph) continue;
    for (const auto& op : graph->operators) {
      if (!op) continue;
      if (op->type == "SlotOut" || op->type == "DestructMesh" || op->type == "DynaMesh") return false;
      if (op->type != "Graph" || op->inputs.empty()) continue;
      Port& id = op->inputs[0];
      if (!id.sources.empty() || id.curve) return false;
      id.evaluate(0.0f, ctx);
      const int32_t drawn = std::bit_cast<int32_t>(ctx.floatResult);
      if (std::find(graphs.begin(), graphs.end(), drawn) == graphs.end()) graphs.push_back(drawn);
    }
  }
  return true;
}

int runZarvo(int argc, char** argv) {
  setFatalErrorHandler(&playerFatalHandler);
  registerPlayerOperators();
  std::vector<std::string> args;
  for (int i = 1; argv && i < argc; ++i) args.emplace_back(argv[i]);
  if (args.empty()) return playLive("demo.opr_b", 0, 0);

  CommandLine cl;
  std::string error;
  if (!parseCommandLine(args, cl, error)) {
    std::fprintf(stderr, "zarvo: %s\n", error.c_str());
    return 2;
  }
  if (cl.help) {
    std::fputs(commandLineUsage(), stdout);
    return 0;
  }
  if (cl.version) {
    std::printf("%s\n", kVersion);
    return 0;
  }
  if (cl.profile && !cl.csv.empty() && !checkProfileCsvPath(cl.csv, error)) {
    std::fprintf(stderr, "zarvo: %s\n", error.c_str());
    return 2;
  }
  // The player without arguments logs every program it loads, as it always did; with
  // options that takes --verbose, and the files that failed come as one summary instead.
  setProgramLoadLines(cl.verbose);
  if (cl.watch) return runWatch(cl);
  if (cl.offline()) return renderOffline(cl);
  return playLive(cl.production, cl.width, cl.height, true, cl.strict);
}

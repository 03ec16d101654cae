#include "player/App.h"

#include <SDL.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>
#if defined(__SANITIZE_ADDRESS__)
#include <dlfcn.h>
#include <link.h>
#endif

#include "gfx/Device.h"
#include "gfx/FatalError.h"
#include "gfx/RenderTargets.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "engine/Operator.h"
#include "gfx/TextureLoader.h"
#include "image/Operators.h"
#include "image/PostProcessManager.h"
#include "player/Clock.h"
#include "player/Fatal.h"
#include "player/Globals.h"
#include "player/LoadingBar.h"
#include "player/Log.h"
#include "player/Player.h"
#include "player/Settings.h"
#include "player/Window.h"
#include "scene/DeferredLighting.h"
#include "scene/MeshImport.h"
#include "scene/Operators.h"
#include "sim/Operators.h"

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

// The camera motion-blur preparation the lighting pass runs after every lighting render.
void runVelocitySequence(GBufferSet& set, const Viewport& viewport) {
  if (gPostProcessManager) gPostProcessManager->buildVelocityTiles(set, viewport);
}

Screen* createScreen(SDL_Window* window, const Settings& settings) {
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
  // After every lighting render the lighting pass has the manager prepare the camera motion blur.
  lighting_ = DeferredLighting::Create(screen ? screen->device : nullptr).release();
  gDeferredLighting = lighting_;
  gLightingVelocitySequence = &runVelocitySequence;
}

Renderers::~Renderers() {
  delete postProcess_;
  gLightingVelocitySequence = nullptr;
  delete lighting_;
  gDeferredLighting = nullptr;
}

void registerPlayerOperators() {
  registerEngineOperators();
  registerSceneOperators();
  registerImageOperators();
  registerSimOperators();
}

int runZarvo() {
  setFatalErrorHandler(&playerFatalHandler);
  registerPlayerOperators();
  Settings settings = readSettingsFile("config.ini");
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
  {
    Player player(screen);
    complete = player.load();
    isLoading = false;
    resetClock();
    runMainLoop(player, *screen);

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

  renderers.reset();
  // The caches in their fixed order, all before the Device goes.
  clearMeshCache();
  clearShaderCache();
  clearTextureCache();
  clearLwoCache();
  delete screen;
  gScreen = nullptr;
  closePlayerWindow(window);
  setFatalErrorHandler(nullptr);
  SDL_Quit();
  // A production file that could not be used, of which nothing was shown, is a failed run
  // (the reason is in the log); a complete production that ends at once is not.
  return !complete && frameCounter == 0 ? 1 : 0;
}

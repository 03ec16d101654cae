#include "player/App.h"

#include <SDL.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "gfx/Device.h"
#include "gfx/FatalError.h"
#include "gfx/RenderTargets.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
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
    updateClock();
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

  PlayerWindow window = openPlayerWindow(settings);
  Screen* screen = createScreen(window.window, settings);
  decideBinaryShaders();
  auto renderers = std::make_unique<Renderers>(screen);

  {
    Player player(screen);
    player.load();
    isLoading = false;
    resetClock();
    runMainLoop(player, *screen);

    player.releaseGpu();
    player.freeAudio();
    player.destroyProject();
  }

  if (framedumpSetting != 0) {
    std::error_code ec;
    auto folder = std::filesystem::absolute("framedump", ec);
    std::printf("%d frame%s written to %s\n", int(frameCounter), frameCounter == 1 ? "" : "s",
                folder.string().c_str());
    std::fflush(stdout);
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
  return 0;
}

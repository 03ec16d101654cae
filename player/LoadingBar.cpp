#include "player/LoadingBar.h"

#include "gfx/ConstantWriter.h"
#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "player/Clock.h"
#include "player/Log.h"

LoadingBar::LoadingBar(Device* device) : program_(std::make_unique<ShaderProgram>(device)), device_(device) {
  loaded_ = loadProgramAuto("progressBar", EntryPoints::vsps("VS", "PS"), program_.get());
  if (!loaded_) logText("Failed to load the loading-bar shader \"progressBar\"\n");
}

LoadingBar::~LoadingBar() = default;

void clearDeviceState(Device* device) {
  if (device && device->context()) device->context()->clearState();
}

void LoadingBar::draw(Screen& screen, float progress) {
  updateClock();
  clearDeviceState(device_);
  if (loaded_) {
    ConstantWriter(program_.get(), "loading bar", nullptr, 0, MapFailure::Skip).set("gProgress", progress);
  }
  RenderPass pass;
  pass.colourTargets[0] = screen.backBuffer;
  pass.clearFlags = kClearColour | kClearDepth;
  pass.rect[2] = int32_t(screen.width);
  pass.rect[3] = int32_t(screen.height);
  pass.width = screen.width;
  pass.height = screen.height;
  pass.depthClear = 1.0f;
  bindRenderPass(device_, pass);
  if (loaded_) drawStrip(program_.get(), 4);
  unbindRenderTargets(device_);
  screen.present();
  ++draws_;
}

#pragma once
// The Screen: back buffer, depth buffer and read-back texture, presented into an SDL2
// window's swap chain when a window is given, kept offscreen otherwise; everything above it
// draws the same way in both cases (the back buffer is an ordinary render target that
// present() copies into the swap-chain image).
#include <cstdint>
#include <vector>

#include "gfx/Device.h"
#include "gfx/Texture.h"

namespace gfxbackend {
struct SwapChain;
}

struct ScreenSettings {
  uint32_t flags = 0;          // bit 0 vsync, bit 1 fullscreen
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t backBufferFormat = 0;  // 0: format::RGBA8
  uint32_t depthFormat = 0;       // 0: format::D24S8
  // For the Device when this Screen creates it (its window is the Screen's).
  DeviceOptions device;
};
constexpr uint32_t kScreenVsync = 1;
constexpr uint32_t kScreenFullscreen = 2;

class Screen {
 public:
  // Creates the Device when gDevice is null (else logs "Warning: Adapter already created\n"
  // and uses it), then the swap chain (window not null) and the three screen textures.
  // A window created with SDL_WINDOW_VULKAN is required for a swap chain. A size beyond
  // the device's largest image (Device::maxImageSize) is reduced to it.
  Screen(SDL_Window* window, const ScreenSettings& settings);
  // Deletes the three textures, then the Device (when this Screen created it), then the swap chain.
  ~Screen();
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;

  // New back-buffer size: rebuilds the screen textures, the swap chain and every sized target
  // of the Device resize list. Nothing happens when the size is unchanged or zero.
  void resize(uint32_t width, uint32_t height);

  // Shows the back buffer (sync interval: vsync ? 1 : 0) and submits the frame's work.
  void present();
  void setVsync(bool on);

  // Copies the back buffer into the read-back texture and returns its pixels as RGBA8, top
  // row first, width x height x 4 bytes. False on failure.
  bool readBack(std::vector<uint8_t>& rgba);

  Texture* backBuffer = nullptr;
  Texture* depthBuffer = nullptr;
  Texture* readBackTexture = nullptr;
  Device* device = nullptr;
  uint32_t flags = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t backBufferFormat = format::RGBA8;
  uint32_t depthFormat = format::D24S8;
  SDL_Window* window = nullptr;

  bool hasSwapChain() const { return swapChain_ != nullptr; }
  gfxbackend::SwapChain* swapChain() const { return swapChain_; }

 private:
  void createScreenTextures();
  void deleteScreenTextures();
  gfxbackend::SwapChain* swapChain_ = nullptr;
  bool ownsDevice_ = false;
};

extern Screen* gScreen;

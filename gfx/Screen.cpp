#include "gfx/Screen.h"

#include <algorithm>
#include <cstring>

#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/Backend.h"

Screen* gScreen = nullptr;

Screen::Screen(SDL_Window* windowHandle, const ScreenSettings& settings) {
  flags = settings.flags;
  width = settings.width ? settings.width : 1;
  height = settings.height ? settings.height : 1;
  backBufferFormat = settings.backBufferFormat ? settings.backBufferFormat : format::RGBA8;
  depthFormat = settings.depthFormat ? settings.depthFormat : format::D24S8;
  window = windowHandle;
  if (gDevice) {
    logMessage("Warning: Adapter already created\n");
    device = gDevice;
  } else {
    DeviceOptions options = settings.device;
    options.window = window;
    device = new Device(options);
    ownsDevice_ = true;
  }
  // A back buffer beyond the device's largest image cannot be made; the caller compares
  // the size it asked for with the one it got and says so.
  width = std::min(width, device->maxImageSize());
  height = std::min(height, device->maxImageSize());
  if (window) {
    swapChain_ = gfxbackend::createSwapChain(device, window, width, height, (flags & kScreenVsync) != 0);
    if (!swapChain_) fatalError("Failed to create dx11 swapchain");
  }
  createScreenTextures();
  if (!gScreen) gScreen = this;
}

Screen::~Screen() {
  deleteScreenTextures();
  if (swapChain_) gfxbackend::destroySwapChain(device, swapChain_);
  swapChain_ = nullptr;
  if (ownsDevice_) delete device;
  device = nullptr;
  if (gScreen == this) gScreen = nullptr;
}

void Screen::createScreenTextures() {
  TextureDesc desc;
  desc.flags = kTextureFlag | kUsageDefault | kBindRenderTarget;  // 0x10208
  desc.format = backBufferFormat;
  desc.width = width;
  desc.height = height;
  backBuffer = createTexture(device, desc, nullptr);
  TextureDesc rb;
  rb.flags = kTextureFlag | kUsageStaging;  // 0x10400
  rb.format = backBufferFormat;
  rb.width = width;
  rb.height = height;
  readBackTexture = createTexture(device, rb, nullptr);
  if (depthFormat) {
    TextureDesc dd;
    dd.flags = kTextureFlag | kUsageDefault | kBindShaderResource | kBindDepthStencil;  // 0x10211
    dd.format = depthFormat;
    dd.width = width;
    dd.height = height;
    depthBuffer = createTexture(device, dd, nullptr);
  }
}

void Screen::deleteScreenTextures() {
  deleteTexture(backBuffer);
  deleteTexture(depthBuffer);
  deleteTexture(readBackTexture);
  backBuffer = depthBuffer = readBackTexture = nullptr;
}

void Screen::resize(uint32_t newWidth, uint32_t newHeight) {
  if (newWidth == 0 || newHeight == 0) return;
  newWidth = std::min(newWidth, device->maxImageSize());
  newHeight = std::min(newHeight, device->maxImageSize());
  if (newWidth == width && newHeight == height) return;
  width = newWidth;
  height = newHeight;
  deleteScreenTextures();
  device->resizeTargets(width, height);
  // A swap chain that cannot be rebuilt now (the message says why) is rebuilt at a later
  // present; the window shows the last picture until then.
  if (swapChain_) gfxbackend::resizeSwapChain(device, swapChain_, width, height, (flags & kScreenVsync) != 0);
  createScreenTextures();
}

void Screen::present() {
  if (swapChain_)
    gfxbackend::presentSwapChain(device, swapChain_, backBuffer);
  else
    device->context()->flush(false);
}

void Screen::setVsync(bool on) {
  uint32_t wanted = on ? (flags | kScreenVsync) : (flags & ~kScreenVsync);
  if (wanted == flags) return;
  flags = wanted;
  if (swapChain_) gfxbackend::resizeSwapChain(device, swapChain_, width, height, on);
}

bool Screen::readBack(std::vector<uint8_t>& rgba) {
  if (!backBuffer || !readBackTexture) return false;
  DeviceContext* ctx = device->context();
  ctx->copyResource(readBackTexture, backBuffer);
  MappedSubresource mapped;
  if (!ctx->map(readBackTexture, 0, D3D11_MAP_READ, mapped)) return false;
  FormatInfo info;
  lookupFormat(backBufferFormat, info);
  bool bgra = info.resourceFormat == DXGI_FORMAT_B8G8R8A8_UNORM || info.resourceFormat == DXGI_FORMAT_B8G8R8A8_UNORM_SRGB;
  bool rgba8 = info.resourceFormat == DXGI_FORMAT_R8G8B8A8_UNORM;
  if (!bgra && !rgba8) {
    ctx->unmap(readBackTexture, 0);
    logMessage("Could not read back the screen: back-buffer format 0x%x is not 8-bit RGBA\n", backBufferFormat);
    return false;
  }
  rgba.resize(size_t(width) * height * 4);
  const auto* src = static_cast<const uint8_t*>(mapped.data);
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = src + size_t(y) * mapped.rowPitch;
    uint8_t* out = rgba.data() + size_t(y) * width * 4;
    std::memcpy(out, row, size_t(width) * 4);
    if (bgra)
      for (uint32_t x = 0; x < width; ++x) std::swap(out[x * 4], out[x * 4 + 2]);
  }
  ctx->unmap(readBackTexture, 0);
  return true;
}

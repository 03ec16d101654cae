#pragma once
// A fixture for tests that work with the Context's targets: one validated Device per
// suite and, per test, an offscreen Screen (full-size targets follow its size) whose back
// buffer is read back as RGBA8.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/Context.h"
#include "gfx/Device.h"
#include "gfx/RenderTargets.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "gfx/Texture.h"

class ScreenGpuTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    DeviceOptions options;
    options.validation = true;
    sDevice = new Device(options);
  }
  static void TearDownTestSuite() {
    releaseCopyPass();
    clearShaderCache();
    delete sDevice;
    sDevice = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(sDevice, nullptr);
    useBinaryShaders = false;
    messagesAtStart_ = sDevice->validationMessageCount();
    ScreenSettings settings;
    settings.width = screenWidth;
    settings.height = screenHeight;
    screen_ = new Screen(nullptr, settings);
  }

  void TearDown() override {
    sDevice->waitIdle();
    for (Texture* t : textures_) deleteTexture(t);
    textures_.clear();
    delete screen_;
    screen_ = nullptr;
    sDevice->waitIdle();
    EXPECT_TRUE(sDevice->validationEnabled()) << "validation layers are not active";
    EXPECT_EQ(sDevice->validationMessageCount(), messagesAtStart_) << "Vulkan validation reported problems";
  }

  Device* device() const { return sDevice; }
  Screen* screen() const { return screen_; }

  Texture* texture(uint32_t format, uint32_t width, uint32_t height, uint32_t flags, const void* data = nullptr) {
    TextureDesc desc;
    desc.flags = flags;
    desc.format = format;
    desc.width = width;
    desc.height = height;
    Texture* t = createTexture(sDevice, desc, data);
    textures_.push_back(t);
    return t;
  }

  // The back buffer's pixels, packed red in the lowest byte.
  std::vector<uint32_t> backBufferPixels() {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(screen_->readBack(bytes));
    std::vector<uint32_t> pixels(bytes.size() / 4);
    for (size_t i = 0; i < pixels.size(); ++i)
      pixels[i] = bytes[i * 4] | (bytes[i * 4 + 1] << 8) | (bytes[i * 4 + 2] << 16) | (uint32_t(bytes[i * 4 + 3]) << 24);
    return pixels;
  }

  // Draws a texture over the whole back buffer (point sampling, no blending) and reads it.
  std::vector<uint32_t> showOnBackBuffer(Texture* t) {
    Viewport whole{0, 0, int32_t(screen_->width), int32_t(screen_->height)};
    copyPass(screen_->backBuffer, t, whole, opaque(), true);
    return backBufferPixels();
  }

  static RenderStateDesc opaque() {
    RenderStateDesc s = RenderStateDesc::zeroed();
    s.stencilReadMask = 0xFF;
    s.stencilWriteMask = 0xFF;
    return s;
  }

  static constexpr uint32_t pack(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    return r | (g << 8) | (b << 16) | (a << 24);
  }

  uint32_t screenWidth = 16;
  uint32_t screenHeight = 16;
  std::vector<Texture*> textures_;

 private:
  Screen* screen_ = nullptr;
  uint64_t messagesAtStart_ = 0;
  static inline Device* sDevice = nullptr;
};

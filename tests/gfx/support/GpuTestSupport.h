#pragma once
// Shared helpers for tests that need a Vulkan device (lavapipe in CI): a fixture with a
// headless Device and validation layers on that fails the test on any validation message,
// HLSL compilation into shader objects, and read-back of textures.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/RenderTargets.h"
#include "gfx/Screen.h"
#include "gfx/Texture.h"

class GpuTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  // For suites that need a device made with other options (validation stays on): call from
  // their own SetUpTestSuite.
  static void SetUpTestSuiteWith(DeviceOptions options);
  void SetUp() override;
  void TearDown() override;  // fails the test when validation reported anything

  Device* device() const { return sDevice; }
  DeviceContext* ctx() const { return sDevice->context(); }

  // Compiles one entry of HLSL source; fails the test (returns null) on errors.
  gfxbackend::Shader* shader(hlsl::Stage stage, const std::string& source, const std::string& entry);

  // A 2-D texture (flags default to a pooled colour target with unordered access).
  Texture* texture(uint32_t format, uint32_t width, uint32_t height, uint32_t flags = 0x10049,
                   const void* data = nullptr);
  // A buffer: `bytes` long with elements of `stride` bytes.
  Texture* buffer(uint32_t flags, uint32_t bytes, uint32_t stride, const void* data = nullptr);

  // Binds `target` alone (cleared to clearValue in every channel) as the render target,
  // the region and viewport its whole size.
  void bindTarget(Texture* target, float clearValue = 0, uint32_t slice = 0);
  // Reads mip 0 / slice 0 of a texture (or a whole buffer) back into CPU memory, tightly packed.
  std::vector<uint8_t> readBack(Texture* texture);
  // Pixel (x, y) of an RGBA8 read-back.
  static uint32_t rgba(const std::vector<uint8_t>& pixels, uint32_t width, uint32_t x, uint32_t y);

  std::vector<std::unique_ptr<gfxbackend::Shader>> shaders_;
  std::vector<Texture*> textures_;

 private:
  uint64_t messagesAtStart_ = 0;
  static Device* sDevice;
};

// GpuTest with, per test, an offscreen Screen (full-size targets follow its size) whose
// back buffer is read back as RGBA8, for tests of the target pools, the frame setup and the copy pass.
class ScreenGpuTest : public GpuTest {
 protected:
  static void TearDownTestSuite();  // also drops the copy pass and shader cache
  void SetUp() override;
  void TearDown() override;

  Screen* screen() const { return screen_; }
  // The back buffer's pixels, packed red in the lowest byte.
  std::vector<uint32_t> backBufferPixels();
  // Draws a texture over the whole back buffer (point sampling, no blending) and reads it.
  std::vector<uint32_t> showOnBackBuffer(Texture* t);
  static RenderStateDesc opaque();

  uint32_t screenWidth = 16;
  uint32_t screenHeight = 16;

 private:
  Screen* screen_ = nullptr;
};

// True when every 8-bit channel of a and b differs by at most 1 (rounding of blends).
inline bool nearRgba(uint32_t a, uint32_t b) {
  const int tolerance = 1;
  for (int i = 0; i < 4; ++i) {
    int ca = int((a >> (8 * i)) & 255), cb = int((b >> (8 * i)) & 255);
    if (ca - cb > tolerance || cb - ca > tolerance) return false;
  }
  return true;
}

// Packs 8-bit channels as they lie in memory (red in the lowest byte).
constexpr uint32_t packRgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  return r | (g << 8) | (b << 16) | (a << 24);
}

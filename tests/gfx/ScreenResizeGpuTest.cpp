// Resizing the Screen while the GPU still works on earlier frames: the old back buffer,
// depth buffer and sized targets must outlive every submitted command that uses them.
// Validation reports a destroyed-while-in-use image as a message, which fails the test.
#include <SDL2/SDL.h>

#include <cstdlib>

#include "gfx/Screen.h"
#include "gfx/vulkan/Backend.h"
#include "tests/gfx/support/GpuTestSupport.h"

namespace {

const float kRed[4] = {1, 0, 0, 1};
const float kBlue[4] = {0, 0, 1, 1};

// One frame of player-like work. With a sized target, the target is rendered and copied into
// the back buffer; without one, the back buffer is cleared directly. Either way the frame's
// commands use the back buffer and the depth buffer, and the frame ends bound to them.
void drawFrame(Device* device, Screen& screen, Texture* sized, const float colour[4]) {
  DeviceContext* ctx = device->context();
  ctx->clearState();
  Texture* first = sized ? sized : screen.backBuffer;
  Texture* targets[1] = {first};
  ctx->setRenderTargets(1, targets, screen.depthBuffer);
  ctx->clearRenderTargetView(first, colour);
  ctx->clearDepthStencilView(screen.depthBuffer, D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL, 1.0f, 0);
  if (sized) {
    ctx->setRenderTargets(0, nullptr, nullptr);
    ctx->copyResource(screen.backBuffer, sized);
  }
  Texture* back[1] = {screen.backBuffer};
  ctx->setRenderTargets(1, back, screen.depthBuffer);
}

Texture* sizedTarget(Device* device, uint32_t width, uint32_t height) {
  TextureDesc desc;
  desc.flags = kTextureFlag | kUsageDefault | kBindRenderTarget | kBindShaderResource;
  desc.format = 0x10204;
  desc.options = kSizeFull;
  desc.width = width;
  desc.height = height;
  return createTexture(device, desc, nullptr);
}

}  // namespace

class ScreenResizeGpuTest : public GpuTest {};

// Offscreen: frames are submitted without waiting (two in flight), then the size changes
// repeatedly, up and down, straight after a present with no wait in between.
TEST_F(ScreenResizeGpuTest, ResizingRightAfterPresentKeepsInFlightTargetsAlive) {
  ScreenSettings settings;
  settings.width = 64;
  settings.height = 48;
  Screen screen(nullptr, settings);
  Texture* sized = sizedTarget(device(), 64, 48);
  textures_.push_back(sized);
  const uint32_t sizes[][2] = {{128, 96}, {32, 24}, {80, 60}};
  for (const auto& size : sizes) {
    for (int frame = 0; frame < 3; ++frame) {
      drawFrame(device(), screen, sized, kRed);
      screen.present();
    }
    screen.resize(size[0], size[1]);
    ASSERT_EQ(sized->width(), size[0]);
    ASSERT_EQ(screen.backBuffer->width(), size[0]);
  }
  drawFrame(device(), screen, sized, kBlue);
  std::vector<uint8_t> pixels;
  ASSERT_TRUE(screen.readBack(pixels));
  ASSERT_EQ(pixels.size(), size_t(80) * 60 * 4);
  EXPECT_EQ(rgba(pixels, 80, 79, 59), packRgba(0, 0, 255, 255));
}

// Resizing in the middle of a frame: commands that use the old targets are recorded but not
// yet submitted when the size changes.
TEST_F(ScreenResizeGpuTest, ResizingWithRecordedWorkKeepsItsTargetsAlive) {
  ScreenSettings settings;
  settings.width = 64;
  settings.height = 48;
  Screen screen(nullptr, settings);
  Texture* sized = sizedTarget(device(), 64, 48);
  textures_.push_back(sized);
  drawFrame(device(), screen, sized, kRed);
  screen.present();
  drawFrame(device(), screen, sized, kRed);
  screen.resize(96, 72);
  drawFrame(device(), screen, sized, kBlue);
  screen.present();
  std::vector<uint8_t> pixels;
  ASSERT_TRUE(screen.readBack(pixels));
  EXPECT_EQ(rgba(pixels, 96, 95, 71), packRgba(0, 0, 255, 255));
}

// With a window: presents are in flight (acquire and present semaphores pending) when the
// window and the screen change size, with no wait for the GPU before the resize. Without a
// sized target nothing is recorded between dropping the old screen textures and rebuilding the
// swap chain; with one, the new target's clear is recorded in between. The present semaphores
// of the replaced swap chains are not destroyed at once (their presents may still wait on
// them) but are reclaimed once later frames prove those presents done.
TEST_F(ScreenResizeGpuTest, ResizingAWindowWithPresentsInFlight) {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) GTEST_SKIP() << "no display";
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) GTEST_SKIP() << "no video: " << SDL_GetError();
  SDL_Window* window = SDL_CreateWindow("resize test", 0, 0, 64, 48, SDL_WINDOW_VULKAN | SDL_WINDOW_RESIZABLE);
  if (!window) {
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    GTEST_SKIP() << "no window: " << SDL_GetError();
  }
  for (bool withSized : {false, true}) {
    SCOPED_TRACE(withSized ? "with a sized target" : "screen textures only");
    SDL_SetWindowSize(window, 64, 48);
    ScreenSettings settings;
    settings.width = 64;
    settings.height = 48;
    Screen screen(window, settings);
    ASSERT_TRUE(screen.hasSwapChain());
    const size_t semaphores = gfxbackend::swapChainSemaphoreCount(screen.swapChain());
    Texture* sized = withSized ? sizedTarget(device(), 64, 48) : nullptr;
    // Three frames per size: the resize meets both frame slots over the loop.
    const uint32_t sizes[][2] = {{160, 120}, {48, 40}, {100, 70}, {64, 48}};
    for (const auto& size : sizes) {
      for (int frame = 0; frame < 3; ++frame) {
        drawFrame(device(), screen, sized, kRed);
        screen.present();
      }
      SDL_SetWindowSize(window, int(size[0]), int(size[1]));
      screen.resize(size[0], size[1]);
      ASSERT_EQ(screen.backBuffer->width(), size[0]);
    }
    for (int frame = 0; frame < 2; ++frame) {
      drawFrame(device(), screen, sized, kBlue);
      screen.present();
    }
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(screen.readBack(pixels));
    EXPECT_EQ(rgba(pixels, 64, 63, 47), packRgba(0, 0, 255, 255));
    EXPECT_GT(gfxbackend::swapChainSemaphoreCount(screen.swapChain()), semaphores);
    for (int frame = 0; frame < 6; ++frame) {
      drawFrame(device(), screen, sized, kBlue);
      screen.present();
    }
    EXPECT_EQ(gfxbackend::swapChainSemaphoreCount(screen.swapChain()), semaphores);
    deleteTexture(sized);
  }
  SDL_DestroyWindow(window);
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
}

// The device-level rule under the resize: a texture dropped after a frame was submitted (and
// before anything new is recorded) is destroyed only once that frame is done, also when the
// next thing is a full wait with nothing recorded. Run twice so both frame slots are current.
TEST_F(ScreenResizeGpuTest, TexturesDroppedBetweenFramesOutliveTheFrameInFlight) {
  for (int slot = 0; slot < 2; ++slot) {
    SCOPED_TRACE(slot);
    TextureDesc desc;
    desc.flags = kTextureFlag | kUsageDefault | kBindRenderTarget;
    desc.format = 0x10204;
    desc.width = desc.height = 32;
    Texture* target = createTexture(device(), desc, nullptr);
    ctx()->clearRenderTargetView(target, kRed);
    ctx()->flush(false);
    deleteTexture(target);
    device()->waitIdle();
  }
}

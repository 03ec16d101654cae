// The Screen with a real window and swap chain (needs a display, e.g. Xvfb; skipped without).
#include <SDL2/SDL.h>

#include <cstdlib>

#include "gfx/Screen.h"
#include "tests/gfx/support/GpuTestSupport.h"

class SwapChainScreenTest : public GpuTest {
 protected:
  void SetUp() override {
    GpuTest::SetUp();
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) GTEST_SKIP() << "no display";
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) GTEST_SKIP() << "no video: " << SDL_GetError();
    window = SDL_CreateWindow("screen test", 0, 0, 64, 48, SDL_WINDOW_VULKAN);
    if (!window) GTEST_SKIP() << "no window: " << SDL_GetError();
  }
  void TearDown() override {
    if (window) SDL_DestroyWindow(window);
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    GpuTest::TearDown();
  }
  SDL_Window* window = nullptr;
};

TEST_F(SwapChainScreenTest, PresentsResizesAndSwitchesVsyncThroughTheSwapChain) {
  ScreenSettings settings;
  settings.flags = kScreenVsync;
  settings.width = 64;
  settings.height = 48;
  Screen screen(window, settings);
  ASSERT_TRUE(screen.hasSwapChain());
  const float green[4] = {0, 1, 0, 1};
  for (int frame = 0; frame < 3; ++frame) {
    ctx()->clearState();
    clearTexture(device(), screen.backBuffer, green);
    screen.present();
  }
  std::vector<uint8_t> pixels;
  ASSERT_TRUE(screen.readBack(pixels));
  EXPECT_EQ(rgba(pixels, 64, 10, 10), packRgba(0, 255, 0, 255));

  SDL_SetWindowSize(window, 80, 40);
  screen.resize(80, 40);
  EXPECT_EQ(screen.width, 80u);
  EXPECT_EQ(screen.backBuffer->height(), 40u);
  screen.setVsync(false);
  for (int frame = 0; frame < 3; ++frame) {
    clearTexture(device(), screen.backBuffer, green);
    screen.present();
  }
  ASSERT_TRUE(screen.readBack(pixels));
  EXPECT_EQ(pixels.size(), 80u * 40 * 4);
}

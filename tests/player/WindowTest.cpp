#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "player/Globals.h"
#include "player/Window.h"

namespace {

SDL_Event sizeEvent(int w, int h) {
  SDL_Event e{};
  e.type = SDL_WINDOWEVENT;
  e.window.event = SDL_WINDOWEVENT_SIZE_CHANGED;
  e.window.windowID = 0;
  e.window.data1 = w;
  e.window.data2 = h;
  return e;
}

}  // namespace

TEST(WindowEvents, QuitEscapeAndResizeRules) {
  quitRequested = false;
  std::vector<std::pair<uint32_t, uint32_t>> resizes;
  auto resize = [&](uint32_t w, uint32_t h) { resizes.emplace_back(w, h); };

  SDL_Event key{};
  key.type = SDL_KEYDOWN;
  key.key.keysym.sym = SDLK_a;
  EXPECT_EQ(handleEvent(key, 800, 600, resize), EventAction::None);
  EXPECT_FALSE(quitRequested);
  // Escape ends the loop at its next test, not at once: the frame in progress finishes.
  key.key.keysym.sym = SDLK_ESCAPE;
  EXPECT_EQ(handleEvent(key, 800, 600, resize), EventAction::None);
  EXPECT_TRUE(quitRequested);

  quitRequested = false;
  SDL_Event quit{};
  quit.type = SDL_QUIT;
  EXPECT_EQ(handleEvent(quit, 800, 600, resize), EventAction::LeaveLoop);
  EXPECT_TRUE(quitRequested);
  quitRequested = false;

  handleEvent(sizeEvent(800, 600), 800, 600, resize);  // same size: nothing to rebuild
  handleEvent(sizeEvent(0, 0), 800, 600, resize);      // iconified to nothing
  EXPECT_TRUE(resizes.empty());
  handleEvent(sizeEvent(1001, 500), 800, 600, resize);
  ASSERT_EQ(resizes.size(), 1u);
  EXPECT_EQ(resizes[0], std::make_pair(1001u, 500u));
}

TEST(PlayerWindowTest, WithoutADisplayRendersOffscreen) {
  // As on a machine without a display: the window code must say so and give no window.
  std::string old = std::getenv("SDL_VIDEODRIVER") ? std::getenv("SDL_VIDEODRIVER") : "";
  setenv("SDL_VIDEODRIVER", "offscreen", 1);
  testing::internal::CaptureStderr();
  PlayerWindow w = openPlayerWindow(Settings{});
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(w.window, nullptr);
  EXPECT_FALSE(w.display);
  EXPECT_NE(log.find("offscreen"), std::string::npos);
  closePlayerWindow(w);
  if (old.empty())
    unsetenv("SDL_VIDEODRIVER");
  else
    setenv("SDL_VIDEODRIVER", old.c_str(), 1);
}

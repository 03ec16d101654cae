#include "player/Window.h"

#include <SDL.h>

#include <cstring>

#include "player/Fatal.h"
#include "player/Globals.h"
#include "player/Log.h"

PlayerWindow openPlayerWindow(const Settings& settings) {
  PlayerWindow result;
  if (SDL_InitSubSystem(SDL_INIT_EVENTS) != 0) logText("Failed to start SDL events: %s\n", SDL_GetError());
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    logText("No display (%s): rendering offscreen\n", SDL_GetError());
    return result;
  }
  const char* driver = SDL_GetCurrentVideoDriver();
  if (!driver || std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0) {
    logText("No display (video driver %s): rendering offscreen\n", driver ? driver : "none");
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    return result;
  }
  Uint32 flags = SDL_WINDOW_VULKAN | SDL_WINDOW_RESIZABLE | SDL_WINDOW_SHOWN;
  if (settings.fullscreen) flags |= SDL_WINDOW_FULLSCREEN;
  result.window = SDL_CreateWindow("zarvo", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, settings.width,
                                   settings.height, flags);
  if (!result.window) {
    logText("Failed to create the window (%s): rendering offscreen\n", SDL_GetError());
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    return result;
  }
  result.display = true;
  setMessageBoxAvailable(true);
  // The cursor is never shown over the client area, windowed or full-screen.
  SDL_ShowCursor(SDL_DISABLE);
  return result;
}

void closePlayerWindow(PlayerWindow& window) {
  if (window.window) {
    SDL_DestroyWindow(window.window);
    window.window = nullptr;
  }
  if (window.display) {
    setMessageBoxAvailable(false);
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    window.display = false;
  }
  SDL_QuitSubSystem(SDL_INIT_EVENTS);
}

EventAction handleEvent(const SDL_Event& event, uint32_t currentWidth, uint32_t currentHeight,
                        const std::function<void(uint32_t, uint32_t)>& resize) {
  switch (event.type) {
    case SDL_QUIT:
      quitRequested = true;
      return EventAction::LeaveLoop;
    case SDL_KEYDOWN:
      if (event.key.keysym.sym == SDLK_ESCAPE) quitRequested = true;
      return EventAction::None;
    case SDL_WINDOWEVENT: {
      if (event.window.event != SDL_WINDOWEVENT_SIZE_CHANGED) return EventAction::None;
      SDL_Window* window = SDL_GetWindowFromID(event.window.windowID);
      if (window && (SDL_GetWindowFlags(window) & SDL_WINDOW_MINIMIZED)) return EventAction::None;
      if (event.window.data1 <= 0 || event.window.data2 <= 0) return EventAction::None;
      uint32_t w = uint32_t(event.window.data1), h = uint32_t(event.window.data2);
      if (w == currentWidth && h == currentHeight) return EventAction::None;
      if (resize) resize(w, h);
      return EventAction::None;
    }
    default:
      return EventAction::None;
  }
}

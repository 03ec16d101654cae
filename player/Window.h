#pragma once
// The window, when a display exists, and the handling of its events.
#include <cstdint>
#include <functional>

#include "player/Settings.h"

struct SDL_Window;
union SDL_Event;

struct PlayerWindow {
  SDL_Window* window = nullptr;  // null: rendering offscreen
  bool display = false;          // a real display (message boxes can be shown)
};

// Starts SDL's event handling (Ctrl-C then arrives as a quit event) and, when a display
// exists, its video part and a window titled "zarvo" with a client area of the configured
// size, resizable, with the cursor hidden over it. Without a display (no video driver, or
// only SDL's offscreen or dummy one) the result has no window and one line is logged.
PlayerWindow openPlayerWindow(const Settings& settings);
void closePlayerWindow(PlayerWindow& window);

// What an event asks of the main loop.
enum class EventAction {
  None,       // go on draining events
  LeaveLoop,  // the application quits: leave the loop at once (quitRequested is set)
};

// The back buffer follows the window: resize(width, height) is called when the client area
// changed to a new non-zero size while not iconified. Escape sets quitRequested; the loop
// ends at its next test, after the frame in progress.
EventAction handleEvent(const SDL_Event& event, uint32_t currentWidth, uint32_t currentHeight,
                        const std::function<void(uint32_t, uint32_t)>& resize);

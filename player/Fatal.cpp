#include "player/Fatal.h"

#include <SDL.h>

#include <cstdio>
#include <cstdlib>

#include "player/Log.h"

namespace {
bool gMessageBoxAvailable = false;
}

void setMessageBoxAvailable(bool available) { gMessageBoxAvailable = available; }

void playerFatalError(const char* text) {
  char buffer[8192];
  std::snprintf(buffer, sizeof buffer, "Fatal error: %s\n", text ? text : "");
  logText("%s\n", buffer);
  if (gMessageBoxAvailable) SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, "Error", text ? text : "", nullptr);
  // Ends at once, without the static destructors: the device, the driver's threads and
  // every cache are alive and may be in use here, so tearing the caches down under them
  // is unsafe, and the sanitizer build's leak check would list all of them as leaks.
  std::fflush(nullptr);
  std::_Exit(1);
}

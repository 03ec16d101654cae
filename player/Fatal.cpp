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
  std::exit(1);
}

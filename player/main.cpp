// zarvo: plays the production in the working directory.
#define SDL_MAIN_HANDLED
#include <SDL.h>

#include "player/App.h"

int main() {
  SDL_SetMainReady();
  return runZarvo();
}

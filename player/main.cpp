// zarvo: plays the production in the working directory, or renders it offline.
#define SDL_MAIN_HANDLED
#include <SDL.h>

#include "player/App.h"

int main(int argc, char** argv) {
  SDL_SetMainReady();
  return runZarvo(argc, argv);
}

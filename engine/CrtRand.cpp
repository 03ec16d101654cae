#include "engine/CrtRand.h"

namespace {
uint32_t gCrtState = 1;  // the C runtime starts as if seeded with 1
}  // namespace

void crtSrand(uint32_t seed) { gCrtState = seed; }

int crtRand() {
  gCrtState = gCrtState * 214013u + 2531011u;
  return static_cast<int>((gCrtState >> 16) & 0x7FFFu);
}

uint32_t crtRandState() { return gCrtState; }

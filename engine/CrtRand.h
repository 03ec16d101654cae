#pragma once
// The C runtime's rand() as productions were made with it: a process-wide linear
// congruential generator seeded with 1, returning 15-bit values (0 to 32767). The host's
// std::rand() differs in range and sequence, so data drawn from "rand()" (the SSAO kernel,
// say) uses this one to come out the same on every platform.
#include <cstdint>

inline uint32_t crtRandState = 1;

inline void crtSrand(uint32_t seed) { crtRandState = seed; }

inline int crtRand() {
  crtRandState = crtRandState * 214013u + 2531011u;
  return int((crtRandState >> 16) & 0x7FFF);
}

#pragma once
// The C runtime's rand() as productions were made with it: one process-wide linear
// congruential generator, state = state * 214013 + 2531011 (mod 2^32), result
// (state >> 16) & 0x7FFF (0 to 32767), starting as if seeded with 1. The host's std::rand()
// differs in range and sequence, so everything that productions drew from "rand()" uses this
// one: the SSAO kernel, new graph ids and the break-up of meshes. They share its state, so
// what one of them draws changes what the next one gets.
#include <cstdint>

void crtSrand(uint32_t seed);
int crtRand();  // 0 .. 32767
uint32_t crtRandState();

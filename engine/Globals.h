#pragma once
// Process-wide state that operators of every subsystem may read: the real-time clock, the
// frame count and the loading flag. The player owns and advances them; they live here so
// that scene, image and simulation code can read them without depending on the player.
// Header-only (inline variables): including this links nothing.
#include <cstdint>

// Real-time clock in seconds: advanced by every frame and every loading-bar draw. It does not
// drive the timeline; simulations that run in real time read it.
inline double wallClockTime = 0.0;
// Seconds since the previous update, never negative.
inline double wallClockDelta = 0.0;
// Frames completed; the frame clock and the dump file numbers follow it.
inline int32_t frameCounter = 0;
// True while the production loads and warms up; drawing operators skip their drawing.
inline bool isLoading = true;
// Operators alive that read the G-buffer's velocity tiles (motion blur). With none, a
// LightPass leaves the tiles unbuilt: nothing would ever see them.
inline int32_t velocityTileReaders = 0;

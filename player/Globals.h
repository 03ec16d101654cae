#pragma once
// Process-wide state of the player, readable from any subsystem. Header-only (inline
// variables), so operators can read the real-time clock and the loading flag without
// linking the player.
#include <cstdint>

// Seconds per tick of the clock behind readTick() (steady clock, nanoseconds).
inline double secondsPerTick = 1e-9;
// Tick of the previous clock update.
inline int64_t lastTick = 0;
// Real-time clock in seconds: advanced by every frame and every loading-bar draw. It does not
// drive the timeline; simulations that run in real time read it.
inline double wallClockTime = 0.0;
// Seconds since the previous update, never negative.
inline double wallClockDelta = 0.0;
// Frames completed; the frame clock and the dump file numbers follow it.
inline int32_t frameCounter = 0;
// Ends the main loop at its next test.
inline bool quitRequested = false;
// True while the production loads and warms up; drawing operators skip their drawing.
inline bool isLoading = true;
// The "framedump" setting; non-zero means offline rendering on the frame clock.
inline int32_t framedumpSetting = 0;
// Handle of the playing music, 0 when there is none.
inline uint32_t musicChannel = 0;

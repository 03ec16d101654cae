#pragma once
// Process-wide state of the player. What operators read (the real-time clock, the frame
// count, the loading flag) is in engine/Globals.h; the rest only the player touches.
#include <cstdint>

#include "engine/Globals.h"

// Seconds per tick of the clock behind readTick() (steady clock, nanoseconds).
inline double secondsPerTick = 1e-9;
// Tick of the previous clock update.
inline int64_t lastTick = 0;
// Ends the main loop at its next test.
inline bool quitRequested = false;
// The "framedump" setting; non-zero means offline rendering on the frame clock.
inline int32_t framedumpSetting = 0;
// Handle of the playing music, 0 when there is none.
inline uint32_t musicChannel = 0;

#pragma once
// The real-time clock and the production's frame clock.
#include <cstdint>

// Current tick of a monotonic clock (secondsPerTick seconds each).
int64_t readTick();

// Restarts the real-time clock at 0 from now.
void resetClock();

// Advances wallClockTime by the time since the last update (the raw delta, also when it is
// not positive) and sets wallClockDelta to that delta, or 0 when it is not positive.
void updateClock();
void updateClockAt(int64_t now);

// Production time of frame n on the frame clock: n / 60 seconds, computed from n alone so
// that no rounding error builds up over a long run.
float frameTime(int32_t frame);

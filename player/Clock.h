#pragma once
// The real-time clock and the production's frame clock.
#include <cstdint>

// Current tick of a monotonic clock (secondsPerTick seconds each).
int64_t readTick();

// Restarts the real-time clock at 0 from now.
void resetClock();

// Advances wallClockTime by the time since the last update (the raw delta, also when it is
// not positive) and sets wallClockDelta to that delta, or 0 when it is not positive.
// While rendering offline (setOfflineClock) it does nothing: the frame steps drive the clock.
void updateClock();
void updateClockAt(int64_t now);

// Offline rendering at fps frames a second (0: live playback on the wall clock). Offline,
// the real-time clock follows the frame count instead of the wall clock, so simulations
// that run in real time (emitters, curl noise, fog) give the same frames on any machine
// and under any load.
void setOfflineClock(int32_t fps);
int32_t offlineClockFps();

// The clock update before frame `frame` is drawn. Live: updateClock(). Offline: the clock
// reads (frame + 1) / fps seconds with a delta of 1 / fps, as if each frame had taken
// exactly its share of a second since the clock was reset; computed from the frame number
// alone, so a render that starts late (a chunk, a single frame) sees the same values.
void advanceClockForFrame(int32_t frame);

// Production time of frame n on the frame clock: n × (1 / fps) seconds, the product taken
// in single precision as the timeline compares it, from n alone so that no rounding error
// builds up over a long run.
float frameTime(int32_t frame, int32_t fps = 60);

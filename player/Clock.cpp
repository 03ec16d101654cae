#include "player/Clock.h"

#include <chrono>

#include "player/Globals.h"

int64_t readTick() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void resetClock() {
  lastTick = readTick();
  wallClockTime = 0.0;
  wallClockDelta = 0.0;
}

void updateClock() { updateClockAt(readTick()); }

void updateClockAt(int64_t now) {
  double delta = double(now - lastTick) * secondsPerTick;
  lastTick = now;
  wallClockTime += delta;
  wallClockDelta = delta > 0.0 ? delta : 0.0;
}

float frameTime(int32_t frame) { return float(double(frame) / 60.0); }

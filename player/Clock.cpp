#include "player/Clock.h"

#include <chrono>

#include "player/Globals.h"

namespace {
int32_t gOfflineFps = 0;
}

int64_t readTick() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void resetClock() {
  lastTick = readTick();
  wallClockTime = 0.0;
  wallClockDelta = 0.0;
}

void updateClock() {
  if (gOfflineFps > 0) return;
  updateClockAt(readTick());
}

void updateClockAt(int64_t now) {
  double delta = double(now - lastTick) * secondsPerTick;
  lastTick = now;
  wallClockTime += delta;
  wallClockDelta = delta > 0.0 ? delta : 0.0;
}

void setOfflineClock(int32_t fps) { gOfflineFps = fps > 0 ? fps : 0; }

int32_t offlineClockFps() { return gOfflineFps; }

void advanceClockForFrame(int32_t frame) {
  if (gOfflineFps <= 0) {
    updateClock();
    return;
  }
  wallClockTime = (double(frame) + 1.0) / double(gOfflineFps);
  wallClockDelta = 1.0 / double(gOfflineFps);
}

float frameTime(int32_t frame, int32_t fps) {
  const float step = 1.0f / float(fps > 0 ? fps : 60);
  return float(frame) * step;
}

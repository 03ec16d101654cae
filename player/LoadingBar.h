#pragma once
// The loading screen: a progress bar drawn on the back buffer and presented after every
// operator's warm-up. The program lives only while the production loads.
#include <memory>

class Device;
class Screen;
class ShaderProgram;

class LoadingBar {
 public:
  // Loads "progressBar" {"VS", "PS"} by the road useBinaryShaders selects.
  explicit LoadingBar(Device* device);
  ~LoadingBar();
  LoadingBar(const LoadingBar&) = delete;
  LoadingBar& operator=(const LoadingBar&) = delete;

  // Advances the real-time clock, clears the device state, draws the bar filled up to
  // progress (0 to 1) over a cleared back buffer and presents. Without the program (its
  // shader file missing) the back buffer is only cleared and presented.
  void draw(Screen& screen, float progress);

  bool ready() const { return loaded_; }
  int draws() const { return draws_; }

 private:
  std::unique_ptr<ShaderProgram> program_;
  Device* device_ = nullptr;
  bool loaded_ = false;
  int draws_ = 0;
};

// ClearState on the immediate context (kept apart from the engine's headers).
void clearDeviceState(Device* device);

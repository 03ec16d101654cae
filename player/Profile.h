#pragma once
// zarvo --profile: where the frame time goes. The offline renderer draws the chosen frames
// without writing them; each operator output's evaluation is timed on the CPU, and on the
// GPU around the work it records, and each frame waits for the GPU so that its time is the
// whole of its cost. The load is profiled too, as one frame: much of the time to the first
// frame is work the operators record while they warm up (a fluid steps at every evaluation,
// and every operator downstream of it evaluates it again). Nothing here runs, and nothing is
// wrapped, unless a profile is asked for.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/FrameProfile.h"

class Device;
class FrameOutput;
class GpuTimer;
class Port;
class Project;
class TimedFunction;

class ProfileRun {
 public:
  // Made just before the production loads: the load is timed from here.
  explicit ProfileRun(std::string production);
  ~ProfileRun();  // unwraps what start() wrapped; before the Device goes
  ProfileRun(const ProfileRun&) = delete;
  ProfileRun& operator=(const ProfileRun&) = delete;

  // Once the production is read, before its warm-up: wraps every operator output of
  // `project` in a timer, as start() does, for the warm-up.
  void watchLoad(Project& project, Device* device);
  // After loading and warm-up (it ends the load's timing): wraps every operator output of
  // `project` in a timer and, where the device writes timestamps, makes the GPU timer.
  void start(Project& project, Device* device, int32_t fps, uint32_t width, uint32_t height);
  // Around each frame drawn. Frames drawn only to rebuild history (pre-roll) are not
  // counted: nothing is measured in them.
  void beginFrame(int32_t frame, bool counted);
  void endFrame(Device* device);
  // Restores the operators' own functions (also done by the destructor).
  void stop();

  // The operator table (most expensive first) and the frame times of each timeline span.
  std::string report() const;
  // The operator table as CSV (the same rows as report()).
  std::string csv() const { return profile_.csv(); }
  const FrameProfile& profile() const { return profile_; }

 private:
  friend class TimedFunction;  // the wrapper of each operator output
  // The load: its time and the operators' own warm-up times (empty before start()); the end
  // of report().
  std::string loadReport() const;
  // Every operator output of `project` in a TimedFunction, listed in wrapped_.
  void wrapOutputs(Project& project);
  bool recording() const { return recording_; }
  bool loading() const { return loading_; }
  int gpuBegin();
  void gpuEnd(int span);
  FrameProfile& frames() { return profile_; }
  double nowMs() const;

  struct SpanTimes {
    int32_t track = 0, graph = 0;
    std::string name;
    float start = 0, end = 0;
    std::vector<double> frameMs;
  };
  std::string production_;
  FrameProfile profile_;
  FrameProfile load_;  // the warm-up, as one frame
  std::chrono::steady_clock::time_point loadStart_;
  std::unique_ptr<GpuTimer> timer_;
  std::vector<std::pair<Port*, TimedFunction*>> wrapped_;
  std::vector<SpanTimes> spans_;
  std::vector<double> gpuMs_;
  std::chrono::steady_clock::time_point epoch_;
  double frameStart_ = 0;
  int32_t frame_ = 0, fps_ = 60;
  uint32_t width_ = 0, height_ = 0;
  bool recording_ = false;
  bool loading_ = false;
  bool loadOutOfSpans_ = false;
  bool timerSupported_ = false;
  size_t framesOutOfSpans_ = 0;
};

// A frame destination that keeps nothing, for a render that only measures.
std::unique_ptr<FrameOutput> makeNoFrameOutput();

// Whether the CSV file of a profile can be written where asked (its folder exists and it
// is not a folder), checked before anything is loaded. False with one line in `error`.
bool checkProfileCsvPath(const std::string& path, std::string& error);
// Writes `text` to `path` under a temporary name, then renames it.
bool writeProfileCsv(const std::string& path, const std::string& text, std::string& error);

#pragma once
// The profile of a run, frame by frame: which operator spent the frame. The caller brackets
// each operator's evaluation with enter/leave (nested evaluations allowed: an operator's own
// time is its span less the spans of the operators evaluated inside it), optionally with a
// GPU span index from a timer around the passes the operator records, and closes each frame
// with its duration and the GPU spans' milliseconds once the GPU has finished it.
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

struct ProfileKey {
  int32_t graph = 0;
  int32_t id = 0;
  std::string type;
  std::string name;
  bool operator<(const ProfileKey& o) const { return std::tie(graph, id) < std::tie(o.graph, o.id); }
};

struct ProfileRow {
  ProfileKey key;
  double callsPerFrame = 0;
  double cpuMsPerFrame = 0;  // own time, children excluded
  double gpuMsPerFrame = 0;  // own time, children excluded (0 without GPU spans)
};

struct FrameTimeStats {
  double mean = 0, p95 = 0, worst = 0;
  size_t frames = 0;
};

// Mean, 95th percentile (nearest rank) and worst of frame times in milliseconds.
FrameTimeStats summarizeFrameTimes(std::vector<double> frameMs);

class FrameProfile {
 public:
  // gpuSpan: the timer's span opened with this operator, or -1.
  void enter(const ProfileKey& key, double cpuMs, int gpuSpan = -1);
  void leave(double cpuMs);
  // gpuSpanMs[i]: GPU milliseconds of span i of this frame (empty without a timer).
  void endFrame(double frameMs, const std::vector<double>& gpuSpanMs = {});

  size_t frames() const { return frameMs_.size(); }
  bool hasGpuTimes() const { return gpuFrames_ > 0; }
  // Per-frame averages, most expensive first (by the larger of GPU and CPU time).
  std::vector<ProfileRow> table() const;
  FrameTimeStats frameTimes() const;
  // The table as text (aligned columns, a note when GPU times are missing) and as CSV.
  std::string text() const;
  // The header and the first `maxRows` rows of the text, calls shown whole or to two places.
  std::string rowsText(size_t maxRows, bool wholeCalls) const;
  // The line text() ends with when GPU times are missing.
  static const char* const kNoTimestampsNote;
  std::string csv() const;

 private:
  struct Totals {
    ProfileKey key;
    uint64_t calls = 0;
    double cpuMs = 0, gpuMs = 0;
  };
  struct Open {
    size_t totals;
    double start, childCpu = 0;
    int span;
    std::vector<int> childSpans;
  };
  struct Call {
    size_t totals;
    int span;
    std::vector<int> childSpans;
  };
  std::vector<Totals> totals_;
  std::map<ProfileKey, size_t> index_;
  std::vector<Open> open_;
  std::vector<Call> calls_;  // this frame's calls with GPU spans, resolved at endFrame
  std::vector<double> frameMs_;
  size_t gpuFrames_ = 0;
};

#include "engine/FrameProfile.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

void FrameProfile::enter(const ProfileKey& key, double cpuMs, int gpuSpan) {
  // Looked up before inserting: emplace would build a node (and copy the names) on every call.
  auto it = index_.find(key);
  if (it == index_.end()) {
    it = index_.emplace(key, totals_.size()).first;
    totals_.push_back({key, 0, 0, 0});
  }
  totals_[it->second].calls++;
  if (!open_.empty() && gpuSpan >= 0) open_.back().childSpans.push_back(gpuSpan);
  open_.push_back({it->second, cpuMs, 0, gpuSpan, {}});
}

void FrameProfile::leave(double cpuMs) {
  if (open_.empty()) return;  // unbalanced: ignore rather than misattribute
  Open o = std::move(open_.back());
  open_.pop_back();
  const double span = std::max(cpuMs - o.start, 0.0);
  totals_[o.totals].cpuMs += std::max(span - o.childCpu, 0.0);
  if (!open_.empty()) open_.back().childCpu += span;
  // A parent without a span of its own passes its children's spans up, so that the nearest
  // timed ancestor does not count them as its own.
  if (o.span >= 0) calls_.push_back({o.totals, o.span, std::move(o.childSpans)});
  else if (!open_.empty())
    open_.back().childSpans.insert(open_.back().childSpans.end(), o.childSpans.begin(), o.childSpans.end());
}

void FrameProfile::endFrame(double frameMs, const std::vector<double>& gpuSpanMs) {
  open_.clear();
  frameMs_.push_back(frameMs);
  if (!gpuSpanMs.empty()) {
    ++gpuFrames_;
    auto ms = [&](int span) { return span >= 0 && size_t(span) < gpuSpanMs.size() ? gpuSpanMs[size_t(span)] : 0.0; };
    for (const Call& c : calls_) {
      double own = ms(c.span);
      for (int child : c.childSpans) own -= ms(child);
      totals_[c.totals].gpuMs += std::max(own, 0.0);
    }
  }
  calls_.clear();
}

std::vector<ProfileRow> FrameProfile::table() const {
  std::vector<ProfileRow> rows;
  const double frames = double(std::max<size_t>(frameMs_.size(), 1));
  const double gpuFrames = double(std::max<size_t>(gpuFrames_, 1));
  for (const Totals& t : totals_)
    rows.push_back({t.key, double(t.calls) / frames, t.cpuMs / frames, t.gpuMs / gpuFrames});
  std::stable_sort(rows.begin(), rows.end(), [](const ProfileRow& a, const ProfileRow& b) {
    return std::max(a.gpuMsPerFrame, a.cpuMsPerFrame) > std::max(b.gpuMsPerFrame, b.cpuMsPerFrame);
  });
  return rows;
}

FrameTimeStats FrameProfile::frameTimes() const { return summarizeFrameTimes(frameMs_); }

FrameTimeStats summarizeFrameTimes(std::vector<double> sorted) {
  FrameTimeStats s;
  s.frames = sorted.size();
  if (sorted.empty()) return s;
  std::sort(sorted.begin(), sorted.end());
  double sum = 0;
  for (double v : sorted) sum += v;
  s.mean = sum / double(sorted.size());
  const size_t rank = size_t(std::ceil(0.95 * double(sorted.size())));  // nearest rank
  s.p95 = sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
  s.worst = sorted.back();
  return s;
}

namespace {
std::string csvField(const std::string& s) {
  if (s.find_first_of(",\"\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}
}  // namespace

const char* const FrameProfile::kNoTimestampsNote =
    "* this device has no timestamp queries: GPU times are not measured\n";

std::string FrameProfile::rowsText(size_t maxRows, bool wholeCalls) const {
  std::string out;
  char line[512];
  std::vector<ProfileRow> rows = table();
  if (rows.size() > maxRows) rows.resize(maxRows);
  // Columns as wide as the longest type and name (each cut at 200 characters), so that
  // long names keep the numbers aligned.
  int typeWidth = 16, nameWidth = 24;
  for (const ProfileRow& r : rows) {
    typeWidth = std::max(typeWidth, int(std::min<size_t>(r.key.type.size(), 200)));
    nameWidth = std::max(nameWidth, int(std::min<size_t>(r.key.name.size(), 200)));
  }
  std::snprintf(line, sizeof line, "%6s %6s  %-*s %-*s %8s %10s %10s\n", "graph", "id", typeWidth, "type", nameWidth,
                "name", "calls", "cpu ms", hasGpuTimes() ? "gpu ms" : "gpu ms *");
  out += line;
  for (const ProfileRow& r : rows) {
    std::snprintf(line, sizeof line, "%6d %6d  %-*.200s %-*.200s %8.*f %10.3f %10.3f\n", r.key.graph, r.key.id,
                  typeWidth, r.key.type.c_str(), nameWidth, r.key.name.c_str(), wholeCalls ? 0 : 2, r.callsPerFrame,
                  r.cpuMsPerFrame, r.gpuMsPerFrame);
    out += line;
  }
  return out;
}

std::string FrameProfile::text() const {
  std::string out = rowsText(SIZE_MAX, false);
  char line[512];
  const FrameTimeStats f = frameTimes();
  std::snprintf(line, sizeof line, "frames %zu: mean %.2f ms, 95th percentile %.2f ms, worst %.2f ms\n", f.frames,
                f.mean, f.p95, f.worst);
  out += line;
  if (!hasGpuTimes()) out += kNoTimestampsNote;
  return out;
}

std::string FrameProfile::csv() const {
  std::string out = "graph,id,type,name,calls_per_frame,cpu_ms_per_frame,gpu_ms_per_frame\n";
  char numbers[128];
  for (const ProfileRow& r : table()) {
    std::snprintf(numbers, sizeof numbers, ",%.4f,%.4f,%.4f\n", r.callsPerFrame, r.cpuMsPerFrame, r.gpuMsPerFrame);
    out += std::to_string(r.key.graph) + "," + std::to_string(r.key.id) + "," + csvField(r.key.type) + "," +
           csvField(r.key.name) + numbers;
  }
  return out;
}

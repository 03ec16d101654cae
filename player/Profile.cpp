#include "player/Profile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/Operator.h"
#include "engine/Port.h"
#include "engine/Project.h"
#include "gfx/Device.h"
#include "gfx/GpuTimer.h"
#include "player/Clock.h"
#include "player/FrameWriter.h"

namespace {

// GPU spans a frame may open. An operator evaluated after they are used up is timed on the
// CPU only, and the report says so; the sample opens a few hundred a frame.
constexpr uint32_t kGpuSpansPerFrame = 16384;

}  // namespace

// Stands in for an operator output's function while a profile runs: the evaluation goes on
// unchanged, bracketed by the profile's enter/leave and a GPU span. Wrapping the functions
// of the loaded production, rather than testing a hook in the evaluation path, leaves every
// other run exactly as fast as before.
class TimedFunction : public Function {
 public:
  TimedFunction(ProfileRun& run, std::unique_ptr<Function> inner, ProfileKey key, bool gpu)
      : inner(std::move(inner)), run_(run), key_(std::move(key)), gpu_(gpu) {
    outputIndex = this->inner->outputIndex;
  }
  void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override {
    if (!run_.recording() && !run_.loading()) {
      inner->evaluate(t, sources, ctx);
      return;
    }
    // The warm-up is profiled as one frame of its own.
    FrameProfile& profile = run_.loading() ? run_.load_ : run_.frames();
    const int span = gpu_ ? run_.gpuBegin() : -1;
    profile.enter(key_, run_.nowMs(), span);
    inner->evaluate(t, sources, ctx);
    profile.leave(run_.nowMs());
    run_.gpuEnd(span);
  }
  void assign(Context& ctx, float t) override { inner->assign(ctx, t); }
  IValue* value() override { return inner->value(); }
  void serialize(TreeNodeRef node, const char* key) override { inner->serialize(node, key); }

  std::unique_ptr<Function> inner;

 private:
  ProfileRun& run_;
  ProfileKey key_;
  bool gpu_;  // float operators record no GPU work: no span, so no queries spent on them
};

ProfileRun::ProfileRun(std::string production)
    : production_(std::move(production)), loadStart_(std::chrono::steady_clock::now()) {
  epoch_ = loadStart_;
}

ProfileRun::~ProfileRun() { stop(); }

void ProfileRun::wrapOutputs(Project& project) {
  for (const auto& graph : project.graphs) {
    for (const auto& op : graph->operators) {
      if (!op) continue;
      for (Port& out : op->outputs) {
        if (!out.source) continue;
        auto timed = std::make_unique<TimedFunction>(*this, std::move(out.source),
                                                     ProfileKey{graph->id, op->id, op->type, op->customName},
                                                     op->category != CategoryFloat);
        wrapped_.emplace_back(&out, timed.get());
        out.source = std::move(timed);
      }
    }
  }
}

void ProfileRun::watchLoad(Project& project, Device* device) {
  stop();
  timer_ = GpuTimer::create(device, kGpuSpansPerFrame);
  if (timer_) timer_->beginFrame();
  wrapOutputs(project);
  loading_ = !wrapped_.empty();
}

void ProfileRun::start(Project& project, Device* device, int32_t fps, uint32_t width, uint32_t height) {
  // The load ends here, once its work has finished, whether or not its warm-up was watched.
  if (load_.frames() == 0) {
    std::vector<double> gpuMs;
    if (device) device->waitIdle();
    if (loading_ && timer_) {
      loadOutOfSpans_ = timer_->spansThisFrame() >= kGpuSpansPerFrame;
      if (!timer_->read(gpuMs)) gpuMs.clear();
    }
    load_.endFrame(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - loadStart_).count(),
                   gpuMs);
  }
  stop();
  fps_ = fps;
  width_ = width;
  height_ = height;
  epoch_ = std::chrono::steady_clock::now();
  timer_ = GpuTimer::create(device, kGpuSpansPerFrame);
  timerSupported_ = timer_ != nullptr;
  wrapOutputs(project);
  spans_.clear();
  for (size_t k = 0; k < project.tracks.size(); ++k)
    for (const auto& span : project.tracks[k].spans) {
      if (!span || !(span->timeEnd > span->timeStart)) continue;
      std::string name = span->name;
      if (name.empty())
        if (const OperatorGraph* g = project.findGraph(span->graphId)) name = g->name;
      spans_.push_back({int32_t(k), span->graphId, name, span->timeStart, span->timeEnd, {}});
    }
}

void ProfileRun::stop() {
  recording_ = false;
  loading_ = false;
  for (auto& [port, timed] : wrapped_)
    if (port->source.get() == timed) port->source = std::move(timed->inner);
  wrapped_.clear();
  timer_.reset();
}

double ProfileRun::nowMs() const {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - epoch_).count();
}

int ProfileRun::gpuBegin() { return timer_ ? timer_->begin() : -1; }

void ProfileRun::gpuEnd(int span) {
  if (timer_ && span >= 0) timer_->end(span);
}

void ProfileRun::beginFrame(int32_t frame, bool counted) {
  recording_ = counted && !wrapped_.empty();
  if (!recording_) return;
  frame_ = frame;
  if (timer_) timer_->beginFrame();
  frameStart_ = nowMs();
}

void ProfileRun::endFrame(Device* device) {
  if (!recording_) return;
  recording_ = false;
  // The frame's time is all of its cost, the GPU's included: measured frames do not overlap.
  if (device) device->waitIdle();
  const double ms = nowMs() - frameStart_;
  gpuMs_.clear();
  if (timer_) {
    if (timer_->spansThisFrame() >= kGpuSpansPerFrame) ++framesOutOfSpans_;
    if (!timer_->read(gpuMs_)) gpuMs_.clear();
  }
  profile_.endFrame(ms, gpuMs_);
  const float t = frameTime(frame_, fps_);
  for (SpanTimes& s : spans_)
    if (s.start <= t && t < s.end) s.frameMs.push_back(ms);
}

std::string ProfileRun::report() const {
  std::string out;
  char line[512];
  std::snprintf(line, sizeof line, "Profile of %s: %zu frames at %ux%u, %d a second; per frame, own time of each operator\n",
                production_.c_str(), profile_.frames(), width_, height_, int(fps_));
  out += line;
  out += profile_.text();
  if (framesOutOfSpans_ > 0) {
    std::snprintf(line, sizeof line,
                  "%zu frames opened more than %u GPU spans: their later operators have CPU times only\n",
                  framesOutOfSpans_, kGpuSpansPerFrame);
    out += line;
  }
  int nameWidth = 24;
  for (const SpanTimes& s : spans_)
    if (!s.frameMs.empty()) nameWidth = std::max(nameWidth, int(std::min<size_t>(s.name.size(), 200)));
  std::snprintf(line, sizeof line, "\n%5s %6s  %-*s %8s %8s %7s %9s %9s %9s\n", "track", "graph", nameWidth, "span",
                "from s", "to s", "frames", "mean ms", "p95 ms", "worst ms");
  out += line;
  for (const SpanTimes& s : spans_) {
    if (s.frameMs.empty()) continue;
    const FrameTimeStats f = summarizeFrameTimes(s.frameMs);
    std::snprintf(line, sizeof line, "%5d %6d  %-*.200s %8.2f %8.2f %7zu %9.2f %9.2f %9.2f\n", int(s.track),
                  int(s.graph), nameWidth, s.name.c_str(), double(s.start), double(s.end), f.frames, f.mean, f.p95,
                  f.worst);
    out += line;
  }
  out += loadReport();
  return out;
}

std::string ProfileRun::loadReport() const {
  constexpr size_t kRows = 12;
  std::string out;
  char line[512];
  const std::vector<ProfileRow> rows = load_.table();
  if (load_.frames() == 0) return out;
  if (rows.empty()) {
    std::snprintf(line, sizeof line, "\nLoading took %.1f ms\n", load_.frameTimes().mean);
    return out + line;
  }
  double cpu = 0, gpu = 0;
  for (const ProfileRow& r : rows) {
    cpu += r.cpuMsPerFrame;
    gpu += r.gpuMsPerFrame;
  }
  // What the rows leave out is the loading bar and the driver's own work between them.
  std::snprintf(line, sizeof line,
                "\nLoading took %.1f ms; the operators' own times while they warmed up add up to %.1f ms on the CPU and "
                "%.1f ms on the GPU. Most expensive first:\n",
                load_.frameTimes().mean, cpu, gpu);
  out += line;
  out += load_.rowsText(kRows, true);
  if (rows.size() > kRows) {
    std::snprintf(line, sizeof line, "(%zu more operators)\n", rows.size() - kRows);
    out += line;
  }
  if (!load_.hasGpuTimes()) out += FrameProfile::kNoTimestampsNote;
  if (loadOutOfSpans_) {
    std::snprintf(line, sizeof line, "the warm-up opened more than %u GPU spans: its later operators have CPU times only\n",
                  kGpuSpansPerFrame);
    out += line;
  }
  return out;
}

namespace {

class NoFrameOutput : public FrameOutput {
 public:
  bool write(int32_t, uint32_t, uint32_t, const uint8_t*, std::string&) override { return true; }
};

}  // namespace

std::unique_ptr<FrameOutput> makeNoFrameOutput() { return std::make_unique<NoFrameOutput>(); }

bool checkProfileCsvPath(const std::string& path, std::string& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path folder = fs::path(path).parent_path();
  if (!folder.empty() && !fs::is_directory(folder, ec)) {
    error = "--csv " + path + ": the folder " + folder.string() + " does not exist";
    return false;
  }
  if (fs::is_directory(path, ec)) {
    error = "--csv " + path + ": it is a folder";
    return false;
  }
  // Made and removed at once, so that a long profile never fails on its last write.
  const std::string probe = path + ".part";
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) {
    error = "--csv " + path + ": cannot write there: " + std::strerror(errno);
    return false;
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

bool writeProfileCsv(const std::string& path, const std::string& text, std::string& error) {
  const std::string part = path + ".part";
  {
    std::ofstream file(part, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) {
      std::remove(part.c_str());
      error = "cannot write the profile to " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  if (std::rename(part.c_str(), path.c_str()) != 0) {
    error = "cannot write the profile to " + path + ": " + std::strerror(errno);
    std::remove(part.c_str());
    return false;
  }
  return true;
}

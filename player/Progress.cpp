#include "player/Progress.h"

#include <unistd.h>

TerminalProgress* TerminalProgress::active_ = nullptr;

TerminalProgress::TerminalProgress(FILE* out, bool interactive) : out_(out), interactive_(interactive) {}

TerminalProgress::~TerminalProgress() {
  finish();
  if (active_ == this) active_ = nullptr;
}

TerminalProgress TerminalProgress::forStream(FILE* out) {
  return TerminalProgress(out, out && isatty(fileno(out)) != 0);
}

void TerminalProgress::rewrite(const char* text) {
  // Clear to the end of the line so a shorter text leaves no tail behind.
  std::fprintf(out_, "\r%s\x1b[K", text);
  std::fflush(out_);
  lineOpen_ = true;
  active_ = this;
}

void TerminalProgress::line(const char* text) {
  std::fprintf(out_, "%s\n", text);
  std::fflush(out_);
}

void TerminalProgress::loading(int done, int total) {
  if (!out_ || total <= 0) return;
  char text[128];
  std::snprintf(text, sizeof text, "Loading: %d/%d operators (%d%%)", done, total, int(int64_t(done) * 100 / total));
  if (interactive_) {
    rewrite(text);
    return;
  }
  // In a log file one line per tenth is enough.
  int decile = int(int64_t(done) * 10 / total);
  if (decile != lastLoadingDecile_ || done == total) {
    lastLoadingDecile_ = decile;
    line(text);
  }
}

void TerminalProgress::dumped(int32_t frame, float t, const std::string& file) {
  if (!out_) return;
  char text[1200];
  std::snprintf(text, sizeof text, "Frame %d (t = %.3f s) written to %s", int(frame), double(t), file.c_str());
  if (interactive_)
    rewrite(text);
  else if (frame % 60 == 0)  // one line per second of production time
    line(text);
}

void TerminalProgress::rendered(int done, int total, double fps, double secondsLeft, bool preroll) {
  if (!out_ || total <= 0) return;
  char text[160];
  std::snprintf(text, sizeof text, "%s %d of %d, %.1f frames/s, %.0f s left", preroll ? "Pre-roll: frame" : "Frame",
                done, total, fps, secondsLeft < 0.0 ? 0.0 : secondsLeft);
  if (interactive_) {
    rewrite(text);
    return;
  }
  const int decile = int(int64_t(done) * 10 / total);
  if (decile != lastRenderedDecile_ || done == total) {
    lastRenderedDecile_ = decile;
    line(text);
  }
}

void TerminalProgress::finish() {
  if (lineOpen_) {
    std::fputc('\n', out_);
    std::fflush(out_);
    lineOpen_ = false;
  }
  if (active_ == this) active_ = nullptr;
}

void TerminalProgress::breakActiveLine() {
  if (active_) active_->finish();
}

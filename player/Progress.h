#pragma once
// Progress on the terminal while loading and while dumping frames: one line rewritten in
// place on a terminal, plain lines now and then when the output is a file or a pipe.
#include <cstdint>
#include <cstdio>
#include <string>

class TerminalProgress {
 public:
  // interactive: rewrite one line with '\r' (a terminal); otherwise print plain lines.
  // A null stream prints nothing.
  TerminalProgress(FILE* out, bool interactive);
  ~TerminalProgress();
  TerminalProgress(const TerminalProgress&) = delete;
  TerminalProgress& operator=(const TerminalProgress&) = delete;
  // Picks the mode from whether out is a terminal (null: silent).
  static TerminalProgress forStream(FILE* out);

  // Operator done of total warmed up (done counts from 1).
  void loading(int done, int total);
  // Frame written to disk at production time t.
  void dumped(int32_t frame, float t, const std::string& file);
  // Offline render: `done` frames of `total` written, at `fps` frames a second, about
  // `secondsLeft` to go. `preroll`: frames drawn before the first one written.
  void rendered(int done, int total, double fps, double secondsLeft, bool preroll = false);
  // Ends the current line, if any.
  void finish();

  // Called before any other text goes to the terminal, so it starts on a fresh line.
  static void breakActiveLine();

 private:
  void rewrite(const char* text);
  void line(const char* text);

  FILE* out_;
  bool interactive_;
  bool lineOpen_ = false;
  int lastLoadingDecile_ = -1;
  int lastRenderedDecile_ = -1;
  static TerminalProgress* active_;
};

#include "player/Log.h"

#include <cstdarg>
#include <cstdio>

#include "player/Progress.h"

void logText(const char* format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  // A progress line being rewritten in place on the terminal must not swallow the message.
  TerminalProgress::breakActiveLine();
  std::fputs(buffer, stderr);
  std::fflush(stderr);
}

#pragma once
// Diagnostics of the image-file code: one plain line on stderr, flushed at once, like every
// other diagnostic of the program.
#include <cstdarg>
#include <cstdio>

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline void imageLog(const char* format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  std::fputs(buffer, stderr);
  std::fflush(stderr);
}

#include "gfx/FatalError.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {
FatalErrorHandler gHandler = nullptr;
}

FatalErrorHandler setFatalErrorHandler(FatalErrorHandler handler) {
  FatalErrorHandler previous = gHandler;
  gHandler = handler;
  return previous;
}

void fatalError(const char* text) {
  if (gHandler) gHandler(text);
  std::fprintf(stderr, "Fatal error: %s\n", text);
  std::fflush(stderr);
  std::exit(1);
}

void logMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fflush(stderr);
}

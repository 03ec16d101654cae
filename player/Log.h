#pragma once
// The program's log: plain lines on stderr, flushed after every write.
#if defined(__GNUC__)
#define ZV_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define ZV_PRINTF(a, b)
#endif

// Formats into a buffer of 4096 characters (longer texts are cut) and writes it.
void logText(const char* format, ...) ZV_PRINTF(1, 2);

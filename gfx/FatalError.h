#pragma once
// Ending the program on an unrecoverable condition. The default handler logs
// "Fatal error: <text>\n" to standard error and exits with code 1; the player replaces it
// (message box with caption "Error") through setFatalErrorHandler. A handler must not
// return; if it does, the default behaviour follows.

using FatalErrorHandler = void (*)(const char* text);

[[noreturn]] void fatalError(const char* text);

// Installs a handler (null restores the default). Returns the previous one.
FatalErrorHandler setFatalErrorHandler(FatalErrorHandler handler);

// Diagnostics: one plain text line, written to standard error and flushed (printf style).
void logMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

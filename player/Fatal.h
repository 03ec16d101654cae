#pragma once
// The player's way of ending on an unrecoverable condition: the log line, a message box
// when a display exists, exit code 1.

// Set once a display is known to exist (the window code); without one no box is shown.
void setMessageBoxAvailable(bool available);

// Logs "Fatal error: <text>\n" and one more line break, shows the text in an error box with
// the caption "Error" (when a display exists) and exits with code 1 at once (no static
// destructors, no leak check: everything is still alive).
[[noreturn]] void playerFatalError(const char* text);

#pragma once
// The settings file: whitespace-separated keys and values, every key optional.
#include <cstdint>
#include <istream>
#include <string>

struct Settings {
  int32_t width = 1920;   // client area and back buffer
  int32_t height = 1080;
  bool fullscreen = false;
  bool vsync = true;
  int32_t framedump = 0;  // non-zero: offline rendering on the frame clock, every frame to disk
};

// Reads words until the end; a known key takes the next token as its value, any other word
// is skipped. Reading stops at the first value that does not convert; what was read until
// then stands. A failed value never overwrites the setting (formatted input would store 0).
Settings readSettings(std::istream& in);

// A file that cannot be opened, or an empty one, gives the defaults.
Settings readSettingsFile(const std::string& path);

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

// Reads words to the end; a known key takes the next word as its value, and the last value
// of a key counts. Nothing stops the reading: each problem gets one log line naming the
// file, the line and the key, and is skipped, so the rest of the file still counts:
//   - a value that does not convert as a whole (width abc, height 1e3, width 99999999999,
//     fullscreen 2, framedump yes) or a size below 1: the setting keeps its value;
//   - a key followed by another key or by nothing: the key has no value;
//   - any other word (a misspelt key): reported, and the word after it on the same line,
//     its value, is skipped with it.
Settings readSettings(std::istream& in, const std::string& fileName = "config.ini");

// A file that cannot be opened, or an empty one, gives the defaults.
Settings readSettingsFile(const std::string& path);

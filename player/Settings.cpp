#include "player/Settings.h"

#include <fstream>

#include "player/Log.h"

namespace {

// Formatted input into a temporary: a failing conversion leaves the setting alone.
template <typename T>
bool readValue(std::istream& in, T& setting) {
  T value{};
  if (!(in >> value)) return false;
  setting = value;
  return true;
}

// A window of zero or negative size cannot be made; such a value keeps the previous one.
bool readSize(std::istream& in, int32_t& setting, const char* key) {
  int32_t value = 0;
  if (!(in >> value)) return false;
  if (value > 0)
    setting = value;
  else
    logText("config.ini: ignoring %s %d\n", key, int(value));
  return true;
}

}  // namespace

Settings readSettings(std::istream& in) {
  Settings s;
  std::string word;
  while (in >> word) {
    bool ok = true;
    if (word == "width")
      ok = readSize(in, s.width, "width");
    else if (word == "height")
      ok = readSize(in, s.height, "height");
    else if (word == "fullscreen")
      ok = readValue(in, s.fullscreen);
    else if (word == "vsync")
      ok = readValue(in, s.vsync);
    else if (word == "framedump")
      ok = readValue(in, s.framedump);
    if (!ok) break;
  }
  return s;
}

Settings readSettingsFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return Settings{};
  return readSettings(in);
}

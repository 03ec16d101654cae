#include "player/Settings.h"

#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

#include "player/Log.h"

namespace {

struct Word {
  std::string text;
  int line;
};

const char* const kKeys[] = {"width", "height", "fullscreen", "vsync", "framedump"};

bool isKey(const std::string& word) {
  for (const char* k : kKeys)
    if (word == k) return true;
  return false;
}

// Words from a file are echoed; a pasted blob must not be.
std::string shown(const std::string& word) { return word.size() <= 40 ? word : word.substr(0, 40) + "..."; }

// The whole word as a decimal integer in 32 bits, or false.
bool toInt(const std::string& word, int32_t& out) {
  const char* first = word.data();
  const char* last = word.data() + word.size();
  if (first != last && *first == '+') ++first;  // formatted input took a plus sign
  int32_t value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last) return false;
  out = value;
  return true;
}

class Reader {
 public:
  Reader(const std::string& fileName, Settings& s) : file_(fileName), s_(s) {}

  void apply(const std::string& key, const Word& value) {
    int32_t number = 0;
    const bool isInt = toInt(value.text, number);
    if (key == "width" || key == "height") {
      int32_t& setting = key == "width" ? s_.width : s_.height;
      if (!isInt || number < 1)
        report(value.line, key, value.text, "not a whole number from 1 to 2147483647", std::to_string(setting));
      else
        setting = number;
    } else if (key == "fullscreen" || key == "vsync") {
      bool& setting = key == "fullscreen" ? s_.fullscreen : s_.vsync;
      if (value.text != "0" && value.text != "1")
        report(value.line, key, value.text, "takes 0 or 1", setting ? "1" : "0");
      else
        setting = value.text == "1";
    } else {
      if (!isInt)
        report(value.line, key, value.text, "not a whole number", std::to_string(s_.framedump));
      else
        s_.framedump = number;
    }
  }

  void report(int line, const std::string& key, const std::string& value, const char* why, const std::string& kept) {
    logText("%s:%d: %s %s: %s; keeping %s\n", file_.c_str(), line, key.c_str(), shown(value).c_str(), why,
            kept.c_str());
  }
  void noValue(int line, const std::string& key) {
    logText("%s:%d: %s has no value\n", file_.c_str(), line, key.c_str());
  }
  void unknown(int line, const std::string& word) {
    logText("%s:%d: unknown key \"%s\" is ignored (the keys are width, height, fullscreen, vsync, framedump)\n",
            file_.c_str(), line, shown(word).c_str());
  }

 private:
  const std::string& file_;
  Settings& s_;
};

}  // namespace

Settings readSettings(std::istream& in, const std::string& fileName) {
  std::vector<Word> words;
  std::string text;
  for (int line = 1; std::getline(in, text); ++line) {
    std::istringstream ls(text);
    std::string w;
    while (ls >> w) words.push_back({w, line});
  }

  Settings s;
  Reader reader(fileName, s);
  for (size_t i = 0; i < words.size(); ++i) {
    const Word& w = words[i];
    if (isKey(w.text)) {
      if (i + 1 < words.size() && !isKey(words[i + 1].text)) {
        reader.apply(w.text, words[i + 1]);
        ++i;
      } else {
        reader.noValue(w.line, w.text);
      }
      continue;
    }
    reader.unknown(w.line, w.text);
    // Its value, when it has one on the same line, goes with it.
    if (i + 1 < words.size() && words[i + 1].line == w.line && !isKey(words[i + 1].text)) ++i;
  }
  return s;
}

Settings readSettingsFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return Settings{};
  return readSettings(in, path);
}

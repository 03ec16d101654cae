#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "player/Settings.h"

namespace {

Settings parse(const char* text) {
  std::istringstream in(text);
  return readSettings(in);
}

struct Expected {
  const char* text;
  int width = 1920, height = 1080;
  bool fullscreen = false, vsync = true;
  int framedump = 0;
};

void expect(const Settings& s, const Expected& e) {
  EXPECT_EQ(s.width, e.width) << e.text;
  EXPECT_EQ(s.height, e.height) << e.text;
  EXPECT_EQ(s.fullscreen, e.fullscreen) << e.text;
  EXPECT_EQ(s.vsync, e.vsync) << e.text;
  EXPECT_EQ(s.framedump, e.framedump) << e.text;
}

}  // namespace

TEST(Settings, MissingOrEmptyFileGivesDefaults) {
  expect(readSettingsFile("no/such/config.ini"), {"missing file"});
  std::string path = (std::filesystem::temp_directory_path() / ("zv_empty_config_" + std::to_string(getpid()) + ".ini")).string();
  { std::ofstream out(path); }
  expect(readSettingsFile(path), {"empty file"});
  std::remove(path.c_str());
}

TEST(Settings, KeysValuesSkippedWordsAndBadValues) {
  const Expected cases[] = {
      {"   \n\t "},
      {"vsync 0", 1920, 1080, false, false},
      // An arbitrary word, then a lone number, are skipped one by one.
      {"resolution 1234 width 800", 800},
      // The last value counts.
      {"width 640\nheight 480\nfullscreen 1\nvsync 0\nframedump 1\nwidth 1024", 1024, 480, true, false, 1},
      // Keys are case-sensitive and whole words.
      {"Width 800 width800 HEIGHT 600"},
      // The first bad value stops reading: height is never reached.
      {"width 800 fullscreen true height 600", 800},
      // Booleans are the digits 0 and 1 only.
      {"fullscreen 2 vsync 0"},
      // A value that fails keeps what the setting had instead of the 0 formatted input
      // stores: a window of width 0 or a silently disabled vsync would be the result.
      {"width 1280 width abc", 1280},
      {"vsync true"},
      {"height 99999999999999"},
      {"framedump"},  // key at the very end
  };
  for (const Expected& e : cases) expect(parse(e.text), e);
}

TEST(Settings, NonPositiveSizesAreIgnored) {
  testing::internal::CaptureStderr();
  Settings s = parse("width -5 height 0 framedump 3");
  std::string log = testing::internal::GetCapturedStderr();
  expect(s, {"width -5 height 0 framedump 3", 1920, 1080, false, true, 3});  // reading goes on
  EXPECT_NE(log.find("width -5"), std::string::npos);
}

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

TEST(Settings, KeysValuesAndProblemsThatDoNotStopTheReading) {
  const Expected cases[] = {
      {"   \n\t "},
      {"vsync 0", 1920, 1080, false, false},
      // An unknown word and the value after it are skipped together.
      {"resolution 1234 width 800", 800},
      // The last value counts.
      {"width 640\nheight 480\nfullscreen 1\nvsync 0\nframedump 1\nwidth 1024", 1024, 480, true, false, 1},
      // Keys are case-sensitive and whole words.
      {"Width 800 width800 HEIGHT 600"},
      // A bad value is skipped and the keys after it still count.
      {"width 800 fullscreen true height 600", 800, 600},
      {"fullscreen 2 vsync 0", 1920, 1080, false, false},
      {"framedump yes\nwidth 64", 64},
      {"widht 64\nheight 32", 1920, 32},
      // A value converts as a whole or not at all: 1e3 is not 1, 99999999999 is not cut.
      {"height 1e3 width 99999999999 vsync 0", 1920, 1080, false, false},
      {"width 1280 width abc", 1280},
      {"vsync true"},
      // Sizes below 1 keep the previous value; reading goes on.
      {"width -5 height 0 framedump 3", 1920, 1080, false, true, 3},
      // A key without a value: at the end, or followed by another key.
      {"framedump"},
      {"width height 600", 1920, 600},
      // A value may stand on the next line, as with formatted input.
      {"width\n800", 800},
  };
  testing::internal::CaptureStderr();
  for (const Expected& e : cases) expect(parse(e.text), e);
  testing::internal::GetCapturedStderr();
}

TEST(Settings, EveryProblemIsOneLineNamingTheFileTheLineAndTheKey) {
  testing::internal::CaptureStderr();
  Settings s = parse("width 640\nwidht 64\n\nfullscreen 2 vsync 0\nheight 1e3\nframedump\n");
  const std::string log = testing::internal::GetCapturedStderr();
  expect(s, {"", 640, 1080, false, false});
  EXPECT_EQ(log,
            "config.ini:2: unknown key \"widht\" is ignored (the keys are width, height, fullscreen, vsync, framedump)\n"
            "config.ini:4: fullscreen 2: takes 0 or 1; keeping 0\n"
            "config.ini:5: height 1e3: not a whole number from 1 to 2147483647; keeping 1080\n"
            "config.ini:6: framedump has no value\n");
}

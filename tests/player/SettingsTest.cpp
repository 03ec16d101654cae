#include <string>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "player/Settings.h"

namespace {

Settings parse(const char* text) {
  std::istringstream in(text);
  return readSettings(in);
}

void expectDefaults(const Settings& s) {
  EXPECT_EQ(s.width, 1920);
  EXPECT_EQ(s.height, 1080);
  EXPECT_FALSE(s.fullscreen);
  EXPECT_TRUE(s.vsync);
  EXPECT_EQ(s.framedump, 0);
}

}  // namespace

TEST(Settings, MissingOrEmptyFileGivesDefaults) {
  expectDefaults(readSettingsFile("no/such/config.ini"));
  std::string path = (std::filesystem::temp_directory_path() / ("zv_empty_config_" + std::to_string(getpid()) + ".ini")).string();
  { std::ofstream out(path); }
  expectDefaults(readSettingsFile(path));
  std::remove(path.c_str());
  expectDefaults(parse("   \n\t "));
}

TEST(Settings, KeysValuesAndSkippedWords) {
  Settings s = parse("vsync 0");
  EXPECT_EQ(s.width, 1920);
  EXPECT_EQ(s.height, 1080);
  EXPECT_FALSE(s.fullscreen);
  EXPECT_FALSE(s.vsync);

  // An arbitrary word, then a lone number, are skipped one by one.
  s = parse("resolution 1234 width 800");
  EXPECT_EQ(s.width, 800);

  s = parse("width 640\nheight 480\nfullscreen 1\nvsync 0\nframedump 1\nwidth 1024");
  EXPECT_EQ(s.width, 1024);  // the last value counts
  EXPECT_EQ(s.height, 480);
  EXPECT_TRUE(s.fullscreen);
  EXPECT_FALSE(s.vsync);
  EXPECT_EQ(s.framedump, 1);

  // Keys are case-sensitive and whole words.
  s = parse("Width 800 width800 HEIGHT 600");
  EXPECT_EQ(s.width, 1920);
  EXPECT_EQ(s.height, 1080);
}

TEST(Settings, FirstBadValueStopsReading) {
  Settings s = parse("width 800 fullscreen true height 600");
  EXPECT_EQ(s.width, 800);
  EXPECT_FALSE(s.fullscreen);
  EXPECT_EQ(s.height, 1080);  // never reached

  // Booleans are the digits 0 and 1 only.
  s = parse("fullscreen 2 vsync 0");
  EXPECT_FALSE(s.fullscreen);
  EXPECT_TRUE(s.vsync);

  // A value that fails keeps what the setting had instead of the 0 formatted input stores:
  // a window of width 0 or a silently disabled vsync would be the result otherwise.
  s = parse("width 1280 width abc");
  EXPECT_EQ(s.width, 1280);
  s = parse("vsync true");
  EXPECT_TRUE(s.vsync);
  s = parse("height 99999999999999");
  EXPECT_EQ(s.height, 1080);
  s = parse("framedump");  // key at the very end
  EXPECT_EQ(s.framedump, 0);
}

TEST(Settings, NonPositiveSizesAreIgnored) {
  testing::internal::CaptureStderr();
  Settings s = parse("width -5 height 0 framedump 3");
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(s.width, 1920);
  EXPECT_EQ(s.height, 1080);
  EXPECT_EQ(s.framedump, 3);  // reading goes on after an ignored size
  EXPECT_NE(log.find("width -5"), std::string::npos);
}

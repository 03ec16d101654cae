#include <string>
#include <unistd.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "player/FrameDump.h"

TEST(FrameDump, NamesArePaddedToSixDigitsAndGrowBeyond) {
  EXPECT_EQ(frameDumpName(0), "framedump/frame_000000.tiff");
  EXPECT_EQ(frameDumpName(60), "framedump/frame_000060.tiff");
  EXPECT_EQ(frameDumpName(999999), "framedump/frame_999999.tiff");
  EXPECT_EQ(frameDumpName(1234567), "framedump/frame_1234567.tiff");
}

TEST(FrameDump, WritesIntoAFolderItCreates) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("zv_framedump_test_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::path old = fs::current_path();
  fs::current_path(dir);
  std::vector<uint8_t> rgba(4 * 3 * 4, 200);
  EXPECT_TRUE(writeDumpFrame(0, 4, 3, rgba.data()));
  EXPECT_TRUE(writeDumpFrame(1, 4, 3, rgba.data()));  // the folder exists by now
  // The TIFF contents are TiffTest's business; here only the names and the folder.
  EXPECT_TRUE(fs::exists("framedump/frame_000000.tiff"));
  EXPECT_TRUE(fs::exists("framedump/frame_000001.tiff"));

  // A file standing where the folder should be makes the write fail, and say so.
  fs::remove_all("framedump");
  { std::FILE* f = std::fopen("framedump", "w"); std::fclose(f); }
  testing::internal::CaptureStderr();
  EXPECT_FALSE(writeDumpFrame(2, 4, 3, rgba.data()));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("framedump/frame_000002.tiff"), std::string::npos);
  fs::current_path(old);
  fs::remove_all(dir);
}

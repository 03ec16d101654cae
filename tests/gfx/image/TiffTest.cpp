#include <unistd.h>
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "gfx/image/ImageFile.h"

TEST(TiffWrite, RoundTripsThroughLibtiffTopRowFirst) {
  // 3 x 2 pixels in rows padded to 16 bytes, as a mapped read-back texture would be.
  const uint32_t w = 3, h = 2, pitch = 16;
  std::vector<uint8_t> src(pitch * h, 0xEE);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      for (uint32_t c = 0; c < 4; ++c) src[y * pitch + x * 4 + c] = uint8_t(y * 100 + x * 20 + c);
  std::string path = (std::filesystem::temp_directory_path() / ("zv_tiff_roundtrip_" + std::to_string(getpid()) + ".tiff")).string();
  ASSERT_TRUE(writeTiffRgba8(path, w, h, src.data(), pitch));

  TIFF* tif = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(tif, nullptr);
  uint32_t tw = 0, th = 0;
  uint16_t spp = 0, bps = 0, orientation = 0, photometric = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &tw);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &th);
  TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  EXPECT_EQ(tw, w);
  EXPECT_EQ(th, h);
  EXPECT_EQ(spp, 4);
  EXPECT_EQ(bps, 8);
  EXPECT_EQ(orientation, ORIENTATION_TOPLEFT);
  EXPECT_EQ(photometric, PHOTOMETRIC_RGB);
  std::vector<uint8_t> row(TIFFScanlineSize(tif));
  ASSERT_EQ(row.size(), w * 4);
  for (uint32_t y = 0; y < h; ++y) {
    ASSERT_EQ(TIFFReadScanline(tif, row.data(), y, 0), 1);
    for (uint32_t i = 0; i < w * 4; ++i) EXPECT_EQ(row[i], src[y * pitch + i]) << y << " " << i;
  }
  TIFFClose(tif);
  std::remove(path.c_str());
}

TEST(TiffWrite, FailuresAreReportedWithTheFileName) {
  std::vector<uint8_t> px(16, 0);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(writeTiffRgba8("no/such/folder/frame.tiff", 2, 2, px.data(), 8));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("no/such/folder/frame.tiff"), std::string::npos);

  std::string path = (std::filesystem::temp_directory_path() / ("zv_tiff_bad_" + std::to_string(getpid()) + ".tiff")).string();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(writeTiffRgba8(path, 2, 2, px.data(), 4));  // pitch shorter than a row
  EXPECT_FALSE(writeTiffRgba8(path, 0, 2, px.data(), 8));
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(std::filesystem::exists(path));
}

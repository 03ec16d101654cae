#include <unistd.h>
#include <gtest/gtest.h>
#include <stb_image_write.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "gfx/image/ImageFile.h"

namespace {

std::vector<uint8_t> encodePng(uint32_t w, uint32_t h, const std::vector<uint8_t>& rgba) {
  std::vector<uint8_t> out;
  auto append = [](void* ctx, void* data, int size) {
    auto* bytes = static_cast<uint8_t*>(data);
    static_cast<std::vector<uint8_t>*>(ctx)->insert(static_cast<std::vector<uint8_t>*>(ctx)->end(), bytes,
                                                     bytes + size);
  };
  stbi_write_png_to_func(append, &out, int(w), int(h), 4, rgba.data(), int(w * 4));
  return out;
}

std::vector<uint8_t> gradient(uint32_t w, uint32_t h) {
  std::vector<uint8_t> rgba(size_t(w) * h * 4);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = &rgba[(size_t(y) * w + x) * 4];
      p[0] = uint8_t(x);
      p[1] = uint8_t(y * 2);
      p[2] = uint8_t((x + y) & 0xFF);
      p[3] = uint8_t(255 - x);
    }
  return rgba;
}

std::string tempPath(const char* name) {
  return (std::filesystem::temp_directory_path() / ("zv_imagefile_" + std::to_string(getpid()) + "_" + name)).string();
}

}  // namespace

TEST(PictureDecode, PngGetsFullBoxFilteredMipChain) {
  const uint32_t w = 256, h = 128;
  std::vector<uint8_t> src = gradient(w, h);
  std::vector<uint8_t> png = encodePng(w, h, src);
  ImageSet set;
  ASSERT_TRUE(decodePicture(png.data(), png.size(), "gradient.png", set));
  EXPECT_EQ(set.formatCode, imagefmt::RGBA8);
  EXPECT_EQ(set.arraySize, 1u);
  EXPECT_FALSE(set.cube);
  ASSERT_EQ(set.mipLevels, 9u);
  ASSERT_EQ(set.subresources.size(), 9u);

  // Levels are packed one after the other, halving down to 1 x 1.
  size_t offset = 0;
  uint32_t lw = w, lh = h;
  for (uint32_t level = 0; level < 9; ++level) {
    const ImageSubresource& s = set.at(0, level);
    EXPECT_EQ(s.offset, offset) << level;
    EXPECT_EQ(s.width, lw) << level;
    EXPECT_EQ(s.height, lh) << level;
    EXPECT_EQ(s.rowPitch, lw * 4) << level;
    offset += s.size;
    lw = lw > 1 ? lw / 2 : 1;
    lh = lh > 1 ? lh / 2 : 1;
  }
  EXPECT_EQ(set.pixels.size(), offset);
  EXPECT_EQ(set.at(0, 8).width, 1u);
  EXPECT_EQ(set.at(0, 8).height, 1u);

  // Level 0 is the picture itself; level 1 texel (3, 5) averages source 6..7 x 10..11.
  EXPECT_TRUE(std::equal(src.begin(), src.end(), set.pixels.begin()));
  const uint8_t* l1 = set.pixels.data() + set.at(0, 1).offset + (5 * 128 + 3) * 4;
  EXPECT_EQ(l1[0], 7);   // (6 + 7 + 6 + 7) / 4 = 6.5 rounds to 7
  EXPECT_EQ(l1[1], 21);  // rows 10, 11 -> 20, 22
  EXPECT_EQ(l1[3], 249);  // 249, 248 -> 248.5 rounds up
}

TEST(PictureDecode, OddSizesFoldTheLastRowAndColumn) {
  // 3 x 1 with values 0, 30, 90: the one-texel level must see all three texels, not two.
  std::vector<uint8_t> src = {0, 0, 0, 255, 30, 30, 30, 255, 90, 90, 90, 255};
  ImageSet set;
  buildRgba8MipChain(src.data(), 3, 1, set);
  ASSERT_EQ(set.mipLevels, 2u);
  EXPECT_EQ(set.at(0, 1).width, 1u);
  EXPECT_EQ(set.pixels[set.at(0, 1).offset], 40);

  EXPECT_EQ(fullMipCount(1, 1), 1u);
  EXPECT_EQ(fullMipCount(5, 3), 3u);
  EXPECT_EQ(fullMipCount(1, 1024), 11u);
}

TEST(PictureDecode, JpegDecodesToOpaqueRgba) {
  std::vector<uint8_t> rgb(16 * 16 * 3);
  for (size_t i = 0; i < rgb.size(); i += 3) {
    rgb[i] = 200;
    rgb[i + 1] = 100;
    rgb[i + 2] = 50;
  }
  std::string path = tempPath("solid.jpg");
  ASSERT_TRUE(stbi_write_jpg(path.c_str(), 16, 16, 3, rgb.data(), 95));
  ImageSet set;
  ASSERT_TRUE(readPicture(path, set));
  std::remove(path.c_str());
  EXPECT_EQ(set.formatCode, imagefmt::RGBA8);
  EXPECT_EQ(set.mipLevels, 5u);
  const uint8_t* p = set.pixels.data();
  EXPECT_NEAR(p[0], 200, 4);
  EXPECT_NEAR(p[1], 100, 4);
  EXPECT_NEAR(p[2], 50, 4);
  EXPECT_EQ(p[3], 255);
}

TEST(PictureDecode, BadFilesFailWithTheFileNamed) {
  std::vector<uint8_t> png = encodePng(8, 8, gradient(8, 8));
  // Every truncation of a valid file is refused or decoded, never a crash.
  for (size_t len = 0; len < png.size(); ++len) {
    ImageSet set;
    testing::internal::CaptureStderr();
    bool ok = decodePicture(png.data(), len, "cut.png", set);
    std::string log = testing::internal::GetCapturedStderr();
    if (!ok) {
      EXPECT_TRUE(set.pixels.empty());
      EXPECT_NE(log.find("cut.png"), std::string::npos) << len;
    }
  }
  std::vector<uint8_t> garbage(300, 0xAB);
  ImageSet set;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(decodePicture(garbage.data(), garbage.size(), "noise.png", set));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("noise.png"), std::string::npos);

  testing::internal::CaptureStderr();
  EXPECT_FALSE(readPicture("no/such/dir/missing.png", set));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("no/such/dir/missing.png"), std::string::npos);

  // A folder opens like a file; it must fail like a bad file rather than be "read".
  const std::string folder = testing::TempDir();
  std::vector<uint8_t> bytes;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(readFileBytes(folder, bytes));
  EXPECT_FALSE(readPicture(folder, set));
  EXPECT_FALSE(readDds(folder, set));
  EXPECT_NE(testing::internal::GetCapturedStderr().find(folder), std::string::npos);
}

TEST(PictureDecode, CorruptedBytesNeverCrash) {
  std::vector<uint8_t> png = encodePng(16, 16, gradient(16, 16));
  testing::internal::CaptureStderr();
  for (size_t i = 8; i < png.size(); i += 7) {
    std::vector<uint8_t> bad = png;
    bad[i] ^= 0x5A;
    ImageSet set;
    if (decodePicture(bad.data(), bad.size(), "flipped.png", set)) {
      EXPECT_EQ(set.pixels.size(), set.at(0, set.mipLevels - 1).offset + 4);
    }
  }
  testing::internal::GetCapturedStderr();
}

#include <unistd.h>
#include <gtest/gtest.h>
#include <stb_image_write.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "gfx/image/ImageFile.h"
#include "tests/gfx/image/PngWriter.h"

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
  EXPECT_EQ(set.formatCode, format::RGBA8);
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
  EXPECT_EQ(set.formatCode, format::RGBA8);
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
      EXPECT_EQ(set.pixels.size(), set.at(0, set.mipLevels - 1).offset + bytesPerElement(set.formatCode));
    }
  }
  testing::internal::GetCapturedStderr();
}

namespace {

ImageSet decodeFile(const PngPicture& picture, const char* name) {
  const std::string path = tempPath(name);
  EXPECT_TRUE(picture.write(path));
  ImageSet set;
  EXPECT_TRUE(readPicture(path, set)) << name;
  std::remove(path.c_str());
  return set;
}

uint16_t texel16(const ImageSet& set, uint32_t level, uint32_t x, uint32_t y) {
  const ImageSubresource& s = set.at(0, level);
  const uint8_t* p = set.pixels.data() + s.offset + size_t(y) * s.rowPitch + x * 2;
  return uint16_t(p[0] | (p[1] << 8));
}

// A JPEG whose Exif block gives colour space `colourSpace` (1 sRGB, 0xFFFF uncalibrated),
// laid out big-endian as cameras write it, or without Exif when colourSpace is 0.
std::vector<uint8_t> jpegWithColourSpace(uint16_t colourSpace) {
  std::vector<uint8_t> rgb(8 * 8 * 3, 128);
  std::vector<uint8_t> jpeg;
  auto append = [](void* ctx, void* data, int size) {
    auto* out = static_cast<std::vector<uint8_t>*>(ctx);
    out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
  };
  stbi_write_jpg_to_func(append, &jpeg, 8, 8, 3, rgb.data(), 90);
  if (!colourSpace) return jpeg;
  const std::vector<uint8_t> tiff = {
      'M', 'M', 0, 42, 0, 0, 0, 8,                   // header, first directory at 8
      0, 1, 0x87, 0x69, 0, 4, 0, 0, 0, 1, 0, 0, 0, 26,  // one entry: Exif directory at 26
      0, 0, 0, 0,                                    // no next directory
      0, 1, 0xA0, 0x01, 0, 3, 0, 0, 0, 1, uint8_t(colourSpace >> 8), uint8_t(colourSpace & 0xFF), 0, 0,
      0, 0, 0, 0};
  std::vector<uint8_t> app1 = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
  app1.insert(app1.end(), tiff.begin(), tiff.end());
  const size_t length = app1.size() - 2;
  app1[2] = uint8_t(length >> 8);
  app1[3] = uint8_t(length & 0xFF);
  jpeg.insert(jpeg.begin() + 2, app1.begin(), app1.end());
  return jpeg;
}

}  // namespace

TEST(PictureFormats, GreyPicturesKeepOneChannelAndSixteenBitsKeepTheirLowByte) {
  PngPicture grey;
  grey.width = 4;
  grey.height = 2;
  grey.colourType = PNG_COLOR_TYPE_GRAY;
  grey.values = {10, 20, 30, 40, 50, 60, 70, 81};
  ImageSet g = decodeFile(grey, "grey.png");
  EXPECT_EQ(g.formatCode, format::R8);
  ASSERT_EQ(g.mipLevels, 3u);
  EXPECT_EQ(g.at(0, 0).rowPitch, 4u);
  EXPECT_EQ(g.pixels[5], 60);
  // 2 x 1 level: (30 + 40 + 70 + 81) / 4 = 55.25.
  EXPECT_EQ(g.pixels[g.at(0, 1).offset + 1], 55);
  EXPECT_EQ(g.pixels.size(), 8u + 2u + 1u);

  PngPicture height = grey;
  height.bitDepth = 16;
  height.values = {0x1234, 0x1235, 0xFFFF, 0x0001, 0x8000, 0x8001, 0x0100, 0x00FF};
  ImageSet h = decodeFile(height, "height16.png");
  EXPECT_EQ(h.formatCode, format::R16);
  EXPECT_EQ(h.at(0, 0).rowPitch, 8u);
  EXPECT_EQ(texel16(h, 0, 0, 0), 0x1234);
  EXPECT_EQ(texel16(h, 0, 1, 0), 0x1235);  // one step of 16 bits survives
  EXPECT_EQ(texel16(h, 0, 3, 1), 0x00FF);
  // (0x1234 + 0x1235 + 0x8000 + 0x8001) / 4 = 0x491A.8: rounded at 16 bits, not 8.
  EXPECT_EQ(texel16(h, 1, 0, 0), 0x491B);

  // Grey with alpha, and 16-bit colour, have no format of their own: four 8-bit channels.
  PngPicture greyAlpha = grey;
  greyAlpha.colourType = PNG_COLOR_TYPE_GRAY_ALPHA;
  greyAlpha.values.assign(16, 200);
  EXPECT_EQ(decodeFile(greyAlpha, "greyalpha.png").formatCode, format::RGBA8);
  PngPicture colour16 = height;
  colour16.colourType = PNG_COLOR_TYPE_RGB;
  colour16.values.assign(24, 0xFF00);
  ImageSet c = decodeFile(colour16, "colour16.png");
  EXPECT_EQ(c.formatCode, format::RGBA8);
  EXPECT_EQ(c.pixels[0], 0xFF);
}

TEST(PictureFormats, FilesThatSaySrgbDecodeToBgraSrgbAndAverageLight) {
  // Red and white side by side: green and blue of the one-texel level are half the light,
  // not half the code.
  PngPicture pair;
  pair.width = 2;
  pair.height = 1;
  pair.colourType = PNG_COLOR_TYPE_RGBA;
  pair.values = {255, 0, 0, 255, 255, 255, 255, 255};
  ImageSet plain = decodeFile(pair, "plain.png");
  EXPECT_EQ(plain.formatCode, format::RGBA8);
  EXPECT_EQ(plain.pixels[0], 255);  // red first
  EXPECT_EQ(plain.pixels[plain.at(0, 1).offset + 1], 128);

  pair.srgbChunk = true;
  ImageSet srgb = decodeFile(pair, "srgb.png");
  EXPECT_EQ(srgb.formatCode, format::BGRA8_SRGB);
  ASSERT_EQ(srgb.mipLevels, 2u);
  EXPECT_EQ(srgb.pixels[0], 0);    // blue first
  EXPECT_EQ(srgb.pixels[2], 255);  // red third
  const uint8_t* one = srgb.pixels.data() + srgb.at(0, 1).offset;
  EXPECT_EQ(one[1], 188);  // green: (0 + 1) / 2 of the light encodes as 188
  EXPECT_EQ(one[2], 255);  // red: both full
  EXPECT_EQ(one[3], 255);  // alpha is averaged as it is

  // A grey picture has no sRGB format: it stays one linear channel.
  PngPicture grey;
  grey.width = grey.height = 1;
  grey.colourType = PNG_COLOR_TYPE_GRAY;
  grey.srgbChunk = true;
  grey.values = {100};
  EXPECT_EQ(decodeFile(grey, "greysrgb.png").formatCode, format::R8);

  // JPEG: the Exif colour space says it.
  for (uint16_t space : {uint16_t(1), uint16_t(0xFFFF), uint16_t(0)}) {
    std::vector<uint8_t> jpeg = jpegWithColourSpace(space);
    EXPECT_EQ(pictureSaysSrgb(jpeg.data(), jpeg.size()), space == 1) << space;
    ImageSet set;
    ASSERT_TRUE(decodePicture(jpeg.data(), jpeg.size(), "exif.jpg", set)) << space;
    EXPECT_EQ(set.formatCode, space == 1 ? format::BGRA8_SRGB : format::RGBA8) << space;
  }
  // Cut short anywhere, the colour-space search reads nothing outside the bytes.
  std::vector<uint8_t> jpeg = jpegWithColourSpace(1);
  for (size_t len = 0; len < 80; ++len) pictureSaysSrgb(jpeg.data(), len);
}

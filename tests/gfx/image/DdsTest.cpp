#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gfx/image/ImageFile.h"
#include "tests/gfx/image/DdsWriter.h"

TEST(DdsRead, Bc1WithMipsKeepsBlocksAndPitches) {
  // 8 x 8 with four levels: 2x2 blocks, then 1x1 block for 4x4, 2x2 and 1x1.
  DdsWriter f;
  f.header(8, 8, 4, 0x4, kDXT1, 0, nullptr, 0);
  size_t dataStart = f.bytes.size();
  f.fill(32 + 8 + 8 + 8, 1);
  ImageSet set;
  ASSERT_TRUE(parseDds(f.bytes.data(), f.bytes.size(), "bc1.dds", set));
  EXPECT_EQ(set.formatCode, format::BC1);
  EXPECT_EQ(set.width, 8u);
  EXPECT_EQ(set.mipLevels, 4u);
  EXPECT_EQ(set.arraySize, 1u);
  EXPECT_FALSE(set.cube);
  const size_t sizes[4] = {32, 8, 8, 8};
  const uint32_t pitches[4] = {16, 8, 8, 8};
  size_t offset = 0;
  for (uint32_t l = 0; l < 4; ++l) {
    EXPECT_EQ(set.at(0, l).offset, offset);
    EXPECT_EQ(set.at(0, l).size, sizes[l]);
    EXPECT_EQ(set.at(0, l).rowPitch, pitches[l]);
    offset += sizes[l];
  }
  ASSERT_EQ(set.pixels.size(), offset);
  EXPECT_EQ(0, std::memcmp(set.pixels.data(), f.bytes.data() + dataStart, offset));
}

TEST(DdsRead, BlockFormatsRoundPartialBlocksUp) {
  DdsWriter f;
  f.header(5, 6, 1, 0x4, kDXT5, 0, nullptr, 0);  // 2 x 2 blocks of 16 bytes
  f.fill(64, 3);
  ImageSet set;
  ASSERT_TRUE(parseDds(f.bytes.data(), f.bytes.size(), "bc3.dds", set));
  EXPECT_EQ(set.formatCode, format::BC3);
  EXPECT_EQ(set.at(0, 0).rowPitch, 32u);
  EXPECT_EQ(set.at(0, 0).size, 64u);
}

TEST(DdsRead, CubeMapsBecomeSixSlicesInFileOrder) {
  // DX10 float cube with two levels: slice after slice, level after level.
  DdsWriter f;
  f.dx10(4, 4, 2, 2 /* R32G32B32A32_FLOAT */, 3, 0x4, 1);
  size_t dataStart = f.bytes.size();
  const size_t perFace = 4 * 4 * 16 + 2 * 2 * 16;
  for (int face = 0; face < 6; ++face) f.fill(perFace, uint8_t(face * 40));
  ImageSet set;
  ASSERT_TRUE(parseDds(f.bytes.data(), f.bytes.size(), "OutputCube.dds", set));
  EXPECT_EQ(set.formatCode, format::RGBA32F);
  EXPECT_TRUE(set.cube);
  EXPECT_EQ(set.arraySize, 6u);
  EXPECT_EQ(set.mipLevels, 2u);
  ASSERT_EQ(set.subresources.size(), 12u);
  for (uint32_t face = 0; face < 6; ++face) {
    EXPECT_EQ(set.at(face, 0).offset, face * perFace);
    EXPECT_EQ(set.at(face, 1).offset, face * perFace + 256);
    EXPECT_EQ(set.at(face, 1).width, 2u);
    EXPECT_EQ(set.pixels[set.at(face, 0).offset], uint8_t(face * 40));
  }
  EXPECT_EQ(0, std::memcmp(set.pixels.data(), f.bytes.data() + dataStart, 6 * perFace));

  // The legacy header marks cubes in caps2; B8G8R8A8 by its channel masks.
  DdsWriter g;
  const uint32_t bgra[4] = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
  g.header(2, 2, 1, 0x41, 0, 32, bgra, 0x200 | 0xFC00);
  g.fill(6 * 16, 9);
  ASSERT_TRUE(parseDds(g.bytes.data(), g.bytes.size(), "legacy_cube.dds", set));
  EXPECT_EQ(set.formatCode, format::BGRA8);
  EXPECT_TRUE(set.cube);
  EXPECT_EQ(set.arraySize, 6u);
  EXPECT_EQ(set.at(5, 0).offset, 80u);
}

TEST(DdsRead, Dx10FormatCodesIncludingSrgb) {
  const struct {
    uint32_t dxgi, code;
  } cases[] = {{71, format::BC1},  {72, format::BC1_SRGB}, {74, format::BC2}, {75, format::BC2_SRGB},
               {77, format::BC3},  {78, format::BC3_SRGB}, {87, format::BGRA8}};
  for (auto c : cases) {
    DdsWriter f;
    f.dx10(4, 4, 1, c.dxgi, 3, 0, 2);
    f.fill(2 * 64, 0);
    ImageSet set;
    ASSERT_TRUE(parseDds(f.bytes.data(), f.bytes.size(), "array.dds", set)) << c.dxgi;
    EXPECT_EQ(set.formatCode, c.code) << c.dxgi;
    EXPECT_EQ(set.arraySize, 2u);
    EXPECT_FALSE(set.cube);
  }
}

TEST(DdsRead, UnsupportedAndCorruptFilesAreRefused) {
  auto refused = [](const DdsWriter& f, const char* name) {
    ImageSet set;
    testing::internal::CaptureStderr();
    bool ok = parseDds(f.bytes.data(), f.bytes.size(), name, set);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(ok) << name;
    EXPECT_TRUE(set.pixels.empty() && set.subresources.empty()) << name;
    EXPECT_NE(log.find(name), std::string::npos) << log;
  };
  DdsWriter rgba;  // R8G8B8A8 is not a DDS format the renderer takes
  rgba.dx10(4, 4, 1, 28, 3, 0, 1);
  rgba.fill(64, 0);
  refused(rgba, "rgba.dds");

  DdsWriter volume;
  volume.dx10(4, 4, 1, 87, 4, 0, 1);
  volume.fill(64 * 4, 0);
  refused(volume, "volume.dds");

  DdsWriter tooManyMips;
  tooManyMips.header(4, 4, 5, 0x4, kDXT1, 0, nullptr, 0);
  tooManyMips.fill(64, 0);
  refused(tooManyMips, "mips.dds");

  DdsWriter huge;  // claims a 16384 x 16384 float array but holds a few bytes
  huge.dx10(16384, 16384, 15, 2, 3, 0x4, 2048);
  huge.fill(100, 0);
  refused(huge, "huge.dds");

  DdsWriter zeroArray;
  zeroArray.dx10(4, 4, 1, 87, 3, 0, 0);
  zeroArray.fill(64, 0);
  refused(zeroArray, "empty_array.dds");

  DdsWriter partialCube;
  partialCube.header(2, 2, 1, 0x4, kDXT1, 0, nullptr, 0x200 | 0x400);
  partialCube.fill(8, 0);
  refused(partialCube, "partial_cube.dds");

  DdsWriter bad;
  bad.fill(200, 0);
  refused(bad, "noise.dds");
}

TEST(DdsRead, EveryTruncationIsRefused) {
  DdsWriter f;
  f.dx10(8, 8, 4, 71, 3, 0x4, 1);
  f.fill(6 * (32 + 8 + 8 + 8), 5);
  ImageSet set;
  ASSERT_TRUE(parseDds(f.bytes.data(), f.bytes.size(), "full.dds", set));
  testing::internal::CaptureStderr();
  for (size_t len = 0; len < f.bytes.size(); ++len) {
    // A fresh copy of exactly len bytes lets the sanitizers see any read past the end.
    std::vector<uint8_t> cut(f.bytes.begin(), f.bytes.begin() + len);
    EXPECT_FALSE(parseDds(cut.data(), cut.size(), "cut.dds", set)) << len;
  }
  testing::internal::GetCapturedStderr();
}

TEST(DdsRead, ReadsFromDiskAndNamesMissingFiles) {
  DdsWriter f;
  f.header(4, 4, 1, 0x4, kDXT1, 0, nullptr, 0);
  f.fill(8, 0);
  std::string path = (std::filesystem::temp_directory_path() / ("zv_dds_read_" + std::to_string(getpid()) + ".dds")).string();
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(f.bytes.data()), std::streamsize(f.bytes.size()));
  }
  ImageSet set;
  EXPECT_TRUE(readDds(path, set));
  std::remove(path.c_str());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(readDds(path, set));
  EXPECT_NE(testing::internal::GetCapturedStderr().find(path), std::string::npos);
}

// Pixel-format codes, sizes and pitches of texture data, and the fatal end of unknown codes.
#include <gtest/gtest.h>

#include <string>

#include "gfx/FatalError.h"
#include "gfx/Texture.h"

namespace {

struct Expected {
  uint32_t code;
  DxgiFormat resource, view, target;
  uint32_t bits;
};

const Expected kTable[] = {
    {0x10201, DXGI_FORMAT_R8_UNORM, DXGI_FORMAT_R8_UNORM, DXGI_FORMAT_R8_UNORM, 8},
    {0x10203, DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_FORMAT_R8G8B8A8_UNORM, 24},
    {0x10204, DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_FORMAT_R8G8B8A8_UNORM, 32},
    {0x10207, DXGI_FORMAT_B8G8R8A8_UNORM, DXGI_FORMAT_B8G8R8A8_UNORM, DXGI_FORMAT_B8G8R8A8_UNORM, 32},
    {0x70207, DXGI_FORMAT_B8G8R8A8_UNORM_SRGB, DXGI_FORMAT_B8G8R8A8_UNORM_SRGB, DXGI_FORMAT_B8G8R8A8_UNORM_SRGB, 32},
    {0x10301, DXGI_FORMAT_R16_UNORM, DXGI_FORMAT_R16_UNORM, DXGI_FORMAT_R16_UNORM, 16},
    {0x40301, DXGI_FORMAT_R16_SINT, DXGI_FORMAT_R16_SINT, DXGI_FORMAT_R16_SINT, 16},
    {0x20304, DXGI_FORMAT_R16G16B16A16_SNORM, DXGI_FORMAT_R16G16B16A16_SNORM, DXGI_FORMAT_R16G16B16A16_SNORM, 64},
    {0x50302, DXGI_FORMAT_R16G16_FLOAT, DXGI_FORMAT_R16G16_FLOAT, DXGI_FORMAT_R16G16_FLOAT, 32},
    {0x50304, DXGI_FORMAT_R16G16B16A16_FLOAT, DXGI_FORMAT_R16G16B16A16_FLOAT, DXGI_FORMAT_R16G16B16A16_FLOAT, 64},
    {0x50401, DXGI_FORMAT_R32_FLOAT, DXGI_FORMAT_R32_FLOAT, DXGI_FORMAT_R32_FLOAT, 32},
    {0x50402, DXGI_FORMAT_R32G32_FLOAT, DXGI_FORMAT_R32G32_FLOAT, DXGI_FORMAT_R32G32_FLOAT, 64},
    {0x50404, DXGI_FORMAT_R32G32B32A32_FLOAT, DXGI_FORMAT_R32G32B32A32_FLOAT, DXGI_FORMAT_R32G32B32A32_FLOAT, 128},
    {0x50405, DXGI_FORMAT_R32_TYPELESS, DXGI_FORMAT_R32_FLOAT, DXGI_FORMAT_D32_FLOAT, 32},
    {0x10506, DXGI_FORMAT_R24G8_TYPELESS, DXGI_FORMAT_R24_UNORM_X8_TYPELESS, DXGI_FORMAT_D24_UNORM_S8_UINT, 32},
    {0x11103, DXGI_FORMAT_BC1_UNORM, DXGI_FORMAT_BC1_UNORM, DXGI_FORMAT_BC1_UNORM, 4},
    {0x71103, DXGI_FORMAT_BC1_UNORM_SRGB, DXGI_FORMAT_BC1_UNORM_SRGB, DXGI_FORMAT_BC1_UNORM_SRGB, 4},
    {0x11204, DXGI_FORMAT_BC2_UNORM, DXGI_FORMAT_BC2_UNORM, DXGI_FORMAT_BC2_UNORM, 8},
    {0x71204, DXGI_FORMAT_BC2_UNORM_SRGB, DXGI_FORMAT_BC2_UNORM_SRGB, DXGI_FORMAT_BC2_UNORM_SRGB, 8},
    {0x11304, DXGI_FORMAT_BC3_UNORM, DXGI_FORMAT_BC3_UNORM, DXGI_FORMAT_BC3_UNORM, 8},
    {0x71304, DXGI_FORMAT_BC3_UNORM_SRGB, DXGI_FORMAT_BC3_UNORM_SRGB, DXGI_FORMAT_BC3_UNORM_SRGB, 8},
};

}  // namespace

TEST(TextureFormatTest, EveryCodeOfTheTableMapsToItsFormatsAndBits) {
  for (const Expected& e : kTable) {
    FormatInfo info;
    ASSERT_TRUE(lookupFormat(e.code, info)) << std::hex << e.code;
    EXPECT_EQ(info.resourceFormat, e.resource) << std::hex << e.code;
    EXPECT_EQ(info.viewFormat, e.view) << std::hex << e.code;
    EXPECT_EQ(info.targetFormat, e.target) << std::hex << e.code;
    EXPECT_EQ(info.bitsPerPixel, e.bits) << std::hex << e.code;
  }
  FormatInfo depth;
  ASSERT_TRUE(lookupFormat(0x10506, depth));
  EXPECT_TRUE(depth.depth && depth.stencil);
  ASSERT_TRUE(lookupFormat(0x50405, depth));
  EXPECT_TRUE(depth.depth && !depth.stencil);
  FormatInfo none;
  EXPECT_TRUE(lookupFormat(0, none));
  EXPECT_EQ(none.resourceFormat, DXGI_FORMAT_UNKNOWN);
  // Near misses of valid codes are not formats: other numeric type, channel count, class.
  for (uint32_t code : {0x10202u, 0x20204u, 0x50403u, 0x10205u, 0x11104u, 0x80204u, 0x50305u})
    EXPECT_FALSE(lookupFormat(code, none)) << std::hex << code;
}

TEST(TextureFormatTest, UnknownCodesEndTheProgramWithTheFixedText) {
  EXPECT_EXIT(formatInfo(0x12345), ::testing::ExitedWithCode(1), "Fatal error: Could not find format\n");
  // A creation with such a code ends the same way before any device work.
  TextureDesc desc;
  desc.flags = 0x10009;
  desc.format = 0x10202;
  desc.width = 4;
  desc.height = 4;
  EXPECT_EXIT(createTexture(nullptr, desc, nullptr), ::testing::ExitedWithCode(1), "Fatal error");
}

namespace {
std::string gSeen;
void recordAndExit(const char* text) {
  gSeen = text;
  std::fprintf(stderr, "handler saw: %s\n", text);
  std::fflush(stderr);
  std::_Exit(3);
}
void returningHandler(const char*) {}
}  // namespace

TEST(TextureFormatTest, FatalErrorGoesThroughTheInstalledHandlerAndNeverReturns) {
  EXPECT_EXIT(
      {
        setFatalErrorHandler(recordAndExit);
        fatalError("Could not find format");
      },
      ::testing::ExitedWithCode(3), "handler saw: Could not find format");
  // A handler that returns does not make fatalError return: the default exit follows.
  EXPECT_EXIT(
      {
        setFatalErrorHandler(returningHandler);
        fatalError("boom");
      },
      ::testing::ExitedWithCode(1), "Fatal error: boom");
  EXPECT_EQ(setFatalErrorHandler(nullptr), nullptr);
}

TEST(TextureFormatTest, BlockCompressedPitchesCountRowsOfFourByFourBlocks) {
  // 256 x 256 BC1: 64 blocks of 8 bytes per row, 64 rows of blocks.
  SubresourceLayout l = subresourceLayout(0x11103, 4, 256, 256, 0);
  EXPECT_EQ(l.rowPitch, 512u);
  EXPECT_EQ(l.rows, 64u);
  EXPECT_EQ(l.size(), 512u * 64);
  // Small levels still take a whole block; BC3 blocks are 16 bytes.
  l = subresourceLayout(0x11304, 8, 2, 1, 0);
  EXPECT_EQ(l.rowPitch, 16u);
  EXPECT_EQ(l.rows, 1u);
  l = subresourceLayout(0x11204, 0, 5, 9, 0);  // bits from the format
  EXPECT_EQ(l.rowPitch, 32u);
  EXPECT_EQ(l.rows, 3u);
  // Plain formats: bytes per row, rows, depth slices.
  l = subresourceLayout(0x50304, 64, 3, 2, 4);
  EXPECT_EQ(l.rowPitch, 24u);
  EXPECT_EQ(l.rows, 2u);
  EXPECT_EQ(l.size(), 24u * 2 * 4);
}

TEST(TextureFormatTest, DataSizesFollowMipChainsSlicesAndBuffers) {
  TextureDesc desc;
  desc.flags = 0x10009;
  desc.format = 0x10204;
  desc.width = 8;
  desc.height = 4;
  // Array size 0 and mip levels 0 mean one slice and one level.
  EXPECT_EQ(textureDataSize(desc), 8u * 4 * 4);
  EXPECT_EQ(initialDataSize(desc), 8u * 4 * 4);
  desc.mipLevels = 4;  // 8x4, 4x2, 2x1, 1x1
  EXPECT_EQ(textureDataSize(desc), (32u + 8 + 2 + 1) * 4);
  EXPECT_EQ(initialDataSize(desc), (32u + 8 + 2 + 1) * 4);
  // A cube has six slices of the whole chain in its initial data.
  desc.flags |= kCubeMap;
  desc.width = desc.height = 4;
  desc.mipLevels = 3;
  EXPECT_EQ(initialDataSize(desc), 6u * (16 + 4 + 1) * 4);
  // A 3-D texture halves its depth too.
  TextureDesc volume;
  volume.flags = 0x10001;
  volume.format = 0x10201;
  volume.width = 4;
  volume.height = 4;
  volume.depth = 4;
  volume.mipLevels = 2;
  EXPECT_EQ(textureDataSize(volume), 64u + 8);
  // A buffer is width x bits per pixel / 8 bytes.
  TextureDesc buffer;
  buffer.flags = 0x40 | 0x200 | kStructuredBuffer;
  buffer.bitsPerPixel = 48 * 8;
  buffer.width = 10;
  EXPECT_EQ(initialDataSize(buffer), 480u);
}

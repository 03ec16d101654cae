// Textures on the device: zero-filled creation, clears, copies, read-back, resize.
#include <cstring>

#include "gfx/Screen.h"
#include "tests/gfx/support/GpuTestSupport.h"

class TextureGpuTest : public GpuTest {};

TEST_F(TextureGpuTest, NewTexturesAndBuffersStartZeroFilledAndClearsAreReadBack) {
  Texture* t = texture(0x10204, 8, 4);
  std::vector<uint8_t> pixels = readBack(t);
  ASSERT_EQ(pixels.size(), 8u * 4 * 4);
  for (uint8_t b : pixels) ASSERT_EQ(b, 0);

  Texture* b = buffer(0x40 | 0x200 | 0x40000, 64, 16);
  std::vector<uint8_t> bytes = readBack(b);
  ASSERT_EQ(bytes.size(), 64u);
  for (uint8_t v : bytes) ASSERT_EQ(v, 0);

  const float colour[4] = {1.0f, 0.5f, 0.0f, 1.0f};
  clearTexture(device(), t, colour);
  pixels = readBack(t);
  EXPECT_EQ(rgba(pixels, 8, 0, 0), packRgba(255, 128, 0, 255));
  EXPECT_EQ(rgba(pixels, 8, 7, 3), packRgba(255, 128, 0, 255));
}

TEST_F(TextureGpuTest, CopyResourceCopiesPixelsAndCopyTextureChoosesItsRoad) {
  std::vector<uint32_t> data(16 * 16);
  for (uint32_t i = 0; i < data.size(); ++i) data[i] = packRgba(i & 255, (i * 7) & 255, 3, 255);
  Texture* src = texture(0x10204, 16, 16, 0x10209, data.data());
  Texture* plain = texture(0x10204, 16, 16, 0x10201);
  EXPECT_TRUE(copyTexture(device(), plain, src));
  std::vector<uint8_t> pixels = readBack(plain);
  ASSERT_EQ(pixels.size(), data.size() * 4);
  EXPECT_EQ(std::memcmp(pixels.data(), data.data(), pixels.size()), 0);

  // A different format code: nothing happens (still zero).
  Texture* other = texture(0x10201, 16, 16, 0x10201);
  EXPECT_TRUE(copyTexture(device(), other, src));
  for (uint8_t b : readBack(other)) ASSERT_EQ(b, 0);

  // A render-target destination is the copy pass's job.
  Texture* target = texture(0x10204, 16, 16, 0x10009);
  EXPECT_FALSE(copyTexture(device(), target, src));
}

TEST_F(TextureGpuTest, BlockCompressedInitialDataArrivesWithBlockRowPitches) {
  // 8 x 8 BC1 with two mip levels: 2 x 2 blocks + 1 block, 8 bytes each.
  TextureDesc desc;
  desc.flags = 0x10101;  // immutable shader resource
  desc.format = 0x11103;
  desc.width = 8;
  desc.height = 8;
  desc.mipLevels = 2;
  ASSERT_EQ(initialDataSize(desc), 5u * 8);
  std::vector<uint8_t> data(40);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 13 + 1);
  Texture* t = createTexture(device(), desc, data.data());
  textures_.push_back(t);
  std::vector<uint8_t> back = readBack(t);
  ASSERT_EQ(back.size(), 32u);
  EXPECT_EQ(std::memcmp(back.data(), data.data(), 32), 0);
}

TEST_F(TextureGpuTest, ResizeFollowsTheBackBufferInFullHalfAndQuarterSizes) {
  TextureDesc desc;
  desc.flags = 0x10009;
  desc.format = 0x50304;
  desc.width = 40;
  desc.height = 20;
  desc.options = kSizeFull;
  Texture* full = createTexture(device(), desc, nullptr);
  desc.options = kSizeHalf;
  desc.width = 20;
  desc.height = 10;
  Texture* half = createTexture(device(), desc, nullptr);
  desc.options = kSizeQuarter;
  desc.width = 10;
  desc.height = 5;
  Texture* quarter = createTexture(device(), desc, nullptr);
  desc.options = 0;
  Texture* fixed = createTexture(device(), desc, nullptr);
  textures_.insert(textures_.end(), {full, half, quarter, fixed});

  device()->resizeTargets(1001, 63);
  EXPECT_EQ(full->width(), 1001u);
  EXPECT_EQ(full->height(), 63u);
  EXPECT_EQ(half->width(), 500u);
  EXPECT_EQ(half->height(), 31u);
  EXPECT_EQ(quarter->width(), 250u);
  EXPECT_EQ(quarter->height(), 15u);
  EXPECT_EQ(fixed->width(), 10u);

  // The resized resource is real and usable at the new size.
  const float colour[4] = {0.25f, 0, 0, 1};
  clearTexture(device(), half, colour);
  std::vector<uint8_t> pixels = readBack(half);
  EXPECT_EQ(pixels.size(), 500u * 31 * 8);

  // A deleted texture leaves the resize list: a later resize must not touch it.
  size_t before = device()->resizeList.size();
  textures_.erase(std::find(textures_.begin(), textures_.end(), quarter));
  deleteTexture(quarter);
  EXPECT_EQ(device()->resizeList.size(), before - 1);
  device()->resizeTargets(64, 64);
  EXPECT_EQ(half->width(), 32u);
  // A window narrower than four pixels would give empty quarter-size targets: they keep one
  // pixel instead, since a resource cannot be empty.
  device()->resizeTargets(3, 1);
  EXPECT_EQ(full->width(), 3u);
  EXPECT_EQ(half->width(), 1u);
  EXPECT_EQ(half->height(), 1u);
  clearTexture(device(), half, colour);
}

TEST_F(TextureGpuTest, OffscreenScreenReadsBackItsBackBufferTopRowFirst) {
  ScreenSettings settings;
  settings.width = 6;
  settings.height = 4;
  Screen screen(nullptr, settings);
  EXPECT_EQ(screen.device, device());
  ASSERT_NE(screen.backBuffer, nullptr);
  ASSERT_NE(screen.depthBuffer, nullptr);
  EXPECT_EQ(screen.backBuffer->flags(), 0x10208u);
  EXPECT_EQ(screen.readBackTexture->flags(), 0x10400u);
  EXPECT_EQ(screen.depthBuffer->flags(), 0x10211u);
  EXPECT_EQ(screen.depthBuffer->format(), 0x10506u);

  // Top two rows red, the rest blue, uploaded into a plain texture and copied over.
  std::vector<uint32_t> full(6 * 4, packRgba(0, 0, 255, 255));
  for (int i = 0; i < 12; ++i) full[i] = packRgba(255, 0, 0, 255);
  Texture* top = texture(0x10204, 6, 4, 0x10201);
  ctx()->updateSubresource(top, 0, full.data(), 0, 0);
  ctx()->copyResource(screen.backBuffer, top);
  screen.present();

  std::vector<uint8_t> rgbaPixels;
  ASSERT_TRUE(screen.readBack(rgbaPixels));
  ASSERT_EQ(rgbaPixels.size(), 6u * 4 * 4);
  EXPECT_EQ(rgba(rgbaPixels, 6, 0, 0), packRgba(255, 0, 0, 255));
  EXPECT_EQ(rgba(rgbaPixels, 6, 5, 1), packRgba(255, 0, 0, 255));
  EXPECT_EQ(rgba(rgbaPixels, 6, 0, 3), packRgba(0, 0, 255, 255));

  screen.resize(8, 2);
  EXPECT_EQ(screen.backBuffer->width(), 8u);
  ASSERT_TRUE(screen.readBack(rgbaPixels));
  EXPECT_EQ(rgbaPixels.size(), 8u * 2 * 4);
}

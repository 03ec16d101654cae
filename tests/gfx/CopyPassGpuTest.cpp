// The copy pass on the device: exact pixels, regions, zoom, the depth variant and the
// plain-copy road for destinations that cannot be drawn into.
#include <new>
#include <vector>

#include "gfx/ShaderManager.h"
#include "tests/gfx/support/GpuTestSupport.h"

namespace {

constexpr uint32_t kShaderResource = 0x10201;  // texture, default usage, shader resource

class CopyPassGpuTest : public ScreenGpuTest {
 protected:
  // A source whose every pixel is distinct: red = x, green = y, blue = a per-size salt.
  std::vector<uint32_t> pattern(uint32_t w, uint32_t h, uint32_t salt) {
    std::vector<uint32_t> p(w * h);
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) p[y * w + x] = packRgba(x * 7 + 1, y * 5 + 2, salt, 255);
    return p;
  }
  static PixelRect whole() { return PixelRect{0, 0, 16, 16}; }
};

TEST_F(CopyPassGpuTest, FullCopyIsPixelExact) {
  const auto data = pattern(16, 16, 9);
  Texture* src = texture(format::RGBA8, 16, 16, kShaderResource, data.data());
  copyPass(screen()->backBuffer, src, whole(), opaque(), true);
  EXPECT_EQ(backBufferPixels(), data);
}

TEST_F(CopyPassGpuTest, RegionCopyDrawsOnlyInsideAndReadsTheSameRegionOfTheSource) {
  const auto data = pattern(16, 16, 3);
  Texture* src = texture(format::RGBA8, 16, 16, kShaderResource, data.data());
  const float grey[4] = {0.5f, 0.5f, 0.5f, 1.0f};
  clearTexture(device(), screen()->backBuffer, grey);

  const PixelRect region{4, 2, 12, 10};
  copyPass(screen()->backBuffer, src, region, opaque(), false);
  const auto pixels = backBufferPixels();
  const uint32_t greyPixel = packRgba(128, 128, 128, 255);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      const bool inside = x >= region.left && x < region.right && y >= region.top && y < region.bottom;
      ASSERT_EQ(pixels[y * 16 + x], inside ? data[y * 16 + x] : greyPixel) << x << "," << y;
    }
  }
}

TEST_F(CopyPassGpuTest, RegionConstantsFollowTheSourceSize) {
  // A 32 x 32 source seen through a 16 x 16 region: the destination gets its top-left quarter.
  const auto big = pattern(32, 32, 77);
  Texture* src = texture(format::RGBA8, 32, 32, kShaderResource, big.data());
  copyPass(screen()->backBuffer, src, whole(), opaque(), true);
  const auto pixels = backBufferPixels();
  for (uint32_t y = 0; y < 16; ++y)
    for (uint32_t x = 0; x < 16; ++x) ASSERT_EQ(pixels[y * 16 + x], big[y * 32 + x]) << x << "," << y;
}

TEST_F(CopyPassGpuTest, ScaleZoomsAboutTheSourcesOrigin) {
  const auto data = pattern(16, 16, 5);
  Texture* src = texture(format::RGBA8, 16, 16, kShaderResource, data.data());
  copyPass(screen()->backBuffer, src, whole(), opaque(), true, 2.0f);
  auto pixels = backBufferPixels();
  for (uint32_t y = 0; y < 16; ++y)
    for (uint32_t x = 0; x < 16; ++x) ASSERT_EQ(pixels[y * 16 + x], data[(y / 2) * 16 + x / 2]) << x << "," << y;
  // A region away from the corner reads the rectangle with every coordinate halved: what a
  // pass drew at half size into the halved rectangle comes back onto the region.
  copyPass(screen()->backBuffer, src, PixelRect{8, 4, 16, 12}, opaque(), true, 2.0f);
  pixels = backBufferPixels();
  for (uint32_t y = 4; y < 12; ++y)
    for (uint32_t x = 8; x < 16; ++x) ASSERT_EQ(pixels[y * 16 + x], data[(y / 2) * 16 + x / 2]) << x << "," << y;
}

TEST_F(CopyPassGpuTest, DepthSourcesUseTheDepthVariant) {
  Texture* depth = texture(0x10506, 16, 16, 0x10211);
  const float quarter[4] = {0.25f, 0, 0, 0};
  clearTexture(device(), depth, quarter);
  const auto pixels = showOnBackBuffer(depth);
  // Grey with opaque alpha: the depth entry spreads the one channel over three.
  const uint32_t p = pixels[5 * 16 + 5];
  EXPECT_NEAR(double(p & 0xFF), 64.0, 1.0);
  EXPECT_EQ((p >> 8) & 0xFF, p & 0xFF);
  EXPECT_EQ((p >> 16) & 0xFF, p & 0xFF);
  EXPECT_EQ(p >> 24, 255u);
}

TEST_F(CopyPassGpuTest, NonTargetDestinationsGetAPlainCopyOnlyWhenFormatAndSizeMatch) {
  const auto data = pattern(16, 16, 11);
  Texture* src = texture(format::RGBA8, 16, 16, kShaderResource, data.data());

  Texture* same = texture(format::RGBA8, 16, 16, kShaderResource);
  copyPass(same, src, PixelRect{4, 4, 8, 8}, opaque(), true);  // region and clear do not matter here
  EXPECT_EQ(showOnBackBuffer(same), data);

  Texture* otherFormat = texture(0x10201, 16, 16, kShaderResource);
  copyPass(otherFormat, src, whole(), opaque(), true);
  for (uint32_t p : showOnBackBuffer(otherFormat)) ASSERT_EQ(p & 0xFF, 0u);

  // Equal format but another size: a resource copy would be invalid, so nothing happens.
  Texture* otherSize = texture(format::RGBA8, 8, 8, kShaderResource);
  copyPass(otherSize, src, whole(), opaque(), true);
  for (uint32_t p : showOnBackBuffer(otherSize)) ASSERT_EQ(p, 0u);
}

TEST_F(CopyPassGpuTest, CopyOntoItselfOrFromNothingDoesNothing) {
  const float blue[4] = {0, 0, 1, 1};
  clearTexture(device(), screen()->backBuffer, blue);
  copyPass(screen()->backBuffer, screen()->backBuffer, whole(), opaque(), true);
  copyPass(screen()->backBuffer, nullptr, whole(), opaque(), true);
  copyPass(nullptr, screen()->backBuffer, whole(), opaque(), true);
  for (uint32_t p : backBufferPixels()) ASSERT_EQ(p, packRgba(0, 0, 255, 255));
}

// Without a Screen there is no frame to map a region into: tools and offscreen checks get
// the neutral region constants, so a pass drawing into a region reads its whole source.
class RegionWithoutScreenGpuTest : public GpuTest {
 protected:
  static void TearDownTestSuite() {
    releaseCopyPass();
    clearShaderCache();
    GpuTest::TearDownTestSuite();
  }
  void SetUp() override {
    GpuTest::SetUp();
    useBinaryShaders = false;
    ASSERT_EQ(gScreen, nullptr);
  }
};

TEST_F(RegionWithoutScreenGpuTest, ConstantsAreNeutralUntilAScreenExists) {
  Texture* src = texture(format::RGBA8, 16, 16, kShaderResource);
  const PixelRect region{4, 2, 12, 10};
  auto expectMapping = [&](float sx, float sy, float ox, float oy, const char* when) {
    const RegionConstants c = regionConstants(src, region);
    EXPECT_EQ(c.scale[0], sx) << when;
    EXPECT_EQ(c.scale[1], sy) << when;
    EXPECT_EQ(c.offset[0], ox) << when;
    EXPECT_EQ(c.offset[1], oy) << when;
  };
  expectMapping(1, 1, 0, 0, "before any Screen");

  ScreenSettings settings;
  settings.width = 16;
  settings.height = 16;
  auto* screen = new Screen(nullptr, settings);
  expectMapping(0.5f, 0.5f, 0.25f, 0.125f, "with a Screen");
  device()->waitIdle();
  delete screen;
  expectMapping(1, 1, 0, 0, "after the Screen went away");
}

TEST_F(RegionWithoutScreenGpuTest, CopyIntoARegionShrinksTheWholeSourceIntoIt) {
  // 2 x 2 blocks of one colour each, so that halving picks a block whatever the rounding.
  std::vector<uint32_t> data(16 * 16);
  for (uint32_t y = 0; y < 16; ++y)
    for (uint32_t x = 0; x < 16; ++x) data[y * 16 + x] = packRgba((x / 2) * 30 + 1, (y / 2) * 30 + 2, 7, 255);
  Texture* src = texture(format::RGBA8, 16, 16, kShaderResource, data.data());
  Texture* dst = texture(format::RGBA8, 16, 16, kPooledColourFlags);
  const float grey[4] = {0.5f, 0.5f, 0.5f, 1.0f};
  clearTexture(device(), dst, grey);

  const PixelRect region{4, 2, 12, 10};
  RenderStateDesc opaque = RenderStateDesc::zeroed();
  opaque.stencilReadMask = opaque.stencilWriteMask = 0xFF;
  copyPass(dst, src, region, opaque, false);
  const std::vector<uint8_t> pixels = readBack(dst);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      const bool inside = x >= region.left && x < region.right && y >= region.top && y < region.bottom;
      const uint32_t block = inside ? data[size_t(2 * (y - region.top)) * 16 + size_t(2 * (x - region.left))]
                                    : packRgba(128, 128, 128, 255);
      ASSERT_EQ(rgba(pixels, 16, uint32_t(x), uint32_t(y)), block) << x << "," << y;
    }
  }
}

}  // namespace

namespace {

// The copy programs are process-wide; a Device that goes away (tests, a restarted player)
// must not leave them pointing into it, even when the next Device reuses its address.
TEST(CopyPassDeviceChange, ProgramsAreRemadeForANewDevice) {
  // Both Devices live in the same storage, so only the detached stage objects tell them apart.
  alignas(Device) static unsigned char storage[sizeof(Device)];
  for (int round = 0; round < 2; ++round) {
    DeviceOptions options;
    options.validation = true;
    Device* device = new (storage) Device(options);
    ScreenSettings settings;
    settings.width = 4;
    settings.height = 4;
    auto* screen = new Screen(nullptr, settings);
    TextureDesc desc;
    desc.flags = 0x10201;
    desc.format = 0x10204;
    desc.width = 4;
    desc.height = 4;
    std::vector<uint32_t> data(16, 10u | (20u << 8) | (30u << 16) | (uint32_t(255 - round) << 24));
    Texture* src = createTexture(device, desc, data.data());
    copyPass(screen->backBuffer, src, PixelRect{0, 0, 4, 4}, RenderStateDesc::zeroed(), true);
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(screen->readBack(pixels));
    EXPECT_EQ(pixels[3], 255 - round);
    device->waitIdle();
    EXPECT_EQ(device->validationMessageCount(), 0u);
    deleteTexture(src);
    delete screen;
    device->~Device();  // the copy programs are deliberately not released here
  }
  releaseCopyPass();
}

}  // namespace

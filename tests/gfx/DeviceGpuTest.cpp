// The Device itself: default input layouts, texture and resize lists, Screen creation over
// an existing Device, and textures that outlive their Device.
#include "gfx/InputLayout.h"
#include "gfx/Screen.h"
#include "gfx/vulkan/Backend.h"
#include "tests/gfx/support/GpuTestSupport.h"

class DeviceGpuTest : public GpuTest {};

TEST_F(DeviceGpuTest, DefaultInputLayoutsMatchTheMeshVertexSizes) {
  InputLayout* full = device()->defaultInputLayout(0);
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(full->strides[0], 60u);  // position, normal, tangent, uv, four-float colour
  ASSERT_NE(device()->defaultInputLayout(1), nullptr);
  EXPECT_EQ(device()->defaultInputLayout(1)->strides[0], 44u);
  EXPECT_EQ(device()->defaultInputLayout(2)->strides[0], 32u);
  EXPECT_EQ(device()->defaultInputLayout(3)->strides[0], 24u);
  EXPECT_EQ(device()->defaultInputLayout(4)->strides[0], 12u);
  EXPECT_EQ(device()->defaultInputLayout(5)->strides[0], 16u);  // position + 8-bit colour
  EXPECT_EQ(device()->defaultInputLayout(1), device()->defaultInputLayout(1));  // built once
  EXPECT_EQ(device()->defaultInputLayout(6), nullptr);
}

TEST_F(DeviceGpuTest, TexturesJoinAndLeaveTheDeviceLists) {
  size_t live = device()->textures.size();
  size_t sized = device()->resizeList.size();
  Texture* plain = texture(0x10204, 4, 4, 0x10009);
  TextureDesc desc;
  desc.flags = 0x10009;
  desc.format = 0x10204;
  desc.width = desc.height = 4;
  desc.options = kSizeHalf;
  Texture* half = createTexture(device(), desc, nullptr);
  desc.flags = 0x40 | 0x200;  // a buffer with a size class is not resized
  desc.format = 0;
  desc.bitsPerPixel = 32;
  Texture* buf = createTexture(device(), desc, nullptr);
  EXPECT_EQ(device()->textures.size(), live + 3);
  ASSERT_EQ(device()->resizeList.size(), sized + 1);
  EXPECT_EQ(device()->resizeList.back().texture, half);
  EXPECT_EQ(device()->resizeList.back().sizeClass, uint32_t(kSizeHalf));
  deleteTexture(half);
  deleteTexture(buf);
  EXPECT_EQ(device()->textures.size(), live + 1);
  EXPECT_EQ(device()->resizeList.size(), sized);
  (void)plain;
}

TEST_F(DeviceGpuTest, TexturesThatOutliveTheirDeviceAreDetached) {
  DeviceOptions options;
  options.validation = true;
  auto* other = new Device(options);
  EXPECT_EQ(gDevice, device());  // the first Device stays the global one
  TextureDesc desc;
  desc.flags = 0x10009;
  desc.format = 0x10204;
  desc.width = desc.height = 4;
  desc.options = kSizeFull;
  Texture* t = createTexture(other, desc, nullptr);
  EXPECT_EQ(other->validationMessageCount(), 0u);
  delete other;
  EXPECT_EQ(t->device, nullptr);
  EXPECT_EQ(t->resource, nullptr);
  deleteTexture(t);  // touches nothing of the deleted Device
}

TEST_F(DeviceGpuTest, ScreenOverAnExistingDeviceKeepsItAndLeavesItAlive) {
  ScreenSettings settings;
  settings.width = 4;
  settings.height = 4;
  settings.depthFormat = 0;  // 0 asks for the default depth format
  testing::internal::CaptureStderr();
  {
    Screen screen(nullptr, settings);
    EXPECT_EQ(screen.device, device());
    ASSERT_NE(screen.depthBuffer, nullptr);
    EXPECT_EQ(screen.depthBuffer->format(), 0x10506u);
    EXPECT_EQ(screen.backBufferFormat, 0x10204u);
    EXPECT_FALSE(screen.hasSwapChain());
    screen.resize(4, 4);  // same size: nothing happens
    screen.resize(0, 7);  // iconified: nothing happens
    EXPECT_EQ(screen.width, 4u);
  }
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Warning: Adapter already created\n"), std::string::npos);
  EXPECT_EQ(gDevice, device());
  // The Device still works after the Screen is gone.
  Texture* t = texture(0x10204, 2, 2, 0x10009);
  const float white[4] = {1, 1, 1, 1};
  clearTexture(device(), t, white);
  EXPECT_EQ(rgba(readBack(t), 2, 1, 1), packRgba(255, 255, 255, 255));
}

TEST_F(DeviceGpuTest, ValidationMessagesAreCountedSoTestsCanFailOnThem) {
  DeviceOptions options;
  options.validation = true;
  Device other(options);
  ASSERT_TRUE(other.validationEnabled());
  EXPECT_EQ(other.validationMessageCount(), 0u);
  // An invalid sampler description straight to Vulkan: maximum LOD below the minimum.
  VkSamplerCreateInfo info = gfxbackend::toVkSampler(SamplerDesc::forMode(0));
  info.minLod = 4.0f;
  info.maxLod = 1.0f;
  VkSampler sampler = VK_NULL_HANDLE;
  testing::internal::CaptureStderr();
  vkCreateSampler(other.impl()->device, &info, nullptr, &sampler);
  std::string log = testing::internal::GetCapturedStderr();
  if (sampler) vkDestroySampler(other.impl()->device, sampler, nullptr);
  EXPECT_GE(other.validationMessageCount(), 1u);
  EXPECT_NE(log.find("Vulkan validation:"), std::string::npos);
}

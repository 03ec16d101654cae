// The Device itself: default input layouts, texture and resize lists, Screen creation over
// an existing Device, and textures that outlive their Device.
#include <cstdlib>
#include <vector>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

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

// A CPU driver's render passes allocate and free their binned work each time; glibc would
// hand the freed top of the heap back at once and fault it in again on the next pass. The
// sanitizers bring their own allocator, which keeps everything anyway.
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
TEST_F(DeviceGpuTest, ACpuDriverKeepsTheHeapItsPassesFree) {
  if (!device()->cpuDriver()) GTEST_SKIP() << "only a CPU driver keeps its freed heap";
  constexpr size_t kBlock = 64 << 10, kBlocks = 256;  // below the size glibc maps on its own
  std::vector<volatile char*> blocks;
  for (size_t i = 0; i < kBlocks; ++i) {
    auto* b = static_cast<volatile char*>(std::malloc(kBlock));
    ASSERT_NE(b, nullptr);
    for (size_t k = 0; k < kBlock; k += 4096) b[k] = 1;  // touched, as a pass touches it
    blocks.push_back(b);
  }
  for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) std::free(const_cast<char*>(*it));
  // The freed blocks sit at the top of the heap, ready for the next pass.
  EXPECT_GE(mallinfo2().keepcost, kBlock * kBlocks / 2);
}
#endif

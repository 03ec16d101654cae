// Decisions the device layer makes from what the driver reports, checked without a driver:
// which physical device is used (and what the log says about the others), and which memory
// types resources of each use are placed in.
#include <gtest/gtest.h>

#include "gfx/vulkan/Backend.h"

using gfxbackend::DeviceCandidate;
using gfxbackend::MemoryUse;

namespace {

std::vector<DeviceCandidate> machine() {
  return {
      {"llvmpipe (LLVM 15.0.6, 256 bits)", VK_PHYSICAL_DEVICE_TYPE_CPU, ""},
      {"Intel(R) UHD Graphics 630", VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU, ""},
      {"NVIDIA GeForce GTX 780", VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU, "its driver offers Vulkan 1.2, below 1.3"},
      {"AMD Radeon RX 6600", VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU, ""},
  };
}

}  // namespace

TEST(DeviceChoiceTest, DiscreteGpusComeFirstAndPassedOverDevicesSayWhy) {
  std::string log;
  EXPECT_EQ(gfxbackend::chooseDevice(machine(), nullptr, log), 3);
  EXPECT_NE(log.find("Vulkan device 3: AMD Radeon RX 6600 (discrete GPU), chosen"), std::string::npos) << log;
  EXPECT_NE(log.find("NVIDIA GeForce GTX 780 (discrete GPU), passed over: its driver offers Vulkan 1.2, below 1.3"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Vulkan device 1: Intel(R) UHD Graphics 630 (integrated GPU), not chosen"), std::string::npos)
      << log;

  std::vector<DeviceCandidate> old = machine();
  old[3].problem = "no dynamic rendering";
  log.clear();
  EXPECT_EQ(gfxbackend::chooseDevice(old, "", log), 1);  // the integrated GPU, not the CPU driver
}

TEST(DeviceChoiceTest, TheEnvironmentNamesADeviceByIndexOrPartOfItsName) {
  std::string log;
  EXPECT_EQ(gfxbackend::chooseDevice(machine(), "0", log), 0);
  EXPECT_EQ(gfxbackend::chooseDevice(machine(), "uhd", log), 1);  // any case
  // A device that cannot be used, or no device at all: the automatic choice, with a reason.
  log.clear();
  EXPECT_EQ(gfxbackend::chooseDevice(machine(), "GTX", log), 3);
  EXPECT_NE(log.find("ZV_DEVICE=GTX names NVIDIA GeForce GTX 780, which cannot be used (its driver offers Vulkan "
                     "1.2, below 1.3)"),
            std::string::npos)
      << log;
  log.clear();
  EXPECT_EQ(gfxbackend::chooseDevice(machine(), "7", log), 3);
  EXPECT_NE(log.find("ZV_DEVICE=7 names no Vulkan device"), std::string::npos) << log;
  log.clear();
  EXPECT_EQ(gfxbackend::chooseDevice({}, nullptr, log), -1);
  EXPECT_NE(log.find("no device found"), std::string::npos);
}

TEST(DeviceChoiceTest, MemoryTypesAreChosenByHeapAsWellAsFlags) {
  // A discrete GPU: host-visible system memory listed first, then video memory, then the
  // small window of video memory the host can see, then cached system memory.
  gfxbackend::DeviceImpl d;
  d.memory.memoryHeapCount = 3;
  d.memory.memoryHeaps[0] = {16ull << 30, 0};
  d.memory.memoryHeaps[1] = {8ull << 30, VK_MEMORY_HEAP_DEVICE_LOCAL_BIT};
  d.memory.memoryHeaps[2] = {256ull << 20, VK_MEMORY_HEAP_DEVICE_LOCAL_BIT};
  d.memory.memoryTypeCount = 4;
  d.memory.memoryTypes[0] = {VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT, 0};
  d.memory.memoryTypes[1] = {VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, 1};
  d.memory.memoryTypes[2] = {VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT | VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT |
                                 VK_MEMORY_PROPERTY_HOST_COHERENT_BIT,
                             2};
  d.memory.memoryTypes[3] = {VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT |
                                 VK_MEMORY_PROPERTY_HOST_CACHED_BIT,
                             0};
  EXPECT_EQ(d.memoryTypesFor(0xF, MemoryUse::DeviceLocal).front(), 1u);
  EXPECT_EQ(d.memoryTypesFor(0xF, MemoryUse::Upload).front(), 0u);
  EXPECT_EQ(d.memoryTypesFor(0xF, MemoryUse::Readback).front(), 3u);
  // Only the types a resource allows are offered; without ordinary video memory, the window
  // the host can see comes before system memory, and system memory still serves.
  EXPECT_EQ(d.memoryTypesFor(0x5, MemoryUse::DeviceLocal), (std::vector<uint32_t>{2, 0}));
  EXPECT_EQ(d.memoryTypesFor(0x9, MemoryUse::DeviceLocal).size(), 2u);
  EXPECT_TRUE(d.memoryTypesFor(0x2, MemoryUse::Upload).empty());  // video memory the host cannot see
  // Blocks follow their heap: large for video memory, small in the host-visible window.
  EXPECT_EQ(d.blockSizeFor(1), 256ull << 20);
  EXPECT_EQ(d.blockSizeFor(2), 32ull << 20);
}

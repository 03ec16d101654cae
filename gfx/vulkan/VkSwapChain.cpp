// Presenting the back buffer through an SDL2 window's Vulkan swap chain.
#include <SDL2/SDL.h>
#include <SDL2/SDL_vulkan.h>

#include <algorithm>
#include <vector>

#include "gfx/FatalError.h"
#include "gfx/Screen.h"
#include "gfx/vulkan/Backend.h"

namespace gfxbackend {

// Semaphores a present waits on are reused only once that present is known to be done: a
// present semaphore (one per image) when its image is acquired again. A rebuild cannot wait
// for the old swap chain's presents (waiting for the device does not cover them), so their
// semaphores are retired and destroyed once the current swap chain has acquired one of its
// images a second time: that image's first present was queued after every retired one.
struct SwapChain {
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  VkSwapchainKHR swapchain = VK_NULL_HANDLE;
  std::vector<VkImage> images;
  std::vector<VkSemaphore> rendered;  // one per image
  std::vector<VkSemaphore> retired;   // present semaphores of replaced swap chains
  uint32_t acquires = 0;              // acquisitions since the build, counted up to images + 1
  VkSemaphore acquired[DeviceImpl::kFrames] = {};
  VkFormat format = VK_FORMAT_UNDEFINED;
  VkExtent2D extent{0, 0};
  bool vsync = true;
};

namespace {

bool build(DeviceImpl& d, SwapChain& sc, uint32_t width, uint32_t height) {
  VkSurfaceCapabilitiesKHR caps;
  if (vkGetPhysicalDeviceSurfaceCapabilitiesKHR(d.physical, sc.surface, &caps) != VK_SUCCESS) return false;
  uint32_t n = 0;
  vkGetPhysicalDeviceSurfaceFormatsKHR(d.physical, sc.surface, &n, nullptr);
  std::vector<VkSurfaceFormatKHR> formats(n);
  vkGetPhysicalDeviceSurfaceFormatsKHR(d.physical, sc.surface, &n, formats.data());
  if (formats.empty()) return false;
  VkSurfaceFormatKHR chosen = formats[0];
  for (const auto& f : formats)
    if (f.format == VK_FORMAT_B8G8R8A8_UNORM || f.format == VK_FORMAT_R8G8B8A8_UNORM) {
      chosen = f;
      break;
    }
  vkGetPhysicalDeviceSurfacePresentModesKHR(d.physical, sc.surface, &n, nullptr);
  std::vector<VkPresentModeKHR> modes(n);
  vkGetPhysicalDeviceSurfacePresentModesKHR(d.physical, sc.surface, &n, modes.data());
  VkPresentModeKHR mode = VK_PRESENT_MODE_FIFO_KHR;
  if (!sc.vsync) {
    if (std::find(modes.begin(), modes.end(), VK_PRESENT_MODE_IMMEDIATE_KHR) != modes.end())
      mode = VK_PRESENT_MODE_IMMEDIATE_KHR;
    else if (std::find(modes.begin(), modes.end(), VK_PRESENT_MODE_MAILBOX_KHR) != modes.end())
      mode = VK_PRESENT_MODE_MAILBOX_KHR;
  }
  VkExtent2D extent{width, height};
  if (caps.currentExtent.width != UINT32_MAX) extent = caps.currentExtent;
  extent.width = std::clamp(extent.width, caps.minImageExtent.width, caps.maxImageExtent.width);
  extent.height = std::clamp(extent.height, caps.minImageExtent.height, caps.maxImageExtent.height);
  if (extent.width == 0 || extent.height == 0) return false;
  uint32_t count = std::max(3u, caps.minImageCount);
  if (caps.maxImageCount) count = std::min(count, caps.maxImageCount);
  VkSwapchainCreateInfoKHR ci{VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR};
  ci.surface = sc.surface;
  ci.minImageCount = count;
  ci.imageFormat = chosen.format;
  ci.imageColorSpace = chosen.colorSpace;
  ci.imageExtent = extent;
  ci.imageArrayLayers = 1;
  ci.imageUsage = VK_IMAGE_USAGE_TRANSFER_DST_BIT;
  ci.imageSharingMode = VK_SHARING_MODE_EXCLUSIVE;
  ci.preTransform = caps.currentTransform;
  ci.compositeAlpha = (caps.supportedCompositeAlpha & VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR)
                          ? VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR
                          : VkCompositeAlphaFlagBitsKHR(caps.supportedCompositeAlpha & -caps.supportedCompositeAlpha);
  ci.presentMode = mode;
  ci.clipped = VK_TRUE;
  ci.oldSwapchain = sc.swapchain;
  VkSwapchainKHR created = VK_NULL_HANDLE;
  VkResult r = vkCreateSwapchainKHR(d.device, &ci, nullptr, &created);
  if (sc.swapchain) vkDestroySwapchainKHR(d.device, sc.swapchain, nullptr);
  sc.swapchain = created;
  if (r != VK_SUCCESS) {
    logMessage("Vulkan: swap chain creation failed: %s\n", vkResultText(r));
    return false;
  }
  sc.format = chosen.format;
  sc.extent = extent;
  vkGetSwapchainImagesKHR(d.device, sc.swapchain, &n, nullptr);
  sc.images.resize(n);
  vkGetSwapchainImagesKHR(d.device, sc.swapchain, &n, sc.images.data());
  sc.retired.insert(sc.retired.end(), sc.rendered.begin(), sc.rendered.end());
  sc.acquires = 0;
  sc.rendered.assign(n, VK_NULL_HANDLE);
  VkSemaphoreCreateInfo si{VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO};
  for (auto& s : sc.rendered) vkCreateSemaphore(d.device, &si, nullptr, &s);
  return true;
}

void destroyRetired(DeviceImpl& d, SwapChain& sc) {
  for (VkSemaphore s : sc.retired) vkDestroySemaphore(d.device, s, nullptr);
  sc.retired.clear();
}

}  // namespace

SwapChain* createSwapChain(Device* device, SDL_Window* window, uint32_t width, uint32_t height, bool vsync) {
  DeviceImpl& d = *device->impl();
  if (!window || !d.swapchainExtension) return nullptr;
  auto* sc = new SwapChain;
  sc->vsync = vsync;
  if (!SDL_Vulkan_CreateSurface(window, d.instance, &sc->surface)) {
    logMessage("Could not create a Vulkan surface for the window: %s\n", SDL_GetError());
    delete sc;
    return nullptr;
  }
  VkBool32 supported = VK_FALSE;
  vkGetPhysicalDeviceSurfaceSupportKHR(d.physical, d.queueFamily, sc->surface, &supported);
  VkSemaphoreCreateInfo si{VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO};
  for (auto& s : sc->acquired) vkCreateSemaphore(d.device, &si, nullptr, &s);
  if (!supported || !build(d, *sc, width, height)) {
    destroySwapChain(device, sc);
    return nullptr;
  }
  return sc;
}

void destroySwapChain(Device* device, SwapChain* sc) {
  if (!sc) return;
  DeviceImpl& d = *device->impl();
  d.submit(true);
  vkDeviceWaitIdle(d.device);
  for (VkSemaphore s : sc->rendered) vkDestroySemaphore(d.device, s, nullptr);
  destroyRetired(d, *sc);
  for (VkSemaphore s : sc->acquired)
    if (s) vkDestroySemaphore(d.device, s, nullptr);
  if (sc->swapchain) vkDestroySwapchainKHR(d.device, sc->swapchain, nullptr);
  if (sc->surface) vkDestroySurfaceKHR(d.instance, sc->surface, nullptr);
  delete sc;
}

bool resizeSwapChain(Device* device, SwapChain* sc, uint32_t width, uint32_t height, bool vsync) {
  DeviceImpl& d = *device->impl();
  d.submit(true);
  vkDeviceWaitIdle(d.device);
  sc->vsync = vsync;
  return build(d, *sc, width, height);
}

// Copies the back buffer into the next swap-chain image and presents it.
void presentSwapChain(Device* device, SwapChain* sc, Texture* backBuffer) {
  DeviceImpl& d = *device->impl();
  if (!sc->swapchain || !backBuffer || !backBuffer->resource) {
    d.submit(false);
    return;
  }
  if (d.endRenderingHook) d.endRenderingHook();
  VkSemaphore acquired = sc->acquired[d.frameIndex];
  uint32_t index = 0;
  VkResult r = vkAcquireNextImageKHR(d.device, sc->swapchain, UINT64_MAX, acquired, VK_NULL_HANDLE, &index);
  if (r == VK_ERROR_OUT_OF_DATE_KHR) {
    resizeSwapChain(device, sc, sc->extent.width, sc->extent.height, sc->vsync);
    d.submit(false);
    return;
  }
  if (r != VK_SUCCESS && r != VK_SUBOPTIMAL_KHR) {
    logMessage("Vulkan: acquiring a swap-chain image failed: %s\n", vkResultText(r));
    d.submit(false);
    return;
  }
  if (sc->acquires <= sc->images.size() && ++sc->acquires > sc->images.size()) destroyRetired(d, *sc);
  VkCommandBuffer cmd = d.cmd();
  Resource& bb = *backBuffer->resource;
  transition(d, cmd, bb, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, false);
  VkImageMemoryBarrier b{VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER};
  b.srcAccessMask = 0;
  b.dstAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  b.oldLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  b.newLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.image = sc->images[index];
  b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr, 0,
                       nullptr, 1, &b);
  VkImageBlit blit{};
  blit.srcSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  blit.srcOffsets[1] = {int32_t(bb.extent.width), int32_t(bb.extent.height), 1};
  blit.dstSubresource = blit.srcSubresource;
  blit.dstOffsets[1] = {int32_t(sc->extent.width), int32_t(sc->extent.height), 1};
  vkCmdBlitImage(cmd, bb.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, sc->images[index],
                 VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &blit, VK_FILTER_NEAREST);
  b.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  b.dstAccessMask = 0;
  b.oldLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  b.newLayout = VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT, 0, 0, nullptr, 0,
                       nullptr, 1, &b);
  d.waitSemaphore = acquired;
  d.signalSemaphore = sc->rendered[index];
  d.submit(false);
  VkPresentInfoKHR pi{VK_STRUCTURE_TYPE_PRESENT_INFO_KHR};
  pi.waitSemaphoreCount = 1;
  pi.pWaitSemaphores = &sc->rendered[index];
  pi.swapchainCount = 1;
  pi.pSwapchains = &sc->swapchain;
  pi.pImageIndices = &index;
  r = vkQueuePresentKHR(d.queue, &pi);
  if (r == VK_ERROR_OUT_OF_DATE_KHR || r == VK_SUBOPTIMAL_KHR)
    resizeSwapChain(device, sc, sc->extent.width, sc->extent.height, sc->vsync);
}

size_t swapChainSemaphoreCount(const SwapChain* sc) {
  return sc ? sc->rendered.size() + sc->retired.size() + DeviceImpl::kFrames : 0;
}

}  // namespace gfxbackend

// Presenting the back buffer through an SDL2 window's Vulkan swap chain.
#include <SDL2/SDL.h>
#include <SDL2/SDL_vulkan.h>

#include <algorithm>
#include <string>
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
  // A minimised window has a 0 x 0 surface: presenting pauses until it has a size again.
  // A rebuild that failed (or that the surface asked for) is tried again at every present.
  bool paused = false;
  bool needsRebuild = false;
  uint32_t width = 0, height = 0;  // the size asked for (the surface may impose its own)
  uint32_t failures = 0;           // rebuilds failed in a row (messages thin out)
};

namespace {

enum class Built { Yes, Paused, Failed };

// The surface formats worth presenting from, best first: 8-bit formats the back buffer can
// be blitted into (the blit converts channel order), then any the GPU can blit into.
std::vector<VkSurfaceFormatKHR> usableFormats(DeviceImpl& d, const std::vector<VkSurfaceFormatKHR>& formats) {
  std::vector<VkSurfaceFormatKHR> good, other;
  for (const auto& f : formats) {
    if (!(d.formatFeatures(f.format) & VK_FORMAT_FEATURE_BLIT_DST_BIT)) continue;
    (f.format == VK_FORMAT_B8G8R8A8_UNORM || f.format == VK_FORMAT_R8G8B8A8_UNORM ? good : other).push_back(f);
  }
  good.insert(good.end(), other.begin(), other.end());
  return good;
}

Built build(DeviceImpl& d, SwapChain& sc, uint32_t width, uint32_t height, std::string& why) {
  VkSurfaceCapabilitiesKHR caps;
  VkResult r = vkGetPhysicalDeviceSurfaceCapabilitiesKHR(d.physical, sc.surface, &caps);
  if (r == VK_ERROR_DEVICE_LOST) deviceLost("asking the window's surface for its size");
  if (r != VK_SUCCESS) {
    why = std::string("the surface cannot be queried (") + vkResultText(r) + ")";
    return Built::Failed;
  }
  VkExtent2D extent{width, height};
  if (caps.currentExtent.width != UINT32_MAX) extent = caps.currentExtent;
  if (extent.width == 0 || extent.height == 0 || caps.maxImageExtent.width == 0 || caps.maxImageExtent.height == 0)
    return Built::Paused;
  extent.width = std::clamp(extent.width, caps.minImageExtent.width, caps.maxImageExtent.width);
  extent.height = std::clamp(extent.height, caps.minImageExtent.height, caps.maxImageExtent.height);
  // The frame reaches the image by a blit, so the surface must take transfers.
  if (!(caps.supportedUsageFlags & VK_IMAGE_USAGE_TRANSFER_DST_BIT)) {
    why = "its images cannot be copied into (no transfer-destination use)";
    return Built::Failed;
  }
  uint32_t n = 0;
  vkGetPhysicalDeviceSurfaceFormatsKHR(d.physical, sc.surface, &n, nullptr);
  std::vector<VkSurfaceFormatKHR> formats(n);
  vkGetPhysicalDeviceSurfaceFormatsKHR(d.physical, sc.surface, &n, formats.data());
  const std::vector<VkSurfaceFormatKHR> usable = usableFormats(d, formats);
  if (usable.empty()) {
    why = "none of its formats can be blitted into";
    return Built::Failed;
  }
  const VkSurfaceFormatKHR chosen = usable.front();
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
  r = vkCreateSwapchainKHR(d.device, &ci, nullptr, &created);
  // The old swap chain is retired even when the new one could not be made.
  if (sc.swapchain) vkDestroySwapchainKHR(d.device, sc.swapchain, nullptr);
  sc.swapchain = created;
  if (r == VK_ERROR_DEVICE_LOST) deviceLost("building the swap chain");
  if (r != VK_SUCCESS) {
    why = std::string("swap-chain creation failed (") + vkResultText(r) + ")";
    return Built::Failed;
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
  return Built::Yes;
}

// Builds for the size asked for; remembers a pause or a failure so that presents try again.
Built rebuild(DeviceImpl& d, SwapChain& sc) {
  std::string why;
  const Built result = build(d, sc, sc.width, sc.height, why);
  sc.paused = result == Built::Paused;
  sc.needsRebuild = result == Built::Failed;
  if (result == Built::Failed) {
    // 1st, 2nd, 4th, 8th ... failure in a row: a window that stays broken does not flood the log.
    ++sc.failures;
    if ((sc.failures & (sc.failures - 1)) == 0)
      logMessage("Could not rebuild the swap chain: %s; trying again at the next frame\n", why.c_str());
  } else {
    sc.failures = 0;
  }
  return result;
}

void destroyRetired(DeviceImpl& d, SwapChain& sc) {
  for (VkSemaphore s : sc.retired) vkDestroySemaphore(d.device, s, nullptr);
  sc.retired.clear();
}

}  // namespace

namespace {

// Nothing may still use the swap chain's images when it is rebuilt.
void waitForPresents(DeviceImpl& d) {
  d.submit(true);
  if (vkDeviceWaitIdle(d.device) == VK_ERROR_DEVICE_LOST) deviceLost("waiting before a swap-chain rebuild");
}

}  // namespace

SwapChain* createSwapChain(Device* device, SDL_Window* window, uint32_t width, uint32_t height, bool vsync) {
  DeviceImpl& d = *device->impl();
  if (!window || !d.swapchainExtension) return nullptr;
  auto* sc = new SwapChain;
  sc->vsync = vsync;
  sc->width = width;
  sc->height = height;
  if (d.surface && d.surfaceWindow == window) {
    // The surface the device was chosen for.
    sc->surface = d.surface;
    d.surface = VK_NULL_HANDLE;
    d.surfaceWindow = nullptr;
  } else if (!SDL_Vulkan_CreateSurface(window, d.instance, &sc->surface)) {
    logMessage("Could not create a Vulkan surface for the window: %s\n", SDL_GetError());
    delete sc;
    return nullptr;
  }
  VkBool32 supported = VK_FALSE;
  vkGetPhysicalDeviceSurfaceSupportKHR(d.physical, d.queueFamily, sc->surface, &supported);
  VkSemaphoreCreateInfo si{VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO};
  for (auto& s : sc->acquired) vkCreateSemaphore(d.device, &si, nullptr, &s);
  std::string why = "the device's queue cannot present to it";
  // A window that starts minimised has a swap chain once it has a size.
  const Built built = supported ? build(d, *sc, width, height, why) : Built::Failed;
  if (built == Built::Failed) {
    logMessage("Could not present to the window: %s\n", why.c_str());
    destroySwapChain(device, sc);
    return nullptr;
  }
  sc->paused = built == Built::Paused;
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
  waitForPresents(d);
  sc->vsync = vsync;
  sc->width = width;
  sc->height = height;
  return rebuild(d, *sc) != Built::Failed;
}

// Copies the back buffer into the next swap-chain image and presents it. While the window
// has no size, or after a rebuild failed, the frame's work is submitted without presenting
// and the swap chain is built again at the next present.
void presentSwapChain(Device* device, SwapChain* sc, Texture* backBuffer) {
  DeviceImpl& d = *device->impl();
  if (sc->paused || sc->needsRebuild || !sc->swapchain) {
    waitForPresents(d);
    if (rebuild(d, *sc) != Built::Yes) {
      if (sc->paused) SDL_Delay(10);  // a minimised window: no need to render flat out
      return;
    }
  }
  if (!backBuffer || !backBuffer->resource) {
    d.submit(false);
    return;
  }
  if (d.endRenderingHook) d.endRenderingHook();
  VkSemaphore acquired = sc->acquired[d.frameIndex];
  uint32_t index = 0;
  VkResult r = vkAcquireNextImageKHR(d.device, sc->swapchain, UINT64_MAX, acquired, VK_NULL_HANDLE, &index);
  if (r == VK_ERROR_DEVICE_LOST) deviceLost("acquiring a swap-chain image");
  if (r != VK_SUCCESS && r != VK_SUBOPTIMAL_KHR) {
    if (r != VK_ERROR_OUT_OF_DATE_KHR) logMessage("Vulkan: acquiring a swap-chain image failed: %s\n", vkResultText(r));
    sc->needsRebuild = true;
    d.submit(false);
    return;
  }
  if (sc->acquires <= sc->images.size() && ++sc->acquires > sc->images.size()) destroyRetired(d, *sc);
  VkCommandBuffer cmd = d.cmd();
  Resource& bb = *backBuffer->resource;
  transition(d, cmd, bb, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, false);
  // The submit waits for the acquisition at the transfer stage; the layout change follows it.
  VkImageMemoryBarrier b{VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER};
  b.srcAccessMask = 0;
  b.dstAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  b.oldLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  b.newLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.image = sc->images[index];
  b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr, 0,
                       nullptr, 1, &b);
  d.counters->barriers++;
  const bool sameImage = bb.format == sc->format && bb.extent.width == sc->extent.width &&
                         bb.extent.height == sc->extent.height;
  if (sameImage || !(d.formatFeatures(bb.format) & VK_FORMAT_FEATURE_BLIT_SRC_BIT)) {
    // A plain copy (of what both hold) where no scaling or conversion is needed, or where the
    // back buffer cannot be a blit source.
    VkImageCopy copy{};
    copy.srcSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    copy.dstSubresource = copy.srcSubresource;
    copy.extent = {std::min(bb.extent.width, sc->extent.width), std::min(bb.extent.height, sc->extent.height), 1};
    vkCmdCopyImage(cmd, bb.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, sc->images[index],
                   VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &copy);
  } else {
    VkImageBlit blit{};
    blit.srcSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    blit.srcOffsets[1] = {int32_t(bb.extent.width), int32_t(bb.extent.height), 1};
    blit.dstSubresource = blit.srcSubresource;
    blit.dstOffsets[1] = {int32_t(sc->extent.width), int32_t(sc->extent.height), 1};
    vkCmdBlitImage(cmd, bb.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, sc->images[index],
                   VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &blit, VK_FILTER_NEAREST);
  }
  b.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  b.dstAccessMask = 0;
  b.oldLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
  b.newLayout = VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT, 0, 0, nullptr, 0,
                       nullptr, 1, &b);
  d.counters->barriers++;
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
  if (r == VK_ERROR_DEVICE_LOST) deviceLost("presenting");
  if (r == VK_ERROR_OUT_OF_DATE_KHR || r == VK_SUBOPTIMAL_KHR || r == VK_ERROR_SURFACE_LOST_KHR)
    sc->needsRebuild = true;
}

bool swapChainPaused(const SwapChain* sc) { return sc && (sc->paused || sc->needsRebuild); }

size_t swapChainSemaphoreCount(const SwapChain* sc) {
  return sc ? sc->rendered.size() + sc->retired.size() + DeviceImpl::kFrames : 0;
}

}  // namespace gfxbackend

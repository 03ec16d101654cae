#pragma once
// Vulkan side of the device layer. Only files in gfx/vulkan include this header.
// Vulkan structures are written as `VkXxx x{sType}` with the rest zero: that is the point.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <vulkan/vulkan.h>

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <algorithm>
#include <vector>

#include "gfx/D3DEnums.h"
#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/Texture.h"

namespace gfxbackend {

// Per-frame upload memory: write-discard maps and staging for updates.
struct Ring {
  VkBuffer buffer = VK_NULL_HANDLE;
  VkDeviceMemory memory = VK_NULL_HANDLE;
  uint8_t* mapped = nullptr;
  VkDeviceSize size = 0;
  VkDeviceSize used = 0;
};

struct Frame {
  VkCommandPool pool = VK_NULL_HANDLE;
  VkCommandBuffer cmd = VK_NULL_HANDLE;
  VkFence fence = VK_NULL_HANDLE;
  bool pending = false;
  Ring ring;
  std::vector<std::function<void()>> deletions;  // run once this frame's work has finished
};

struct Resource {
  bool isImage = false;
  bool hostVisible = false;  // staging (read-back) memory
  VkDeviceMemory memory = VK_NULL_HANDLE;
  uint8_t* mapped = nullptr;
  // Buffers (and staging textures, which are buffers laid out like Direct3D subresources).
  VkBuffer buffer = VK_NULL_HANDLE;
  VkDeviceSize size = 0;          // data bytes (without the counter)
  VkDeviceSize counterOffset = 0; // append/consume counter (4 bytes), 0 when none
  bool hasCounter = false;
  VkBufferView srvTexel = VK_NULL_HANDLE;
  VkBufferView uavTexel = VK_NULL_HANDLE;
  // Images.
  VkImage image = VK_NULL_HANDLE;
  VkFormat format = VK_FORMAT_UNDEFINED;        // resource
  VkFormat viewFormat = VK_FORMAT_UNDEFINED;    // shader-resource / unordered-access views
  VkFormat targetFormat = VK_FORMAT_UNDEFINED;  // render-target / depth-stencil views
  VkImageAspectFlags aspect = VK_IMAGE_ASPECT_COLOR_BIT;
  VkImageType imageType = VK_IMAGE_TYPE_2D;
  VkExtent3D extent{1, 1, 1};
  uint32_t mipLevels = 1;
  uint32_t layers = 1;
  VkImageView srv = VK_NULL_HANDLE;
  VkImageView uav = VK_NULL_HANDLE;
  VkImageView dsv = VK_NULL_HANDLE;
  VkImageView rtv[6] = {};
  // Tracking.
  VkImageLayout layout = VK_IMAGE_LAYOUT_UNDEFINED;
  bool written = false;  // written since the last barrier
  // Dynamic buffers: latest contents live in the ring (offset valid while epoch matches);
  // the shadow copy restores them into a later frame's ring.
  bool dynamic = false;
  std::vector<uint8_t> shadow;
  VkBuffer ringBuffer = VK_NULL_HANDLE;
  VkDeviceSize ringOffset = 0;
  uint64_t ringEpoch = UINT64_MAX;
  bool copyOnUnmap = false;  // bound as shader resource: unmap copies into `buffer`
  // Staging textures: where each subresource lives in `buffer`.
  struct Sub {
    VkDeviceSize offset;
    uint32_t rowPitch, slicePitch, width, height, depth;
  };
  std::vector<Sub> subs;
  uint32_t pendingCount = kKeepUavCount;  // counter value to set before next use
};

struct SamplerImpl {
  VkSampler sampler = VK_NULL_HANDLE;
};

struct Staging {
  VkBuffer buffer = VK_NULL_HANDLE;
  VkDeviceSize offset = 0;
  uint8_t* ptr = nullptr;
};

struct DeviceImpl {
  Device* owner = nullptr;
  VkInstance instance = VK_NULL_HANDLE;
  VkDebugUtilsMessengerEXT messenger = VK_NULL_HANDLE;
  VkPhysicalDevice physical = VK_NULL_HANDLE;
  VkDevice device = VK_NULL_HANDLE;
  VkQueue queue = VK_NULL_HANDLE;
  uint32_t queueFamily = 0;
  VkPhysicalDeviceProperties properties{};
  VkPhysicalDeviceMemoryProperties memory{};
  bool validation = false;
  bool swapchainExtension = false;
  bool nullDescriptor = false;
  bool anisotropy = false;
  bool mirrorOnce = false;  // samplerMirrorClampToEdge (Direct3D's mirror-once address mode)
  bool hlslExtensions = false;  // VK_GOOGLE_hlsl_functionality1 and VK_GOOGLE_decorate_string
  uint64_t messages = 0;
  VkFormat depth24 = VK_FORMAT_D24_UNORM_S8_UINT;
  PFN_vkCmdPushDescriptorSetKHR pushDescriptorSet = nullptr;
  PFN_vkCmdBeginDebugUtilsLabelEXT beginLabel = nullptr;
  PFN_vkCmdEndDebugUtilsLabelEXT endLabel = nullptr;

  static constexpr uint32_t kFrames = 2;
  Frame frames[kFrames];
  uint32_t frameIndex = 0;
  uint64_t epoch = 1;  // bumps at every submit; ring allocations of older epochs are gone
  bool recording = false;
  VkSemaphore waitSemaphore = VK_NULL_HANDLE;    // for the next submit (swap-chain acquire)
  VkSemaphore signalSemaphore = VK_NULL_HANDLE;  // for the next submit (present)
  VkSampler defaultSampler = VK_NULL_HANDLE;
  GpuCounters* counters = nullptr;

  Frame& frame() { return frames[frameIndex]; }
  VkCommandBuffer cmd();  // begins recording when needed
  // Submits the recorded work; `wait` waits for it. Afterwards a fresh command buffer.
  void submit(bool wait);
  void waitAll();
  void deferDelete(std::function<void()> fn) { frame().deletions.push_back(std::move(fn)); }

  uint32_t memoryType(uint32_t bits, VkMemoryPropertyFlags flags) const;
  VkDeviceMemory allocate(VkMemoryRequirements req, VkMemoryPropertyFlags flags);
  // Upload space in the ring of this frame (submits and waits when full); large requests get
  // a buffer of their own, deleted after the frame.
  Staging staging(VkDeviceSize size, VkDeviceSize align);
  bool ringAlloc(VkDeviceSize size, VkDeviceSize align, Staging& out);

  std::function<void()> endRenderingHook;
  // Live shader and layout objects: they forget the Device when it goes first.
  std::vector<Shader*> shaders;
  std::vector<VertexLayout*> layouts;  // set by the context: ends an open rendering
};

// The context's recorded state.
struct ContextImpl;

// Shared helpers (VkDevice.cpp).
void createResource(Device* device, Texture* texture, const void* initialData);
void destroyResource(Device* device, Texture* texture);
VkImageView imageView(DeviceImpl& d, Texture* t, int kind, uint32_t slice);  // kind: 0 srv 1 uav 2 rtv 3 dsv
VkBufferView texelView(DeviceImpl& d, Texture* t, bool uav);
// Moves an image into `layout` (and orders it after earlier writes); outside rendering only.
void transition(DeviceImpl& d, VkCommandBuffer cmd, Resource& r, VkImageLayout layout, bool write);
void bufferBarrier(DeviceImpl& d, VkCommandBuffer cmd, Resource& r, bool write);

// Conversions (Convert.cpp) from Direct3D numbering to Vulkan.
VkFormat toVkFormat(DxgiFormat format);
VkBlendFactor toVkBlend(uint32_t d3dBlend);
VkBlendOp toVkBlendOp(uint32_t d3dOp);
VkCompareOp toVkCompare(uint32_t d3dComparison);
VkStencilOp toVkStencilOp(uint32_t d3dStencilOp);
VkPrimitiveTopology toVkTopology(D3DPrimitiveTopology topology, uint32_t* patchControlPoints);
uint32_t topologyClass(D3DPrimitiveTopology topology);  // 0 point 1 line 2 triangle 3 patch
VkSamplerCreateInfo toVkSampler(const SamplerDesc& desc);
VkIndexType toVkIndexType(DxgiFormat format);
uint32_t spirvImageFormat(VkFormat format);  // SPIR-V ImageFormat, 0 Unknown
const char* vkResultText(VkResult result);
// The module without HLSL reflection decorations and their extensions.
std::vector<uint32_t> stripHlslReflection(const std::vector<uint32_t>& spirv);
// Rewrites the image format of the storage image / texel buffer at `binding`.
bool patchStorageFormat(std::vector<uint32_t>& spirv, uint32_t binding, uint32_t spirvFormat);

}  // namespace gfxbackend

struct SDL_Window;
namespace gfxbackend {
struct SwapChain;
SwapChain* createSwapChain(Device* device, SDL_Window* window, uint32_t width, uint32_t height, bool vsync);
void destroySwapChain(Device* device, SwapChain* swapChain);
bool resizeSwapChain(Device* device, SwapChain* swapChain, uint32_t width, uint32_t height, bool vsync);
void presentSwapChain(Device* device, SwapChain* swapChain, Texture* backBuffer);
// Semaphores the swap chain holds (acquire, present and retired present semaphores).
size_t swapChainSemaphoreCount(const SwapChain* swapChain);
}  // namespace gfxbackend

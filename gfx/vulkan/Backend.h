#pragma once
// Vulkan side of the device layer. Only files in gfx/vulkan (and the backend's own tests)
// include this header; the rest of gfx/ speaks to the backend through gfx/Backend.h.
// Vulkan structures are written as `VkXxx x{sType}` with the rest zero: that is the point.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <vulkan/vulkan.h>

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <vector>

#include "gfx/Backend.h"
#include "gfx/D3DEnums.h"
#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/Texture.h"
#include "gfx/vulkan/VkCommandMemory.h"

struct SDL_Window;

namespace gfxbackend {

// What memory is for: GPU-only resources, data the CPU writes for the GPU, data the GPU
// writes for the CPU to read.
enum class MemoryUse { DeviceLocal, Upload, Readback };

// A large allocation that resources are placed in (VkMemory.cpp).
struct MemoryBlock {
  VkDeviceMemory memory = VK_NULL_HANDLE;
  VkDeviceSize size = 0;
  VkDeviceSize used = 0;
  uint32_t type = 0;
  bool image = false;
  uint8_t* mapped = nullptr;                  // host-visible blocks stay mapped
  std::map<VkDeviceSize, VkDeviceSize> free;  // offset -> size, never adjacent
};

// A resource's place in memory: part of a block, or (block null) an allocation of its own.
struct Allocation {
  VkDeviceMemory memory = VK_NULL_HANDLE;
  VkDeviceSize offset = 0;
  VkDeviceSize size = 0;
  uint8_t* mapped = nullptr;
  MemoryBlock* block = nullptr;
  bool deviceLocal = false;  // counted in DeviceImpl::memoryInUse
};

// Per-frame upload memory: write-discard maps and staging for updates.
struct Ring {
  VkBuffer buffer = VK_NULL_HANDLE;
  Allocation alloc;
  uint8_t* mapped = nullptr;
  VkDeviceSize size = 0;
  VkDeviceSize used = 0;
};

struct Frame {
  std::unique_ptr<CommandMemory> commandMemory;  // the pool's host memory; outlives the pool
  VkCommandPool pool = VK_NULL_HANDLE;
  VkCommandBuffer cmd = VK_NULL_HANDLE;
  VkFence fence = VK_NULL_HANDLE;
  bool pending = false;
  Ring ring;
  std::vector<std::function<void()>> deletions;  // run once this frame's work has finished
  // Descriptor sets of programs that need more descriptors than a push allows; the pools
  // are reset when the frame is reused, so they only grow until the busiest frame fits.
  std::vector<VkDescriptorPool> descriptorPools;
  size_t poolsUsed = 0;  // index of the pool sets are taken from now
  VkDeviceSize largeStaging = 0;  // bytes of upload buffers of their own, freed with the frame
};

struct Resource {
  bool isImage = false;
  bool hostVisible = false;  // staging (read-back) memory
  Allocation alloc;
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
  VkImageUsageFlags usage = 0;  // what the format allowed of what the flags asked for
  VkExtent3D extent{1, 1, 1};
  uint32_t mipLevels = 1;
  uint32_t layers = 1;
  VkImageView srv = VK_NULL_HANDLE;
  VkImageView uav = VK_NULL_HANDLE;
  VkImageView dsv = VK_NULL_HANDLE;
  VkImageView rtv[6] = {};
  // Shader views of another type than the texture's own (a Texture2D slot given an array
  // reads slice 0 through a plain 2-D view), by view type and storage use.
  std::map<uint32_t, VkImageView> typedViews;
  // Tracking, for barriers as narrow as the hazard: the last write (its stages and accesses),
  // the stages that have already waited for it, and the stages that read since it. Every
  // change is counted (trackingChanged()): repeated draws rely on the count.
  VkImageLayout layout = VK_IMAGE_LAYOUT_UNDEFINED;
  bool written = false;  // a write that later accesses must wait for
  VkPipelineStageFlags writeStages = 0;
  VkAccessFlags writeAccess = 0;
  VkPipelineStageFlags visibleStages = 0;  // stages (and accesses) that already waited for it
  VkAccessFlags visibleAccess = 0;
  VkPipelineStageFlags readStages = 0;     // stages that read since the last write
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
  // Staging copies of a depth-stencil image: the stencil bytes land in their own buffer and
  // are merged with the depth into Direct3D's layout (24-bit unorm depth, stencil in the top
  // byte) when the copy is mapped, whatever depth format stands in on the device.
  VkBuffer stencilBuffer = VK_NULL_HANDLE;
  Allocation stencilAlloc;
  VkDeviceSize stencilSize = 0;
  VkFormat repackFrom = VK_FORMAT_UNDEFINED;  // the depth format of a copy awaiting merging
};

struct DeviceImpl;
// The barriers of one command (all the resources of a draw), recorded as one. The device
// keeps two and reuses their storage, so that frames allocate nothing.
struct BarrierBatch {
  VkPipelineStageFlags src = 0, dst = 0;
  std::vector<VkImageMemoryBarrier> images;
  std::vector<VkBufferMemoryBarrier> buffers;
  void flush(DeviceImpl& d, VkCommandBuffer cmd);
};

struct SamplerImpl {
  VkSampler sampler = VK_NULL_HANDLE;
};

struct Staging {
  VkBuffer buffer = VK_NULL_HANDLE;
  VkDeviceSize offset = 0;
  uint8_t* ptr = nullptr;
};

// Optional device features as enabled (what the driver offers, less what the options
// force off); shaders and pipelines that need a missing one are refused with a message.
struct Features {
  VkPhysicalDeviceFeatures core{};
  bool shaderFloat16 = false;
  bool shaderInt8 = false;
  bool shaderDrawParameters = false;
  bool shaderOutputViewportIndex = false;
  bool shaderOutputLayer = false;
  bool demoteToHelper = false;
  bool maintenance4 = false;
  bool robustBufferAccess2 = false;
  bool robustImageAccess2 = false;
};

// Small zero-filled resources that stand in for unbound slots on devices without null
// descriptors (created on first need, kept until the Device goes). They are Resources, so
// draws order their accesses like any other.
struct Dummies {
  Resource* zero = nullptr;     // read-only slots: never written, reads zeros
  Resource* scratch = nullptr;  // writable slots: writes land here and are never read back
  std::map<uint64_t, Resource*> images;         // by view type, format and storage use
  std::map<uint64_t, VkBufferView> texelViews;  // by format and storage use
};
constexpr VkDeviceSize kDummyBufferSize = 65536;  // the largest constant buffer

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
  DeviceLimits limits;      // what this device allows (the driver's, or lower from the options)
  bool float32Filtering = true;  // linear filtering of R32F, RG32F and RGBA32F
  bool float32Blending = true;   // blending into them
  bool filterFallbackTold = false, blendFallbackTold = false, anisotropyFallbackTold = false;
  // Device memory that GPU resources take (not uploads and read-backs), against limits.memoryBudget; who asked for it while
  // a production loads (see gfx/MemoryBudget.h).
  uint64_t memoryInUse = 0;
  std::string memoryOwner;
  std::map<std::string, uint64_t> memoryByOwner;  // bytes each owner's targets asked for
  uint64_t unattributedBytes = 0;  // asked for while nobody was named
  uint64_t refusedBytes = 0;
  uint32_t refusals = 0;
  uint32_t customBorderSamplersLeft = 0;  // VK_EXT_custom_border_color samplers still allowed
  bool borderSnapTold = false;           // the fallback to fixed border colours was reported
  bool mirrorOnceTold = false;           // the mirror-once fallback was reported
  bool hlslExtensions = false;  // VK_GOOGLE_hlsl_functionality1 and VK_GOOGLE_decorate_string
  Features features;
  uint64_t messages = 0;
  VkFormat depth24 = VK_FORMAT_D24_UNORM_S8_UINT;
  // Descriptors a program may push (0: the driver has no push descriptors, or an option
  // forbids them); programs that need more use descriptor sets from the frame's pools.
  uint32_t pushDescriptorLimit = 0;
  PFN_vkCmdPushDescriptorSetKHR pushDescriptorSet = nullptr;
  PFN_vkCmdBeginDebugUtilsLabelEXT beginLabel = nullptr;
  PFN_vkCmdEndDebugUtilsLabelEXT endLabel = nullptr;
  // The window's surface, made before the device is chosen so that its queue can present;
  // the swap chain for that window takes it over.
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  SDL_Window* surfaceWindow = nullptr;
  VkPipelineCache pipelineCache = VK_NULL_HANDLE;
  std::string pipelineCachePath;
  bool pipelineCacheLoaded = false;

  static constexpr uint32_t kFrames = 2;
  Frame frames[kFrames];
  uint32_t frameIndex = 0;
  uint64_t epoch = 1;  // bumps at every submit; ring allocations of older epochs are gone
  bool recording = false;
  VkSemaphore waitSemaphore = VK_NULL_HANDLE;    // for the next submit (swap-chain acquire)
  VkSemaphore signalSemaphore = VK_NULL_HANDLE;  // for the next submit (present)
  VkSampler defaultSampler = VK_NULL_HANDLE;
  GpuCounters* counters = nullptr;
  BarrierBatch single;  // a barrier of its own (transition or bufferBarrier without a batch)
  BarrierBatch batch;   // the barriers of a draw, a dispatch, a copy or a rendering start
  Dummies dummies;

  Frame& frame() { return frames[frameIndex]; }
  VkCommandBuffer cmd();  // begins recording when needed
  // Submits the recorded work; `wait` waits for it. Afterwards a fresh command buffer.
  void submit(bool wait);
  void waitAll();
  void deferDelete(std::function<void()> fn) { frame().deletions.push_back(std::move(fn)); }

  // Memory (VkMemory.cpp). allocate ends the program with a message when nothing fits.
  uint32_t allocationLimit = UINT32_MAX;  // live vkAllocateMemory results allowed
  uint32_t liveAllocations = 0;
  VkDeviceSize memoryBlockSize = 0;  // 0: by heap size
  std::vector<std::unique_ptr<MemoryBlock>> blocks;
  std::vector<uint32_t> memoryTypesFor(uint32_t bits, MemoryUse use) const;
  VkDeviceSize blockSizeFor(uint32_t type) const;
  bool allocateMemory(VkDeviceSize size, uint32_t type, VkDeviceMemory& out);
  Allocation allocate(const VkMemoryRequirements& req, MemoryUse use, bool image);
  void release(const Allocation& a);
  void releaseAllMemory();

  // Upload space in the ring of this frame (submits and waits when full); large requests get
  // a buffer of their own, deleted after the frame (past a cap, the frame is submitted and
  // waited for first, so loading many large textures does not hold all their copies).
  Staging staging(VkDeviceSize size, VkDeviceSize align);
  bool ringAlloc(VkDeviceSize size, VkDeviceSize align, Staging& out);

  // Optimal-tiling features of a format (asked once per format).
  VkFormatFeatureFlags formatFeatures(VkFormat format);
  std::map<VkFormat, VkFormatFeatureFlags> formatFeatureCache;
  // The core formats' features by format number, asked by every draw that samples a texture.
  static constexpr uint32_t kCoreFormats = 185;  // VK_FORMAT_ASTC_12x12_SRGB_BLOCK + 1
  VkFormatFeatureFlags coreFormatFeatures[kCoreFormats] = {};
  bool coreFormatKnown[kCoreFormats] = {};
  // The sampler the last samplerFor returned: passes ask for the same one draw after draw.
  Sampler* lastSampler = nullptr;

  std::function<void()> endRenderingHook;
  // Live shader and layout objects: they forget the Device when it goes first.
  std::vector<Shader*> shaders;
  std::vector<VertexLayout*> layouts;  // set by the context: ends an open rendering
};

// Pipeline cache file (VkPipelineCache.cpp): read into d.pipelineCache at creation (data of
// another driver or device, or a damaged file, is left out with a message), written back
// through a temporary file.
void loadPipelineCache(DeviceImpl& d);
bool savePipelineCache(DeviceImpl& d);

// What device selection knows of one physical device (VkDeviceChoice.cpp).
struct DeviceCandidate {
  std::string name;
  VkPhysicalDeviceType type = VK_PHYSICAL_DEVICE_TYPE_OTHER;
  std::string problem;  // why it cannot be used; empty when it can
};
// The device to use: the one `wanted` (ZV_DEVICE: an index, or part of the name in any
// case) names when it is usable, otherwise the first discrete, then integrated, virtual and
// CPU device. Appends a line per device to `log`: chosen, passed over (with the reason) or
// not chosen. -1 when no device is usable.
int chooseDevice(const std::vector<DeviceCandidate>& devices, const char* wanted, std::string& log);

// A lost device cannot be recovered: ends the program with a text saying what was going on.
[[noreturn]] void deviceLost(const char* during);

// Stand-ins for unbound slots (VkDevice.cpp); null when the device cannot make one (a
// format it cannot use that way). Images carry their view in srv (sampled) or uav (storage).
Resource* dummyBuffer(DeviceImpl& d, bool writable);
Resource* dummyImage(DeviceImpl& d, VkImageViewType type, VkFormat format, bool storage);
VkBufferView dummyTexelView(DeviceImpl& d, VkFormat format, bool storage);
void destroyDummies(DeviceImpl& d);

// The context's recorded state.
struct ContextImpl;

// Shared helpers (VkDevice.cpp).
VkImageView imageView(DeviceImpl& d, Texture* t, int kind, uint32_t slice);  // kind: 0 srv 1 uav 2 rtv 3 dsv
// The shader-resource (or, with storage, unordered-access) view of the type a shader declares:
// the texture's own view when the types agree, else one made for that type (slice 0 for a
// plain 2-D slot, all slices for an array slot, the first cube for a TextureCube slot given a
// cube array). Null when the texture cannot be seen as that type (a 3-D texture in a 2-D
// slot, six slices that are not a cube in a cube slot) or the format refused the use.
VkImageView shaderView(DeviceImpl& d, Texture* t, bool storage, VkImageViewType wanted);
VkBufferView texelView(DeviceImpl& d, Texture* t, bool uav);
// What an access does, for barriers: its pipeline stages and memory accesses, and whether it
// writes.
struct Access {
  VkPipelineStageFlags stages = VK_PIPELINE_STAGE_ALL_COMMANDS_BIT;
  VkAccessFlags access = VK_ACCESS_MEMORY_READ_BIT | VK_ACCESS_MEMORY_WRITE_BIT;
  bool write = false;
};
// Whether an access must wait for earlier ones (or move the image to another layout).
bool needsBarrier(const Resource& r, VkImageLayout layout, const Access& a);
// Orders an access after the earlier accesses it conflicts with, and moves an image into
// `layout`: a barrier from the stages that wrote (or, for a write, also read) to the stages
// of the access, nothing when nothing conflicts. Outside rendering only. With a batch the
// barrier joins it (flush it before the access).
void transition(DeviceImpl& d, VkCommandBuffer cmd, Resource& r, VkImageLayout layout, const Access& a,
                BarrierBatch* batch = nullptr);
void bufferBarrier(DeviceImpl& d, VkCommandBuffer cmd, Resource& r, const Access& a, BarrierBatch* batch = nullptr);
// The same for copies, clears and uploads (the transfer stage; the access follows the layout).
void transition(DeviceImpl& d, VkCommandBuffer cmd, Resource& r, VkImageLayout layout, bool write,
                BarrierBatch* batch = nullptr);
void bufferBarrier(DeviceImpl& d, VkCommandBuffer cmd, Resource& r, bool write, BarrierBatch* batch = nullptr);
// Records a write done without a barrier call (a fill right after creation).
void markWritten(Resource& r, VkPipelineStageFlags stages, VkAccessFlags access);
// Counts the changes to any resource's tracking (its layout, last write, and what waited for
// it or read since): while the count stands still, an access found to need no barrier still
// needs none. The functions above count theirs; code that sets the tracking fields itself
// calls trackingChanged().
extern std::atomic<uint64_t> gTrackingChanges;
inline void trackingChanged() { gTrackingChanges.fetch_add(1, std::memory_order_relaxed); }
inline uint64_t trackingChanges() { return gTrackingChanges.load(std::memory_order_relaxed); }

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
VkFormat vkFormatFromSpirv(uint32_t spirvFormat);  // UNDEFINED for Unknown
const char* vkResultText(VkResult result);
const char* vkFormatName(VkFormat format);             // "R8G8B8A8_UNORM"
std::string imageUsageText(VkImageUsageFlags usage);  // "render target and unordered access"
// The module without HLSL reflection decorations and their extensions.
std::vector<uint32_t> stripHlslReflection(const std::vector<uint32_t>& spirv);
// Rewrites the image format of the storage image / texel buffer at `binding`.
bool patchStorageFormat(std::vector<uint32_t>& spirv, uint32_t binding, uint32_t spirvFormat);
// How the module uses the storage image or texel buffer at `binding`: bit 0 reads, bit 1 writes.
uint32_t storageImageAccess(const std::vector<uint32_t>& spirv, uint32_t binding);
// Adds `delta` to every binding the module declares.
void offsetBindings(std::vector<uint32_t>& spirv, uint32_t delta);
// Whether the module samples the texture at `binding` with a depth reference (SampleCmp).
bool depthCompared(const std::vector<uint32_t>& spirv, uint32_t binding);
// Declares a capability (once) in the module.
void addCapability(std::vector<uint32_t>& spirv, uint32_t capability);
// The capabilities a module declares that the device's enabled features do not back, as
// "Float64 (shaderFloat64)"; empty when the device can run it.
std::string missingShaderFeatures(const DeviceImpl& d, const std::vector<uint32_t>& spirv);

}  // namespace gfxbackend

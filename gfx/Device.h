#pragma once
// The one Device: immediate context, cached render states and samplers, the default input
// layouts, the list of live textures and the list of textures that follow the back-buffer
// size. Draw code fills RenderStateDesc / SamplerDesc records on the stack (zero-filled:
// they are hashed over their bytes) and asks the caches for the matching objects.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "gfx/D3DEnums.h"
#include "gfx/Texture.h"

class DeviceContext;
class InputLayout;  // gfx/InputLayout.h
namespace gfxbackend {
struct DeviceImpl;
struct SamplerImpl;
}

// Render state flags.
enum RenderStateFlag : uint32_t {
  kDepthTest = 0x1,
  kDepthWrite = 0x2,
  kStencil = 0x4,            // only then are masks, reference and face operations used
  kCullBack = 0x10,
  kCullFront = 0x20,         // neither: no culling
  kScissor = 0x40,
  kMultisample = 0x80,
  kAntialiasedLines = 0x100,
  kIndependentBlend = 0x200, // targets 1-4 use their own blend words
  kAlphaToCoverage = 0x400,
  kWireframe = 0x1000,
};

// Blend word: bits 0-5 source factor, 6-11 destination factor, 12-15 operation (D3D numbers).
constexpr uint16_t blendWord(uint32_t source, uint32_t destination, uint32_t operation) {
  return uint16_t((source & 63) | ((destination & 63) << 6) | ((operation & 15) << 12));
}
constexpr uint16_t kBlendOpaqueWord = 0x1042;    // one, zero, add
constexpr uint16_t kBlendAdditiveWord = 0x1082;  // one, one, add

// 56 bytes, no padding. Zero-fill before setting fields (use RenderStateDesc::zeroed()).
struct RenderStateDesc {
  uint32_t flags;
  uint32_t depthFunc;           // D3D comparison (4 less-or-equal)
  uint16_t colourBlend[5];      // per render target
  uint16_t alphaBlend[5];
  uint8_t disabledChannels[5];  // write mask = value ^ 15 (0 writes all channels)
  uint8_t stencilReadMask;
  uint8_t stencilWriteMask;
  uint8_t stencilRef;
  uint8_t frontFace[4];         // stencil-fail op, depth-fail op, pass op, comparison
  uint8_t backFace[4];
  int32_t depthBias;
  float slopeScaledDepthBias;
  float depthBiasClamp;

  static RenderStateDesc zeroed();
  // Flags 0x13, less-or-equal, stencil masks 0xFF, face comparisons 1, everything else 0.
  static RenderStateDesc defaults();
};
static_assert(sizeof(RenderStateDesc) == 56);

// Blending of one target after the fill-in rules: a target whose words are both 0 does not
// blend; only alpha set: colour becomes 0x1042; only colour set: alpha becomes 0x1082.
// Without kIndependentBlend every target uses the words of target 0.
struct TargetBlend {
  bool enable = false;
  uint16_t colour = 0;
  uint16_t alpha = 0;
  uint8_t writeMask = 15;  // bit 0 red .. bit 3 alpha
};
TargetBlend effectiveBlend(const RenderStateDesc& desc, uint32_t target);

// Sampler mode: bits 0-4 filter code (bit 0 min linear, 1 mag linear, 2 mip linear,
// 3 anisotropic (overrides 0-2), 4 comparison), bits 16-19 / 20-23 / 24-27 address U / V / W
// (0 wrap, 1 clamp, 2 border, 3 mirror, 4 mirror once).
constexpr uint32_t samplerMode(uint32_t filter, uint32_t addressU, uint32_t addressV, uint32_t addressW) {
  return (filter & 31) | ((addressU & 15) << 16) | ((addressV & 15) << 20) | ((addressW & 15) << 24);
}

struct SamplerDesc {
  uint32_t mode;
  float minLod;
  float maxLod;
  uint32_t maxAnisotropy;
  uint32_t comparisonFunc;  // D3D comparison
  float borderColour[4];

  static SamplerDesc zeroed();
  // LOD range -1e-37 .. 1e37, anisotropy 8, comparison 1, border 0.
  static SamplerDesc forMode(uint32_t mode);
};
static_assert(sizeof(SamplerDesc) == 36);

// Targets, clears, viewport and scissor rectangle of a pass.
struct RenderPass {
  Texture* depthTarget = nullptr;
  Texture* colourTargets[5] = {};  // the list ends at the first null
  uint8_t clearFlags = 0;          // 1 clear colour targets, 2 clear depth and stencil
  int32_t rect[4] = {};            // left, top, right, bottom
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t slice = 0;              // cube face 0-5 for cube targets, else 0
  float depthClear = 1.0f;
  float colourClear[4] = {};
  uint8_t stencilClear = 0;
};
constexpr uint8_t kClearColour = 1;
constexpr uint8_t kClearDepth = 2;

// The state "triple" (rasterizer, blend, depth-stencil) of one description.
class RenderState {
 public:
  RenderStateDesc desc;
  uint32_t hash = 0;
};

class Sampler {
 public:
  ~Sampler();
  SamplerDesc desc;
  uint32_t hash = 0;
  gfxbackend::SamplerImpl* impl = nullptr;
  Device* device = nullptr;
};

// How many backend objects were ever created (for the no-creation-after-warm-up check).
struct GpuCounters {
  uint64_t pipelines = 0;
  uint64_t pipelineLayouts = 0;
  uint64_t imageViews = 0;
  uint64_t bufferViews = 0;
  uint64_t renderStates = 0;
  uint64_t samplers = 0;
  uint64_t buffers = 0;
  uint64_t images = 0;
  uint64_t shaderModules = 0;
  uint64_t memoryAllocations = 0;
  uint64_t submits = 0;  // not a creation: queue submissions
  uint64_t draws = 0;    // not a creation: draw calls recorded
  uint64_t barriers = 0; // not a creation: pipeline barriers recorded
  uint64_t total() const {
    return pipelines + pipelineLayouts + imageViews + bufferViews + renderStates + samplers + buffers +
           images + shaderModules + memoryAllocations;
  }
};

// Optional features a device may lack. DeviceOptions can force them off so that the
// fallbacks run on a driver that has them.
enum DeviceFeature : uint32_t {
  kFeatureNullDescriptor = 0x1,   // unbound slots as null descriptors (else zero-filled stand-ins)
  kFeatureRobustAccess = 0x2,     // bounds-checked buffer and image access
  kFeatureFloat64 = 0x4,          // shaders with double
  kFeatureInt64 = 0x8,            // shaders with 64-bit integers
  kFeatureWireframe = 0x10,       // kWireframe fill
  kFeatureDepthBiasClamp = 0x20,  // a non-zero depth-bias clamp
  kFeatureDualSourceBlend = 0x40, // blend factors of the second pixel-shader output
  kFeatureGeometryShader = 0x80,
  kFeatureTessellation = 0x100,
  kFeatureIndependentBlend = 0x200,       // kIndependentBlend with targets that differ
  kFeatureStorageWithoutFormat = 0x400,   // UAVs of formats without a shader format (BGRA8)
  kFeatureCustomBorderColour = 0x800,     // border colours other than black, white, transparent
  kFeatureFloat32Filtering = 0x1000,      // linear filtering of 32-bit float textures
  kFeatureFloat32Blending = 0x2000,       // blending into 32-bit float targets
  kFeatureDepth24 = 0x4000,               // 24-bit depth with stencil (else 32-bit float depth stands in)
  kFeatureMirrorOnce = 0x8000,            // Direct3D's mirror-once addressing (else mirrored repeat)
};

// Limits lowered below what the driver reports (0: the driver's own), so that the checks for
// small devices run on any driver.
struct DeviceLimits {
  uint32_t colourTargets = 0;        // maxColorAttachments
  uint32_t uniformRange = 0;         // maxUniformBufferRange (bytes)
  uint32_t anisotropy = 0;           // maxSamplerAnisotropy
  uint32_t computeInvocations = 0;   // maxComputeWorkGroupInvocations
  uint32_t texelBufferElements = 0;  // maxTexelBufferElements
  uint64_t memoryBudget = 0;         // bytes of device memory the process may take
};

struct SDL_Window;

struct DeviceOptions {
  bool validation = false;  // also switched on by the environment (ZV_VALIDATION=1)
  // With validation: also check barriers between GPU accesses (slower; ZV_SYNC_VALIDATION=1).
  bool synchronizationValidation = false;
  uint32_t disabledFeatures = 0;  // DeviceFeature bits forced off
  DeviceLimits limits;            // limits forced lower
  // At most this many descriptors are pushed for a program (the driver's limit when lower);
  // programs that need more, or all with 0, take descriptor sets from per-frame pools.
  uint32_t pushDescriptorLimit = UINT32_MAX;
  // Live memory allocations allowed (0: the driver's maxMemoryAllocationCount).
  uint32_t memoryAllocationLimit = 0;
  // Size of the memory blocks resources are placed in (0: chosen by the size of the heap).
  uint64_t memoryBlockSize = 0;
  // The window to present to: its surface is made before the device is chosen, so that the
  // chosen device's queue can present to it (Screen fills this in).
  SDL_Window* window = nullptr;
  // Pipeline cache file: read when the Device is created, written when it is deleted (or by
  // savePipelineCache). A file of another driver or device is ignored and rewritten. Empty:
  // no file.
  std::string pipelineCachePath;
};

struct ResizeEntry {
  Texture* texture;
  uint32_t sizeClass;  // 4, 8 or 16
};

class Device {
 public:
  // A device that cannot be created logs the reason and ends with
  // fatalError("Failed to create dx11 device"). Sets gDevice when it is null.
  explicit Device(const DeviceOptions& options = {});
  // Detaches every texture of the texture list, then releases caches and the device.
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Cached lookups: equal bytes share one object; they never fail for valid descriptions.
  RenderState* stateFor(const RenderStateDesc& desc);
  Sampler* samplerFor(const SamplerDesc& desc);
  RenderState* defaultState() const { return defaultState_; }

  // The six default layouts, by index: 0 {POSITION, NORMAL, TANGENT, TEXCOORD0, COLOR0 as
  // float4}; 1 {POSITION, NORMAL, TANGENT, TEXCOORD0}; 2 {POSITION, NORMAL, TEXCOORD0};
  // 3 {POSITION, NORMAL}; 4 {POSITION}; 5 {POSITION, COLOR0}. Built through
  // createInputLayout when the Device is created and kept until it is deleted.
  InputLayout* defaultInputLayout(uint32_t index);
  static const uint32_t* defaultInputLayoutCodes(uint32_t index);  // zero-terminated
  // A layout from zero-terminated element codes (createInputLayout; the caller owns it).
  InputLayout* inputLayout(const uint32_t* codes);

  DeviceContext* context() const { return context_; }
  const GpuCounters& counters() const { return counters_; }
  GpuCounters& counters() { return counters_; }
  // Validation messages (warnings and errors) seen so far; tests fail on any.
  uint64_t validationMessageCount() const;
  bool validationEnabled() const;
  // The largest width and height of a two-dimensional image on this device.
  uint32_t maxImageSize() const;

  // Every live Texture created on this Device; the textures that follow the back-buffer size.
  std::vector<Texture*> textures;
  std::vector<ResizeEntry> resizeList;
  // Resizes every entry of the resize list for a back buffer of w x h (full, half, quarter,
  // rounding down), in list order.
  void resizeTargets(uint32_t width, uint32_t height);

  // Waits until the GPU has finished all submitted work.
  void waitIdle();

  // Memory allocations (vkAllocateMemory) alive now; resources share large blocks.
  uint32_t memoryAllocationCount() const;
  // Bytes of device memory that resources take now, and what the process may take on this
  // device (VK_EXT_memory_budget where present, else the device-local heaps less a margin).
  uint64_t memoryInUse() const;
  uint64_t memoryBudget() const;
  // The limits in force (the driver's, or lower ones from DeviceOptions).
  const DeviceLimits& limits() const;
  // Writes the pipeline cache file now (false when there is none or it cannot be written).
  bool savePipelineCache();
  // Whether the pipeline cache file was read and belonged to this driver and device.
  bool pipelineCacheLoaded() const;
  // The name the driver gives the chosen device.
  const char* deviceName() const;
  // Whether the device is a CPU driver: it runs the frame's work with the player's own cores,
  // so waiting on it mid-frame costs little and every pixel or pass left out is time saved.
  bool cpuDriver() const;

  gfxbackend::DeviceImpl* impl() const { return impl_; }

 private:
  gfxbackend::DeviceImpl* impl_ = nullptr;
  DeviceContext* context_ = nullptr;
  GpuCounters counters_;
  RenderState* defaultState_ = nullptr;
  std::map<uint32_t, std::vector<RenderState*>> states_;
  std::map<uint32_t, std::vector<Sampler*>> samplers_;
  InputLayout* defaultLayouts_[6] = {};
};

extern Device* gDevice;

// The pass that binds last (set by bindRenderPass): current targets and rectangle.
extern RenderPass gCurrentRenderPass;

// Binds targets (views created on first use), viewport and scissor; clears as flagged.
void bindRenderPass(Device* device, const RenderPass& pass);

// A render target is cleared to the colour; a depth target to depth value[0] and stencil 0.
void clearTexture(Device* device, Texture* texture, const float value[4]);

// The copy road that needs no drawing: when the destination is not a render target, a plain
// CopyResource if both format codes are equal, otherwise nothing; returns true in both cases.
// Returns false, without doing anything, when the destination is a render target: the copy
// pass (gfx/RenderTargets.h) then draws the copy.
bool copyTexture(Device* device, Texture* destination, Texture* source);

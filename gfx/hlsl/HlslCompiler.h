#pragma once
// HLSL (shader model 5) to SPIR-V, with the reflection the device layer needs.
// Constant buffers come out with exactly Direct3D's packing, resources on fixed
// binding ranges of one descriptor set, and every stage input and output carries its
// semantic so stages and vertex layouts are matched by name, not by order.
//
// Constant-buffer members sit at Direct3D's offsets (a float3 may start at byte 4, an
// array element or matrix column at every 16 bytes), so pipelines that use this SPIR-V
// need the scalarBlockLayout feature (Vulkan 1.2 core) enabled on the device.
//
// Stage inputs and outputs keep their UserSemantic decorations (SPV_GOOGLE_hlsl_functionality1):
// the device must enable VK_GOOGLE_hlsl_functionality1 and VK_GOOGLE_decorate_string.
// reflect() reads the semantics back from those decorations.
//
// Binding ranges (one descriptor set, set 0):
//   b#  -> binding kCBufferBase + #     (0..15)
//   t#  -> binding kTextureBase + #     (16..47)
//   s#  -> binding kSamplerBase + #     (48..63)
//   u#  -> binding kUavBase + #         (64..)  append/consume counters follow on free u bindings
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hlsl {

constexpr uint32_t kCBufferBase = 0;
constexpr uint32_t kTextureBase = 16;
constexpr uint32_t kSamplerBase = 48;
constexpr uint32_t kUavBase = 64;

// Stage numbering used throughout the system (the only one): 0 vertex, 1 hull, 2 domain,
// 3 geometry, 4 pixel, 5 compute.
enum Stage : uint32_t { Vertex = 0, Hull = 1, Domain = 2, Geometry = 3, Pixel = 4, Compute = 5 };
constexpr uint32_t kStageCount = 6;

struct CBufferVariable {
  std::string name;
  uint32_t offset = 0;  // Direct3D byte offset
  uint32_t size = 0;    // Direct3D reflected size (a float3x3 is 44, float c[2] is 20)
};

struct CBufferInfo {
  std::string name;
  uint32_t slot = 0;     // register b#
  uint32_t binding = 0;  // SPIR-V binding
  uint32_t size = 0;     // rounded up to 16
  std::vector<CBufferVariable> variables;  // in offset order
};

enum class ResourceKind : uint32_t {
  Texture,             // Texture1D/2D/3D/Cube/arrays (sampled image)
  Sampler,
  Buffer,              // Buffer<T> (uniform texel buffer)
  StructuredBuffer,    // StructuredBuffer / ByteAddressBuffer (read-only storage buffer)
  RWTexture,           // RWTexture* (storage image)
  RWBuffer,            // RWBuffer<T> (storage texel buffer)
  RWStructuredBuffer,  // RWStructuredBuffer / RWByteAddressBuffer (storage buffer)
  AppendBuffer,        // AppendStructuredBuffer (storage buffer + counter)
  ConsumeBuffer,       // ConsumeStructuredBuffer (storage buffer + counter)
};

enum class ImageDim : uint32_t { None, Dim1D, Dim2D, Dim3D, Cube, Buffer };

struct ResourceBinding {
  std::string name;
  ResourceKind kind = ResourceKind::Texture;
  ImageDim dim = ImageDim::None;
  bool arrayed = false;
  uint32_t reg = 0;      // register number t#, s#, or u# (the first, for an array)
  uint32_t binding = 0;  // SPIR-V binding in set 0
  uint32_t count = 1;    // array length (Texture2D t[4] : register(t0) takes t0..t3)
  uint32_t counterBinding = UINT32_MAX;  // append/consume counter buffer, else UINT32_MAX
  uint32_t structStride = 0;  // element size of structured buffers
  // Typed UAVs and buffers (RWTexture*<T>, RWBuffer<T>, Buffer<T>): the declared element
  // type, so the backend can pick the view's format. elementComponents is 1..4 (0 when
  // not typed), elementType 0 float, 1 signed int, 2 unsigned int (for textures too: their
  // sampled type, which the view's format must match); spirvFormat is the
  // SpvImageFormat the SPIR-V declares (R32f for float, Rg32f for float2, Rgba32f for
  // float4, R32ui for uint ...); patch it when the view's format differs.
  uint32_t elementComponents = 0;
  uint32_t elementType = 0;
  uint32_t spirvFormat = 0;
};

// Append/consume: the kind is AppendBuffer unless the shader decrements the counter
// (ConsumeBuffer). The counter is a separate storage buffer "name@count" holding one
// uint at offset 0, on the first u binding the shader leaves free.

struct StageVariable {
  std::string semantic;  // upper-case, without index ("TEXCOORD"); "SV_POSITION" etc. for system values
  uint32_t semanticIndex = 0;
  uint32_t location = 0;      // SPIR-V location (not meaningful for built-ins)
  bool builtin = false;
  uint32_t components = 4;    // 1..4
  bool isInteger = false;
  bool isSigned = false;
};

struct Reflection {
  Stage stage = Vertex;
  std::string entry;
  // Only what the entry point uses (as Direct3D's reflection does): a cbuffer or resource
  // that is declared in the file but never read by this entry is not listed.
  std::vector<CBufferInfo> cbuffers;       // slot order
  std::vector<ResourceBinding> resources;  // binding order
  std::vector<StageVariable> inputs;       // user inputs (and built-ins flagged)
  std::vector<StageVariable> outputs;
  uint32_t localSize[3] = {1, 1, 1};       // compute thread-group size
};

struct CompileResult {
  bool ok = false;
  std::vector<uint32_t> spirv;  // SPIR-V 1.6 that passed validateSpirv()
  std::string messages;         // compiler messages (errors and warnings), may be empty
};

// Profile such as "vs_5_0", "ps_5_0", "cs_5_0", "vs_4_0". "#include" is resolved
// relative to the working directory.
CompileResult compile(Stage stage, const std::string& profile, const std::string& source,
                      const std::string& entry);
// The same, naming the source in messages ("data/shaders/bloom.hlsl:12: ...").
CompileResult compile(Stage stage, const std::string& profile, const std::string& source,
                      const std::string& entry, const std::string& sourceName);

// spirv-val with the Vulkan 1.3 environment and scalar block layout; appends the
// validator's messages to *messages.
bool validateSpirv(const std::vector<uint32_t>& spirv, std::string* messages = nullptr);

// Reflection of SPIR-V produced by compile() (or read from the compiled road).
bool reflect(const std::vector<uint32_t>& spirv, Reflection& out, std::string* error = nullptr);

// Rewrites the input locations of `next` so that each input reads the output of
// `prev` with the same semantic (per-patch values only from per-patch values; a matrix or
// array input needs its semantic indices on consecutive output locations). Returns false
// (with a message) when an input has no matching output; `next` is then unchanged.
bool linkStages(const std::vector<uint32_t>& prev, std::vector<uint32_t>& next, std::string* error = nullptr);

// Rewrites the locations of a vertex shader's inputs: the input whose semantic and index
// equal semanticsInLocationOrder[i] (upper-case name without index, e.g. {"TEXCOORD", 1})
// reads attribute location i (a name with trailing digits and index 0, "TEXCOORD1", also
// works). Used with input layouts. Returns false (with a message)
// when a non-system input is missing from the list; the module is then left unchanged.
bool remapVertexInputs(std::vector<uint32_t>& spirv,
                       const std::vector<std::pair<std::string, uint32_t>>& semanticsInLocationOrder,
                       std::string* error = nullptr);

// Reads a whole shader source or include file; false when it is missing, not a regular file
// or unreadable.
bool readSourceFile(const std::string& path, std::string& text);

// Stage from a profile prefix ("vs" -> Vertex...); returns false for an unknown one.
bool stageFromProfile(const std::string& profile, Stage& stage);

}  // namespace hlsl

// Which capabilities a shader module may declare on this device. A driver is free to do
// anything with a module that declares a capability whose feature was not enabled (most
// compile it, some crash or draw garbage), so such modules are refused with a message.
#include <cstring>

#include "gfx/vulkan/Backend.h"

namespace gfxbackend {

namespace {

struct CapabilityRule {
  uint32_t capability;
  const char* name;
  const char* feature;  // null: every Vulkan 1.3 device has it
  bool (*enabled)(const DeviceImpl& d);
};

#define CORE(field) [](const DeviceImpl& d) { return d.features.core.field == VK_TRUE; }
#define EXTRA(field) [](const DeviceImpl& d) { return d.features.field; }
#define ALWAYS [](const DeviceImpl&) { return true; }

const CapabilityRule kRules[] = {
    {0, "Matrix", nullptr, ALWAYS},
    {1, "Shader", nullptr, ALWAYS},
    {2, "Geometry", "geometryShader", CORE(geometryShader)},
    {3, "Tessellation", "tessellationShader", CORE(tessellationShader)},
    {9, "Float16", "shaderFloat16", EXTRA(shaderFloat16)},
    {10, "Float64", "shaderFloat64", CORE(shaderFloat64)},
    {11, "Int64", "shaderInt64", CORE(shaderInt64)},
    {22, "Int16", "shaderInt16", CORE(shaderInt16)},
    {23, "TessellationPointSize", "shaderTessellationAndGeometryPointSize", CORE(shaderTessellationAndGeometryPointSize)},
    {24, "GeometryPointSize", "shaderTessellationAndGeometryPointSize", CORE(shaderTessellationAndGeometryPointSize)},
    {25, "ImageGatherExtended", "shaderImageGatherExtended", CORE(shaderImageGatherExtended)},
    {27, "StorageImageMultisample", "shaderStorageImageMultisample", CORE(shaderStorageImageMultisample)},
    {28, "UniformBufferArrayDynamicIndexing", "shaderUniformBufferArrayDynamicIndexing",
     CORE(shaderUniformBufferArrayDynamicIndexing)},
    {29, "SampledImageArrayDynamicIndexing", "shaderSampledImageArrayDynamicIndexing",
     CORE(shaderSampledImageArrayDynamicIndexing)},
    {30, "StorageBufferArrayDynamicIndexing", "shaderStorageBufferArrayDynamicIndexing",
     CORE(shaderStorageBufferArrayDynamicIndexing)},
    {31, "StorageImageArrayDynamicIndexing", "shaderStorageImageArrayDynamicIndexing",
     CORE(shaderStorageImageArrayDynamicIndexing)},
    {32, "ClipDistance", "shaderClipDistance", CORE(shaderClipDistance)},
    {33, "CullDistance", "shaderCullDistance", CORE(shaderCullDistance)},
    {34, "ImageCubeArray", "imageCubeArray", CORE(imageCubeArray)},
    {35, "SampleRateShading", "sampleRateShading", CORE(sampleRateShading)},
    {39, "Int8", "shaderInt8", EXTRA(shaderInt8)},
    {40, "InputAttachment", nullptr, ALWAYS},
    {41, "SparseResidency", "shaderResourceResidency", CORE(shaderResourceResidency)},
    {42, "MinLod", "shaderResourceMinLod", CORE(shaderResourceMinLod)},
    {43, "Sampled1D", nullptr, ALWAYS},
    {44, "Image1D", nullptr, ALWAYS},
    {45, "SampledCubeArray", "imageCubeArray", CORE(imageCubeArray)},
    {46, "SampledBuffer", nullptr, ALWAYS},
    {47, "ImageBuffer", nullptr, ALWAYS},
    {48, "ImageMSArray", "shaderStorageImageMultisample", CORE(shaderStorageImageMultisample)},
    // Vulkan 1.0 made the extended storage formats core: the feature bit is always reported
    // and asks nothing of the device, so a driver that leaves it clear still takes them.
    {49, "StorageImageExtendedFormats", nullptr, ALWAYS},
    {50, "ImageQuery", nullptr, ALWAYS},
    {51, "DerivativeControl", nullptr, ALWAYS},
    {52, "InterpolationFunction", "sampleRateShading", CORE(sampleRateShading)},
    {55, "StorageImageReadWithoutFormat", "shaderStorageImageReadWithoutFormat",
     CORE(shaderStorageImageReadWithoutFormat)},
    {56, "StorageImageWriteWithoutFormat", "shaderStorageImageWriteWithoutFormat",
     CORE(shaderStorageImageWriteWithoutFormat)},
    {57, "MultiViewport", "multiViewport", CORE(multiViewport)},
    {61, "GroupNonUniform", nullptr, ALWAYS},
    {69, "ShaderLayer", "shaderOutputLayer", EXTRA(shaderOutputLayer)},
    {70, "ShaderViewportIndex", "shaderOutputViewportIndex", EXTRA(shaderOutputViewportIndex)},
    {4427, "DrawParameters", "shaderDrawParameters", EXTRA(shaderDrawParameters)},
    {5379, "DemoteToHelperInvocation", "shaderDemoteToHelperInvocation", EXTRA(demoteToHelper)},
};

#undef CORE
#undef EXTRA
#undef ALWAYS

}  // namespace

std::string missingShaderFeatures(const DeviceImpl& d, const std::vector<uint32_t>& spirv) {
  constexpr uint32_t kOpCapability = 17, kOpExecutionMode = 16, kOpExecutionModeId = 331;
  constexpr uint32_t kModeLocalSizeId = 38;
  std::string missing;
  auto note = [&missing](const std::string& what) {
    if (missing.find(what) != std::string::npos) return;
    if (!missing.empty()) missing += ", ";
    missing += what;
  };
  for (size_t i = 5; i < spirv.size();) {
    const uint32_t op = spirv[i] & 0xFFFF, count = spirv[i] >> 16;
    if (count == 0 || i + count > spirv.size()) break;
    if (op == kOpCapability && count >= 2) {
      const uint32_t cap = spirv[i + 1];
      const CapabilityRule* rule = nullptr;
      for (const CapabilityRule& r : kRules)
        if (r.capability == cap) rule = &r;
      if (!rule)
        note("capability " + std::to_string(cap) + " (not used by this player)");
      else if (!rule->enabled(d))
        note(std::string(rule->name) + " (" + rule->feature + ")");
    }
    if ((op == kOpExecutionModeId || op == kOpExecutionMode) && count >= 3 && spirv[i + 2] == kModeLocalSizeId &&
        !d.features.maintenance4)
      note("LocalSizeId (maintenance4)");
    i += count;
  }
  return missing;
}

}  // namespace gfxbackend

// Direct3D 11 numbering to Vulkan, in one place.
#include <algorithm>
#include <cstring>

#include "gfx/vulkan/Backend.h"

namespace gfxbackend {

VkFormat toVkFormat(DxgiFormat f) {
  switch (f) {
    case DXGI_FORMAT_R32G32B32A32_TYPELESS:
    case DXGI_FORMAT_R32G32B32A32_FLOAT: return VK_FORMAT_R32G32B32A32_SFLOAT;
    case DXGI_FORMAT_R32G32B32A32_UINT: return VK_FORMAT_R32G32B32A32_UINT;
    case DXGI_FORMAT_R32G32B32A32_SINT: return VK_FORMAT_R32G32B32A32_SINT;
    case DXGI_FORMAT_R32G32B32_FLOAT: return VK_FORMAT_R32G32B32_SFLOAT;
    case DXGI_FORMAT_R32G32B32_UINT: return VK_FORMAT_R32G32B32_UINT;
    case DXGI_FORMAT_R32G32B32_SINT: return VK_FORMAT_R32G32B32_SINT;
    case DXGI_FORMAT_R16G16B16A16_FLOAT: return VK_FORMAT_R16G16B16A16_SFLOAT;
    case DXGI_FORMAT_R16G16B16A16_UNORM: return VK_FORMAT_R16G16B16A16_UNORM;
    case DXGI_FORMAT_R16G16B16A16_UINT: return VK_FORMAT_R16G16B16A16_UINT;
    case DXGI_FORMAT_R16G16B16A16_SNORM: return VK_FORMAT_R16G16B16A16_SNORM;
    case DXGI_FORMAT_R16G16B16A16_SINT: return VK_FORMAT_R16G16B16A16_SINT;
    case DXGI_FORMAT_R32G32_FLOAT: return VK_FORMAT_R32G32_SFLOAT;
    case DXGI_FORMAT_R32G32_UINT: return VK_FORMAT_R32G32_UINT;
    case DXGI_FORMAT_R32G32_SINT: return VK_FORMAT_R32G32_SINT;
    case DXGI_FORMAT_R8G8B8A8_TYPELESS:
    case DXGI_FORMAT_R8G8B8A8_UNORM: return VK_FORMAT_R8G8B8A8_UNORM;
    case DXGI_FORMAT_R8G8B8A8_UNORM_SRGB: return VK_FORMAT_R8G8B8A8_SRGB;
    case DXGI_FORMAT_R8G8B8A8_UINT: return VK_FORMAT_R8G8B8A8_UINT;
    case DXGI_FORMAT_R8G8B8A8_SNORM: return VK_FORMAT_R8G8B8A8_SNORM;
    case DXGI_FORMAT_R8G8B8A8_SINT: return VK_FORMAT_R8G8B8A8_SINT;
    case DXGI_FORMAT_R16G16_FLOAT: return VK_FORMAT_R16G16_SFLOAT;
    case DXGI_FORMAT_R16G16_UNORM: return VK_FORMAT_R16G16_UNORM;
    case DXGI_FORMAT_R16G16_UINT: return VK_FORMAT_R16G16_UINT;
    case DXGI_FORMAT_R16G16_SNORM: return VK_FORMAT_R16G16_SNORM;
    case DXGI_FORMAT_R16G16_SINT: return VK_FORMAT_R16G16_SINT;
    case DXGI_FORMAT_R32_TYPELESS:
    case DXGI_FORMAT_D32_FLOAT: return VK_FORMAT_D32_SFLOAT;
    case DXGI_FORMAT_R32_FLOAT: return VK_FORMAT_R32_SFLOAT;
    case DXGI_FORMAT_R32_UINT: return VK_FORMAT_R32_UINT;
    case DXGI_FORMAT_R32_SINT: return VK_FORMAT_R32_SINT;
    case DXGI_FORMAT_R24G8_TYPELESS:
    case DXGI_FORMAT_D24_UNORM_S8_UINT:
    case DXGI_FORMAT_R24_UNORM_X8_TYPELESS: return VK_FORMAT_D24_UNORM_S8_UINT;
    case DXGI_FORMAT_R8G8_UNORM: return VK_FORMAT_R8G8_UNORM;
    case DXGI_FORMAT_R8G8_UINT: return VK_FORMAT_R8G8_UINT;
    case DXGI_FORMAT_R16_FLOAT: return VK_FORMAT_R16_SFLOAT;
    case DXGI_FORMAT_R16_UNORM: return VK_FORMAT_R16_UNORM;
    case DXGI_FORMAT_R16_UINT: return VK_FORMAT_R16_UINT;
    case DXGI_FORMAT_R16_SNORM: return VK_FORMAT_R16_SNORM;
    case DXGI_FORMAT_R16_SINT: return VK_FORMAT_R16_SINT;
    case DXGI_FORMAT_R8_UNORM: return VK_FORMAT_R8_UNORM;
    case DXGI_FORMAT_R8_UINT: return VK_FORMAT_R8_UINT;
    case DXGI_FORMAT_BC1_UNORM: return VK_FORMAT_BC1_RGBA_UNORM_BLOCK;
    case DXGI_FORMAT_BC1_UNORM_SRGB: return VK_FORMAT_BC1_RGBA_SRGB_BLOCK;
    case DXGI_FORMAT_BC2_UNORM: return VK_FORMAT_BC2_UNORM_BLOCK;
    case DXGI_FORMAT_BC2_UNORM_SRGB: return VK_FORMAT_BC2_SRGB_BLOCK;
    case DXGI_FORMAT_BC3_UNORM: return VK_FORMAT_BC3_UNORM_BLOCK;
    case DXGI_FORMAT_BC3_UNORM_SRGB: return VK_FORMAT_BC3_SRGB_BLOCK;
    case DXGI_FORMAT_B8G8R8A8_UNORM: return VK_FORMAT_B8G8R8A8_UNORM;
    case DXGI_FORMAT_B8G8R8A8_UNORM_SRGB: return VK_FORMAT_B8G8R8A8_SRGB;
    case DXGI_FORMAT_UNKNOWN: break;
  }
  return VK_FORMAT_UNDEFINED;
}

VkBlendFactor toVkBlend(uint32_t b) {
  switch (b) {
    case D3D11_BLEND_ZERO: return VK_BLEND_FACTOR_ZERO;
    case D3D11_BLEND_ONE: return VK_BLEND_FACTOR_ONE;
    case D3D11_BLEND_SRC_COLOR: return VK_BLEND_FACTOR_SRC_COLOR;
    case D3D11_BLEND_INV_SRC_COLOR: return VK_BLEND_FACTOR_ONE_MINUS_SRC_COLOR;
    case D3D11_BLEND_SRC_ALPHA: return VK_BLEND_FACTOR_SRC_ALPHA;
    case D3D11_BLEND_INV_SRC_ALPHA: return VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA;
    case D3D11_BLEND_DEST_ALPHA: return VK_BLEND_FACTOR_DST_ALPHA;
    case D3D11_BLEND_INV_DEST_ALPHA: return VK_BLEND_FACTOR_ONE_MINUS_DST_ALPHA;
    case D3D11_BLEND_DEST_COLOR: return VK_BLEND_FACTOR_DST_COLOR;
    case D3D11_BLEND_INV_DEST_COLOR: return VK_BLEND_FACTOR_ONE_MINUS_DST_COLOR;
    case D3D11_BLEND_SRC_ALPHA_SAT: return VK_BLEND_FACTOR_SRC_ALPHA_SATURATE;
    case D3D11_BLEND_BLEND_FACTOR: return VK_BLEND_FACTOR_CONSTANT_COLOR;
    case D3D11_BLEND_INV_BLEND_FACTOR: return VK_BLEND_FACTOR_ONE_MINUS_CONSTANT_COLOR;
    case D3D11_BLEND_SRC1_COLOR: return VK_BLEND_FACTOR_SRC1_COLOR;
    case D3D11_BLEND_INV_SRC1_COLOR: return VK_BLEND_FACTOR_ONE_MINUS_SRC1_COLOR;
    case D3D11_BLEND_SRC1_ALPHA: return VK_BLEND_FACTOR_SRC1_ALPHA;
    case D3D11_BLEND_INV_SRC1_ALPHA: return VK_BLEND_FACTOR_ONE_MINUS_SRC1_ALPHA;
    default: return b == 0 ? VK_BLEND_FACTOR_ZERO : VK_BLEND_FACTOR_ONE;
  }
}

VkBlendOp toVkBlendOp(uint32_t op) {
  switch (op) {
    case D3D11_BLEND_OP_SUBTRACT: return VK_BLEND_OP_SUBTRACT;
    case D3D11_BLEND_OP_REV_SUBTRACT: return VK_BLEND_OP_REVERSE_SUBTRACT;
    case D3D11_BLEND_OP_MIN: return VK_BLEND_OP_MIN;
    case D3D11_BLEND_OP_MAX: return VK_BLEND_OP_MAX;
    default: return VK_BLEND_OP_ADD;
  }
}

VkCompareOp toVkCompare(uint32_t c) {
  switch (c) {
    case D3D11_COMPARISON_NEVER: return VK_COMPARE_OP_NEVER;
    case D3D11_COMPARISON_LESS: return VK_COMPARE_OP_LESS;
    case D3D11_COMPARISON_EQUAL: return VK_COMPARE_OP_EQUAL;
    case D3D11_COMPARISON_LESS_EQUAL: return VK_COMPARE_OP_LESS_OR_EQUAL;
    case D3D11_COMPARISON_GREATER: return VK_COMPARE_OP_GREATER;
    case D3D11_COMPARISON_NOT_EQUAL: return VK_COMPARE_OP_NOT_EQUAL;
    case D3D11_COMPARISON_GREATER_EQUAL: return VK_COMPARE_OP_GREATER_OR_EQUAL;
    case D3D11_COMPARISON_ALWAYS: return VK_COMPARE_OP_ALWAYS;
    default: return VK_COMPARE_OP_NEVER;
  }
}

VkStencilOp toVkStencilOp(uint32_t op) {
  switch (op) {
    case D3D11_STENCIL_OP_ZERO: return VK_STENCIL_OP_ZERO;
    case D3D11_STENCIL_OP_REPLACE: return VK_STENCIL_OP_REPLACE;
    case D3D11_STENCIL_OP_INCR_SAT: return VK_STENCIL_OP_INCREMENT_AND_CLAMP;
    case D3D11_STENCIL_OP_DECR_SAT: return VK_STENCIL_OP_DECREMENT_AND_CLAMP;
    case D3D11_STENCIL_OP_INVERT: return VK_STENCIL_OP_INVERT;
    case D3D11_STENCIL_OP_INCR: return VK_STENCIL_OP_INCREMENT_AND_WRAP;
    case D3D11_STENCIL_OP_DECR: return VK_STENCIL_OP_DECREMENT_AND_WRAP;
    default: return VK_STENCIL_OP_KEEP;
  }
}

VkPrimitiveTopology toVkTopology(D3DPrimitiveTopology t, uint32_t* patchControlPoints) {
  if (patchControlPoints) *patchControlPoints = 0;
  switch (t) {
    case D3D11_PRIMITIVE_TOPOLOGY_POINTLIST: return VK_PRIMITIVE_TOPOLOGY_POINT_LIST;
    case D3D11_PRIMITIVE_TOPOLOGY_LINELIST: return VK_PRIMITIVE_TOPOLOGY_LINE_LIST;
    case D3D11_PRIMITIVE_TOPOLOGY_LINESTRIP: return VK_PRIMITIVE_TOPOLOGY_LINE_STRIP;
    case D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST: return VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
    case D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP: return VK_PRIMITIVE_TOPOLOGY_TRIANGLE_STRIP;
    case D3D11_PRIMITIVE_TOPOLOGY_LINELIST_ADJ: return VK_PRIMITIVE_TOPOLOGY_LINE_LIST_WITH_ADJACENCY;
    case D3D11_PRIMITIVE_TOPOLOGY_LINESTRIP_ADJ: return VK_PRIMITIVE_TOPOLOGY_LINE_STRIP_WITH_ADJACENCY;
    case D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST_ADJ: return VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST_WITH_ADJACENCY;
    case D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP_ADJ: return VK_PRIMITIVE_TOPOLOGY_TRIANGLE_STRIP_WITH_ADJACENCY;
    default: break;
  }
  if (t >= 33 && t <= 64) {
    if (patchControlPoints) *patchControlPoints = uint32_t(t) - 32;
    return VK_PRIMITIVE_TOPOLOGY_PATCH_LIST;
  }
  return VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
}

uint32_t topologyClass(D3DPrimitiveTopology t) {
  switch (toVkTopology(t, nullptr)) {
    case VK_PRIMITIVE_TOPOLOGY_POINT_LIST: return 0;
    case VK_PRIMITIVE_TOPOLOGY_LINE_LIST:
    case VK_PRIMITIVE_TOPOLOGY_LINE_STRIP:
    case VK_PRIMITIVE_TOPOLOGY_LINE_LIST_WITH_ADJACENCY:
    case VK_PRIMITIVE_TOPOLOGY_LINE_STRIP_WITH_ADJACENCY: return 1;
    case VK_PRIMITIVE_TOPOLOGY_PATCH_LIST: return 3;
    default: return 2;
  }
}

static VkSamplerAddressMode toVkAddress(uint32_t a) {
  switch (a) {
    case 1: return VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
    case 2: return VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_BORDER;
    case 3: return VK_SAMPLER_ADDRESS_MODE_MIRRORED_REPEAT;
    case 4: return VK_SAMPLER_ADDRESS_MODE_MIRROR_CLAMP_TO_EDGE;
    default: return VK_SAMPLER_ADDRESS_MODE_REPEAT;
  }
}

VkSamplerCreateInfo toVkSampler(const SamplerDesc& d) {
  VkSamplerCreateInfo s{VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO};
  uint32_t filter = d.mode & 31;
  bool aniso = (filter & 8) != 0;
  s.minFilter = (aniso || (filter & 1)) ? VK_FILTER_LINEAR : VK_FILTER_NEAREST;
  s.magFilter = (aniso || (filter & 2)) ? VK_FILTER_LINEAR : VK_FILTER_NEAREST;
  s.mipmapMode = (aniso || (filter & 4)) ? VK_SAMPLER_MIPMAP_MODE_LINEAR : VK_SAMPLER_MIPMAP_MODE_NEAREST;
  s.addressModeU = toVkAddress((d.mode >> 16) & 15);
  s.addressModeV = toVkAddress((d.mode >> 20) & 15);
  s.addressModeW = toVkAddress((d.mode >> 24) & 15);
  s.mipLodBias = 0.0f;
  s.anisotropyEnable = aniso ? VK_TRUE : VK_FALSE;
  s.maxAnisotropy = float(d.maxAnisotropy < 1 ? 1 : (d.maxAnisotropy > 16 ? 16 : d.maxAnisotropy));
  s.compareEnable = (filter & 16) ? VK_TRUE : VK_FALSE;
  s.compareOp = toVkCompare(d.comparisonFunc);
  // Vulkan wants 0 <= minLod <= maxLod; Direct3D's "whole chain" range is -1e-37 .. 1e37.
  s.minLod = d.minLod < 0.0f ? 0.0f : d.minLod;
  s.maxLod = d.maxLod < s.minLod ? s.minLod : d.maxLod;
  // Vulkan has fixed border colours: pick the one nearest to the requested one.
  const float* b = d.borderColour;
  if (b[3] == 0.0f)
    s.borderColor = VK_BORDER_COLOR_FLOAT_TRANSPARENT_BLACK;
  else if (b[0] + b[1] + b[2] >= 1.5f)
    s.borderColor = VK_BORDER_COLOR_FLOAT_OPAQUE_WHITE;
  else
    s.borderColor = VK_BORDER_COLOR_FLOAT_OPAQUE_BLACK;
  return s;
}

VkIndexType toVkIndexType(DxgiFormat f) {
  return f == DXGI_FORMAT_R32_UINT ? VK_INDEX_TYPE_UINT32 : VK_INDEX_TYPE_UINT16;
}

uint32_t spirvImageFormat(VkFormat f) {
  switch (f) {
    case VK_FORMAT_R32G32B32A32_SFLOAT: return 1;
    case VK_FORMAT_R16G16B16A16_SFLOAT: return 2;
    case VK_FORMAT_R32_SFLOAT: return 3;
    case VK_FORMAT_R8G8B8A8_UNORM: return 4;
    case VK_FORMAT_R8G8B8A8_SNORM: return 5;
    case VK_FORMAT_R32G32_SFLOAT: return 6;
    case VK_FORMAT_R16G16_SFLOAT: return 7;
    case VK_FORMAT_R16_SFLOAT: return 9;
    case VK_FORMAT_R16G16B16A16_UNORM: return 10;
    case VK_FORMAT_R16G16_UNORM: return 12;
    case VK_FORMAT_R8G8_UNORM: return 13;
    case VK_FORMAT_R16_UNORM: return 14;
    case VK_FORMAT_R8_UNORM: return 15;
    case VK_FORMAT_R16G16B16A16_SNORM: return 16;
    case VK_FORMAT_R16G16_SNORM: return 17;
    case VK_FORMAT_R16_SNORM: return 19;
    case VK_FORMAT_R32G32B32A32_SINT: return 21;
    case VK_FORMAT_R16G16B16A16_SINT: return 22;
    case VK_FORMAT_R8G8B8A8_SINT: return 23;
    case VK_FORMAT_R32_SINT: return 24;
    case VK_FORMAT_R32G32_SINT: return 25;
    case VK_FORMAT_R16G16_SINT: return 26;
    case VK_FORMAT_R16_SINT: return 28;
    case VK_FORMAT_R32G32B32A32_UINT: return 30;
    case VK_FORMAT_R16G16B16A16_UINT: return 31;
    case VK_FORMAT_R8G8B8A8_UINT: return 32;
    case VK_FORMAT_R32_UINT: return 33;
    case VK_FORMAT_R32G32_UINT: return 35;
    case VK_FORMAT_R16G16_UINT: return 36;
    case VK_FORMAT_R16_UINT: return 38;
    case VK_FORMAT_R8_UINT: return 39;
    default: return 0;
  }
}

const char* vkFormatName(VkFormat f) {
  switch (f) {
    case VK_FORMAT_R8_UNORM: return "R8_UNORM";
    case VK_FORMAT_R8G8B8A8_UNORM: return "R8G8B8A8_UNORM";
    case VK_FORMAT_R8G8B8A8_SRGB: return "R8G8B8A8_SRGB";
    case VK_FORMAT_B8G8R8A8_UNORM: return "B8G8R8A8_UNORM";
    case VK_FORMAT_B8G8R8A8_SRGB: return "B8G8R8A8_SRGB";
    case VK_FORMAT_R16_UNORM: return "R16_UNORM";
    case VK_FORMAT_R16_SINT: return "R16_SINT";
    case VK_FORMAT_R16G16B16A16_SNORM: return "R16G16B16A16_SNORM";
    case VK_FORMAT_R16G16_SFLOAT: return "R16G16_SFLOAT";
    case VK_FORMAT_R16G16B16A16_SFLOAT: return "R16G16B16A16_SFLOAT";
    case VK_FORMAT_R32_SFLOAT: return "R32_SFLOAT";
    case VK_FORMAT_R32G32_SFLOAT: return "R32G32_SFLOAT";
    case VK_FORMAT_R32G32B32A32_SFLOAT: return "R32G32B32A32_SFLOAT";
    case VK_FORMAT_D32_SFLOAT: return "D32_SFLOAT";
    case VK_FORMAT_D24_UNORM_S8_UINT: return "D24_UNORM_S8_UINT";
    case VK_FORMAT_D32_SFLOAT_S8_UINT: return "D32_SFLOAT_S8_UINT";
    case VK_FORMAT_BC1_RGBA_UNORM_BLOCK: return "BC1_UNORM";
    case VK_FORMAT_BC1_RGBA_SRGB_BLOCK: return "BC1_SRGB";
    case VK_FORMAT_BC2_UNORM_BLOCK: return "BC2_UNORM";
    case VK_FORMAT_BC2_SRGB_BLOCK: return "BC2_SRGB";
    case VK_FORMAT_BC3_UNORM_BLOCK: return "BC3_UNORM";
    case VK_FORMAT_BC3_SRGB_BLOCK: return "BC3_SRGB";
    default: return "(a Vulkan format)";
  }
}

std::string imageUsageText(VkImageUsageFlags usage) {
  static const std::pair<VkImageUsageFlags, const char*> kNames[] = {
      {VK_IMAGE_USAGE_SAMPLED_BIT, "shader resource"},
      {VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT, "render target"},
      {VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT, "depth target"},
      {VK_IMAGE_USAGE_STORAGE_BIT, "unordered access"},
      {VK_IMAGE_USAGE_TRANSFER_DST_BIT, "copy destination"},
      {VK_IMAGE_USAGE_TRANSFER_SRC_BIT, "copy source"},
  };
  std::string text;
  for (const auto& [bit, name] : kNames) {
    if (!(usage & bit)) continue;
    if (!text.empty()) text += " and ";
    text += name;
  }
  return text.empty() ? std::string("nothing") : text;
}

VkFormat vkFormatFromSpirv(uint32_t spirvFormat) {
  static const VkFormat kCandidates[] = {
      VK_FORMAT_R32G32B32A32_SFLOAT, VK_FORMAT_R16G16B16A16_SFLOAT, VK_FORMAT_R32_SFLOAT, VK_FORMAT_R8G8B8A8_UNORM,
      VK_FORMAT_R8G8B8A8_SNORM,      VK_FORMAT_R32G32_SFLOAT,       VK_FORMAT_R16G16_SFLOAT, VK_FORMAT_R16_SFLOAT,
      VK_FORMAT_R16G16B16A16_UNORM,  VK_FORMAT_R16G16_UNORM,        VK_FORMAT_R8G8_UNORM,  VK_FORMAT_R16_UNORM,
      VK_FORMAT_R8_UNORM,            VK_FORMAT_R16G16B16A16_SNORM,  VK_FORMAT_R16G16_SNORM, VK_FORMAT_R16_SNORM,
      VK_FORMAT_R32G32B32A32_SINT,   VK_FORMAT_R16G16B16A16_SINT,   VK_FORMAT_R8G8B8A8_SINT, VK_FORMAT_R32_SINT,
      VK_FORMAT_R32G32_SINT,         VK_FORMAT_R16G16_SINT,         VK_FORMAT_R16_SINT,    VK_FORMAT_R32G32B32A32_UINT,
      VK_FORMAT_R16G16B16A16_UINT,   VK_FORMAT_R8G8B8A8_UINT,       VK_FORMAT_R32_UINT,    VK_FORMAT_R32G32_UINT,
      VK_FORMAT_R16G16_UINT,         VK_FORMAT_R16_UINT,            VK_FORMAT_R8_UINT};
  for (VkFormat f : kCandidates)
    if (spirvImageFormat(f) == spirvFormat) return f;
  return VK_FORMAT_UNDEFINED;
}

const char* vkResultText(VkResult r) {
  switch (r) {
    case VK_SUCCESS: return "success";
    case VK_ERROR_OUT_OF_HOST_MEMORY: return "out of host memory";
    case VK_ERROR_OUT_OF_DEVICE_MEMORY: return "out of device memory";
    case VK_ERROR_INITIALIZATION_FAILED: return "initialization failed";
    case VK_ERROR_DEVICE_LOST: return "device lost";
    case VK_ERROR_LAYER_NOT_PRESENT: return "layer not present";
    case VK_ERROR_EXTENSION_NOT_PRESENT: return "extension not present";
    case VK_ERROR_FEATURE_NOT_PRESENT: return "feature not present";
    case VK_ERROR_INCOMPATIBLE_DRIVER: return "incompatible driver (no Vulkan 1.3 device)";
    case VK_ERROR_OUT_OF_DATE_KHR: return "surface out of date";
    case VK_ERROR_SURFACE_LOST_KHR: return "surface lost";
    case VK_SUBOPTIMAL_KHR: return "suboptimal";
    default: return "unknown Vulkan error";
  }
}

// SPIR-V: find the variable decorated with (DescriptorSet 0, Binding b), follow its pointer
// type to the OpTypeImage and set its format operand. The compiler gives every storage image
// of one declared type a single OpTypeImage; when another variable shares it (or a type with
// the wanted format exists already: types must stay unique), the variable gets an image type
// and pointer type of its own and its loads are retyped.
namespace {

// SPIR-V image formats beyond the basic set (four-channel 8/16/32-bit and one-channel 32-bit):
// a module that declares one must declare StorageImageExtendedFormats, which every Vulkan
// device accepts without a feature.
bool extendedStorageFormat(uint32_t format) {
  return (format >= 6 && format <= 20) || (format >= 25 && format <= 29) || (format >= 34 && format <= 39);
}

bool patchImageFormat(std::vector<uint32_t>& spirv, uint32_t binding, uint32_t format);

}  // namespace

bool patchStorageFormat(std::vector<uint32_t>& spirv, uint32_t binding, uint32_t format) {
  constexpr uint32_t kStorageImageExtendedFormats = 49;
  if (!patchImageFormat(spirv, binding, format)) return false;
  if (extendedStorageFormat(format)) addCapability(spirv, kStorageImageExtendedFormats);
  return true;
}

namespace {

bool patchImageFormat(std::vector<uint32_t>& spirv, uint32_t binding, uint32_t format) {
  constexpr uint32_t kOpDecorate = 71, kOpVariable = 59, kOpTypePointer = 32, kOpTypeImage = 25,
                     kOpTypeSampledImage = 27, kOpTypeArray = 28, kOpTypeRuntimeArray = 29, kOpLoad = 61;
  constexpr uint32_t kDecorationBinding = 33;
  if (spirv.size() < 5) return false;
  auto opAt = [&](size_t i) { return spirv[i] & 0xFFFF; };
  auto countAt = [&](size_t i) { return spirv[i] >> 16; };
  uint32_t variable = 0;
  for (size_t i = 5; i < spirv.size();) {
    uint32_t count = countAt(i);
    if (count == 0 || i + count > spirv.size()) return false;
    if (opAt(i) == kOpDecorate && count >= 4 && spirv[i + 2] == kDecorationBinding && spirv[i + 3] == binding)
      variable = spirv[i + 1];
    i += count;
  }
  if (!variable) return false;
  // The stream is well formed from here on: every instruction has a length inside it.
  uint32_t pointerType = 0;
  size_t variableAt = 0;
  for (size_t i = 5; i < spirv.size(); i += countAt(i))
    if (opAt(i) == kOpVariable && countAt(i) >= 3 && spirv[i + 2] == variable) {
      pointerType = spirv[i + 1];
      variableAt = i;
    }
  if (!pointerType) return false;
  uint32_t image = 0, storageClass = 0;
  for (size_t i = 5; i < spirv.size(); i += countAt(i))
    if (opAt(i) == kOpTypePointer && countAt(i) >= 4 && spirv[i + 1] == pointerType) {
      storageClass = spirv[i + 2];
      image = spirv[i + 3];
    }
  size_t imageAt = 0;
  for (size_t i = 5; i < spirv.size(); i += countAt(i))
    if (opAt(i) == kOpTypeImage && countAt(i) >= 9 && spirv[i + 1] == image) imageAt = i;
  if (!imageAt) return false;
  if (spirv[imageAt + 8] == format) return true;

  // Is the image type used by anything but this variable? Is there a twin with the format?
  bool shared = false;
  uint32_t twin = 0, twinPointer = 0;
  const uint32_t imageWords = countAt(imageAt);
  for (size_t i = 5; i < spirv.size(); i += countAt(i)) {
    const uint32_t op = opAt(i), count = countAt(i);
    if (op == kOpTypePointer && count >= 4 && spirv[i + 3] == image && spirv[i + 1] != pointerType) shared = true;
    if (op == kOpVariable && count >= 3 && spirv[i + 1] == pointerType && spirv[i + 2] != variable) shared = true;
    if ((op == kOpTypeSampledImage || op == kOpTypeArray || op == kOpTypeRuntimeArray) && count >= 3 &&
        spirv[i + 2] == image)
      shared = true;
    if (op == kOpTypeImage && count == imageWords && spirv[i + 1] != image && spirv[i + 8] == format &&
        std::equal(spirv.data() + i + 2, spirv.data() + i + 8, spirv.data() + imageAt + 2) &&
        std::equal(spirv.data() + i + 9, spirv.data() + i + count, spirv.data() + imageAt + 9))
      twin = spirv[i + 1];
  }
  if (!shared && !twin) {
    spirv[imageAt + 8] = format;
    return true;
  }
  for (size_t i = 5; twin && i < spirv.size(); i += countAt(i))
    if (opAt(i) == kOpTypePointer && countAt(i) >= 4 && spirv[i + 2] == storageClass && spirv[i + 3] == twin)
      twinPointer = spirv[i + 1];
  // The variable is taken out and put back after its new pointer type, which follows the
  // image type it points to (declarations come before their uses; the twin may come late).
  auto typeAt = [&](uint32_t id) {
    size_t i = 5;
    while (i < spirv.size() && !(opAt(i) >= kOpTypeImage && opAt(i) <= kOpTypePointer && spirv[i + 1] == id))
      i += countAt(i);
    return i;
  };
  auto insertAfter = [&](size_t at, const std::vector<uint32_t>& words) {
    spirv.insert(spirv.begin() + std::ptrdiff_t(at + countAt(at)), words.begin(), words.end());
  };
  const std::vector<uint32_t> declaration(spirv.begin() + std::ptrdiff_t(variableAt),
                                          spirv.begin() + std::ptrdiff_t(variableAt + countAt(variableAt)));
  spirv.erase(spirv.begin() + std::ptrdiff_t(variableAt),
              spirv.begin() + std::ptrdiff_t(variableAt + declaration.size()));
  if (!twin) {
    twin = spirv[3]++;  // the id bound
    std::vector<uint32_t> copy(spirv.begin() + std::ptrdiff_t(imageAt),
                               spirv.begin() + std::ptrdiff_t(imageAt + imageWords));
    copy[1] = twin;
    copy[8] = format;
    insertAfter(imageAt, copy);
  }
  if (!twinPointer) {
    twinPointer = spirv[3]++;
    insertAfter(typeAt(twin), {kOpTypePointer | (4u << 16), twinPointer, storageClass, twin});
  }
  std::vector<uint32_t> moved = declaration;
  moved[1] = twinPointer;
  insertAfter(typeAt(twinPointer), moved);
  for (size_t i = 5; i < spirv.size(); i += countAt(i))
    if (opAt(i) == kOpLoad && countAt(i) >= 4 && spirv[i + 3] == variable) spirv[i + 1] = twin;
  return true;
}

}  // namespace

uint32_t storageImageAccess(const std::vector<uint32_t>& spirv, uint32_t binding) {
  constexpr uint32_t kOpDecorate = 71, kOpLoad = 61, kOpImageRead = 98, kOpImageWrite = 99,
                     kOpImageTexelPointer = 60, kDecorationBinding = 33;
  if (spirv.size() < 5) return 0;
  std::vector<uint32_t> variables;
  for (size_t i = 5; i < spirv.size();) {
    const uint32_t op = spirv[i] & 0xFFFF, count = spirv[i] >> 16;
    if (count == 0 || i + count > spirv.size()) return 3;  // not ours to judge: assume both
    if (op == kOpDecorate && count >= 4 && spirv[i + 2] == kDecorationBinding && spirv[i + 3] == binding)
      variables.push_back(spirv[i + 1]);
    i += count;
  }
  auto has = [](const std::vector<uint32_t>& list, uint32_t id) {
    return std::find(list.begin(), list.end(), id) != list.end();
  };
  std::vector<uint32_t> loads;
  uint32_t access = 0;
  for (size_t i = 5; i < spirv.size(); i += spirv[i] >> 16) {
    const uint32_t op = spirv[i] & 0xFFFF, count = spirv[i] >> 16;
    if (op == kOpLoad && count >= 4 && has(variables, spirv[i + 3])) loads.push_back(spirv[i + 2]);
    if (op == kOpImageRead && count >= 5 && has(loads, spirv[i + 3])) access |= 1;
    if (op == kOpImageWrite && count >= 4 && has(loads, spirv[i + 1])) access |= 2;
    if (op == kOpImageTexelPointer && count >= 6 && has(variables, spirv[i + 3])) access |= 3;  // atomics
  }
  return access;
}

void offsetBindings(std::vector<uint32_t>& spirv, uint32_t delta) {
  constexpr uint32_t kOpDecorate = 71, kDecorationBinding = 33;
  if (!delta || spirv.size() < 5) return;
  for (size_t i = 5; i < spirv.size();) {
    const uint32_t op = spirv[i] & 0xFFFF, count = spirv[i] >> 16;
    if (count == 0 || i + count > spirv.size()) return;
    if (op == kOpDecorate && count >= 4 && spirv[i + 2] == kDecorationBinding) spirv[i + 3] += delta;
    i += count;
  }
}

bool depthCompared(const std::vector<uint32_t>& spirv, uint32_t binding) {
  constexpr uint32_t kOpDecorate = 71, kOpLoad = 61, kOpSampledImage = 86, kDecorationBinding = 33;
  // Sampling with a depth reference: Dref (implicit, explicit, projective), Dref gathers and
  // their sparse forms.
  auto isDref = [](uint32_t op) {
    return op == 89 || op == 90 || op == 93 || op == 94 || op == 97 || op == 307 || op == 308 || op == 311 ||
           op == 312 || op == 316;
  };
  if (spirv.size() < 5) return false;
  std::vector<uint32_t> ids;  // the variable, its loads and the sampled images made of them
  for (size_t i = 5; i < spirv.size();) {
    const uint32_t op = spirv[i] & 0xFFFF, count = spirv[i] >> 16;
    if (count == 0 || i + count > spirv.size()) return false;
    if (op == kOpDecorate && count >= 4 && spirv[i + 2] == kDecorationBinding && spirv[i + 3] == binding)
      ids.push_back(spirv[i + 1]);
    i += count;
  }
  auto has = [&ids](uint32_t id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); };
  for (size_t i = 5; i < spirv.size(); i += spirv[i] >> 16) {
    const uint32_t op = spirv[i] & 0xFFFF, count = spirv[i] >> 16;
    if ((op == kOpLoad || op == kOpSampledImage) && count >= 4 && has(spirv[i + 3])) ids.push_back(spirv[i + 2]);
    if (isDref(op) && count >= 4 && has(spirv[i + 3])) return true;
  }
  return false;
}

void addCapability(std::vector<uint32_t>& spirv, uint32_t capability) {
  constexpr uint32_t kOpCapability = 17;
  if (spirv.size() < 5) return;
  size_t at = 5;
  for (size_t i = 5; i < spirv.size();) {
    const uint32_t op = spirv[i] & 0xFFFF, count = spirv[i] >> 16;
    if (count == 0 || i + count > spirv.size()) return;
    if (op != kOpCapability) break;  // capabilities come first
    if (count >= 2 && spirv[i + 1] == capability) return;
    i += count;
    at = i;
  }
  const uint32_t words[2] = {kOpCapability | (2u << 16), capability};
  spirv.insert(spirv.begin() + std::ptrdiff_t(at), words, words + 2);
}

// Removes the HLSL reflection decorations (semantics, user types, counter-buffer links) and
// their extensions, for drivers without VK_GOOGLE_hlsl_functionality1 /
// VK_GOOGLE_decorate_string. Locations are already final when this runs.
std::vector<uint32_t> stripHlslReflection(const std::vector<uint32_t>& spirv) {
  constexpr uint32_t kOpExtension = 10, kOpDecorateId = 332, kOpDecorateString = 5632,
                     kOpMemberDecorateString = 5633, kDecorationCounterBuffer = 5634;
  if (spirv.size() < 5) return spirv;
  std::vector<uint32_t> out(spirv.begin(), spirv.begin() + 5);
  out.reserve(spirv.size());
  for (size_t i = 5; i < spirv.size();) {
    uint32_t op = spirv[i] & 0xFFFF, count = spirv[i] >> 16;
    if (count == 0 || i + count > spirv.size()) return spirv;  // not ours to repair
    bool drop = op == kOpDecorateString || op == kOpMemberDecorateString ||
                (op == kOpDecorateId && count >= 3 && spirv[i + 2] == kDecorationCounterBuffer);
    if (op == kOpExtension && count >= 2) {
      const char* name = reinterpret_cast<const char*>(&spirv[i + 1]);
      size_t maxLength = (count - 1) * 4;
      std::string text(name, strnlen(name, maxLength));
      drop = text == "SPV_GOOGLE_hlsl_functionality1" || text == "SPV_GOOGLE_decorate_string" ||
             text == "SPV_GOOGLE_user_type";
    }
    if (!drop) out.insert(out.end(), spirv.begin() + i, spirv.begin() + i + count);
    i += count;
  }
  return out;
}

}  // namespace gfxbackend

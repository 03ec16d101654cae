#include "bench/floor/FloorPasses.h"

// Vulkan structures are written {sType} with the rest zeroed, as the device layer does.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#define ENABLE_HLSL
#include <glslang/Public/ResourceLimits.h>
#include <glslang/Public/ShaderLang.h>
#include <glslang/SPIRV/GlslangToSpv.h>
#include <vulkan/vulkan.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace floorpass {

namespace {

constexpr VkFormat kFormat = VK_FORMAT_R16G16B16A16_SFLOAT;

const char* kVertexSource = R"(#version 450
layout(location = 0) out vec2 uv;
void main() {
  uv = vec2((gl_VertexIndex << 1) & 2, gl_VertexIndex & 2);
  gl_Position = vec4(uv * 2.0 - 1.0, 0.0, 1.0);
}
)";

bool compileGlsl(EShLanguage stage, const std::string& source, std::vector<uint32_t>& spirv, std::string& log) {
  static const bool initialised = glslang::InitializeProcess();
  (void)initialised;
  glslang::TShader shader(stage);
  const char* text = source.c_str();
  shader.setStrings(&text, 1);
  shader.setEnvInput(glslang::EShSourceGlsl, stage, glslang::EShClientVulkan, 100);
  shader.setEnvClient(glslang::EShClientVulkan, glslang::EShTargetVulkan_1_3);
  shader.setEnvTarget(glslang::EShTargetSpv, glslang::EShTargetSpv_1_3);
  const EShMessages messages = EShMessages(EShMsgSpvRules | EShMsgVulkanRules);
  if (!shader.parse(GetDefaultResources(), 450, false, messages)) {
    log = shader.getInfoLog();
    return false;
  }
  glslang::TProgram program;
  program.addShader(&shader);
  if (!program.link(messages)) {
    log = program.getInfoLog();
    return false;
  }
  glslang::GlslangToSpv(*program.getIntermediate(stage), spirv);
  return true;
}

uint16_t toHalf(float f) {
  uint32_t x;
  std::memcpy(&x, &f, 4);
  const uint32_t sign = (x >> 16) & 0x8000;
  const int32_t exponent = int32_t((x >> 23) & 0xFF) - 112;
  if (exponent <= 0) return uint16_t(sign);
  if (exponent >= 31) return uint16_t(sign | 0x7C00);
  return uint16_t(sign | (uint32_t(exponent) << 10) | ((x & 0x7FFFFF) >> 13));
}

float fromHalf(uint16_t h) {
  const uint32_t sign = uint32_t(h & 0x8000) << 16, exponent = (h >> 10) & 0x1F, mantissa = h & 0x3FF;
  uint32_t x = sign;
  if (exponent == 31) x |= 0x7F800000 | (mantissa << 13);
  else if (exponent != 0) x |= ((exponent + 112) << 23) | (mantissa << 13);
  float f;
  std::memcpy(&f, &x, 4);
  return f;
}

}  // namespace

std::string floorFragmentSource(int fetches) {
  // Taps on a 6-wide grid of half-texel offsets so that every fetch really filters four
  // texels; the multiply-add per fetch is the "little arithmetic" an effect does.
  return "#version 450\n#define FETCHES " + std::to_string(fetches) + R"(
layout(binding = 0) uniform sampler2D picture;
layout(push_constant) uniform Pass { vec2 texel; float gain; } pass;
layout(location = 0) in vec2 uv;
layout(location = 0) out vec4 colour;
void main() {
  vec4 sum = vec4(0.0);
  for (int i = 0; i < FETCHES; ++i) {
    vec2 offset = vec2(float(i % 6) - 2.5, float(i / 6) - 2.5) * 1.5 * pass.texel;
    sum = sum * 0.96 + texture(picture, uv + offset) * (0.5 + 0.01 * float(i));
  }
  colour = sum * pass.gain;
}
)";
}

double interpolateFloor(const std::map<int, double>& ms, double fetches, double areaFraction) {
  if (ms.empty()) return 0;
  if (ms.size() == 1) return ms.begin()->second * areaFraction;
  auto upper = ms.lower_bound(int(std::ceil(fetches)));
  if (upper == ms.end()) --upper;
  if (upper == ms.begin()) ++upper;
  auto lower = std::prev(upper);
  const double t = (fetches - lower->first) / double(upper->first - lower->first);
  const double value = lower->second + (upper->second - lower->second) * t;
  return std::max(value, 0.0) * areaFraction;
}

struct FloorRig::Impl {
  uint32_t width, height;
  VkInstance instance = VK_NULL_HANDLE;
  VkPhysicalDevice physical = VK_NULL_HANDLE;
  VkDevice device = VK_NULL_HANDLE;
  VkQueue queue = VK_NULL_HANDLE;
  uint32_t family = 0;
  float timestampPeriodNs = 0;
  bool timestamps = false;
  VkCommandPool pool = VK_NULL_HANDLE;
  VkCommandBuffer cmd = VK_NULL_HANDLE;
  VkFence fence = VK_NULL_HANDLE;
  VkQueryPool queries = VK_NULL_HANDLE;
  uint32_t queryCapacity = 0;
  struct Image {
    VkImage image = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    VkImageView view = VK_NULL_HANDLE;
  };
  Image picture, targets[2];
  VkBuffer readback = VK_NULL_HANDLE;
  VkDeviceMemory readbackMemory = VK_NULL_HANDLE;
  VkSampler sampler = VK_NULL_HANDLE;
  VkDescriptorSetLayout setLayout = VK_NULL_HANDLE;
  VkDescriptorPool descriptorPool = VK_NULL_HANDLE;
  VkDescriptorSet set = VK_NULL_HANDLE;
  VkPipelineLayout layout = VK_NULL_HANDLE;
  VkShaderModule vertex = VK_NULL_HANDLE;
  std::map<int, std::pair<VkShaderModule, VkPipeline>> pipelines;
  int lastTarget = 0;

  uint32_t memoryType(uint32_t bits, VkMemoryPropertyFlags wanted) {
    VkPhysicalDeviceMemoryProperties props;
    vkGetPhysicalDeviceMemoryProperties(physical, &props);
    for (uint32_t i = 0; i < props.memoryTypeCount; ++i)
      if ((bits & (1u << i)) && (props.memoryTypes[i].propertyFlags & wanted) == wanted) return i;
    return UINT32_MAX;
  }

  bool createBuffer(VkDeviceSize size, VkBufferUsageFlags usage, VkBuffer& buffer, VkDeviceMemory& memory) {
    VkBufferCreateInfo info{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
    info.size = size;
    info.usage = usage;
    if (vkCreateBuffer(device, &info, nullptr, &buffer) != VK_SUCCESS) return false;
    VkMemoryRequirements req;
    vkGetBufferMemoryRequirements(device, buffer, &req);
    VkMemoryAllocateInfo alloc{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
    alloc.allocationSize = req.size;
    alloc.memoryTypeIndex = memoryType(req.memoryTypeBits, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT);
    if (alloc.memoryTypeIndex == UINT32_MAX || vkAllocateMemory(device, &alloc, nullptr, &memory) != VK_SUCCESS) return false;
    return vkBindBufferMemory(device, buffer, memory, 0) == VK_SUCCESS;
  }

  bool createImage(Image& img, VkImageUsageFlags usage) {
    VkImageCreateInfo info{VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO};
    info.imageType = VK_IMAGE_TYPE_2D;
    info.format = kFormat;
    info.extent = {width, height, 1};
    info.mipLevels = info.arrayLayers = 1;
    info.samples = VK_SAMPLE_COUNT_1_BIT;
    info.tiling = VK_IMAGE_TILING_OPTIMAL;
    info.usage = usage;
    if (vkCreateImage(device, &info, nullptr, &img.image) != VK_SUCCESS) return false;
    VkMemoryRequirements req;
    vkGetImageMemoryRequirements(device, img.image, &req);
    VkMemoryAllocateInfo alloc{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
    alloc.allocationSize = req.size;
    alloc.memoryTypeIndex = memoryType(req.memoryTypeBits, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
    if (alloc.memoryTypeIndex == UINT32_MAX) alloc.memoryTypeIndex = memoryType(req.memoryTypeBits, 0);
    if (vkAllocateMemory(device, &alloc, nullptr, &img.memory) != VK_SUCCESS) return false;
    if (vkBindImageMemory(device, img.image, img.memory, 0) != VK_SUCCESS) return false;
    VkImageViewCreateInfo view{VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO};
    view.image = img.image;
    view.viewType = VK_IMAGE_VIEW_TYPE_2D;
    view.format = kFormat;
    view.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    return vkCreateImageView(device, &view, nullptr, &img.view) == VK_SUCCESS;
  }

  void barrier(VkImage image, VkImageLayout from, VkImageLayout to, VkAccessFlags srcAccess, VkAccessFlags dstAccess,
               VkPipelineStageFlags srcStage, VkPipelineStageFlags dstStage) {
    VkImageMemoryBarrier b{VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER};
    b.srcAccessMask = srcAccess;
    b.dstAccessMask = dstAccess;
    b.oldLayout = from;
    b.newLayout = to;
    b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    b.image = image;
    b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    vkCmdPipelineBarrier(cmd, srcStage, dstStage, 0, 0, nullptr, 0, nullptr, 1, &b);
  }

  bool submitAndWait() {
    VkSubmitInfo submit{VK_STRUCTURE_TYPE_SUBMIT_INFO};
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &cmd;
    vkResetFences(device, 1, &fence);
    if (vkQueueSubmit(queue, 1, &submit, fence) != VK_SUCCESS) return false;
    return vkWaitForFences(device, 1, &fence, VK_TRUE, UINT64_MAX) == VK_SUCCESS;
  }

  void begin() {
    vkResetCommandBuffer(cmd, 0);
    VkCommandBufferBeginInfo info{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
    info.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    vkBeginCommandBuffer(cmd, &info);
  }

  std::string init() {
    VkApplicationInfo app{VK_STRUCTURE_TYPE_APPLICATION_INFO};
    app.pApplicationName = "floor";
    app.apiVersion = VK_API_VERSION_1_3;
    VkInstanceCreateInfo ici{VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
    ici.pApplicationInfo = &app;
    if (vkCreateInstance(&ici, nullptr, &instance) != VK_SUCCESS) return "vkCreateInstance failed";
    uint32_t count = 0;
    vkEnumeratePhysicalDevices(instance, &count, nullptr);
    if (count == 0) return "no Vulkan device";
    std::vector<VkPhysicalDevice> devices(count);
    vkEnumeratePhysicalDevices(instance, &count, devices.data());
    physical = devices[0];
    VkPhysicalDeviceProperties props;
    vkGetPhysicalDeviceProperties(physical, &props);
    timestampPeriodNs = props.limits.timestampPeriod;
#if defined(__GLIBC__)
    // The player keeps a CPU driver's freed heap for its next pass (each pass allocates and
    // frees its binned work); so does the floor, or the ratios would count page faults.
    if (props.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU) mallopt(M_TRIM_THRESHOLD, 512 << 20);
#endif
    vkGetPhysicalDeviceQueueFamilyProperties(physical, &count, nullptr);
    std::vector<VkQueueFamilyProperties> families(count);
    vkGetPhysicalDeviceQueueFamilyProperties(physical, &count, families.data());
    family = UINT32_MAX;
    for (uint32_t i = 0; i < count; ++i)
      if (families[i].queueFlags & VK_QUEUE_GRAPHICS_BIT) {
        family = i;
        timestamps = families[i].timestampValidBits > 0 && timestampPeriodNs > 0;
        break;
      }
    if (family == UINT32_MAX) return "no graphics queue";

    const float priority = 1.0f;
    VkDeviceQueueCreateInfo qci{VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
    qci.queueFamilyIndex = family;
    qci.queueCount = 1;
    qci.pQueuePriorities = &priority;
    VkPhysicalDeviceVulkan13Features v13{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_FEATURES};
    v13.dynamicRendering = VK_TRUE;
    VkDeviceCreateInfo dci{VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO};
    dci.pNext = &v13;
    dci.queueCreateInfoCount = 1;
    dci.pQueueCreateInfos = &qci;
    if (vkCreateDevice(physical, &dci, nullptr, &device) != VK_SUCCESS) return "vkCreateDevice failed";
    vkGetDeviceQueue(device, family, 0, &queue);

    VkCommandPoolCreateInfo pci{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
    pci.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
    pci.queueFamilyIndex = family;
    vkCreateCommandPool(device, &pci, nullptr, &pool);
    VkCommandBufferAllocateInfo cai{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
    cai.commandPool = pool;
    cai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    cai.commandBufferCount = 1;
    vkAllocateCommandBuffers(device, &cai, &cmd);
    VkFenceCreateInfo fci{VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
    vkCreateFence(device, &fci, nullptr, &fence);

    const VkImageUsageFlags targetUsage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
    if (!createImage(picture, VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT) ||
        !createImage(targets[0], targetUsage) || !createImage(targets[1], targetUsage))
      return "could not create the RGBA16F images";
    const VkDeviceSize bytes = VkDeviceSize(width) * height * 8;
    if (!createBuffer(bytes, VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT, readback, readbackMemory))
      return "could not create the staging buffer";

    // A smooth picture with detail, uploaded once.
    void* mapped = nullptr;
    vkMapMemory(device, readbackMemory, 0, bytes, 0, &mapped);
    auto* texels = static_cast<uint16_t*>(mapped);
    for (uint32_t y = 0; y < height; ++y)
      for (uint32_t x = 0; x < width; ++x) {
        const float v = 0.5f + 0.4f * std::sin(float(x) * 0.07f) * std::cos(float(y) * 0.05f);
        uint16_t* t = texels + (size_t(y) * width + x) * 4;
        t[0] = toHalf(v), t[1] = toHalf(v * 0.8f), t[2] = toHalf(v * 0.6f), t[3] = toHalf(1.0f);
      }
    vkUnmapMemory(device, readbackMemory);
    begin();
    barrier(picture.image, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 0, VK_ACCESS_TRANSFER_WRITE_BIT,
            VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT);
    VkBufferImageCopy copy{};
    copy.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    copy.imageExtent = {width, height, 1};
    vkCmdCopyBufferToImage(cmd, readback, picture.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &copy);
    barrier(picture.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL,
            VK_ACCESS_TRANSFER_WRITE_BIT, VK_ACCESS_SHADER_READ_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT,
            VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT);
    for (Image& t : targets)
      barrier(t.image, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL, 0, VK_ACCESS_SHADER_READ_BIT,
              VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT);
    vkEndCommandBuffer(cmd);
    if (!submitAndWait()) return "uploading the picture failed";

    VkSamplerCreateInfo sci{VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO};
    sci.magFilter = sci.minFilter = VK_FILTER_LINEAR;
    sci.mipmapMode = VK_SAMPLER_MIPMAP_MODE_NEAREST;
    sci.addressModeU = sci.addressModeV = sci.addressModeW = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
    vkCreateSampler(device, &sci, nullptr, &sampler);
    VkDescriptorSetLayoutBinding binding{0, VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1, VK_SHADER_STAGE_FRAGMENT_BIT, nullptr};
    VkDescriptorSetLayoutCreateInfo dsl{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
    dsl.bindingCount = 1;
    dsl.pBindings = &binding;
    vkCreateDescriptorSetLayout(device, &dsl, nullptr, &setLayout);
    VkDescriptorPoolSize size{VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1};
    VkDescriptorPoolCreateInfo dpi{VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO};
    dpi.maxSets = 1;
    dpi.poolSizeCount = 1;
    dpi.pPoolSizes = &size;
    vkCreateDescriptorPool(device, &dpi, nullptr, &descriptorPool);
    VkDescriptorSetAllocateInfo dai{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO};
    dai.descriptorPool = descriptorPool;
    dai.descriptorSetCount = 1;
    dai.pSetLayouts = &setLayout;
    vkAllocateDescriptorSets(device, &dai, &set);
    VkDescriptorImageInfo imageInfo{sampler, picture.view, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL};
    VkWriteDescriptorSet write{VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
    write.dstSet = set;
    write.descriptorCount = 1;
    write.descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
    write.pImageInfo = &imageInfo;
    vkUpdateDescriptorSets(device, 1, &write, 0, nullptr);
    VkPushConstantRange range{VK_SHADER_STAGE_FRAGMENT_BIT, 0, 16};
    VkPipelineLayoutCreateInfo pli{VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
    pli.setLayoutCount = 1;
    pli.pSetLayouts = &setLayout;
    pli.pushConstantRangeCount = 1;
    pli.pPushConstantRanges = &range;
    vkCreatePipelineLayout(device, &pli, nullptr, &layout);

    std::vector<uint32_t> spirv;
    std::string log;
    if (!compileGlsl(EShLangVertex, kVertexSource, spirv, log)) return "vertex shader: " + log;
    vertex = module(spirv);
    return {};
  }

  VkShaderModule module(const std::vector<uint32_t>& spirv) {
    VkShaderModuleCreateInfo info{VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO};
    info.codeSize = spirv.size() * 4;
    info.pCode = spirv.data();
    VkShaderModule m = VK_NULL_HANDLE;
    vkCreateShaderModule(device, &info, nullptr, &m);
    return m;
  }

  VkPipeline pipeline(int fetches, std::string& error) {
    auto found = pipelines.find(fetches);
    if (found != pipelines.end()) return found->second.second;
    std::vector<uint32_t> spirv;
    std::string log;
    if (!compileGlsl(EShLangFragment, floorFragmentSource(fetches), spirv, log)) {
      error = "fragment shader: " + log;
      return VK_NULL_HANDLE;
    }
    VkShaderModule fragment = module(spirv);
    VkPipelineShaderStageCreateInfo stages[2]{{VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO},
                                              {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO}};
    stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
    stages[0].module = vertex;
    stages[0].pName = "main";
    stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
    stages[1].module = fragment;
    stages[1].pName = "main";
    VkPipelineVertexInputStateCreateInfo vi{VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO};
    VkPipelineInputAssemblyStateCreateInfo ia{VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO};
    ia.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
    VkViewport viewport{0, 0, float(width), float(height), 0, 1};
    VkRect2D scissor{{0, 0}, {width, height}};
    VkPipelineViewportStateCreateInfo vp{VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO};
    vp.viewportCount = vp.scissorCount = 1;
    vp.pViewports = &viewport;
    vp.pScissors = &scissor;
    VkPipelineRasterizationStateCreateInfo rs{VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO};
    rs.polygonMode = VK_POLYGON_MODE_FILL;
    rs.cullMode = VK_CULL_MODE_NONE;
    rs.lineWidth = 1;
    VkPipelineMultisampleStateCreateInfo ms{VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO};
    ms.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;
    VkPipelineColorBlendAttachmentState blend{};
    blend.colorWriteMask = 0xF;
    VkPipelineColorBlendStateCreateInfo cb{VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO};
    cb.attachmentCount = 1;
    cb.pAttachments = &blend;
    VkPipelineRenderingCreateInfo rendering{VK_STRUCTURE_TYPE_PIPELINE_RENDERING_CREATE_INFO};
    rendering.colorAttachmentCount = 1;
    rendering.pColorAttachmentFormats = &kFormat;
    VkGraphicsPipelineCreateInfo gpi{VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO};
    gpi.pNext = &rendering;
    gpi.stageCount = 2;
    gpi.pStages = stages;
    gpi.pVertexInputState = &vi;
    gpi.pInputAssemblyState = &ia;
    gpi.pViewportState = &vp;
    gpi.pRasterizationState = &rs;
    gpi.pMultisampleState = &ms;
    gpi.pColorBlendState = &cb;
    gpi.layout = layout;
    VkPipeline p = VK_NULL_HANDLE;
    if (vkCreateGraphicsPipelines(device, VK_NULL_HANDLE, 1, &gpi, nullptr, &p) != VK_SUCCESS) {
      error = "vkCreateGraphicsPipelines failed";
      vkDestroyShaderModule(device, fragment, nullptr);
      return VK_NULL_HANDLE;
    }
    pipelines[fetches] = {fragment, p};
    return p;
  }

  void ensureQueries(uint32_t count) {
    if (!timestamps || count <= queryCapacity) return;
    if (queries) vkDestroyQueryPool(device, queries, nullptr);
    VkQueryPoolCreateInfo info{VK_STRUCTURE_TYPE_QUERY_POOL_CREATE_INFO};
    info.queryType = VK_QUERY_TYPE_TIMESTAMP;
    info.queryCount = count;
    vkCreateQueryPool(device, &info, nullptr, &queries);
    queryCapacity = count;
  }

  ~Impl() {
    if (device) {
      vkDeviceWaitIdle(device);
      for (auto& [k, p] : pipelines) {
        vkDestroyPipeline(device, p.second, nullptr);
        vkDestroyShaderModule(device, p.first, nullptr);
      }
      if (vertex) vkDestroyShaderModule(device, vertex, nullptr);
      if (layout) vkDestroyPipelineLayout(device, layout, nullptr);
      if (descriptorPool) vkDestroyDescriptorPool(device, descriptorPool, nullptr);
      if (setLayout) vkDestroyDescriptorSetLayout(device, setLayout, nullptr);
      if (sampler) vkDestroySampler(device, sampler, nullptr);
      if (queries) vkDestroyQueryPool(device, queries, nullptr);
      for (Image* img : {&picture, &targets[0], &targets[1]}) {
        if (img->view) vkDestroyImageView(device, img->view, nullptr);
        if (img->image) vkDestroyImage(device, img->image, nullptr);
        if (img->memory) vkFreeMemory(device, img->memory, nullptr);
      }
      if (readback) vkDestroyBuffer(device, readback, nullptr);
      if (readbackMemory) vkFreeMemory(device, readbackMemory, nullptr);
      if (fence) vkDestroyFence(device, fence, nullptr);
      if (pool) vkDestroyCommandPool(device, pool, nullptr);
      vkDestroyDevice(device, nullptr);
    }
    if (instance) vkDestroyInstance(instance, nullptr);
  }
};

FloorRig::FloorRig(uint32_t width, uint32_t height) : impl_(std::make_unique<Impl>()) {
  impl_->width = width;
  impl_->height = height;
  error_ = impl_->init();
}

FloorRig::~FloorRig() = default;

bool FloorRig::timestampsSupported() const { return error_.empty() && impl_->timestamps; }

FloorTiming FloorRig::run(int fetches, int passes) {
  FloorTiming timing;
  if (!error_.empty() || passes <= 0 || fetches <= 0) return timing;
  Impl& d = *impl_;
  VkPipeline pipeline = d.pipeline(fetches, error_);
  if (!pipeline) return timing;
  d.ensureQueries(uint32_t(passes) * 2);
  d.begin();
  if (d.timestamps) vkCmdResetQueryPool(d.cmd, d.queries, 0, uint32_t(passes) * 2);
  const float push[4] = {1.0f / float(d.width), 1.0f / float(d.height), 1.0f / 25.0f, 0};
  for (int pass = 0; pass < passes; ++pass) {
    Impl::Image& target = d.targets[pass & 1];
    d.barrier(target.image, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
              VK_ACCESS_SHADER_READ_BIT, VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT, VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT,
              VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT);
    if (d.timestamps) vkCmdWriteTimestamp(d.cmd, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, d.queries, uint32_t(pass) * 2);
    VkRenderingAttachmentInfo attachment{VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO};
    attachment.imageView = target.view;
    attachment.imageLayout = VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL;
    attachment.loadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
    attachment.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
    VkRenderingInfo rendering{VK_STRUCTURE_TYPE_RENDERING_INFO};
    rendering.renderArea = {{0, 0}, {d.width, d.height}};
    rendering.layerCount = 1;
    rendering.colorAttachmentCount = 1;
    rendering.pColorAttachments = &attachment;
    vkCmdBeginRendering(d.cmd, &rendering);
    vkCmdBindPipeline(d.cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline);
    vkCmdBindDescriptorSets(d.cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, d.layout, 0, 1, &d.set, 0, nullptr);
    vkCmdPushConstants(d.cmd, d.layout, VK_SHADER_STAGE_FRAGMENT_BIT, 0, sizeof push, push);
    vkCmdDraw(d.cmd, 3, 1, 0, 0);
    vkCmdEndRendering(d.cmd);
    if (d.timestamps) vkCmdWriteTimestamp(d.cmd, VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT, d.queries, uint32_t(pass) * 2 + 1);
    d.barrier(target.image, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL,
              VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT, VK_ACCESS_SHADER_READ_BIT, VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT,
              VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT);
  }
  vkEndCommandBuffer(d.cmd);
  const auto start = std::chrono::steady_clock::now();
  if (!d.submitAndWait()) {
    error_ = "submitting the floor passes failed";
    return timing;
  }
  const auto end = std::chrono::steady_clock::now();
  timing.wallMsPerPass = std::chrono::duration<double, std::milli>(end - start).count() / passes;
  d.lastTarget = (passes - 1) & 1;
  if (d.timestamps) {
    std::vector<uint64_t> stamps(size_t(passes) * 2);
    if (vkGetQueryPoolResults(d.device, d.queries, 0, uint32_t(passes) * 2, stamps.size() * 8, stamps.data(), 8,
                              VK_QUERY_RESULT_64_BIT | VK_QUERY_RESULT_WAIT_BIT) == VK_SUCCESS) {
      double ns = 0;
      for (int pass = 0; pass < passes; ++pass) ns += double(stamps[size_t(pass) * 2 + 1] - stamps[size_t(pass) * 2]);
      timing.gpuMsPerPass = ns * d.timestampPeriodNs * 1e-6 / passes;
    }
  }
  return timing;
}

float FloorRig::centreRed() {
  if (!error_.empty()) return -1;
  Impl& d = *impl_;
  Impl::Image& target = d.targets[d.lastTarget];
  d.begin();
  d.barrier(target.image, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL,
            VK_ACCESS_SHADER_READ_BIT, VK_ACCESS_TRANSFER_READ_BIT, VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT,
            VK_PIPELINE_STAGE_TRANSFER_BIT);
  VkBufferImageCopy copy{};
  copy.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  copy.imageOffset = {int32_t(d.width / 2), int32_t(d.height / 2), 0};
  copy.imageExtent = {1, 1, 1};
  vkCmdCopyImageToBuffer(d.cmd, target.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, d.readback, 1, &copy);
  d.barrier(target.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL,
            VK_ACCESS_TRANSFER_READ_BIT, VK_ACCESS_SHADER_READ_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT,
            VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT);
  vkEndCommandBuffer(d.cmd);
  if (!d.submitAndWait()) return -1;
  void* mapped = nullptr;
  vkMapMemory(d.device, d.readbackMemory, 0, 8, 0, &mapped);
  uint16_t red;
  std::memcpy(&red, mapped, 2);
  vkUnmapMemory(d.device, d.readbackMemory);
  return fromHalf(red);
}

}  // namespace floorpass

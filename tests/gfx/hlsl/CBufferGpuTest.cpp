// Runs compiled HLSL on a Vulkan device (lavapipe in CI) and checks that a constant buffer
// filled with Direct3D's byte layout, as the C++ side fills it, reads back as the same
// values in the shader: the end-to-end proof that the layout rewrite is right, matrices
// included. Validation messages fail the test (ZV_VALIDATION=0 turns the layer off).
#include <gtest/gtest.h>
#include <vulkan/vulkan.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/gfx/hlsl/HlslTestSupport.h"

namespace {

struct Vk {
  VkInstance instance = VK_NULL_HANDLE;
  VkDebugUtilsMessengerEXT messenger = VK_NULL_HANDLE;
  VkPhysicalDevice gpu = VK_NULL_HANDLE;
  VkDevice device = VK_NULL_HANDLE;
  VkQueue queue = VK_NULL_HANDLE;
  uint32_t family = 0;
  std::vector<std::string> messages;
  bool ok = false;
  std::string why;

  static VKAPI_ATTR VkBool32 VKAPI_CALL onMessage(VkDebugUtilsMessageSeverityFlagBitsEXT severity,
                                                  VkDebugUtilsMessageTypeFlagsEXT,
                                                  const VkDebugUtilsMessengerCallbackDataEXT* data, void* user) {
    if (severity >= VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT)
      static_cast<Vk*>(user)->messages.push_back(data->pMessage ? data->pMessage : "?");
    return VK_FALSE;
  }

  Vk() {
    const char* env = std::getenv("ZV_VALIDATION");
    bool validation = !env || std::string(env) != "0";
    VkApplicationInfo app{VK_STRUCTURE_TYPE_APPLICATION_INFO};
    app.apiVersion = VK_API_VERSION_1_3;
    const char* layer = "VK_LAYER_KHRONOS_validation";
    const char* ext = VK_EXT_DEBUG_UTILS_EXTENSION_NAME;
    VkInstanceCreateInfo ici{VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
    ici.pApplicationInfo = &app;
    ici.enabledLayerCount = validation ? 1 : 0;
    ici.ppEnabledLayerNames = &layer;
    ici.enabledExtensionCount = validation ? 1 : 0;
    ici.ppEnabledExtensionNames = &ext;
    if (vkCreateInstance(&ici, nullptr, &instance) != VK_SUCCESS) {
      why = "vkCreateInstance failed";
      return;
    }
    if (validation) {
      VkDebugUtilsMessengerCreateInfoEXT mci{VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT};
      mci.messageSeverity = VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
      mci.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                        VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT;
      mci.pfnUserCallback = &Vk::onMessage;
      mci.pUserData = this;
      auto create = reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(
          vkGetInstanceProcAddr(instance, "vkCreateDebugUtilsMessengerEXT"));
      if (create) create(instance, &mci, nullptr, &messenger);
    }
    uint32_t n = 0;
    vkEnumeratePhysicalDevices(instance, &n, nullptr);
    if (n == 0) {
      why = "no Vulkan device";
      return;
    }
    std::vector<VkPhysicalDevice> gpus(n);
    vkEnumeratePhysicalDevices(instance, &n, gpus.data());
    gpu = gpus[0];
    uint32_t qn = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(gpu, &qn, nullptr);
    std::vector<VkQueueFamilyProperties> qf(qn);
    vkGetPhysicalDeviceQueueFamilyProperties(gpu, &qn, qf.data());
    for (family = 0; family < qn && !(qf[family].queueFlags & VK_QUEUE_COMPUTE_BIT); ++family) {
    }
    float priority = 1;
    VkDeviceQueueCreateInfo qci{VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
    qci.queueFamilyIndex = family;
    qci.queueCount = 1;
    qci.pQueuePriorities = &priority;
    VkPhysicalDeviceVulkan12Features v12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES};
    v12.scalarBlockLayout = VK_TRUE;
    const char* devExt[] = {VK_GOOGLE_HLSL_FUNCTIONALITY_1_EXTENSION_NAME, VK_GOOGLE_DECORATE_STRING_EXTENSION_NAME};
    VkDeviceCreateInfo dci{VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO};
    dci.pNext = &v12;
    dci.queueCreateInfoCount = 1;
    dci.pQueueCreateInfos = &qci;
    dci.enabledExtensionCount = 2;
    dci.ppEnabledExtensionNames = devExt;
    if (vkCreateDevice(gpu, &dci, nullptr, &device) != VK_SUCCESS) {
      why = "vkCreateDevice failed (scalarBlockLayout / hlsl extensions)";
      return;
    }
    vkGetDeviceQueue(device, family, 0, &queue);
    ok = true;
  }

  ~Vk() {
    if (device) vkDestroyDevice(device, nullptr);
    if (messenger) {
      auto destroy = reinterpret_cast<PFN_vkDestroyDebugUtilsMessengerEXT>(
          vkGetInstanceProcAddr(instance, "vkDestroyDebugUtilsMessengerEXT"));
      if (destroy) destroy(instance, messenger, nullptr);
    }
    if (instance) vkDestroyInstance(instance, nullptr);
  }

  struct Buffer {
    VkBuffer buffer = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    void* mapped = nullptr;
  };

  Buffer makeBuffer(VkDeviceSize size, VkBufferUsageFlags usage) {
    Buffer b;
    VkBufferCreateInfo bci{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
    bci.size = size;
    bci.usage = usage;
    vkCreateBuffer(device, &bci, nullptr, &b.buffer);
    VkMemoryRequirements req;
    vkGetBufferMemoryRequirements(device, b.buffer, &req);
    VkPhysicalDeviceMemoryProperties props;
    vkGetPhysicalDeviceMemoryProperties(gpu, &props);
    uint32_t type = 0;
    const VkMemoryPropertyFlags want = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
    for (; type < props.memoryTypeCount; ++type)
      if ((req.memoryTypeBits & (1u << type)) && (props.memoryTypes[type].propertyFlags & want) == want) break;
    VkMemoryAllocateInfo mai{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
    mai.allocationSize = req.size;
    mai.memoryTypeIndex = type;
    vkAllocateMemory(device, &mai, nullptr, &b.memory);
    vkBindBufferMemory(device, b.buffer, b.memory, 0);
    vkMapMemory(device, b.memory, 0, VK_WHOLE_SIZE, 0, &b.mapped);
    return b;
  }

  void destroy(Buffer& b) {
    vkDestroyBuffer(device, b.buffer, nullptr);
    vkFreeMemory(device, b.memory, nullptr);
  }

  // Runs a compute module with a uniform buffer on `cbBinding` and a storage buffer on
  // `outBinding`; returns the storage buffer's floats.
  std::vector<float> run(const std::vector<uint32_t>& spirv, const std::vector<uint8_t>& cbuffer, uint32_t cbBinding,
                         uint32_t outBinding, size_t outFloats) {
    Buffer cb = makeBuffer(cbuffer.size(), VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT);
    std::memcpy(cb.mapped, cbuffer.data(), cbuffer.size());
    Buffer out = makeBuffer(outFloats * 4, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT);
    std::memset(out.mapped, 0xff, outFloats * 4);

    VkDescriptorSetLayoutBinding bindings[2] = {};
    bindings[0] = {cbBinding, VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER, 1, VK_SHADER_STAGE_COMPUTE_BIT, nullptr};
    bindings[1] = {outBinding, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1, VK_SHADER_STAGE_COMPUTE_BIT, nullptr};
    VkDescriptorSetLayoutCreateInfo dslci{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
    dslci.bindingCount = 2;
    dslci.pBindings = bindings;
    VkDescriptorSetLayout dsl;
    vkCreateDescriptorSetLayout(device, &dslci, nullptr, &dsl);
    VkPipelineLayoutCreateInfo plci{VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
    plci.setLayoutCount = 1;
    plci.pSetLayouts = &dsl;
    VkPipelineLayout layout;
    vkCreatePipelineLayout(device, &plci, nullptr, &layout);
    VkShaderModuleCreateInfo smci{VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO};
    smci.codeSize = spirv.size() * 4;
    smci.pCode = spirv.data();
    VkShaderModule module;
    vkCreateShaderModule(device, &smci, nullptr, &module);
    VkComputePipelineCreateInfo cpci{VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO};
    cpci.stage = {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO, nullptr, 0, VK_SHADER_STAGE_COMPUTE_BIT,
                  module, "CS", nullptr};
    cpci.layout = layout;
    VkPipeline pipeline;
    vkCreateComputePipelines(device, VK_NULL_HANDLE, 1, &cpci, nullptr, &pipeline);

    VkDescriptorPoolSize sizes[2] = {{VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER, 1}, {VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1}};
    VkDescriptorPoolCreateInfo dpci{VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO};
    dpci.maxSets = 1;
    dpci.poolSizeCount = 2;
    dpci.pPoolSizes = sizes;
    VkDescriptorPool pool;
    vkCreateDescriptorPool(device, &dpci, nullptr, &pool);
    VkDescriptorSetAllocateInfo dsai{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO};
    dsai.descriptorPool = pool;
    dsai.descriptorSetCount = 1;
    dsai.pSetLayouts = &dsl;
    VkDescriptorSet set;
    vkAllocateDescriptorSets(device, &dsai, &set);
    VkDescriptorBufferInfo infos[2] = {{cb.buffer, 0, VK_WHOLE_SIZE}, {out.buffer, 0, VK_WHOLE_SIZE}};
    VkWriteDescriptorSet writes[2] = {};
    for (int i = 0; i < 2; ++i) {
      writes[i].sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
      writes[i].dstSet = set;
      writes[i].dstBinding = bindings[i].binding;
      writes[i].descriptorCount = 1;
      writes[i].descriptorType = bindings[i].descriptorType;
      writes[i].pBufferInfo = &infos[i];
    }
    vkUpdateDescriptorSets(device, 2, writes, 0, nullptr);

    VkCommandPoolCreateInfo cpoolci{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
    cpoolci.queueFamilyIndex = family;
    VkCommandPool cpool;
    vkCreateCommandPool(device, &cpoolci, nullptr, &cpool);
    VkCommandBufferAllocateInfo cbai{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
    cbai.commandPool = cpool;
    cbai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    cbai.commandBufferCount = 1;
    VkCommandBuffer cmd;
    vkAllocateCommandBuffers(device, &cbai, &cmd);
    VkCommandBufferBeginInfo begin{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    vkBeginCommandBuffer(cmd, &begin);
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline);
    vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, layout, 0, 1, &set, 0, nullptr);
    vkCmdDispatch(cmd, 1, 1, 1);
    VkMemoryBarrier barrier{VK_STRUCTURE_TYPE_MEMORY_BARRIER};
    barrier.srcAccessMask = VK_ACCESS_SHADER_WRITE_BIT;
    barrier.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
    vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_PIPELINE_STAGE_HOST_BIT, 0, 1, &barrier, 0,
                         nullptr, 0, nullptr);
    vkEndCommandBuffer(cmd);
    VkSubmitInfo submit{VK_STRUCTURE_TYPE_SUBMIT_INFO};
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &cmd;
    vkQueueSubmit(queue, 1, &submit, VK_NULL_HANDLE);
    vkQueueWaitIdle(queue);

    std::vector<float> result(outFloats);
    std::memcpy(result.data(), out.mapped, outFloats * 4);
    vkDestroyCommandPool(device, cpool, nullptr);
    vkDestroyDescriptorPool(device, pool, nullptr);
    vkDestroyPipeline(device, pipeline, nullptr);
    vkDestroyShaderModule(device, module, nullptr);
    vkDestroyPipelineLayout(device, layout, nullptr);
    vkDestroyDescriptorSetLayout(device, dsl, nullptr);
    destroy(cb);
    destroy(out);
    return result;
  }
};

void put(std::vector<uint8_t>& bytes, uint32_t offset, float v) { std::memcpy(bytes.data() + offset, &v, 4); }

TEST(CBufferGpu, ShaderReadsDirect3DPackedBytes) {
  Vk vk;
  ASSERT_TRUE(vk.ok) << vk.why;
  const std::string text =
      "struct S { float3 v; float w; };\n"
      "cbuffer CB : register(b0) { float a; float3 b; float c[2]; float d; float2 e; float3x3 m; float z;\n"
      "  row_major float2x3 rm; float4 pad; S s[2]; float tail; };\n"
      "RWStructuredBuffer<float> o : register(u0);\n"
      "[numthreads(1, 1, 1)] void CS() {\n"
      "  uint i = 0, r, k;\n"
      "  o[i++] = a; o[i++] = b.x; o[i++] = b.y; o[i++] = b.z; o[i++] = c[0]; o[i++] = c[1]; o[i++] = d;\n"
      "  o[i++] = e.x; o[i++] = e.y;\n"
      "  for (r = 0; r < 3; ++r) for (k = 0; k < 3; ++k) o[i++] = m[r][k];\n"
      "  o[i++] = z;\n"
      "  for (r = 0; r < 2; ++r) for (k = 0; k < 3; ++k) o[i++] = rm[r][k];\n"
      "  o[i++] = pad.w; o[i++] = s[1].v.x; o[i++] = s[1].v.z; o[i++] = s[1].w; o[i++] = s[0].w; o[i++] = tail;\n"
      "  o[i++] = mul(float3(1, 10, 100), m).x;\n"  // row vector times matrix: sum of column 0 weighted
      "}\n";
  hlsl::CompileResult c = hlsltest::compileValid(hlsl::Compute, "cs_5_0", text, "CS");
  ASSERT_TRUE(c.ok);

  // Fill the buffer exactly as Direct3D lays it out (hand-computed offsets):
  // a 0, b 4, c 16/32, d 36, e 40, m 48 (column k at 48 + 16k), z 92, rm 96 (row r at
  // 96 + 16r), pad 128, s 144 (stride 16), tail 176; 192 bytes.
  std::vector<uint8_t> bytes(192, 0);
  std::vector<float> expected;
  float next = 1;
  auto at = [&](uint32_t offset) {
    put(bytes, offset, next);
    expected.push_back(next);
    next += 1;
  };
  at(0);
  at(4), at(8), at(12);
  at(16), at(32);
  at(36);
  at(40), at(44);
  for (uint32_t r = 0; r < 3; ++r)
    for (uint32_t k = 0; k < 3; ++k) at(48 + 16 * k + 4 * r);  // column_major: a register per column
  at(92);
  for (uint32_t r = 0; r < 2; ++r)
    for (uint32_t k = 0; k < 3; ++k) at(96 + 16 * r + 4 * k);  // row_major: a register per row
  at(140);
  at(160), at(168), at(172);
  at(156);
  at(176);
  // mul(float3(1,10,100), m).x = m[0][0] + 10 m[1][0] + 100 m[2][0].
  expected.push_back(expected[9] + 10 * expected[12] + 100 * expected[15]);

  hlsl::Reflection refl;
  ASSERT_TRUE(hlsl::reflect(c.spirv, refl));
  ASSERT_EQ(refl.cbuffers.size(), 1u);
  EXPECT_EQ(refl.cbuffers[0].size, 192u);
  const hlsl::ResourceBinding* o = hlsltest::findResource(refl, "o");
  ASSERT_NE(o, nullptr);

  std::vector<float> got = vk.run(c.spirv, bytes, refl.cbuffers[0].binding, o->binding, expected.size());
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(got[i], expected[i]) << "value #" << i;
  for (const std::string& m : vk.messages) ADD_FAILURE() << "validation: " << m;
}

}  // namespace

#include "tests/gfx/support/GpuTestSupport.h"

#include <cstring>

#include "gfx/ShaderManager.h"
#include "gfx/hlsl/HlslCompiler.h"

Device* GpuTest::sDevice = nullptr;

void GpuTest::SetUpTestSuite() { SetUpTestSuiteWith(DeviceOptions()); }

void GpuTest::SetUpTestSuiteWith(DeviceOptions options) {
  if (!sDevice) {
    options.validation = true;
    options.synchronizationValidation = true;  // lavapipe runs in order; real GPUs need the barriers
    sDevice = new Device(options);
  }
}

void GpuTest::TearDownTestSuite() {
  delete sDevice;
  sDevice = nullptr;
}

void GpuTest::SetUp() {
  ASSERT_NE(sDevice, nullptr);
  messagesAtStart_ = sDevice->validationMessageCount();
}

void GpuTest::TearDown() {
  sDevice->waitIdle();
  for (Texture* t : textures_) deleteTexture(t);
  textures_.clear();
  sDevice->waitIdle();
  EXPECT_TRUE(sDevice->validationEnabled()) << "validation layers are not active";
  EXPECT_EQ(sDevice->validationMessageCount(), messagesAtStart_) << "Vulkan validation reported problems";
}

gfxbackend::Shader* GpuTest::shader(hlsl::Stage stage, const std::string& source, const std::string& entry) {
  static const char* kProfiles[] = {"vs_5_0", "hs_5_0", "ds_5_0", "gs_5_0", "ps_5_0", "cs_5_0"};
  hlsl::CompileResult result = hlsl::compile(stage, kProfiles[stage], source, entry);
  EXPECT_TRUE(result.ok) << result.messages;
  if (!result.ok) return nullptr;
  gfxbackend::Shader* s = createShader(sDevice, stage, result.spirv);
  EXPECT_NE(s, nullptr);
  if (s) shaders_.emplace_back(s);
  return s;
}

Texture* GpuTest::texture(uint32_t format, uint32_t width, uint32_t height, uint32_t flags, const void* data) {
  TextureDesc desc;
  desc.flags = flags;
  desc.format = format;
  desc.width = width;
  desc.height = height;
  Texture* t = createTexture(sDevice, desc, data);
  textures_.push_back(t);
  return t;
}

Texture* GpuTest::buffer(uint32_t flags, uint32_t bytes, uint32_t stride, const void* data) {
  TextureDesc desc;
  desc.flags = flags;
  desc.bitsPerPixel = stride * 8;
  desc.width = bytes / stride;
  Texture* t = createTexture(sDevice, desc, data);
  textures_.push_back(t);
  return t;
}

void GpuTest::bindTarget(Texture* target, float clearValue, uint32_t slice) {
  RenderPass pass;
  pass.colourTargets[0] = target;
  pass.clearFlags = kClearColour;
  pass.slice = slice;
  pass.rect[2] = int32_t(target->width());
  pass.rect[3] = int32_t(target->height());
  pass.width = target->width();
  pass.height = target->height();
  for (float& c : pass.colourClear) c = clearValue;
  bindRenderPass(device(), pass);
}

std::vector<uint8_t> GpuTest::readBack(Texture* source) {
  TextureDesc desc = source->desc;
  desc.flags = (source->isTexture() ? uint32_t(kTextureFlag) : 0u) | kUsageStaging;
  desc.options = 0;
  desc.mipLevels = 1;
  desc.arraySize = 1;
  Texture* staging = createTexture(sDevice, desc, nullptr);
  ctx()->copyResource(staging, source);
  MappedSubresource mapped;
  std::vector<uint8_t> out;
  if (ctx()->map(staging, 0, D3D11_MAP_READ, mapped)) {
    if (source->isBuffer()) {
      out.assign(static_cast<uint8_t*>(mapped.data), static_cast<uint8_t*>(mapped.data) + source->byteSize());
    } else {
      SubresourceLayout l = subresourceLayout(source->format(), source->desc.bitsPerPixel, source->width(),
                                              source->height(), 0);
      out.resize(size_t(l.rowPitch) * l.rows);
      for (uint32_t y = 0; y < l.rows; ++y)
        std::memcpy(out.data() + size_t(y) * l.rowPitch, static_cast<uint8_t*>(mapped.data) + size_t(y) * mapped.rowPitch,
                    l.rowPitch);
    }
    ctx()->unmap(staging, 0);
  } else {
    ADD_FAILURE() << "map for reading failed";
  }
  deleteTexture(staging);
  return out;
}

uint32_t GpuTest::rgba(const std::vector<uint8_t>& pixels, uint32_t width, uint32_t x, uint32_t y) {
  uint32_t v = 0;
  size_t at = (size_t(y) * width + x) * 4;
  if (at + 4 <= pixels.size()) std::memcpy(&v, pixels.data() + at, 4);
  return v;
}

void ScreenGpuTest::TearDownTestSuite() {
  releaseCopyPass();
  clearShaderCache();
  GpuTest::TearDownTestSuite();
}

void ScreenGpuTest::SetUp() {
  GpuTest::SetUp();
  useBinaryShaders = false;
  ScreenSettings settings;
  settings.width = screenWidth;
  settings.height = screenHeight;
  screen_ = new Screen(nullptr, settings);
}

void ScreenGpuTest::TearDown() {
  device()->waitIdle();
  for (Texture* t : textures_) deleteTexture(t);
  textures_.clear();
  delete screen_;
  screen_ = nullptr;
  GpuTest::TearDown();
}

std::vector<uint32_t> ScreenGpuTest::backBufferPixels() {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(screen_->readBack(bytes));
  std::vector<uint32_t> pixels(bytes.size() / 4);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = rgba(bytes, 0, uint32_t(i), 0);
  return pixels;
}

std::vector<uint32_t> ScreenGpuTest::showOnBackBuffer(Texture* t) {
  PixelRect whole{0, 0, int32_t(screen_->width), int32_t(screen_->height)};
  copyPass(screen_->backBuffer, t, whole, opaque(), true);
  return backBufferPixels();
}

RenderStateDesc ScreenGpuTest::opaque() {
  RenderStateDesc s = RenderStateDesc::zeroed();
  s.stencilReadMask = 0xFF;
  s.stencilWriteMask = 0xFF;
  return s;
}

// The pipeline cache file: written when the Device goes, read by the next one, and ignored
// (then rewritten) when it is damaged or belongs to another driver or device.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/hlsl/HlslCompiler.h"

namespace {

const char* kSource = R"(
float4 VS(uint id : SV_VertexID) : SV_POSITION {
  float2 uv = float2((id << 1) & 2, id & 2);
  return float4(uv * float2(2, -2) + float2(-1, 1), 0.5, 1);
}
float4 PS(float4 p : SV_POSITION) : SV_TARGET { return float4(0, 1, 0, 1); }
)";

std::vector<char> readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<char>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::vector<char>& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

class PipelineCacheGpuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = (std::filesystem::temp_directory_path() / ("zv_pipelines_" + std::to_string(::getpid()) + ".bin")).string();
    std::filesystem::remove(path);
  }
  void TearDown() override { std::filesystem::remove(path); }

  // Opens a Device on the cache file, draws once (building a pipeline) and closes it, which
  // writes the file. Returns whether the Device found a usable cache and what it logged.
  bool session(std::string* log = nullptr) {
    DeviceOptions options;
    options.validation = true;
    options.pipelineCachePath = path;
    testing::internal::CaptureStderr();
    auto device = std::make_unique<Device>(options);
    const std::string text = testing::internal::GetCapturedStderr();
    if (log) *log = text;
    const bool loaded = device->pipelineCacheLoaded();
    hlsl::CompileResult vs = hlsl::compile(hlsl::Vertex, "vs_5_0", kSource, "VS");
    hlsl::CompileResult ps = hlsl::compile(hlsl::Pixel, "ps_5_0", kSource, "PS");
    EXPECT_TRUE(vs.ok && ps.ok);
    std::unique_ptr<gfxbackend::Shader> v(createShader(device.get(), hlsl::Vertex, vs.spirv));
    std::unique_ptr<gfxbackend::Shader> p(createShader(device.get(), hlsl::Pixel, ps.spirv));
    TextureDesc desc;
    desc.flags = 0x10009;
    desc.format = 0x10204;
    desc.width = desc.height = 4;
    Texture* target = createTexture(device.get(), desc, nullptr);
    DeviceContext* ctx = device->context();
    ctx->setRenderTargets(1, &target, nullptr);
    ctx->setShader(hlsl::Vertex, v.get());
    ctx->setShader(hlsl::Pixel, p.get());
    ctx->setRenderState(nullptr, 0);
    ctx->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx->draw(3, 0);
    device->waitIdle();
    EXPECT_EQ(device->counters().pipelines, 1u);
    deleteTexture(target);
    v.reset();
    p.reset();
    EXPECT_EQ(device->validationMessageCount(), 0u);
    device.reset();
    return loaded;
  }

  std::string path;
};

}  // namespace

TEST_F(PipelineCacheGpuTest, TheNextStartReadsWhatThisOneBuilt) {
  EXPECT_FALSE(session());
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_GE(std::filesystem::file_size(path), 48u);  // our header, then the driver's data
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  EXPECT_TRUE(session());
}

TEST_F(PipelineCacheGpuTest, DamagedOrForeignFilesAreIgnoredAndRewritten) {
  session();
  const std::vector<char> good = readFile(path);
  ASSERT_GE(good.size(), 48u);

  std::vector<char> damaged = good;
  damaged.back() ^= 0x5A;  // the last byte of the data, or of the header without data
  writeFile(path, damaged);
  std::string log;
  EXPECT_FALSE(session(&log));
  EXPECT_NE(log.find("is damaged"), std::string::npos) << log;

  std::vector<char> foreign = good;
  foreign[12] ^= 1;  // another device id
  writeFile(path, foreign);
  EXPECT_FALSE(session(&log));
  EXPECT_NE(log.find("another driver or device"), std::string::npos) << log;

  writeFile(path, std::vector<char>(good.begin(), good.begin() + 20));  // cut short
  EXPECT_FALSE(session(&log));
  EXPECT_NE(log.find("too short"), std::string::npos) << log;
  EXPECT_TRUE(session());
}

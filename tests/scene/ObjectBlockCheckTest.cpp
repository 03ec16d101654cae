// The per-object block is checked against a program's reflection when the program loads:
// what a shader lacks of it, or declares at another size, is said once, naming the file,
// rather than skipped without a word on every draw.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "scene/GBufferRenderer.h"

namespace {

EntryPoints withGeometry() {
  EntryPoints e = EntryPoints::vsps("VS", "PS");
  e.entry[3] = "GS";
  return e;
}

size_t lines(const std::string& text) { return size_t(std::count(text.begin(), text.end(), '\n')); }

// A G-buffer-like shader whose block lacks gTileUV and declares gRoughness as a float2.
const char* kFaultySource = R"(
cbuffer ObjectConstants : register(b0) {
  float4x4 gWorldViewProj;
  float4x4 gWorldViewProjPrev;
  float4x4 gWorldView;
  float4x4 gInvTransWorldView;
  float4x4 gProj;
  float4x4 gView;
  float4 gBaseColor;
  float4 gSpecularMapColor;
  float4 gEmissiveColor;
  float2 gRegionScale;
  float2 gRegionOffset;
  float2 gRoughness;
  float gMetalness;
};
float4 VS(float3 p : POSITION) : SV_Position { return mul(float4(p, 1), gWorldViewProj); }
float4 PS() : SV_Target { return gBaseColor * gRoughness.x + gEmissiveColor * gMetalness; }
)";

TEST(ObjectBlockCheck, SaysOnceWhatAShaderLacksOrSizesOtherwise) {
  useBinaryShaders = false;
  const std::filesystem::path file = std::filesystem::temp_directory_path() / "zv_object_block_check.hlsl";
  std::ofstream(file) << kFaultySource;
  std::unique_ptr<ShaderProgram> program;
  ASSERT_TRUE(loadProgramFromFile(file.c_str(), EntryPoints::vsps("VS", "PS"), program));
  std::filesystem::remove(file);

  testing::internal::CaptureStderr();
  const bool whole = checkObjectConstants(program.get(), file.c_str(), ObjectBlockUse::Whole);
  const std::string wholeLog = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(whole);
  // One line each, naming the file and the constant; the material parameters gParam1..3
  // belong to custom materials and are no fault when absent.
  EXPECT_EQ(lines(wholeLog), 2u) << wholeLog;
  EXPECT_NE(wholeLog.find(file.string() + ": b0 lacks the per-object constant gTileUV"), std::string::npos) << wholeLog;
  EXPECT_NE(wholeLog.find("gRoughness has 8 bytes in b0, but draws write 4"), std::string::npos) << wholeLog;
  EXPECT_EQ(wholeLog.find("gParam"), std::string::npos) << wholeLog;

  // A forward shader reads what it needs of the block: only the size is a fault.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(checkObjectConstants(program.get(), file.c_str(), ObjectBlockUse::Partial));
  const std::string partialLog = testing::internal::GetCapturedStderr();
  EXPECT_EQ(lines(partialLog), 1u) << partialLog;
  EXPECT_NE(partialLog.find("gRoughness"), std::string::npos) << partialLog;

  // No b0 at all: one line, not one per constant.
  ShaderProgram bare(nullptr);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(checkObjectConstants(&bare, "bare.hlsl", ObjectBlockUse::Whole));
  EXPECT_EQ(lines(testing::internal::GetCapturedStderr()), 1u);
}

// The shipped programs drawn with the per-object block (by default parameter or by name)
// declare all of it that their kind needs, at the sizes written.
TEST(ObjectBlockCheck, TheShippedProgramsPass) {
  useBinaryShaders = false;
  struct Program {
    std::string file;
    EntryPoints entries;
    ObjectBlockUse use;
    const char* passOwn = nullptr;  // a constant the pass writes itself, at its own size
  };
  const EntryPoints vsps = EntryPoints::vsps("VS", "PS");
  std::vector<Program> programs = {
      {"data/shaders/gbuffer.hlsl", vsps, ObjectBlockUse::Whole},
      {"data/shaders/gbufferInstance.hlsl", vsps, ObjectBlockUse::Whole},
      {"data/shaders/gbufferAnim.hlsl", vsps, ObjectBlockUse::Whole},
      {"data/shaders/transparency.hlsl", vsps, ObjectBlockUse::Whole},
      {"data/shaders/dynaMeshVSPS.hlsl", vsps, ObjectBlockUse::Whole},
      {"data/shaders/clothVSPS.hlsl", vsps, ObjectBlockUse::Whole},
      {"data/shaders/clothMeshVSPS.hlsl", vsps, ObjectBlockUse::Whole},
      {"data/shaders/custom/grass.hlsl", withGeometry(), ObjectBlockUse::Whole, "gParam1"},
      {"data/shaders/custom/corruption.hlsl", withGeometry(), ObjectBlockUse::Whole},
      {"data/shaders/procMesh/boxVSGSPS.hlsl", withGeometry(), ObjectBlockUse::Whole},
      {"data/shaders/particles/pointsprites.hlsl", withGeometry(), ObjectBlockUse::Whole},
      {"data/shaders/sph/pointsprites.hlsl", withGeometry(), ObjectBlockUse::Whole},
  };
  for (const auto& e : std::filesystem::directory_iterator("data/shaders/forward"))
    if (e.path().extension() == ".hlsl") programs.push_back({e.path().generic_string(), vsps, ObjectBlockUse::Partial});
  ASSERT_GT(programs.size(), 12u);

  for (const Program& p : programs) {
    std::unique_ptr<ShaderProgram> program;
    ASSERT_TRUE(loadProgramFromFile(p.file.c_str(), p.entries, program)) << p.file;
    testing::internal::CaptureStderr();
    const bool ok = p.passOwn ? checkObjectConstants(program.get(), p.file.c_str(), p.use, {p.passOwn})
                              : checkObjectConstants(program.get(), p.file.c_str(), p.use);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ok) << log;
    EXPECT_TRUE(log.empty()) << log;
  }
}

}  // namespace

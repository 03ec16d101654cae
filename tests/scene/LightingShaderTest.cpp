// The shader files of the lighting, decals, ray marching and transparency: every entry a pass
// names compiles, and the passes whose constants are written by others (the shadow programs,
// through the caster loop; transparency, through the G-buffer renderer) declare them with the
// sizes written. What the lighting passes themselves write is checked against the programs a
// lit frame really used (LitFrameGpuTest); this suite needs no device.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "gfx/hlsl/HlslCompiler.h"
#include "tests/gfx/support/ShaderReflect.h"

namespace {

using shaderreflect::reflectEntry;

uint32_t constantSize(const hlsl::Reflection& r, const std::string& name) {
  for (const auto& cb : r.cbuffers)
    if (cb.slot == 0)
      for (const auto& v : cb.variables)
        if (v.name == name) return v.size;
  return 0;
}

bool hasResource(const hlsl::Reflection& r, uint32_t reg, bool sampler) {
  for (const auto& res : r.resources)
    if (res.reg == reg && (res.kind == hlsl::ResourceKind::Sampler) == sampler) return true;
  return false;
}

TEST(LightingShaders, EveryEntryThePassesNameCompiles) {
  const std::vector<std::pair<const char*, std::vector<std::pair<hlsl::Stage, const char*>>>> files = {
      {"data/shaders/dirlight.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}}},
      {"data/shaders/pointLight.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}, {hlsl::Pixel, "PSUnscattered"}}},
      {"data/shaders/spotLight.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}, {hlsl::Pixel, "PSUnscattered"}}},
      {"data/shaders/copyLightMap.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}}},
      {"data/shaders/imageLighting.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}, {hlsl::Pixel, "PSCombined"}}},
      {"data/shaders/prefilter_pbr.hlsl", {{hlsl::Vertex, "mainVS"}, {hlsl::Pixel, "mainPS"}}},
      {"data/shaders/shadows.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}}},
      {"data/shaders/shadowsCloth.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}}},
      {"data/shaders/shadowsInstanced.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}}},
      {"data/shaders/transparency.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}}},
      {"data/shaders/transparencyDepth.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}}},
      {"data/shaders/decal.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}}},
      {"data/shaders/fsdecal.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}}},
      {"data/shaders/raymarch/blobs.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}}},
  };
  for (const auto& [file, entries] : files)
    for (const auto& [stage, entry] : entries) {
      hlsl::Reflection r;
      if (reflectEntry(file, stage, entry, r)) {
        EXPECT_EQ(r.stage, stage) << file << " " << entry;
      }
    }
}

TEST(LightingShaders, ShadowProgramsTakeTheCasterMatrixAndTheirStreams) {
  for (const char* file : {"data/shaders/shadows.hlsl", "data/shaders/shadowsCloth.hlsl", "data/shaders/shadowsInstanced.hlsl"}) {
    hlsl::Reflection vs;
    ASSERT_TRUE(reflectEntry(file, hlsl::Vertex, "VS", vs));
    EXPECT_EQ(constantSize(vs, "gWorldViewProj"), 64u) << file;
  }
  hlsl::Reflection cloth;
  ASSERT_TRUE(reflectEntry("data/shaders/shadowsCloth.hlsl", hlsl::Vertex, "VS", cloth));
  EXPECT_TRUE(hasResource(cloth, 1, false));  // the position texture, vertex slot 1
  EXPECT_TRUE(hasResource(cloth, 1, true));   // and its sampler
  EXPECT_TRUE(cloth.inputs.empty() || cloth.inputs[0].builtin);  // no vertex stream
  hlsl::Reflection instanced;
  ASSERT_TRUE(reflectEntry("data/shaders/shadowsInstanced.hlsl", hlsl::Vertex, "VS", instanced));
  int worldRows = 0;
  for (const auto& in : instanced.inputs)
    if (in.semantic.rfind("WORLD", 0) == 0) ++worldRows;
  EXPECT_EQ(worldRows, 4);
}

TEST(LightingShaders, TransparencyDeclaresThePerObjectConstantsTheRendererWrites) {
  const std::vector<std::pair<const char*, uint32_t>> written = {
      {"gWorldViewProj", 64}, {"gWorldViewProjPrev", 64}, {"gWorldView", 64}, {"gInvTransWorldView", 64},
      {"gProj", 64},          {"gView", 64},              {"gRegionScale", 8}, {"gRegionOffset", 8},
      {"gBaseColor", 16},     {"gSpecularMapColor", 16},  {"gEmissiveColor", 16}, {"gRoughness", 4},
      {"gMetalness", 4},      {"gTileUV", 8},
  };
  hlsl::Reflection ps;
  ASSERT_TRUE(reflectEntry("data/shaders/transparency.hlsl", hlsl::Pixel, "PS", ps));
  for (const auto& [name, size] : written) EXPECT_EQ(constantSize(ps, name), size) << name;
  // Two targets: the picture and the normal target of the G-buffer.
  int targets = 0;
  for (const auto& out : ps.outputs)
    if (out.semantic.rfind("SV_TARGET", 0) == 0) ++targets;
  EXPECT_EQ(targets, 2);
}

// The programs load through the shader manager by the names and default paths the passes use.
TEST(LightingShaders, ProgramsLoadByTheNamesThePassesUse) {
  useBinaryShaders = false;
  for (const char* name : {"dirlight", "pointLight", "spotLight", "copyLightMap", "imageLighting", "shadows",
                           "shadowsCloth", "shadowsInstanced", "transparencyDepth"}) {
    ShaderProgram p(nullptr);
    EXPECT_TRUE(loadProgramAuto(name, EntryPoints::vsps("VS", "PS"), &p)) << name;
  }
  for (const char* name : {"pointLight", "spotLight"}) {
    ShaderProgram p(nullptr);
    EXPECT_TRUE(loadProgramAuto(name, EntryPoints::vsps("VS", "PSUnscattered"), &p)) << name;
  }
  ShaderProgram combined(nullptr);
  EXPECT_TRUE(loadProgramAuto("imageLighting", EntryPoints::vsps("VS", "PSCombined"), &combined));
  ShaderProgram lookup(nullptr);
  EXPECT_TRUE(loadProgramAuto("prefilter_pbr", EntryPoints::vsps("mainVS", "mainPS"), &lookup));
  for (const char* path : {"data\\shaders\\transparency.hlsl", "data/shaders/decal.hlsl", "data/shaders/fsdecal.hlsl",
                           "data/shaders/raymarch/blobs.hlsl"}) {
    std::unique_ptr<ShaderProgram> slot;
    EXPECT_TRUE(loadProgramFromFile(path, EntryPoints::vsps("VS", "PS"), slot)) << path;
  }
  clearShaderCache();
}

}  // namespace

// Contract of the shader files that "Forward" names: both entry points compile, and every
// constant a shader declares is one that each mesh draw writes, at the size it writes (a
// constant the draw does not know would silently stay zero), in buffer b0; material
// textures and samplers sit in the slots the draw binds.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gfx/ShaderProgram.h"
#include "gfx/hlsl/HlslCompiler.h"
#include "scene/GBufferRenderer.h"

namespace {

// The byte size each per-object constant is written with.
const std::map<std::string, uint32_t> kWrittenSizes = {
    {"gWorldViewProj", 64}, {"gWorldViewProjPrev", 64}, {"gWorldView", 64}, {"gInvTransWorldView", 64},
    {"gProj", 64},          {"gView", 64},              {"gRegionScale", 8}, {"gRegionOffset", 8},
    {"gBaseColor", 16},     {"gSpecularMapColor", 16},  {"gEmissiveColor", 16}, {"gRoughness", 4},
    {"gMetalness", 4},      {"gTileUV", 8},             {"gParam1", 4},     {"gParam2", 4},
    {"gParam3", 4},
};

std::vector<std::string> forwardShaders() {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator("data/shaders/forward"))
    if (e.path().extension() == ".hlsl") files.push_back(e.path().generic_string());
  std::sort(files.begin(), files.end());
  return files;
}

TEST(ForwardShaders, CompileAndReadOnlyWhatEveryMeshDrawSets) {
  const std::vector<std::string> files = forwardShaders();
  ASSERT_GE(files.size(), 1u);
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    std::string source;
    ASSERT_TRUE(hlsl::readSourceFile(file, source));
    for (auto [stage, profile, entry] : {std::tuple{hlsl::Vertex, "vs_5_0", "VS"}, {hlsl::Pixel, "ps_5_0", "PS"}}) {
      SCOPED_TRACE(entry);
      const hlsl::CompileResult r = hlsl::compile(stage, profile, source, entry, file);
      ASSERT_TRUE(r.ok) << r.messages;
      hlsl::Reflection refl;
      ASSERT_TRUE(hlsl::reflect(r.spirv, refl));
      for (const hlsl::CBufferInfo& cb : refl.cbuffers) {
        EXPECT_EQ(cb.slot, 0u) << cb.name << ": the per-object constants are written into b0 only";
        for (const hlsl::CBufferVariable& v : cb.variables) {
          auto it = kWrittenSizes.find(v.name);
          ASSERT_NE(it, kWrittenSizes.end()) << v.name << " is not a per-object constant";
          EXPECT_EQ(v.size, it->second) << v.name;
        }
      }
      for (const hlsl::ResourceBinding& res : refl.resources) {
        EXPECT_TRUE(res.kind == hlsl::ResourceKind::Texture || res.kind == hlsl::ResourceKind::Sampler) << res.name;
        EXPECT_LE(res.reg, 4u) << res.name << ": material textures and samplers use slots 0-4";
      }
    }
  }
}

TEST(ForwardShaders, EveryPerObjectConstantIsWrittenAtItsSize) {
  // A buffer declaring all of them, filled with a marker, then written as a draw writes it:
  // each must be overwritten over exactly its size (the table above is the draw's).
  ShaderProgram program(nullptr);
  program.constants[0] = std::make_unique<ConstantBuffer>(nullptr, 0, 64 * 32, 1);
  ConstantBuffer& cb = *program.constants[0];
  uint32_t offset = 0;
  for (const auto& [name, size] : kWrittenSizes) {
    cb.addVariable(name.c_str(), offset, size);
    offset += 64;
  }
  std::vector<uint8_t> memory(64 * 32, 0xCD);
  cb.mapped = memory.data();
  ObjectConstants c;
  for (float* f : {c.worldViewProj.m, c.worldViewProjPrev.m, c.worldView.m, c.invTransWorldView.m, c.proj.m, c.view.m})
    for (int i = 0; i < 16; ++i) f[i] = 1.0f;
  c.region.scale[0] = c.region.scale[1] = c.region.offset[0] = c.region.offset[1] = 1.0f;
  c.baseColor = c.specularColor = c.emissive = {1, 1, 1, 1};
  c.roughness = c.metalness = c.params[0] = c.params[1] = c.params[2] = 1.0f;
  c.tileUV = {1, 1};
  {
    ConstantWriter w(&program, "forward");
    writeObjectConstants(w, c);
  }
  cb.mapped = nullptr;
  offset = 0;
  for (const auto& [name, size] : kWrittenSizes) {
    for (uint32_t k = 0; k < size; k += 4) {
      float v;
      std::memcpy(&v, memory.data() + offset + k, 4);
      EXPECT_EQ(v, 1.0f) << name << " byte " << k;
    }
    offset += 64;
  }
}

}  // namespace

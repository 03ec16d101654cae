// The shader files of the scene passes against what the passes set. A constant, texture or
// sampler a shader does not declare is skipped without a word at run time, so these tests
// are what catches a misspelt name, a wrong type or a resource in the wrong register.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "gfx/hlsl/HlslCompiler.h"
#include "tests/gfx/support/ShaderReflect.h"
#include "scene/GBufferRenderer.h"
#include "scene/Generators.h"

namespace {

struct Var {
  const char* name;
  uint32_t size;
};
struct Slot {
  hlsl::Stage stage;
  uint32_t reg;
  hlsl::ResourceKind kind;
  uint32_t stride = 0;  // structured buffers
};
struct Contract {
  const char* file;
  std::vector<std::pair<hlsl::Stage, const char*>> entries;
  std::vector<Var> constants;  // in b0
  std::vector<Slot> resources;
};

// What GBufferRenderer writes before every draw (writeObjectConstants).
const std::vector<Var> kObjectConstants = {
    {"gWorldViewProj", 64}, {"gWorldViewProjPrev", 64}, {"gWorldView", 64}, {"gInvTransWorldView", 64},
    {"gProj", 64},          {"gView", 64},              {"gRegionScale", 8}, {"gRegionOffset", 8},
    {"gBaseColor", 16},     {"gSpecularMapColor", 16},  {"gEmissiveColor", 16}, {"gRoughness", 4},
    {"gMetalness", 4},      {"gTileUV", 8},
};

std::vector<Var> plus(std::vector<Var> a, const std::vector<Var>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The five material textures and their samplers, pixel stage slots 0-4.
std::vector<Slot> materialSlots() {
  std::vector<Slot> s;
  for (uint32_t i = 0; i < 5; ++i) s.push_back({hlsl::Pixel, i, hlsl::ResourceKind::Texture});
  for (uint32_t i = 0; i < 5; ++i) s.push_back({hlsl::Pixel, i, hlsl::ResourceKind::Sampler});
  return s;
}

std::vector<Contract> contracts() {
  const std::vector<Var> generation = {{"threadCountX", 4}, {"threadCountY", 4},     {"vertexCount", 4},
                                       {"triCount", 4},     {"time", 4},            {"params", 32},
                                       {"attractorCount", 4}, {"attractorPosition", 512},
                                       {"attractorRadiusStrength", 512}};
  return {
      {"data/shaders/gbuffer.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}}, kObjectConstants, materialSlots()},
      {"data/shaders/gbufferInstance.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}}, kObjectConstants,
       materialSlots()},
      // Materials without textures: the same constants, no material slot.
      {"data/shaders/gbuffer.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PSPlain"}}, kObjectConstants, {}},
      {"data/shaders/gbufferInstance.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PSPlain"}}, kObjectConstants, {}},
      {"data/shaders/gbufferAnim.hlsl",
       {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}},
       plus(kObjectConstants, {{"gParam1", 4}, {"gParam2", 4}, {"gParam3", 4}}),
       materialSlots()},
      {"data/shaders/copy.hlsl",
       {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}, {hlsl::Pixel, "PSDepth"}},
       {{"gRegionScale", 8}, {"gRegionOffset", 8}, {"gResolution", 8}, {"gScale", 4}},
       {{hlsl::Pixel, 0, hlsl::ResourceKind::Texture}, {hlsl::Pixel, 0, hlsl::ResourceKind::Sampler}}},
      {"data/shaders/custom/grass.hlsl",
       {{hlsl::Vertex, "VS"}, {hlsl::Geometry, "GS"}, {hlsl::Pixel, "PS"}},
       plus(kObjectConstants, {{"gSize", 8}, {"gOffset", 8}, {"gTime", 4}, {"gParam1", 16}}),
       {{hlsl::Vertex, 0, hlsl::ResourceKind::Texture}, {hlsl::Vertex, 0, hlsl::ResourceKind::Sampler}}},
      {"data/shaders/custom/corruption.hlsl",
       {{hlsl::Vertex, "VS"}, {hlsl::Geometry, "GS"}, {hlsl::Pixel, "PS"}},
       plus(kObjectConstants, {{"gPoint1", 12},
                               {"gControlPoint1", 12},
                               {"gPoint2", 12},
                               {"gControlPoint2", 12},
                               {"gPointCount", 4},
                               {"gStartRadius", 4},
                               {"gEndRadius", 4},
                               {"gMiddleRadius", 4},
                               {"gRadiusPower", 4},
                               {"gEndPointOffset", 4},
                               {"gTime", 4}}),
       {}},
      {"data/shaders/procMesh/boxCS.hlsl",
       {{hlsl::Compute, "CS"}},
       generation,
       {{hlsl::Compute, 0, hlsl::ResourceKind::RWStructuredBuffer, ProcMeshOp::kPointStride},
        {hlsl::Compute, 1, hlsl::ResourceKind::RWStructuredBuffer, ProcMeshOp::kTriangleVertexStride}}},
      {"data/shaders/procMesh/boxVSGSPS.hlsl",
       {{hlsl::Vertex, "VS"}, {hlsl::Geometry, "GS"}, {hlsl::Pixel, "PS"}},
       plus(kObjectConstants, {{"vertexCount", 4}, {"triCount", 4}, {"time", 4}}),
       {{hlsl::Vertex, 8, hlsl::ResourceKind::StructuredBuffer, ProcMeshOp::kPointStride}}},
      // The GPU mesh cutting (cut buffers hold 44-byte vertices, the counters one uint each).
      {"data/shaders/dynaMeshCS.hlsl",
       {{hlsl::Compute, "CS"}},
       {{"gThreadGroupsX", 4}, {"gThreadGroupsY", 4}, {"triCountSrc", 4}, {"additionalTriMultiplier", 4},
        {"strength", 4}, {"planePos", 16}, {"planeDir", 16}},
       {{hlsl::Compute, 0, hlsl::ResourceKind::StructuredBuffer, 44},
        {hlsl::Compute, 1, hlsl::ResourceKind::StructuredBuffer, 4},
        {hlsl::Compute, 0, hlsl::ResourceKind::RWStructuredBuffer, 44},
        {hlsl::Compute, 1, hlsl::ResourceKind::RWStructuredBuffer, 4}}},
      {"data/shaders/dynaMeshClearGlobalsCS.hlsl",
       {{hlsl::Compute, "ResetCS"}},
       {{"gThreadGroupsX", 4}, {"gThreadGroupsY", 4}, {"triCountSrc", 4}},
       {{hlsl::Compute, 0, hlsl::ResourceKind::RWStructuredBuffer, 44},
        {hlsl::Compute, 1, hlsl::ResourceKind::RWStructuredBuffer, 4}}},
      {"data/shaders/dynaMeshClearGlobalsCS.hlsl",
       {{hlsl::Compute, "CS"}},
       {},
       {{hlsl::Compute, 1, hlsl::ResourceKind::RWStructuredBuffer, 4},
        {hlsl::Compute, 2, hlsl::ResourceKind::RWStructuredBuffer, 4}}},
      {"data/shaders/dynaMeshVSPS.hlsl", {{hlsl::Vertex, "VS"}, {hlsl::Pixel, "PS"}}, kObjectConstants,
       {{hlsl::Vertex, 1, hlsl::ResourceKind::StructuredBuffer, 44}}},
  };
}

using shaderreflect::reflectEntry;

bool isUnorderedAccess(hlsl::ResourceKind k) {
  using K = hlsl::ResourceKind;
  return k == K::RWTexture || k == K::RWBuffer || k == K::RWStructuredBuffer || k == K::AppendBuffer ||
         k == K::ConsumeBuffer;
}

const hlsl::CBufferInfo* slot0(const hlsl::Reflection& r) {
  for (const auto& cb : r.cbuffers)
    if (cb.slot == 0) return &cb;
  return nullptr;
}

}  // namespace

TEST(SceneShaderContract, EntriesCompileAndDeclareWhatTheirPassSets) {
  for (const Contract& c : contracts()) {
    std::vector<hlsl::Reflection> stages;
    for (const auto& [stage, entry] : c.entries) {
      hlsl::Reflection r;
      if (!reflectEntry(c.file, stage, entry, r)) continue;
      EXPECT_EQ(r.stage, stage) << c.file << " " << entry;
      stages.push_back(std::move(r));
    }
    if (stages.size() != c.entries.size()) continue;

    // Every constant the pass writes, at the size it writes, in a b0 that every stage using
    // it lays out alike (the program keeps the first stage's layout).
    const hlsl::CBufferInfo* first = nullptr;
    for (size_t i = 0; i < stages.size(); ++i) {
      const hlsl::CBufferInfo* cb = slot0(stages[i]);
      if (!cb) continue;
      if (!first) {
        first = cb;
        continue;
      }
      ASSERT_EQ(cb->variables.size(), first->variables.size()) << c.file << " " << c.entries[i].second;
      for (size_t v = 0; v < cb->variables.size(); ++v) {
        EXPECT_EQ(cb->variables[v].name, first->variables[v].name) << c.file;
        EXPECT_EQ(cb->variables[v].offset, first->variables[v].offset) << c.file;
      }
    }
    if (!c.constants.empty()) {
      ASSERT_NE(first, nullptr) << c.file << " has no b0";
      for (const Var& v : c.constants) {
        const hlsl::CBufferVariable* found = nullptr;
        for (const auto& var : first->variables)
          if (var.name == v.name) found = &var;
        ASSERT_NE(found, nullptr) << c.file << " lacks " << v.name;
        EXPECT_EQ(found->size, v.size) << c.file << " " << v.name;
      }
    }

    // Resources by stage, register and kind.
    for (const Slot& s : c.resources) {
      bool found = false;
      for (const hlsl::Reflection& r : stages) {
        if (r.stage != s.stage) continue;
        for (const auto& res : r.resources) {
          if (res.reg != s.reg) continue;
          const bool isSampler = res.kind == hlsl::ResourceKind::Sampler;
          if (isSampler != (s.kind == hlsl::ResourceKind::Sampler)) continue;
          if (isUnorderedAccess(res.kind) != isUnorderedAccess(s.kind)) continue;  // u# beside t#
          EXPECT_EQ(res.kind, s.kind) << c.file << " register " << s.reg;
          if (s.stride) {
            EXPECT_EQ(res.structStride, s.stride) << c.file << " register " << s.reg;
          }
          found = true;
        }
      }
      EXPECT_TRUE(found) << c.file << " stage " << s.stage << " register " << s.reg;
    }
  }
}

// The programs load through the shader manager by the names the passes use, including
// files named by an operator's default parameter text (backslashes, subfolders, includes
// beside the file).
TEST(SceneShaderContract, ProgramsLoadByTheNamesThePassesUse) {
  useBinaryShaders = false;
  auto load = [](const char* name, EntryPoints e) {
    ShaderProgram p(nullptr);
    return loadProgramAuto(name, e, &p);
  };
  EXPECT_TRUE(load("gbuffer", EntryPoints::vsps("VS", "PS")));
  EXPECT_TRUE(load("gbufferInstance", EntryPoints::vsps("VS", "PS")));
  EXPECT_TRUE(load("gbuffer", EntryPoints::vsps("VS", "PSPlain")));
  EXPECT_TRUE(load("gbufferInstance", EntryPoints::vsps("VS", "PSPlain")));
  EXPECT_TRUE(load("copy", EntryPoints::vsps("VS", "PSDepth")));

  EntryPoints vgp = EntryPoints::vsps("VS", "PS");
  vgp.entry[3] = "GS";
  for (const char* path : {"data\\shaders\\custom\\grass.hlsl", "data//shaders//custom//corruption.hlsl",
                           "data/shaders/procMesh/boxVSGSPS.hlsl"}) {
    std::unique_ptr<ShaderProgram> slot;
    EXPECT_TRUE(loadProgramFromFile(path, vgp, slot)) << path;
  }
  std::unique_ptr<ShaderProgram> slot;
  EXPECT_TRUE(loadProgramFromFile("data\\shaders\\gbufferAnim.hlsl", EntryPoints::vsps("VS", "PS"), slot));
  EXPECT_TRUE(loadProgramFromFile("data/shaders/procMesh/boxCS.hlsl", EntryPoints::compute("CS"), slot));
  clearShaderCache();
}

// writeObjectConstants puts every per-object value at the place and size the G-buffer
// shader reflects, matrices transposed (the shader reads them column-major).
TEST(SceneShaderContract, ObjectConstantsLandWhereTheShaderReadsThem) {
  hlsl::Reflection r;
  ASSERT_TRUE(reflectEntry("data/shaders/gbufferAnim.hlsl", hlsl::Vertex, "VS", r));
  const hlsl::CBufferInfo* info = slot0(r);
  ASSERT_NE(info, nullptr);
  ShaderProgram program(nullptr);
  program.addConstantBuffers(hlsl::Vertex, r, "gbufferAnim");
  ConstantBuffer& cb = *program.constantBuffer(0);
  std::vector<uint8_t> memory(info->size, 0xCD);
  cb.mapped = memory.data();

  ObjectConstants c;
  auto fill = [](Float4x4& m, float base) {
    for (int i = 0; i < 16; ++i) m.m[i] = base + float(i);
  };
  fill(c.worldViewProj, 100);
  fill(c.worldViewProjPrev, 200);
  fill(c.worldView, 300);
  fill(c.invTransWorldView, 400);
  fill(c.proj, 500);
  fill(c.view, 600);
  c.region.scale[0] = 0.5f;
  c.region.scale[1] = 0.25f;
  c.region.offset[0] = 0.125f;
  c.region.offset[1] = 0.0625f;
  c.baseColor = {1, 2, 3, 4};
  c.specularColor = {5, 6, 7, 8};
  c.emissive = {9, 10, 11, 12};
  c.roughness = 13;
  c.metalness = 14;
  c.tileUV = {15, 16};
  c.params[0] = 17;
  c.params[1] = 18;
  c.params[2] = 19;
  {
    ConstantWriter w(&program, "gbufferAnim");
    writeObjectConstants(w, c);
  }
  cb.mapped = nullptr;

  auto at = [&](const char* name) -> const float* {
    const ConstantBuffer::Variable* v = cb.find(name);
    EXPECT_NE(v, nullptr) << name;
    return v ? reinterpret_cast<const float*>(memory.data() + v->offset) : nullptr;
  };
  const std::pair<const char*, float> matrices[] = {{"gWorldViewProj", 100}, {"gWorldViewProjPrev", 200},
                                                    {"gWorldView", 300},     {"gInvTransWorldView", 400},
                                                    {"gProj", 500},          {"gView", 600}};
  for (const auto& [name, base] : matrices) {
    const float* m = at(name);
    ASSERT_NE(m, nullptr);
    for (int row = 0; row < 4; ++row)
      for (int col = 0; col < 4; ++col) EXPECT_EQ(m[col * 4 + row], base + float(row * 4 + col)) << name;
  }
  EXPECT_EQ(at("gRegionScale")[1], 0.25f);
  EXPECT_EQ(at("gRegionOffset")[0], 0.125f);
  EXPECT_EQ(at("gBaseColor")[3], 4.0f);
  EXPECT_EQ(at("gSpecularMapColor")[0], 5.0f);
  EXPECT_EQ(at("gEmissiveColor")[3], 12.0f);
  EXPECT_EQ(at("gRoughness")[0], 13.0f);
  EXPECT_EQ(at("gMetalness")[0], 14.0f);
  EXPECT_EQ(at("gTileUV")[1], 16.0f);
  EXPECT_EQ(at("gParam1")[0], 17.0f);
  EXPECT_EQ(at("gParam3")[0], 19.0f);
  // Every declared byte was written: nothing of a variable keeps the fill pattern.
  for (const auto& v : info->variables) {
    bool untouched = true;
    for (uint32_t b = 0; b < v.size; ++b) untouched = untouched && memory[v.offset + b] == 0xCD;
    EXPECT_FALSE(untouched) << v.name << " is declared but never written";
  }
}

// The simulation shader files against what the simulations set and bind. A constant or
// resource a shader lacks is skipped without a word at run time, so this is what catches a
// misspelt name, a size the CPU writes differently, or a buffer in the wrong register.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gfx/hlsl/HlslCompiler.h"

namespace {

using hlsl::ResourceKind;

struct Constant {
  uint32_t slot;
  const char* name;
  uint32_t size;
};
struct Resource {
  char cls;  // 't', 'u' or 's'
  uint32_t reg;
  ResourceKind kind;
  uint32_t stride = 0;
};
struct Entry {
  const char* file;
  hlsl::Stage stage;
  const char* entry;
  std::vector<Constant> constants;
  std::vector<Resource> resources;
};

std::vector<Constant> plus(std::vector<Constant> a, const std::vector<Constant>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// What writeObjectConstants puts into b0 before a sprite or cloth draw (the G-buffer's
// per-object constants).
const std::vector<Constant> kObject = {
    {0, "gWorldViewProj", 64}, {0, "gWorldViewProjPrev", 64}, {0, "gWorldView", 64},  {0, "gInvTransWorldView", 64},
    {0, "gProj", 64},          {0, "gView", 64},              {0, "gRegionScale", 8}, {0, "gRegionOffset", 8},
    {0, "gBaseColor", 16},     {0, "gSpecularMapColor", 16},  {0, "gEmissiveColor", 16}, {0, "gRoughness", 4},
    {0, "gMetalness", 4},      {0, "gTileUV", 8},
};
const std::vector<Constant> kSprite = plus(kObject, {{0, "gColor", 16}, {0, "gSize", 4}, {0, "gTime", 4}});
const std::vector<Constant> kSort = {{0, "gLevel", 4}, {0, "gLevelMask", 4}, {0, "gWidth", 4}, {0, "gHeight", 4}};
const std::vector<Constant> kSmoke = {{0, "gWorldView", 64}, {0, "gProj", 64},       {0, "gLightViewProj", 64},
                                      {0, "gColor", 16},     {0, "gLightColor", 16}, {0, "gSize", 4},
                                      {0, "gLightScale", 4}};
// The vertex stages read the slice's first particle from b1.
const std::vector<Constant> kSmokeVertex = plus(kSmoke, {{1, "gOffset", 4}});
const std::vector<Constant> kClothCommon = {
    {0, "threadCountX", 4},        {0, "threadCountY", 4},        {0, "vertexCount", 4},
    {0, "renderVertexCount", 4},   {0, "dt", 4},                  {0, "gravityForce", 16},
    {0, "collideWithGround", 4},   {0, "groundPosition", 16},     {0, "groundNormal", 16},
    {0, "damping", 4},             {0, "friction", 4},            {0, "collisionThreshold", 4},
    {0, "colliderCount", 4},       {0, "attractorCount", 4},      {0, "colliderPosition", 512},
    {0, "colliderRadius", 512},    {0, "attractorPosition", 512}, {0, "attractorRadiusStrength", 512},
    {0, "colliderBoxX", 512},      {0, "colliderBoxY", 512},      {0, "colliderBoxZ", 512},
};
const std::vector<Constant> kClothPlane =
    plus(kClothCommon, {{0, "stretchForce", 4}, {0, "shearForce", 4}, {0, "bendForce", 4}});
const std::vector<Constant> kClothMesh =
    plus(kClothCommon, {{0, "stretchForce", 4}, {0, "auxForce", 4}, {0, "auxConnections", 4}});

std::vector<Resource> materialSlots() {
  std::vector<Resource> r;
  for (uint32_t i = 0; i < 5; ++i) r.push_back({'t', i, ResourceKind::Texture});
  for (uint32_t i = 0; i < 5; ++i) r.push_back({'s', i, ResourceKind::Sampler});
  return r;
}

std::vector<Entry> entries() {
  const auto rw = ResourceKind::RWStructuredBuffer;
  const auto ro = ResourceKind::StructuredBuffer;
  const char* cloth = "data/shaders/clothCS.hlsl";
  const char* clothMesh = "data/shaders/clothMeshCS.hlsl";
  std::vector<Entry> e = {
      // Particles.
      {"data/shaders/particles/update2.hlsl", hlsl::Compute, "main",
       {{0, "gDeltaTime", 4}, {0, "gReset", 4}, {0, "gGravity", 16}, {0, "gTimeScale", 4}, {0, "gPlaneHeight", 4}},
       {{'u', 0, rw, 32}}},
      {"data/shaders/particles/sphereEmitter.hlsl", hlsl::Compute, "main",
       {{0, "gTime", 4}, {0, "gRadius", 4}, {0, "gMaxLifeTime", 4}, {0, "gSpeed", 4}, {0, "gSpawnCount", 4}, {0, "gWorld", 64}},
       {{'u', 0, rw, 32}}},
      {"data/shaders/particles/boxEmitter.hlsl", hlsl::Compute, "main",
       {{0, "gTime", 4}, {0, "gSize", 12}, {0, "gMaxLifeTime", 4}, {0, "gSpeed", 4}, {0, "gSpawnCount", 4}, {0, "gWorld", 64}},
       {{'u', 0, rw, 32}}},
      {"data/shaders/particles/curlNoise.hlsl", hlsl::Compute, "main",
       {{0, "gTurbulence", 4}, {0, "gNoiseScale", 4}, {0, "gScale", 4}, {0, "gTime", 4}, {0, "gDelta", 4}},
       {{'u', 0, rw, 32}}},
      {"data/shaders/particles/bitonicSort.hlsl", hlsl::Compute, "sort", plus(kSort, {{0, "gSortAxis", 16}}),
       {{'u', 0, rw, 32}}},
      {"data/shaders/particles/bitonicSort.hlsl", hlsl::Compute, "matrixTranspose", plus(kSort, {{0, "gSortAxis", 16}}),
       {{'t', 0, ro, 32}, {'u', 0, rw, 32}}},
      {"data/shaders/particles/livingCount.hlsl", hlsl::Compute, "main", {}, {{'t', 0, ro, 32}, {'u', 0, rw, 4}}},
      {"data/shaders/particles/pointsprites.hlsl", hlsl::Vertex, "VS", kSprite, {{'t', 1, ro, 32}}},
      {"data/shaders/particles/pointsprites.hlsl", hlsl::Geometry, "GS", kSprite, {}},
      {"data/shaders/particles/pointsprites.hlsl", hlsl::Pixel, "PS", kSprite,
       {{'t', 0, ResourceKind::Texture}, {'s', 0, ResourceKind::Sampler}}},
      // The smoke's vertex stage reads the opacity map once per particle.
      {"data/shaders/particles/pointspritesOpacity.hlsl", hlsl::Vertex, "VS", kSmokeVertex,
       {{'t', 1, ro, 32}, {'t', 2, ResourceKind::Texture}, {'s', 1, ResourceKind::Sampler}}},
      {"data/shaders/particles/pointspritesOpacity.hlsl", hlsl::Geometry, "GS", kSmoke, {}},
      {"data/shaders/particles/pointspritesOpacity.hlsl", hlsl::Pixel, "PS", {},
       {{'t', 0, ResourceKind::Texture}, {'s', 0, ResourceKind::Sampler}}},
      {"data/shaders/particles/opacity.hlsl", hlsl::Vertex, "VS", kSmokeVertex, {{'t', 1, ro, 32}}},
      {"data/shaders/particles/opacity.hlsl", hlsl::Geometry, "GS", kSmoke, {}},
      {"data/shaders/particles/opacity.hlsl", hlsl::Pixel, "PS", {},
       {{'t', 0, ResourceKind::Texture}, {'s', 0, ResourceKind::Sampler}}},
      // Fluid.
      {"data/shaders/sph/hashParticles.hlsl", hlsl::Compute, "main", {}, {{'u', 0, rw, 32}, {'u', 1, rw, 8}}},
      {"data/shaders/sph/resetParticles.hlsl", hlsl::Compute, "clear", {}, {{'u', 0, rw, 32}}},
      {"data/shaders/sph/countingSort.hlsl", hlsl::Compute, "clearCounts", {}, {{'u', 0, rw, 4}}},
      {"data/shaders/sph/countingSort.hlsl", hlsl::Compute, "countVoxels", {}, {{'t', 0, ro, 8}, {'u', 0, rw, 4}}},
      {"data/shaders/sph/countingSort.hlsl", hlsl::Compute, "scanCounts", {}, {{'u', 0, rw, 4}, {'u', 1, rw, 4}}},
      {"data/shaders/sph/countingSort.hlsl", hlsl::Compute, "scatterKeys", {},
       {{'t', 0, ro, 8}, {'u', 1, rw, 4}, {'u', 2, rw, 8}}},
      {"data/shaders/sph/countingSort.hlsl", hlsl::Compute, "orderInVoxels", {},
       {{'t', 0, ro, 8}, {'t', 1, ro, 4}, {'t', 2, ro, 4}, {'u', 2, rw, 8}}},
      {"data/shaders/sph/sortPostPass.hlsl", hlsl::Compute, "sortPostPass", {},
       {{'t', 0, ro, 32}, {'t', 1, ro, 8}, {'u', 0, rw, 32}}},
      {"data/shaders/sph/density.hlsl", hlsl::Compute, "density", {},
       {{'t', 0, ro, 8}, {'t', 1, ro, 4}, {'t', 2, ro, 32}, {'u', 0, rw, 4}, {'u', 1, rw, 4}, {'u', 2, rw, 4}}},
      {"data/shaders/sph/acceleration.hlsl", hlsl::Compute, "acceleration", {},
       {{'t', 0, ro, 8}, {'t', 1, ro, 4}, {'t', 2, ro, 4}, {'t', 3, ro, 32}, {'t', 4, ro, 4}, {'t', 5, ro, 4},
        {'u', 0, rw, 16}}},
      {"data/shaders/sph/integrate.hlsl", hlsl::Compute, "integrate", {},
       {{'t', 0, ro, 32}, {'t', 1, ro, 16}, {'u', 0, rw, 32}}},
      {"data/shaders/sph/pointsprites.hlsl", hlsl::Vertex, "VS", kSprite, {{'t', 1, ro, 32}}},
      {"data/shaders/sph/pointsprites.hlsl", hlsl::Geometry, "GS", kSprite, {}},
      {"data/shaders/sph/pointsprites.hlsl", hlsl::Pixel, "PS", kSprite, {}},
      // Cloth.
      {cloth, hlsl::Compute, "CS", plus(kClothPlane, {{1, "iteration", 4}}),
       {{'t', 0, ro, 8}, {'t', 1, ro, 16}, {'t', 7, ro, 32}, {'u', 0, rw, 32}, {'u', 1, rw, 32}}},
      // The normal passes run per drawn vertex, through the remap onto the simulated ones.
      {cloth, hlsl::Compute, "NT1CS", kClothPlane,
       {{'t', 6, ro, 4}, {'u', 0, rw, 32}, {'u', 2, ResourceKind::RWTexture}}},
      {cloth, hlsl::Compute, "NT2CS", kClothPlane,
       {{'t', 2, ro, 8}, {'t', 3, ro, 4}, {'t', 4, ro, 16}, {'t', 5, ro, 32}, {'t', 6, ro, 4}, {'t', 7, ro, 32},
        {'u', 0, rw, 32}, {'u', 3, rw, 32}}},
      {clothMesh, hlsl::Compute, "CS", plus(kClothMesh, {{1, "iteration", 4}}),
       {{'t', 0, ro, 8}, {'t', 1, ro, 16}, {'t', 7, ro, 32}, {'u', 0, rw, 32}, {'u', 1, rw, 32}}},
      {clothMesh, hlsl::Compute, "NT1CS", kClothMesh, {{'u', 0, rw, 32}, {'u', 4, rw, 32}}},
      {clothMesh, hlsl::Compute, "NT2CS", kClothMesh,
       {{'t', 2, ro, 8}, {'t', 3, ro, 4}, {'t', 4, ro, 16}, {'u', 4, rw, 32}}},
      {clothMesh, hlsl::Compute, "ApplyCS", kClothMesh,
       {{'t', 5, ro, 32}, {'t', 6, ro, 4}, {'u', 2, ResourceKind::RWTexture}, {'u', 3, rw, 32}, {'u', 4, rw, 32}}},
  };
  for (const char* render : {"data/shaders/clothVSPS.hlsl", "data/shaders/clothMeshVSPS.hlsl"}) {
    e.push_back({render, hlsl::Vertex, "VS", kObject, {{'t', 8, ResourceKind::Texture}, {'t', 9, ro, 32}}});
    e.push_back({render, hlsl::Pixel, "PS", kObject, materialSlots()});
  }
  return e;
}

const char* const kProfiles[] = {"vs_5_0", "hs_5_0", "ds_5_0", "gs_5_0", "ps_5_0", "cs_5_0"};

bool isClass(const hlsl::ResourceBinding& r, char cls) {
  switch (r.kind) {
    case ResourceKind::Sampler: return cls == 's';
    case ResourceKind::Texture:
    case ResourceKind::Buffer:
    case ResourceKind::StructuredBuffer: return cls == 't';
    default: return cls == 'u';
  }
}

}  // namespace

TEST(SimShaderContract, EveryEntryCompilesAndDeclaresWhatTheSimulationSets) {
  for (const Entry& e : entries()) {
    SCOPED_TRACE(std::string(e.file) + " " + e.entry);
    std::string source;
    ASSERT_TRUE(hlsl::readSourceFile(e.file, source));
    const hlsl::CompileResult c = hlsl::compile(e.stage, kProfiles[e.stage], source, e.entry, e.file);
    ASSERT_TRUE(c.ok) << c.messages;
    hlsl::Reflection r;
    std::string error;
    ASSERT_TRUE(hlsl::reflect(c.spirv, r, &error)) << error;
    for (const Constant& k : e.constants) {
      const hlsl::CBufferVariable* found = nullptr;
      for (const auto& cb : r.cbuffers)
        if (cb.slot == k.slot)
          for (const auto& v : cb.variables)
            if (v.name == k.name) found = &v;
      ASSERT_NE(found, nullptr) << "b" << k.slot << " lacks " << k.name;
      EXPECT_EQ(found->size, k.size) << k.name;
    }
    for (const Resource& want : e.resources) {
      const hlsl::ResourceBinding* found = nullptr;
      for (const auto& res : r.resources)
        if (res.reg == want.reg && isClass(res, want.cls)) found = &res;
      ASSERT_NE(found, nullptr) << "nothing in " << want.cls << want.reg;
      EXPECT_EQ(found->kind, want.kind) << want.cls << want.reg;
      if (want.stride) {
        EXPECT_EQ(found->structStride, want.stride) << want.cls << want.reg;
      }
    }
  }
}

// Stages of one program lay out b0 alike (a program keeps the first stage's layout).
TEST(SimShaderContract, StagesOfADrawingProgramAgreeOnTheirConstants) {
  const char* files[] = {"data/shaders/particles/pointsprites.hlsl", "data/shaders/particles/pointspritesOpacity.hlsl",
                         "data/shaders/particles/opacity.hlsl", "data/shaders/sph/pointsprites.hlsl"};
  for (const char* file : files) {
    std::string source;
    ASSERT_TRUE(hlsl::readSourceFile(file, source));
    std::vector<hlsl::CBufferVariable> first;
    for (auto [stage, entry] : {std::pair{hlsl::Vertex, "VS"}, {hlsl::Geometry, "GS"}, {hlsl::Pixel, "PS"}}) {
      const hlsl::CompileResult c = hlsl::compile(stage, kProfiles[stage], source, entry, file);
      ASSERT_TRUE(c.ok) << file << " " << entry;
      hlsl::Reflection r;
      ASSERT_TRUE(hlsl::reflect(c.spirv, r, nullptr));
      for (const auto& cb : r.cbuffers) {
        if (cb.slot != 0) continue;
        if (first.empty()) {
          first = cb.variables;
          continue;
        }
        ASSERT_EQ(cb.variables.size(), first.size()) << file << " " << entry;
        for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(cb.variables[i].offset, first[i].offset) << file;
      }
    }
  }
}

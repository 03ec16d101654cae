// "Mesh", "LWO" and "Texture" on a device: what model files look like in a 32 x 32
// G-buffer against the CPU's projection of the same triangles, the shared cache, sub-mesh
// selection, shadow casters, motion, 32-bit indices, LightWave layers and pictures.
#include <gtest/gtest.h>
#include <stb_image_write.h>

#include "gfx/TextureLoader.h"
#include "scene/MeshImport.h"
#include "scene/MeshOperators.h"
#include "tests/scene/LwoWriter.h"
#include "tests/scene/MeshTestSupport.h"

namespace {

const std::string kModels = "/usr/share/assimp/models/";

class MeshImportGpuTest : public MeshGpuTest {};

TEST_F(MeshImportGpuTest, ModelSilhouettesMatchTheProjectionOfTheirTriangles) {
  if (!std::filesystem::exists(kModels)) GTEST_SKIP() << "assimp-testmodels is not installed";
  for (const char* file : {"Collada/duck.dae", "glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb",
                           "OBJ/spider.obj", "FBX/spider.fbx", "3DS/fels.3ds", "PLY/Wuson.ply",
                           "STL/Spider_binary.stl", "glTF2/BoxTextured-glTF/BoxTextured.gltf"}) {
    SCOPED_TRACE(file);
    const std::vector<WorldTriangle> tris = modelTriangles(kModels + file);
    ASSERT_FALSE(tris.empty());
    frame(tris);
    Operator& op = makeOp(g, "Mesh");
    setText(op, "Filepath", kModels + file);
    const FloatImage albedo = draw(op);
    const Agreement a = compare(albedo, tris);
    EXPECT_GE(a.ratio(), 0.99) << a.agree << " of " << a.settled;
    EXPECT_GT(a.covered, 30);
    EXPECT_LT(a.covered, int(size * size));
  }
}

TEST_F(MeshImportGpuTest, OperatorsShareTheFileAndSelectSubMeshes) {
  // Three boxes side by side, each its own OBJ group: three sub-meshes.
  const std::string path = write("three.obj", "g left\n" + objBoxes({{{-300, -50, -50}, {-200, 50, 50}}}, 1) +
                                                  "g middle\n" + objBoxes({{{-50, -50, -50}, {50, 50, 50}}}, 9) +
                                                  "g right\n" + objBoxes({{{200, -50, -50}, {300, 50, 50}}}, 17));
  // 100 file units per world unit.
  const std::vector<WorldTriangle> all = modelTriangles(path);
  ASSERT_EQ(all.size(), 36u);

  Operator& a = makeOp(g, "Mesh");
  Operator& b = makeOp(g, "Mesh");
  setText(a, "Filepath", path);
  setText(b, "Filepath", path);
  lookFrom({0, 0, -0.1f});
  draw(a);
  draw(b);
  EXPECT_EQ(meshCacheSize(), 1u);
  auto* fa = functionOf<MeshOp::MeshFunction>(a);
  auto* fb = functionOf<MeshOp::MeshFunction>(b);
  ASSERT_EQ(fa->subMeshes.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(fa->subMeshes[i].mesh, fb->subMeshes[i].mesh);

  // MeshID -1 draws all three and casts three shadows; 0 the first only; 3 nothing.
  const uint64_t before = device()->counters().draws;
  draw(a);
  EXPECT_EQ(device()->counters().draws - before, 3u);
  ASSERT_EQ(shadowCasters().size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(shadowCasters()[i].geometry, fa->subMeshes[i].mesh.get());
  setParam(a, "MeshID", 0);
  frame(all);
  const FloatImage first = draw(a);
  EXPECT_GE(compare(first, modelTriangles(path, 0)).ratio(), 0.99);
  ASSERT_EQ(shadowCasters().size(), 1u);
  EXPECT_EQ(shadowCasters()[0].geometry, fa->subMeshes[0].mesh.get());
  EXPECT_EQ(shadowCasters()[0].kind, uint32_t(kCasterMesh));
  setParam(a, "MeshID", 3);
  EXPECT_EQ(covered(draw(a)), 0);
  EXPECT_TRUE(shadowCasters().empty());
  setParam(a, "MeshID", -1);
  setParam(a, "CastShadows", 0);
  const FloatImage whole = draw(a);
  EXPECT_GE(compare(whole, all).ratio(), 0.99);
  EXPECT_TRUE(shadowCasters().empty());

  // The operator's own transform: scale, rotation and position after the node transform.
  setParam(a, "Position.Y", 0.01f);
  setParam(a, "Rotation.Z", 90.0f);
  setParam(a, "Scale.X", 0.5f);
  const Float4x4 m = mat::scaleRotateTranslate({0.5f, 1, 1}, {0, 0, 90}, {0, 0.01f, 0});
  std::vector<WorldTriangle> moved = all;
  for (auto& t : moved)
    for (Float3& p : t) p = mat::transformPoint(p, m);
  EXPECT_GE(compare(draw(a), moved).ratio(), 0.99);
}

TEST_F(MeshImportGpuTest, WritesVelocityOffDrawsAMovingMeshWithoutMotion) {
  const std::string path = write("box.obj", objBoxes({{{-60, -60, -60}, {60, 60, 60}}}));
  auto maxMotion = [&](bool writesVelocity) {
    Operator& op = makeOp(g, "Mesh");
    setText(op, "Filepath", path);
    setParam(op, "WritesVelocity", writesVelocity ? 1.0f : 0.0f);
    Operator& time = addOp<TimeSourceOp>(g);
    connectOrThrow(g, time, "FloatOut", op, "Position.X");
    lookFrom({0, 0, -4});
    newFrame();
    op.outputs[0].evaluate(0.5f, context);
    const FloatImage v = readTarget(4);
    EXPECT_GT(covered(readTarget(0)), 50);
    float most = 0;
    for (float x : v.data) most = std::max(most, std::fabs(x));
    return most;
  };
  EXPECT_GT(maxMotion(true), 1e-4f);
  EXPECT_EQ(maxMotion(false), 0.0f);
}

TEST_F(MeshImportGpuTest, SubMeshesBeyondSixteenBitIndicesDrawTheirLastTriangles) {
  // 22,000 separate slivers far off to the side, then one big triangle in front of the
  // camera whose vertices are numbered past 65,535.
  const uint32_t triangles = 22001;
  std::string stl(80, '\0');
  stl.append(reinterpret_cast<const char*>(&triangles), 4);
  auto add = [&](const float (&v)[9]) {
    const float rec[12] = {0, 0, 1, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8]};
    stl.append(reinterpret_cast<const char*>(rec), sizeof rec);
    stl.append(2, '\0');
  };
  for (uint32_t t = 0; t + 1 < triangles; ++t) {
    const float x = 5000.0f + float(t % 200), y = float(t / 200);
    add({x, y, 0, x + 0.5f, y, 0, x, y + 0.5f, 0});
  }
  add({-100, -100, 0, 100, -100, 0, 0, 100, 0});
  const std::string path = write("many.stl", stl);
  Operator& op = makeOp(g, "Mesh");
  setText(op, "Filepath", path);
  lookFrom({0, 0, -3});
  std::vector<WorldTriangle> last = modelTriangles(path);
  ASSERT_EQ(last.size(), 22001u);
  last.erase(last.begin(), last.end() - 1);
  const FloatImage albedo = draw(op);
  auto* f = functionOf<MeshOp::MeshFunction>(op);
  ASSERT_EQ(f->subMeshes.size(), 1u);
  EXPECT_EQ(f->subMeshes[0].mesh->indexFormat, DXGI_FORMAT_R32_UINT);
  const Agreement a = compare(albedo, last);
  EXPECT_GE(a.ratio(), 0.99);
  EXPECT_GT(a.covered, 100);
}

TEST_F(MeshImportGpuTest, LightWaveDrawsItsFirstLayerWithFannedPolygons) {
  // Layer 1: a quad and a pentagon on the left; layer 2: a quad on the right.
  lwo::File f;
  f.tags({"Skin"}).layer(1).points({{-1.6f, -0.5f, 0}, {-1.6f, 0.5f, 0}, {-0.6f, 0.5f, 0}, {-0.6f, -0.5f, 0},
                                    {-0.4f, -0.5f, 0}, {-0.4f, 0.2f, 0}, {-0.1f, 0.6f, 0}, {0.2f, 0.2f, 0},
                                    {0.2f, -0.5f, 0}});
  f.polygons({{0, 1, 2, 3}, {4, 5, 6, 7, 8}}).surfaceTags({{0, 0}, {1, 0}}).surface("Skin", 1.0f);
  f.layer(2).points({{0.6f, -0.5f, 0}, {0.6f, 0.5f, 0}, {1.6f, 0.5f, 0}, {1.6f, -0.5f, 0}}).polygons({{0, 1, 2, 3}});
  f.surfaceTags({{0, 0}});
  const std::vector<uint8_t> bytes = f.bytes();
  const std::string path = write("layers.lwo", std::string(bytes.begin(), bytes.end()));
  Operator& op = makeOp(g, "LWO");
  setText(op, "Filepath", path);
  lookFrom({0, 0, -3});
  const FloatImage albedo = draw(op);
  const std::vector<WorldTriangle> expected = {
      {Float3{-1.6f, -0.5f, 0}, {-1.6f, 0.5f, 0}, {-0.6f, 0.5f, 0}},
      {Float3{-1.6f, -0.5f, 0}, {-0.6f, 0.5f, 0}, {-0.6f, -0.5f, 0}},
      {Float3{-0.4f, -0.5f, 0}, {-0.4f, 0.2f, 0}, {-0.1f, 0.6f, 0}},
      {Float3{-0.4f, -0.5f, 0}, {-0.1f, 0.6f, 0}, {0.2f, 0.2f, 0}},
      {Float3{-0.4f, -0.5f, 0}, {0.2f, 0.2f, 0}, {0.2f, -0.5f, 0}}};
  const Agreement a = compare(albedo, expected);
  EXPECT_GE(a.ratio(), 0.99);
  EXPECT_GT(a.covered, 60);
  ASSERT_EQ(shadowCasters().size(), 1u);
  EXPECT_EQ(shadowCasters()[0].kind, uint32_t(kCasterMesh));
  // Its normals face the camera (view space -Z): the polygons are wound as LightWave does.
  const FloatImage normals = readTarget(1);
  for (uint32_t y = 0; y < size; ++y)
    for (uint32_t x = 0; x < size; ++x)
      if (albedo.at(x, y, 3) > 0.5f) {
        ASSERT_LT(normals.at(x, y, 2), -0.99f);
      }

  // All geometry in the second layer: nothing to draw, and a message naming the file.
  lwo::File second;
  second.tags({"Skin"}).layer(1).surface("Skin").layer(2);
  second.points({{0, 0, 0}, {0, 1, 0}, {1, 0, 0}}).polygons({{0, 1, 2}}).surfaceTags({{0, 0}});
  const std::vector<uint8_t> sb = second.bytes();
  const std::string secondPath = write("second.lwo", std::string(sb.begin(), sb.end()));
  Operator& other = makeOp(g, "LWO");
  setText(other, "Filepath", secondPath);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(covered(draw(other)), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "LightWave object " + secondPath + ": its first layer has no triangles to draw\n");
  EXPECT_TRUE(shadowCasters().empty());
}

TEST_F(MeshImportGpuTest, PackageLightWaveObjectsMatchTheProjectionOfTheirFirstLayer) {
  if (!std::filesystem::exists(kModels + "LWO/LWO2")) GTEST_SKIP() << "assimp-testmodels is not installed";
  for (const char* file : {"LWO/LWO2/ModoExport_vertNormals.lwo", "LWO/LWO2/UglyVertexColors.lwo",
                           "LWO/LWO2/hierarchy.lwo", "LWO/LWO2/transparency.lwo"}) {
    SCOPED_TRACE(file);
    const std::shared_ptr<const LwoObject> object = LoadLWO(kModels + file);
    ASSERT_NE(object, nullptr);
    std::vector<WorldTriangle> tris;
    const std::vector<LwoVertex> v = lwoTriangles(object->layers.front());
    for (size_t i = 0; i + 3 <= v.size(); i += 3) tris.push_back({v[i].position, v[i + 1].position, v[i + 2].position});
    frame(tris);
    Operator& op = makeOp(g, "LWO");
    setText(op, "Filepath", kModels + file);
    const Agreement a = compare(draw(op), tris);
    EXPECT_GE(a.ratio(), 0.99) << a.agree << " of " << a.settled;
    EXPECT_GT(a.covered, 30);
  }
}

TEST_F(MeshImportGpuTest, TextureLoadsOnPathChangeAndKeepsThePictureWhenOneFails) {
  uint8_t pixels[4 * 4 * 4];
  for (uint8_t& p : pixels) p = 200;
  const std::string png = (dir_ / "grey.png").string();
  ASSERT_TRUE(stbi_write_png(png.c_str(), 4, 4, 4, pixels, 16));
  Operator& op = makeOp(g, "Texture");
  EXPECT_EQ(op.outputs[0].name, "TexOut");
  op.outputs[0].evaluate(0, context);
  EXPECT_EQ(context.imageResult, nullptr);
  setText(op, "Filepath", png);
  op.outputs[0].evaluate(0, context);
  Texture* loaded = context.imageResult;
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->width(), 4u);
  EXPECT_EQ(loaded->desc.mipLevels, 3u);
  const std::string bad = write("bad.png", "not a picture");
  setText(op, "Filepath", bad);
  ::testing::internal::CaptureStderr();
  op.outputs[0].evaluate(0, context);
  op.outputs[0].evaluate(0, context);  // the failing path is not tried again
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(context.imageResult, loaded);
  EXPECT_LE(std::count(log.begin(), log.end(), '\n'), 1) << log;
  clearTextureCache();
}

}  // namespace

TEST_F(MeshImportGpuTest, ADeviceTakesItsMeshesOutOfTheCacheWhenItGoes) {
  const std::string path = write("passing.obj", objBoxes({{{-50, -50, -50}, {50, 50, 50}}}, 1));
  {
    DeviceOptions options;
    options.validation = true;
    Device other(options);
    const SubMeshList theirs = LoadMeshFile(path, MeshImportOptions::forOperators(), true, &other);
    ASSERT_EQ(theirs.size(), 1u);
    ASSERT_TRUE(theirs[0].mesh);
    EXPECT_EQ(theirs[0].mesh->vertexBuffers[0]->device, &other);
    EXPECT_EQ(meshCacheSize(), 1u);
  }
  EXPECT_EQ(meshCacheSize(), 0u);
  // The same file on a live device is made afresh, and draws.
  const SubMeshList ours = LoadMeshFile(path, MeshImportOptions::forOperators(), true, device());
  ASSERT_EQ(ours.size(), 1u);
  EXPECT_EQ(ours[0].mesh->vertexBuffers[0]->device, device());
  Operator& op = makeOp(g, "Mesh");
  setText(op, "Filepath", path);
  const std::vector<WorldTriangle> tris = modelTriangles(path);
  frame(tris);
  EXPECT_GE(compare(draw(op), tris).ratio(), 0.99);
}

// Model files through Assimp: what the reader makes of real files of every common format,
// checked against what Assimp itself reports for the same post-processing, and of small
// files the tests write.
#include <gtest/gtest.h>

#include <assimp/Importer.hpp>
#include <assimp/scene.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

#include "scene/ModelReader.h"

namespace {

const std::filesystem::path kModels = "/usr/share/assimp/models";

struct Box {
  Float3 lo{1e30f, 1e30f, 1e30f}, hi{-1e30f, -1e30f, -1e30f};
  void add(Float3 p) {
    lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
    hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
  }
};

// What Assimp reports, walked with its own matrix type (column vectors: parent * node).
struct Expected {
  unsigned mesh;
  unsigned vertices;
  unsigned triangles;
  Box box;
};

std::vector<Expected> assimpReference(const std::string& path, float rootScale) {
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile(path, kModelImportFlags);
  EXPECT_TRUE(scene) << path << ": " << importer.GetErrorString();
  std::vector<Expected> out;
  if (!scene) return out;
  aiMatrix4x4 root;
  aiMatrix4x4::Scaling(aiVector3D(rootScale), root);
  std::function<void(const aiNode*, const aiMatrix4x4&)> walk = [&](const aiNode* node, const aiMatrix4x4& parent) {
    const aiMatrix4x4 world = parent * node->mTransformation;
    for (unsigned k = 0; k < node->mNumMeshes; ++k) {
      const aiMesh* m = scene->mMeshes[node->mMeshes[k]];
      Expected e{node->mMeshes[k], m->mNumVertices, 0, {}};
      for (unsigned f = 0; f < m->mNumFaces; ++f)
        if (m->mFaces[f].mNumIndices == 3) ++e.triangles;
      for (unsigned v = 0; v < m->mNumVertices; ++v) {
        const aiVector3D p = world * m->mVertices[v];
        e.box.add({p.x, p.y, p.z});
      }
      out.push_back(e);
    }
    for (unsigned c = 0; c < node->mNumChildren; ++c) walk(node->mChildren[c], world);
  };
  walk(scene->mRootNode, root);
  return out;
}

Float3 apply(Float3 p, const Float4x4& m) { return mat::transformPoint(p, m); }

void compareWithAssimp(const std::string& relative) {
  SCOPED_TRACE(relative);
  const std::string path = (kModels / relative).string();
  const std::vector<Expected> expected = assimpReference(path, 0.01f);
  ModelReadOptions options;
  options.root = mat::scaling({0.01f, 0.01f, 0.01f});
  std::vector<ModelPart> parts;
  std::string error;
  ASSERT_TRUE(readModelFile(path, options, parts, &error)) << error;
  ASSERT_EQ(parts.size(), expected.size());
  ASSERT_FALSE(parts.empty());
  for (size_t i = 0; i < parts.size(); ++i) {
    const ModelPart& part = parts[i];
    const Expected& e = expected[i];
    EXPECT_EQ(part.meshIndex, e.mesh) << "part " << i;
    EXPECT_EQ(part.vertices.size(), e.vertices) << "part " << i;
    EXPECT_EQ(part.indices.size(), size_t(e.triangles) * 3) << "part " << i;
    Box box;
    for (const MeshVertex& v : part.vertices) box.add(apply(v.position, part.transform));
    const float size = std::max({e.box.hi.x - e.box.lo.x, e.box.hi.y - e.box.lo.y, e.box.hi.z - e.box.lo.z, 1e-6f});
    const float eps = 1e-4f * size + 1e-6f;
    EXPECT_NEAR(box.lo.x, e.box.lo.x, eps);
    EXPECT_NEAR(box.lo.y, e.box.lo.y, eps);
    EXPECT_NEAR(box.lo.z, e.box.lo.z, eps);
    EXPECT_NEAR(box.hi.x, e.box.hi.x, eps);
    EXPECT_NEAR(box.hi.y, e.box.hi.y, eps);
    EXPECT_NEAR(box.hi.z, e.box.hi.z, eps);
    for (uint32_t index : part.indices) ASSERT_LT(index, part.vertices.size());
  }
  // Without indices: three vertices per triangle, the same parts in the same order.
  options.indexed = false;
  std::vector<ModelPart> flat;
  ASSERT_TRUE(readModelFile(path, options, flat, &error)) << error;
  ASSERT_EQ(flat.size(), parts.size());
  for (size_t i = 0; i < flat.size(); ++i) {
    EXPECT_TRUE(flat[i].indices.empty());
    EXPECT_EQ(flat[i].vertices.size(), parts[i].indices.size());
    EXPECT_EQ(flat[i].transform, parts[i].transform);
  }
}

class ModelReaderFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kModels)) GTEST_SKIP() << "assimp-testmodels is not installed";
  }
};

TEST_F(ModelReaderFiles, EveryCommonFormatAgreesWithAssimp) {
  for (const char* file : {
           "OBJ/spider.obj",
           "FBX/spider.fbx",
           "FBX/cubes_with_names.fbx",
           "glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb",
           "glTF2/BoxTextured-glTF/BoxTextured.gltf",
           "Collada/duck.dae",
           "Collada/teapot_instancenodes.DAE",
           "3DS/fels.3ds",
           "PLY/Wuson.ply",
           "PLY/cube_binary.ply",
           "STL/Spider_binary.stl",
           "STL/Spider_ascii.stl",
       })
    compareWithAssimp(file);
}

TEST_F(ModelReaderFiles, PointCloudsGivePartsWithoutTriangles) {
  std::vector<ModelPart> parts;
  ASSERT_TRUE(readModelFile((kModels / "OBJ/point_cloud.obj").string(), {}, parts));
  ASSERT_FALSE(parts.empty());
  for (const ModelPart& p : parts) {
    EXPECT_TRUE(p.indices.empty());
    EXPECT_FALSE(p.vertices.empty());
  }
}

// Files the tests write, in a fresh folder.
class ModelReaderWritten : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zv_model_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& bytes) {
    const std::filesystem::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
  }
  std::filesystem::path dir_;
};

std::string base64(const std::string& in) {
  static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t v = uint8_t(in[i]) << 16;
    if (i + 1 < in.size()) v |= uint8_t(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= uint8_t(in[i + 2]);
    out += k[(v >> 18) & 63];
    out += k[(v >> 12) & 63];
    out += i + 1 < in.size() ? k[(v >> 6) & 63] : '=';
    out += i + 2 < in.size() ? k[v & 63] : '=';
  }
  return out;
}

TEST_F(ModelReaderWritten, ChildNodeTranslationIsScaledByTheRoot) {
  // One triangle around the origin in a node moved 100 file units along X under a parent.
  std::string buffer;
  const float pos[9] = {-1, -1, 0, 1, -1, 0, 0, 1, 0};
  const uint16_t idx[4] = {0, 1, 2, 0};
  buffer.append(reinterpret_cast<const char*>(pos), sizeof(pos));
  buffer.append(reinterpret_cast<const char*>(idx), sizeof(idx));
  const std::string gltf = R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],
    "nodes":[{"children":[1]},{"translation":[100,0,0],"mesh":0}],
    "meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1}]}],
    "buffers":[{"byteLength":44,"uri":"data:application/octet-stream;base64,)" +
                           base64(buffer) + R"("}],
    "bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":36},{"buffer":0,"byteOffset":36,"byteLength":6}],
    "accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3","min":[-1,-1,0],"max":[1,1,0]},
                 {"bufferView":1,"componentType":5123,"count":3,"type":"SCALAR"}]})";
  const std::string path = write("moved.gltf", gltf);
  ModelReadOptions options;
  options.root = mat::scaling({0.01f, 0.01f, 0.01f});
  std::vector<ModelPart> parts;
  std::string error;
  ASSERT_TRUE(readModelFile(path, options, parts, &error)) << error;
  ASSERT_EQ(parts.size(), 1u);
  Float3 centre;
  for (const MeshVertex& v : parts[0].vertices) centre = centre + apply(v.position, parts[0].transform) * (1.0f / 3.0f);
  EXPECT_NEAR(centre.x, 1.0f, 1e-5f);
  EXPECT_NEAR(centre.y, -1.0f / 300.0f, 1e-5f);
  // Without normals in the file the vertices carry the face normal; the UVs are zero.
  const Float3 p0 = parts[0].vertices[parts[0].indices[0]].position;
  const Float3 n = normalize(cross(parts[0].vertices[parts[0].indices[1]].position - p0,
                                   parts[0].vertices[parts[0].indices[2]].position - p0));
  for (const MeshVertex& v : parts[0].vertices) {
    EXPECT_NEAR(dot(v.normal, n), 1.0f, 1e-5f);
    EXPECT_EQ(v.uv.x, 0.0f);
    EXPECT_EQ(v.uv.y, 0.0f);
  }
}

TEST_F(ModelReaderWritten, FaceNormalsForMeshesWithoutNormalsAndGivenOnesKept) {
  // Two triangles folded at the shared edge 0-1: a later face wins at shared vertices.
  const std::string folded = write("folded.obj",
                                   "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\n"
                                   "f 1 2 3\nf 2 1 4\n");
  std::vector<ModelPart> parts;
  ASSERT_TRUE(readModelFile(folded, {}, parts));
  ASSERT_EQ(parts.size(), 1u);
  const ModelPart& p = parts[0];
  ASSERT_EQ(p.indices.size(), 6u);
  const auto faceNormal = [&](size_t f) {
    const Float3 a = p.vertices[p.indices[f * 3]].position;
    return normalize(cross(p.vertices[p.indices[f * 3 + 1]].position - a, p.vertices[p.indices[f * 3 + 2]].position - a));
  };
  const Float3 n0 = faceNormal(0), n1 = faceNormal(1);
  ASSERT_LT(dot(n0, n1), 0.5f);
  const auto inFace = [&](uint32_t vertex, size_t f) {
    return p.indices[f * 3] == vertex || p.indices[f * 3 + 1] == vertex || p.indices[f * 3 + 2] == vertex;
  };
  int shared = 0;
  for (uint32_t v = 0; v < p.vertices.size(); ++v) {
    // A vertex of both faces carries the normal of the face written last.
    const Float3 expected = inFace(v, 1) ? n1 : n0;
    EXPECT_NEAR(dot(p.vertices[v].normal, expected), 1.0f, 1e-5f) << v;
    if (inFace(v, 0) && inFace(v, 1)) ++shared;
  }
  EXPECT_EQ(shared, 2);

  // Given normals (deliberately not the face normal) are kept as Assimp hands them over.
  const std::string given = write("given.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nvn 1 0 0\nvt 0.25 0.75\nf 1/1/1 2/1/1 3/1/1\n");
  ASSERT_TRUE(readModelFile(given, {}, parts));
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile(given, kModelImportFlags);
  ASSERT_TRUE(scene && scene->mMeshes[0]->mNormals);
  for (size_t i = 0; i < parts[0].vertices.size(); ++i) {
    const aiVector3D n = scene->mMeshes[0]->mNormals[i];
    EXPECT_EQ(parts[0].vertices[i].normal.x, n.x);
    EXPECT_EQ(parts[0].vertices[i].normal.z, n.z);
    EXPECT_NEAR(std::fabs(n.x), 1.0f, 1e-6f);
    // Flipped V: 1 - 0.75.
    EXPECT_NEAR(parts[0].vertices[i].uv.y, 0.25f, 1e-6f);
  }
}

TEST_F(ModelReaderWritten, MoreVerticesThanSixteenBitIndicesReach) {
  // 22,000 separate triangles: 66,000 vertices that joining cannot merge.
  const uint32_t triangles = 22000;
  std::string stl(80, '\0');
  stl.append(reinterpret_cast<const char*>(&triangles), 4);
  for (uint32_t t = 0; t < triangles; ++t) {
    const float x = float(t % 200), y = float(t / 200);
    const float rec[12] = {0, 0, 1, x, y, 0, x + 0.5f, y, 0, x, y + 0.5f, 0};
    stl.append(reinterpret_cast<const char*>(rec), sizeof(rec));
    stl.append(2, '\0');
  }
  const std::string path = write("many.stl", stl);
  std::vector<ModelPart> parts;
  std::string error;
  ASSERT_TRUE(readModelFile(path, {}, parts, &error)) << error;
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].vertices.size(), 66000u);
  EXPECT_EQ(parts[0].indices.size(), 66000u);
  EXPECT_GT(*std::max_element(parts[0].indices.begin(), parts[0].indices.end()), 65535u);
}

TEST_F(ModelReaderWritten, UnreadableFilesGiveAssimpsReason) {
  std::vector<ModelPart> parts;
  std::string error;
  EXPECT_FALSE(readModelFile((dir_ / "missing.obj").string(), {}, parts, &error));
  EXPECT_FALSE(error.empty());
  const std::string broken = write("broken.ply", "ply\nformat binary_little_endian 1.0\nelement vertex 99\nend_header\n");
  error.clear();
  EXPECT_FALSE(readModelFile(broken, {}, parts, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(parts.empty());
}

}  // namespace

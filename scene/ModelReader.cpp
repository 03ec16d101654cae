#include "scene/ModelReader.h"

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

namespace {

static_assert(kModelImportFlags == (aiProcess_CalcTangentSpace | aiProcess_JoinIdenticalVertices |
                                    aiProcess_MakeLeftHanded | aiProcess_Triangulate | aiProcess_FlipUVs |
                                    aiProcess_FlipWindingOrder));

// Assimp's matrices take column vectors (translation in the fourth column); ours take row
// vectors, so the node transform enters transposed.
Float4x4 rowVectorMatrix(const aiMatrix4x4& m) {
  Float4x4 r;
  const float* src = &m.a1;  // a1..a4, b1..b4, c1..c4, d1..d4: row-major storage
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) r.at(j, i) = src[i * 4 + j];
  return r;
}

Float3 vec(const aiVector3D& v) { return {v.x, v.y, v.z}; }

MeshVertex vertexOf(const aiMesh& mesh, unsigned i) {
  MeshVertex v;
  v.position = vec(mesh.mVertices[i]);
  if (mesh.mNormals) v.normal = vec(mesh.mNormals[i]);
  if (mesh.mTangents) v.tangent = vec(mesh.mTangents[i]);
  if (mesh.mTextureCoords[0]) v.uv = {mesh.mTextureCoords[0][i].x, mesh.mTextureCoords[0][i].y};
  return v;
}

bool isTriangle(const aiFace& face, unsigned vertexCount) {
  if (face.mNumIndices != 3 || !face.mIndices) return false;
  for (unsigned k = 0; k < 3; ++k)
    if (face.mIndices[k] >= vertexCount) return false;
  return true;
}

void convertMesh(const aiMesh& mesh, bool indexed, ModelPart& part) {
  const unsigned count = mesh.mVertices ? mesh.mNumVertices : 0;
  if (indexed) {
    part.vertices.reserve(count);
    for (unsigned i = 0; i < count; ++i) part.vertices.push_back(vertexOf(mesh, i));
    part.indices.reserve(size_t(mesh.mNumFaces) * 3);
    for (unsigned f = 0; f < mesh.mNumFaces && mesh.mFaces; ++f) {
      const aiFace& face = mesh.mFaces[f];
      if (!isTriangle(face, count)) continue;
      const uint32_t i0 = face.mIndices[0], i1 = face.mIndices[1], i2 = face.mIndices[2];
      if (!mesh.mNormals) {
        const Float3 p0 = part.vertices[i0].position;
        const Float3 n = normalize(cross(part.vertices[i1].position - p0, part.vertices[i2].position - p0));
        part.vertices[i0].normal = part.vertices[i1].normal = part.vertices[i2].normal = n;
      }
      part.indices.insert(part.indices.end(), {i0, i1, i2});
    }
  } else {
    part.vertices.reserve(size_t(mesh.mNumFaces) * 3);
    for (unsigned f = 0; f < mesh.mNumFaces && mesh.mFaces; ++f) {
      const aiFace& face = mesh.mFaces[f];
      if (!isTriangle(face, count)) continue;
      for (unsigned k = 0; k < 3; ++k) part.vertices.push_back(vertexOf(mesh, face.mIndices[k]));
    }
  }
}

// Depth first with an explicit stack, so a deep (or hostile) node tree cannot exhaust the
// call stack; children are pushed in reverse to keep their order.
void walk(const aiScene& scene, const ModelReadOptions& options, std::vector<ModelPart>& parts) {
  struct Pending {
    const aiNode* node;
    Float4x4 parent;
  };
  std::vector<Pending> stack{{scene.mRootNode, options.root}};
  while (!stack.empty()) {
    const Pending p = stack.back();
    stack.pop_back();
    const Float4x4 accumulated = rowVectorMatrix(p.node->mTransformation) * p.parent;
    for (unsigned k = 0; k < p.node->mNumMeshes && p.node->mMeshes; ++k) {
      const unsigned index = p.node->mMeshes[k];
      if (index >= scene.mNumMeshes || !scene.mMeshes[index]) continue;
      ModelPart part;
      part.transform = accumulated;
      part.meshIndex = index;
      convertMesh(*scene.mMeshes[index], options.indexed, part);
      parts.push_back(std::move(part));
    }
    for (unsigned c = p.node->mNumChildren; c-- > 0;)
      if (p.node->mChildren && p.node->mChildren[c]) stack.push_back({p.node->mChildren[c], accumulated});
  }
}

}  // namespace

bool readModelFile(const std::string& path, const ModelReadOptions& options, std::vector<ModelPart>& parts,
                   std::string* error) {
  parts.clear();
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile(path, kModelImportFlags);
  if (!scene) {
    if (error) *error = importer.GetErrorString();
    return false;
  }
  if (!scene->mRootNode) {
    if (error) *error = "the file holds no node tree";
    return false;
  }
  walk(*scene, options, parts);
  return true;
}

#pragma once
// Support for the mesh-file GPU tests: a fixture with a scratch folder for files the tests
// write, model files of their own (OBJ boxes and grids), and the CPU's view of which pixels
// a list of world-space triangles covers under the fixture's camera.
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/Globals.h"
#include "engine/Project.h"
#include "scene/ModelReader.h"
#include "scene/Operators.h"
#include "scene/ShadowCasters.h"
#include "tests/scene/SceneGpuSupport.h"
#include "tests/scene/SceneTestSupport.h"

using WorldTriangle = std::array<Float3, 3>;

// The triangles of a model file as the "Mesh" operator places them (root scale 0.01, node
// transforms), in walk order; `part` >= 0 keeps only that sub-mesh. Without nodeTransforms
// the file's own coordinates go under `world` alone.
inline std::vector<WorldTriangle> modelTriangles(const std::string& path, int part = -1,
                                                 const Float4x4& world = Float4x4{}, bool nodeTransforms = true) {
  ModelReadOptions o;
  o.root = mat::scaling({0.01f, 0.01f, 0.01f});
  std::vector<ModelPart> parts;
  readModelFile(path, o, parts);
  std::vector<WorldTriangle> out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (part >= 0 && size_t(part) != i) continue;
    const Float4x4 m = nodeTransforms ? parts[i].transform * world : world;
    for (size_t k = 0; k + 3 <= parts[i].indices.size(); k += 3)
      out.push_back({mat::transformPoint(parts[i].vertices[parts[i].indices[k]].position, m),
                     mat::transformPoint(parts[i].vertices[parts[i].indices[k + 1]].position, m),
                     mat::transformPoint(parts[i].vertices[parts[i].indices[k + 2]].position, m)});
  }
  return out;
}

// An OBJ file of boxes (min, max pairs), each as 12 triangles facing outward once the
// importer has made the coordinates left-handed. `base` is the OBJ number of the first
// vertex (1 unless earlier text of the same file holds vertices).
inline std::string objBoxes(const std::vector<std::pair<Float3, Float3>>& boxes, int base = 1) {
  std::ostringstream o;
  for (const auto& [mn, mx] : boxes) {
    // OBJ is right-handed and the import mirrors z: write -z, and wind each triangle
    // counter-clockwise seen from outside in the file's own frame.
    Float3 v[8];
    for (int i = 0; i < 8; ++i) {
      v[i] = {(i & 1) ? mx.x : mn.x, (i & 2) ? mx.y : mn.y, -((i & 4) ? mx.z : mn.z)};
      o << "v " << v[i].x << " " << v[i].y << " " << v[i].z << "\n";
    }
    const Float3 centre = (v[0] + v[7]) * 0.5f;
    const int f[12][3] = {{0, 2, 3}, {0, 3, 1}, {4, 5, 7}, {4, 7, 6}, {0, 1, 5}, {0, 5, 4},
                          {2, 6, 7}, {2, 7, 3}, {0, 4, 6}, {0, 6, 2}, {1, 3, 7}, {1, 7, 5}};
    for (const auto& t : f) {
      int a = t[0], b = t[1], c = t[2];
      const Float3 mid = (v[a] + v[b] + v[c]) * (1.0f / 3.0f);
      if (dot(cross(v[b] - v[a], v[c] - v[a]), mid - centre) < 0) std::swap(b, c);
      o << "f " << base + a << " " << base + b << " " << base + c << "\n";
    }
    base += 8;
  }
  return o.str();
}

// Which points a set of world triangles covers, sampled at every half pixel of the target.
class Silhouette {
 public:
  // front: only triangles facing the camera (the G-buffer programs cull back faces).
  Silhouette(const std::vector<WorldTriangle>& tris, const Float4x4& camera, float fovDeg, uint32_t width,
             uint32_t height, bool frontOnly)
      : w_(width * 2 + 1), h_(height * 2 + 1), grid_(size_t(w_) * h_, 0) {
    const float ys = 1.0f / std::tan(fovDeg * 0.5f * 3.14159265f / 180.0f);
    const float aspect = float(width) / float(height);
    const Float3 eye = camera.row3(3);
    for (const WorldTriangle& t : tris) {
      if (frontOnly && dot(cross(t[1] - t[0], t[2] - t[0]), t[0] - eye) >= 0.0f) continue;
      Float2 s[3];
      bool behind = false;
      for (int k = 0; k < 3; ++k) {
        const Float3 d = t[k] - eye;
        const Float3 v{dot(d, camera.row3(0)), dot(d, camera.row3(1)), dot(d, camera.row3(2))};
        if (v.z <= 0.0f) behind = true;
        s[k] = {(v.x * ys / aspect / v.z * 0.5f + 0.5f) * float(width), (0.5f - v.y * ys / v.z * 0.5f) * float(height)};
      }
      if (behind) continue;
      rasterize(s);
    }
  }
  bool at(int gx, int gy) const {
    if (gx < 0 || gy < 0 || gx >= int(w_) || gy >= int(h_)) return false;
    return grid_[size_t(gy) * w_ + size_t(gx)] != 0;
  }
  // 1 covered, 0 empty, -1 when the centre and the points half a pixel away disagree.
  int settled(uint32_t x, uint32_t y) const {
    const int cx = int(x) * 2 + 1, cy = int(y) * 2 + 1;
    const bool c = at(cx, cy);
    if (at(cx - 1, cy) != c || at(cx + 1, cy) != c || at(cx, cy - 1) != c || at(cx, cy + 1) != c) return -1;
    return c ? 1 : 0;
  }

 private:
  void rasterize(const Float2 s[3]) {
    const float area = (s[1].x - s[0].x) * (s[2].y - s[0].y) - (s[1].y - s[0].y) * (s[2].x - s[0].x);
    if (area == 0.0f) return;
    const float minx = std::min({s[0].x, s[1].x, s[2].x}), maxx = std::max({s[0].x, s[1].x, s[2].x});
    const float miny = std::min({s[0].y, s[1].y, s[2].y}), maxy = std::max({s[0].y, s[1].y, s[2].y});
    const int x0 = std::max(0, int(std::floor(minx * 2))), x1 = std::min(int(w_) - 1, int(std::ceil(maxx * 2)));
    const int y0 = std::max(0, int(std::floor(miny * 2))), y1 = std::min(int(h_) - 1, int(std::ceil(maxy * 2)));
    for (int gy = y0; gy <= y1; ++gy)
      for (int gx = x0; gx <= x1; ++gx) {
        const float px = float(gx) * 0.5f, py = float(gy) * 0.5f;
        float e[3];
        for (int k = 0; k < 3; ++k) {
          const Float2 a = s[k], b = s[(k + 1) % 3];
          e[k] = ((b.x - a.x) * (py - a.y) - (b.y - a.y) * (px - a.x)) * (area > 0 ? 1.0f : -1.0f);
        }
        if (e[0] >= 0 && e[1] >= 0 && e[2] >= 0) grid_[size_t(gy) * w_ + size_t(gx)] = 1;
      }
  }
  uint32_t w_, h_;
  std::vector<uint8_t> grid_;
};

class MeshGpuTest : public SceneGpuTest {
 protected:
  void SetUp() override {
    SceneGpuTest::SetUp();
    registerSceneOperators();
    wasLoading_ = isLoading;
    isLoading = false;
    dir_ = std::filesystem::temp_directory_path() /
           ("zv_meshgpu_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    isLoading = wasLoading_;
    clearPerFrameLists();
    g.operators.clear();
    clearMeshCache();
    clearLwoCache();
    std::filesystem::remove_all(dir_);
    SceneGpuTest::TearDown();
  }

  std::string write(const std::string& name, const std::string& bytes) {
    const std::string p = (dir_ / name).string();
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }

  // A fresh frame, the operator drawn at time t, and the albedo target read back.
  FloatImage draw(Operator& op, float t = 0.0f) {
    newFrame();
    context.projection = mat::perspectiveFovDegrees(fov, 1.0f, zNear, zNear * 10000.0f);
    context.world = context.worldPrev = Float4x4{};
    op.outputs[0].evaluate(t, context);
    return readTarget(0);
  }
  static int covered(const FloatImage& albedo) {
    int n = 0;
    for (uint32_t y = 0; y < albedo.height; ++y)
      for (uint32_t x = 0; x < albedo.width; ++x) n += albedo.at(x, y, 3) > 0.5f;
    return n;
  }

  // Camera in front of the triangles (looking along +Z) so that they fill most of the view.
  void frame(const std::vector<WorldTriangle>& tris) {
    Float3 lo{1e30f, 1e30f, 1e30f}, hi{-1e30f, -1e30f, -1e30f};
    for (const auto& t : tris)
      for (const Float3& p : t) {
        lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
        hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
      }
    const Float3 c = (lo + hi) * 0.5f;
    const float r = length(hi - lo) * 0.5f;
    lookFrom(c - Float3{0, 0, r / std::tan(22.5f * 3.14159265f / 180.0f) * 1.05f});
    zNear = std::min(0.1f, r * 0.05f);
  }

  struct Agreement {
    int agree = 0, settled = 0, covered = 0;
    double ratio() const { return settled ? double(agree) / settled : 0.0; }
  };
  Agreement compare(const FloatImage& albedo, const std::vector<WorldTriangle>& tris, bool frontOnly = true) {
    const Silhouette sil(tris, context.camera, fov, size, size, frontOnly);
    Agreement a;
    for (uint32_t y = 0; y < size; ++y)
      for (uint32_t x = 0; x < size; ++x) {
        const int expected = sil.settled(x, y);
        if (expected < 0) continue;
        ++a.settled;
        const bool drawn = albedo.at(x, y, 3) > 0.5f;
        a.agree += drawn == (expected == 1);
        a.covered += drawn;
      }
    return a;
  }

  template <class F>
  F* functionOf(Operator& op) {
    return dynamic_cast<F*>(op.outputs[0].source.get());
  }

  OperatorGraph g;
  float zNear = 0.1f;  // of the projection draw() sets (frame() brings it closer for small models)
  std::filesystem::path dir_;
  bool wasLoading_ = true;
};

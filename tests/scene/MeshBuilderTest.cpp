#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "scene/MeshBuilder.h"

namespace {

constexpr float kPi = 3.14159265358979f;

Float3 p3(const Float4& v) { return {v.x, v.y, v.z}; }

struct Shape {
  std::string name;
  std::function<void(MeshBuilder&)> build;
  uint32_t vertices;
  uint32_t triangles;
  double volume;  // enclosed volume of the closed shapes (0: open, not checked)
};

// Area of a regular n-gon of radius 1: what the round shapes' cross-sections really are.
double polygonArea(int n) { return 0.5 * n * std::sin(2.0 * kPi / n); }

std::vector<Shape> shapes() {
  return {
      {"box", [](MeshBuilder& b) { b.addBox({}, {1, 1, 1}); }, 24, 12, 1.0},
      {"quad", [](MeshBuilder& b) { b.addQuad({}); }, 4, 2, 0.0},
      {"sphere 1", [](MeshBuilder& b) { b.addSphere({}, 1, false); }, 4, 2, 0.0},
      {"sphere 6", [](MeshBuilder& b) { b.addSphere({}, 6, false); }, 49, 72, 0.0},
      {"sphere 32", [](MeshBuilder& b) { b.addSphere({}, 32, false); }, 33 * 33, 2 * 32 * 32, 0.0},
      {"cone 32", [](MeshBuilder& b) { b.addCone({}, 32); }, 192, 64, polygonArea(32) / 3.0},
      {"cone 16", [](MeshBuilder& b) { b.addCone({}, 16); }, 96, 32, polygonArea(16) / 3.0},
      {"cylinder", [](MeshBuilder& b) { b.addCylinder({}); }, 320, 128, polygonArea(32)},
      {"prism", [](MeshBuilder& b) { b.addPrism({}); }, 30, 12, polygonArea(3)},
      {"dome", [](MeshBuilder& b) { b.addDome({}); }, 289, 512, 0.0},
  };
}

Float3 triangleCross(const MeshBuilder& b, size_t tri) {
  const Float3 a = p3(b.positions[b.indices[tri * 3]]);
  const Float3 c1 = p3(b.positions[b.indices[tri * 3 + 1]]);
  const Float3 c2 = p3(b.positions[b.indices[tri * 3 + 2]]);
  return cross(c1 - a, c2 - a);
}

}  // namespace

TEST(MeshBuilder, ShapesHaveTheirVertexAndTriangleCounts) {
  for (const Shape& s : shapes()) {
    MeshBuilder b;
    s.build(b);
    EXPECT_EQ(b.vertexCount(), s.vertices) << s.name;
    EXPECT_EQ(b.triangleCount(), s.triangles) << s.name;
    EXPECT_EQ(b.indices.size() % 3, 0u) << s.name;
    EXPECT_EQ(b.normals.size(), b.vertexCount()) << s.name;
    EXPECT_EQ(b.texcoords.size(), b.vertexCount()) << s.name;
    for (uint32_t i : b.indices) ASSERT_LT(i, b.vertexCount()) << s.name;
    for (const Float4& t : b.tangents) ASSERT_TRUE(t.x == 0 && t.y == 1 && t.z == 0) << s.name;
    EXPECT_FALSE(b.needs32BitIndices()) << s.name;
  }
  // The sphere's detail is clamped to 1..100.
  MeshBuilder low, high;
  low.addSphere({}, 0, false);
  high.addSphere({}, 500, false);
  EXPECT_EQ(low.vertexCount(), 4u);
  EXPECT_EQ(high.vertexCount(), 101u * 101u);
  EXPECT_EQ(high.triangleCount(), 2u * 100u * 100u);
}

// Front faces are clockwise on screen, which for these left-handed shapes means
// cross(p1 - p0, p2 - p0) points the way the surface faces. Every triangle with an area
// must agree with its vertices' normals, and each closed solid must enclose its volume
// with outward faces (a face wound the other way subtracts instead of adding).
TEST(MeshBuilder, TrianglesFaceTheWayTheirNormalsPoint) {
  for (const Shape& s : shapes()) {
    MeshBuilder b;
    s.build(b);
    double volume = 0;
    for (size_t tri = 0; tri < b.triangleCount(); ++tri) {
      const Float3 c = triangleCross(b, tri);
      const Float3 p0 = p3(b.positions[b.indices[tri * 3]]);
      volume += dot(p0, c) / 6.0;
      if (length(c) < 1e-6f) continue;  // the sphere's poles
      Float3 n{};
      for (int k = 0; k < 3; ++k) n = n + p3(b.normals[b.indices[tri * 3 + k]]);
      EXPECT_GT(dot(c, n), 0.0f) << s.name << " triangle " << tri;
    }
    if (s.volume > 0) {
      EXPECT_NEAR(volume, s.volume, 1e-4) << s.name;
    }
  }
  // A fine sphere encloses nearly the ball.
  MeshBuilder ball;
  ball.addSphere({}, 100, false);
  double v = 0;
  for (size_t tri = 0; tri < ball.triangleCount(); ++tri)
    v += dot(p3(ball.positions[ball.indices[tri * 3]]), triangleCross(ball, tri)) / 6.0;
  EXPECT_NEAR(v, 4.0 / 3.0 * kPi, 0.01);
}

TEST(MeshBuilder, InvertedSphereTurnsOnlyItsNormals) {
  MeshBuilder out, in;
  out.addSphere({1, 2, 3}, 8, false);
  in.addSphere({1, 2, 3}, 8, true);
  ASSERT_EQ(out.vertexCount(), in.vertexCount());
  EXPECT_EQ(out.indices, in.indices);
  for (uint32_t i = 0; i < out.vertexCount(); ++i) {
    EXPECT_EQ(out.positions[i].x, in.positions[i].x);
    EXPECT_EQ(out.normals[i].x, -in.normals[i].x);
    EXPECT_EQ(out.normals[i].y, -in.normals[i].y);
    // Outward normal of radius 1: the offset from the centre.
    const Float3 offset = p3(out.positions[i]) - Float3{1, 2, 3};
    EXPECT_NEAR(length(offset), 1.0f, 1e-5f);
    EXPECT_NEAR(dot(offset, p3(out.normals[i])), 1.0f, 1e-5f);
  }
}

TEST(MeshBuilder, TextureCoordinatesFollowTheShapes) {
  MeshBuilder box;
  box.addBox({}, {1, 1, 1});
  const Float2 faceUv[4] = {{0, 1}, {0, 0}, {1, 0}, {1, 1}};
  for (uint32_t v = 0; v < 24; ++v) {
    EXPECT_EQ(box.texcoords[v].x, faceUv[v % 4].x);
    EXPECT_EQ(box.texcoords[v].y, faceUv[v % 4].y);
  }
  // First face: corner at min, edges X then Y, facing -Z.
  EXPECT_EQ(p3(box.positions[0]).z, -0.5f);
  EXPECT_EQ(p3(box.positions[2]).x, 0.5f);
  EXPECT_EQ(p3(box.positions[2]).y, 0.5f);
  EXPECT_EQ(box.normals[0].z, -1.0f);

  // Sphere vertex (ring j, column i) sits at index j (N + 1) + i with uv (i/N, 1 - j/N),
  // polar angle j pi / N from the bottom pole.
  const int n = 8;
  MeshBuilder sphere;
  sphere.addSphere({}, n, false);
  for (int j = 0; j <= n; ++j)
    for (int i = 0; i <= n; ++i) {
      const uint32_t k = uint32_t(j * (n + 1) + i);
      EXPECT_FLOAT_EQ(sphere.texcoords[k].x, float(i) / n);
      EXPECT_FLOAT_EQ(sphere.texcoords[k].y, 1.0f - float(j) / n);
      EXPECT_NEAR(sphere.positions[k].y, -std::cos(j * kPi / n), 1e-5f);
    }

  // Cylinder side: u = k / 32 along the ring, v 0 at the bottom and 1 at the top.
  MeshBuilder cylinder;
  cylinder.addCylinder({});
  for (uint32_t k = 0; k < 32; ++k) {
    const uint32_t b0 = k * 4;
    EXPECT_FLOAT_EQ(cylinder.texcoords[b0].x, float(k) / 32);
    EXPECT_EQ(cylinder.texcoords[b0].y, 0.0f);
    EXPECT_EQ(cylinder.positions[b0].y, -0.5f);
    EXPECT_FLOAT_EQ(cylinder.texcoords[b0 + 3].x, float(k + 1) / 32);
    EXPECT_EQ(cylinder.texcoords[b0 + 3].y, 1.0f);
    EXPECT_EQ(cylinder.positions[b0 + 3].y, 0.5f);
  }

  // Cone: apex at the centre with v 0, u = (k + 1) / n.
  MeshBuilder cone;
  cone.addCone({}, 4);
  for (uint32_t k = 0; k < 4; ++k) {
    const uint32_t apex = k * 3 + 1;
    EXPECT_EQ(p3(cone.positions[apex]).z, 0.0f);
    EXPECT_EQ(cone.normals[apex].z, 1.0f);
    EXPECT_FLOAT_EQ(cone.texcoords[apex].x, float(k + 1) / 4);
    EXPECT_EQ(cone.texcoords[apex].y, 0.0f);
  }
  // Ring point k at angle 2 pi k / n: (sin, cos, -1).
  EXPECT_NEAR(cone.positions[3].x, 1.0f, 1e-6f);
  EXPECT_NEAR(cone.positions[3].y, 0.0f, 1e-6f);
  EXPECT_EQ(cone.positions[3].z, -1.0f);
}

TEST(MeshBuilder, BoundsOfTheUnitShapes) {
  struct Case {
    const char* name;
    std::function<void(MeshBuilder&)> build;
    Float3 min, max;
  } cases[] = {
      {"box", [](MeshBuilder& b) { b.addBox({}, {1, 1, 1}); }, {-0.5f, -0.5f, -0.5f}, {0.5f, 0.5f, 0.5f}},
      {"wide box", [](MeshBuilder& b) { b.addBox({1, 0, 0}, {4, 2, 1}); }, {-1, -1, -0.5f}, {3, 1, 0.5f}},
      {"quad", [](MeshBuilder& b) { b.addQuad({}); }, {-0.5f, 0, -0.5f}, {0.5f, 0, 0.5f}},
      {"sphere", [](MeshBuilder& b) { b.addSphere({}, 4, false); }, {-1, -1, -1}, {1, 1, 1}},
      {"cylinder", [](MeshBuilder& b) { b.addCylinder({}); }, {-1, -0.5f, -1}, {1, 0.5f, 1}},
      {"cone", [](MeshBuilder& b) { b.addCone({}, 4); }, {-1, -1, -1}, {1, 1, 0}},
      {"dome", [](MeshBuilder& b) { b.addDome({}); }, {-1, -1, 0}, {1, 1, 1}},
      {"prism", [](MeshBuilder& b) { b.addPrism({}); }, {-0.5f, -0.5f, -0.8660254f}, {1, 0.5f, 0.8660254f}},
  };
  for (const Case& c : cases) {
    MeshBuilder b;
    c.build(b);
    const Bounds bounds = b.bounds();
    EXPECT_NEAR(bounds.min.x, c.min.x, 1e-5f) << c.name;
    EXPECT_NEAR(bounds.min.y, c.min.y, 1e-5f) << c.name;
    EXPECT_NEAR(bounds.min.z, c.min.z, 1e-5f) << c.name;
    EXPECT_NEAR(bounds.max.x, c.max.x, 1e-5f) << c.name;
    EXPECT_NEAR(bounds.max.y, c.max.y, 1e-5f) << c.name;
    EXPECT_NEAR(bounds.max.z, c.max.z, 1e-5f) << c.name;
  }
}

TEST(MeshBuilder, VertexFormsInterleaveTheStreams) {
  MeshBuilder b;
  b.addVertex({1, 2, 3}, {0, 0, 1}, {0.25f, 0.75f});
  b.addVertex({4, 5, 6}, {1, 0, 0}, {0.5f, 0.125f});
  const std::vector<float> compact = b.compactVertices();
  const std::vector<float> full = b.fullVertices();
  ASSERT_EQ(compact.size(), 2u * kCompactVertexFloats);
  ASSERT_EQ(full.size(), 2u * kFullVertexFloats);
  EXPECT_EQ(compact, (std::vector<float>{1, 2, 3, 0, 0, 1, 0.25f, 0.75f, 4, 5, 6, 1, 0, 0, 0.5f, 0.125f}));
  EXPECT_EQ(full, (std::vector<float>{1, 2, 3, 0, 0, 1, 0, 1, 0, 0.25f, 0.75f, 4, 5, 6, 1, 0, 0, 0, 1, 0, 0.5f,
                                      0.125f}));
  EXPECT_EQ(kCompactVertexFloats * sizeof(float), 32u);
  EXPECT_EQ(kFullVertexFloats * sizeof(float), 44u);
}

TEST(MeshBuilder, MoreVerticesThan16BitIndicesReachNeed32Bits) {
  MeshBuilder b;
  while (b.vertexCount() <= 65536) b.addSphere({}, 100, false);
  EXPECT_TRUE(b.needs32BitIndices());
  // The later spheres' indices really go past 65535 (nothing was wrapped on the CPU side).
  uint32_t highest = 0;
  for (uint32_t i : b.indices) highest = std::max(highest, i);
  EXPECT_EQ(highest, b.vertexCount() - 1);
  b.clear();
  EXPECT_EQ(b.vertexCount(), 0u);
  EXPECT_FALSE(b.needs32BitIndices());
}

// The LightWave chunk reader on files written by the tests, and on the LightWave files
// of assimp-testmodels when they are installed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "scene/LightWave.h"
#include "tests/scene/LwoWriter.h"

namespace {

bool parse(const std::vector<uint8_t>& bytes, LwoObject& object, std::string& error) {
  return parseLwo(bytes.data(), bytes.size(), object, error);
}

// Two triangles folded along the Z axis so that their normals are `degrees` apart: points
// 0 and 1 on the fold, 2 on the floor (y = 0), 3 raised by that angle on the other side.
lwo::File fold(float degrees, float smoothing) {
  const float a = degrees * 3.14159265f / 180.0f;
  lwo::File f;
  f.tags({"Default"}).layer(1).points({{0, 0, 0}, {0, 0, 1}, {1, 0, 0}, {-std::cos(a), std::sin(a), 0}});
  // Clockwise seen from +Y (left-handed): (0, 1, 2) faces +Y.
  f.polygons({{0, 1, 2}, {0, 3, 1}}).surfaceTags({{0, 0}, {1, 0}}).surface("Default", smoothing);
  return f;
}

Float3 vertexNormal(const LwoLayer& l, size_t polygon, uint32_t point) {
  for (const LwoPolygonVertex& v : l.polygons[polygon].vertices)
    if (v.point == point) return v.normal;
  ADD_FAILURE() << "point " << point << " not in polygon " << polygon;
  return {};
}

void expectNear(Float3 a, Float3 b, float eps = 1e-5f) {
  EXPECT_NEAR(a.x, b.x, eps);
  EXPECT_NEAR(a.y, b.y, eps);
  EXPECT_NEAR(a.z, b.z, eps);
}

TEST(LightWaveReader, SmoothingAngleDecidesBetweenFacetedAndSummedNormals) {
  LwoObject object;
  std::string error;
  ASSERT_TRUE(parse(fold(30.0f, 0.0f).bytes(), object, error)) << error;
  const LwoLayer& faceted = object.layers.at(0);
  const Float3 n0 = faceted.polygons[0].normal, n1 = faceted.polygons[1].normal;
  expectNear(n0, {0, 1, 0});
  EXPECT_NEAR(std::acos(dot(n0, n1)), 30.0f * 3.14159265f / 180.0f, 1e-4f);
  expectNear(vertexNormal(faceted, 0, 0), n0);
  expectNear(vertexNormal(faceted, 1, 0), n1);

  // 89.5 degrees allowed: shared points get the sum, not renormalised; unshared keep their own.
  ASSERT_TRUE(parse(fold(30.0f, 1.5620697f).bytes(), object, error)) << error;
  const LwoLayer& smooth = object.layers.at(0);
  expectNear(vertexNormal(smooth, 0, 0), n0 + n1);
  expectNear(vertexNormal(smooth, 1, 1), n0 + n1);
  expectNear(vertexNormal(smooth, 0, 2), n0);
  expectNear(vertexNormal(smooth, 1, 3), n1);

  // Normals further apart than the angle stay faceted.
  ASSERT_TRUE(parse(fold(90.0f, 1.0f).bytes(), object, error)) << error;
  expectNear(vertexNormal(object.layers[0], 0, 0), object.layers[0].polygons[0].normal);
}

TEST(LightWaveReader, CoplanarNeighboursSmoothEvenWhenRoundingPushesTheirDotAboveOne) {
  // Two triangles of one tilted plane whose computed unit normals have a dot of 1 + 2^-23.
  const auto onPlane = [](float x, float z) { return lwo::Point{x, 0.3f * x + 0.7f * z, z}; };
  lwo::File f;
  f.tags({"S"}).points({onPlane(0, 0), onPlane(-0x1.f5e818p-1f, -0x1.6ae924p-1f),
                        onPlane(-0x1.aaef24p-1f, 0x1.32a9ap-4f), onPlane(0x1.53c5p-7f, 0x1.fbaf68p-1f)});
  f.polygons({{0, 1, 2}, {0, 2, 3}}).surfaceTags({{0, 0}, {1, 0}}).surface("S", 0.01f);
  LwoObject object;
  std::string error;
  ASSERT_TRUE(parse(f.bytes(), object, error)) << error;
  const LwoLayer& l = object.layers[0];
  ASSERT_GT(dot(l.polygons[0].normal, l.polygons[1].normal), 1.0f);
  EXPECT_NEAR(length(vertexNormal(l, 0, 0)), 2.0f, 1e-5f);
}

TEST(LightWaveReader, ExplicitNormalsReplaceComputedOnes) {
  lwo::File f = fold(30.0f, 1.5f);
  f.normals({{0, 1, 0.0f, 0.0f, -1.0f}, {3, 1, 1.0f, 0.0f, 0.0f}});
  LwoObject object;
  std::string error;
  ASSERT_TRUE(parse(f.bytes(), object, error)) << error;
  const LwoLayer& l = object.layers[0];
  expectNear(vertexNormal(l, 1, 0), {0, 0, -1});
  expectNear(vertexNormal(l, 1, 3), {1, 0, 0});
  // Only the named polygon's vertex changes.
  expectNear(vertexNormal(l, 0, 0), l.polygons[0].normal + l.polygons[1].normal);
}

TEST(LightWaveReader, LayersTagsAndOffsets) {
  lwo::File f;
  // Data before the first LAYR goes to a default layer that LAYR discards.
  f.points({{9, 9, 9}});
  f.tags({"A"}).layer(1).points({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}).polygons({{0, 1, 2}}).surfaceTags({{0, 0}});
  // Indices after the second PNTS, POLS and TAGS count from their chunk: point 0 there
  // is point 3, polygon 0 is polygon 1, tag 0 is "B".
  f.points({{0, 0, 1}, {1, 0, 1}, {0, 1, 1}}).polygons({{0, 1, 2}, {2, 1, 0}});
  f.tags({"B"}).surfaceTags({{0, 0}, {1, 0}}).surface("A").surface("B", 0.5f);
  f.layer(2).points({{7, 7, 7}, {8, 7, 7}, {7, 8, 7}}).polygons({{0, 1, 2}}).surfaceTags({{0, 0}});
  LwoObject object;
  std::string error;
  ASSERT_TRUE(parse(f.bytes(), object, error)) << error;
  ASSERT_EQ(object.layers.size(), 2u);
  EXPECT_EQ(object.layers[0].number, 1);
  EXPECT_EQ(object.layers[1].number, 2);
  const LwoLayer& l = object.layers[0];
  ASSERT_EQ(l.points.size(), 6u);
  ASSERT_EQ(l.polygons.size(), 3u);
  EXPECT_EQ(l.polygons[0].vertices[2].point, 2u);
  EXPECT_EQ(l.polygons[1].vertices[0].point, 3u);
  EXPECT_EQ(l.polygons[2].vertices[0].point, 5u);
  EXPECT_EQ(object.surfaces[size_t(l.polygons[0].surface)].name, "A");
  EXPECT_EQ(object.surfaces[size_t(l.polygons[1].surface)].name, "B");
  EXPECT_EQ(object.surfaces[size_t(l.polygons[2].surface)].name, "B");
  EXPECT_FLOAT_EQ(object.surfaces[1].smoothingAngle, 0.5f);
  EXPECT_EQ(l.points[4].polygons, (std::vector<uint32_t>{1, 2}));
  // Layer 2 starts counting afresh; its tags still come from the last TAGS.
  EXPECT_EQ(object.layers[1].polygons[0].vertices[1].point, 1u);
  EXPECT_EQ(object.surfaces[size_t(object.layers[1].polygons[0].surface)].name, "B");
  // The default layer survives only in a file without LAYR.
  lwo::File plain;
  plain.tags({"A"}).points({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}).polygons({{0, 1, 2}}).surface("A");
  ASSERT_TRUE(parse(plain.bytes(), object, error)) << error;
  EXPECT_EQ(object.layers.size(), 1u);
}

TEST(LightWaveReader, FourByteIndicesAndLargePointLists) {
  std::vector<lwo::Point> pts(70000, lwo::Point{0, 0, 0});
  pts[69998] = {1, 0, 0};
  pts[69999] = {0, 1, 0};
  lwo::File f;
  f.tags({"A"}).points(pts).polygons({{0, 69998, 69999}}).surface("A");
  LwoObject object;
  std::string error;
  ASSERT_TRUE(parse(f.bytes(), object, error)) << error;
  EXPECT_EQ(object.layers[0].polygons[0].vertices[2].point, 69999u);
}

TEST(LightWaveReader, PolygonsBeyondTrianglesAreCutIntoFans) {
  lwo::File f;
  f.tags({"A", "B"}).points({{0, 0, 0}, {0, 0, 1}, {1, 0, 1}, {1, 0, 0}, {2, 0, 0}, {5, 5, 5}});
  // A quad, a pentagon over the same points, a line and a lone point (neither drawn).
  f.polygons({{0, 1, 2, 3}, {0, 1, 2, 4, 3}, {0, 5}, {5}});
  f.surfaceTags({{0, 0}, {1, 1}, {2, 0}, {3, 0}}).surface("A").surface("B");
  LwoObject object;
  std::string error;
  ASSERT_TRUE(parse(f.bytes(), object, error)) << error;
  const std::vector<LwoVertex> all = lwoTriangles(object.layers[0]);
  ASSERT_EQ(all.size(), (2u + 3u) * 3u);
  const Float3 fan[2][3] = {{{0, 0, 0}, {0, 0, 1}, {1, 0, 1}}, {{0, 0, 0}, {1, 0, 1}, {1, 0, 0}}};
  for (int t = 0; t < 2; ++t)
    for (int k = 0; k < 3; ++k) expectNear(all[size_t(t * 3 + k)].position, fan[t][k]);
  for (const LwoVertex& v : all) {
    EXPECT_EQ(v.u, 0.0f);
    EXPECT_EQ(v.v, 0.0f);
  }
  EXPECT_EQ(lwoTriangles(object.layers[0], 1).size(), 9u);
  EXPECT_EQ(lwoTriangles(object.layers[0], 0).size(), 6u);
}

// Each damaged file ends its load with a message saying what is wrong, never a crash.
TEST(LightWaveReader, DamagedFilesAreRefusedWithAReason) {
  lwo::File good = fold(30.0f, 0.0f);
  const std::vector<uint8_t> bytes = good.bytes();
  LwoObject object;
  std::string error;

  std::vector<uint8_t> riff = bytes;
  std::memcpy(riff.data() + 8, "LWOB", 4);
  EXPECT_FALSE(parse(riff, object, error));
  EXPECT_EQ(error, "Wrong file type!");
  EXPECT_FALSE(parse({'F', 'O', 'R', 'M'}, object, error));
  EXPECT_EQ(error, "Wrong file type!");

  for (size_t cut = 13; cut < bytes.size(); cut += 7) {
    std::vector<uint8_t> truncated(bytes.begin(), bytes.begin() + long(cut));
    EXPECT_FALSE(parse(truncated, object, error)) << cut;
    EXPECT_NE(error.find("past the end"), std::string::npos) << error;
  }

  lwo::File pastPoints;
  pastPoints.tags({"A"}).points({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}).polygons({{0, 1, 3}}).surface("A");
  EXPECT_FALSE(parse(pastPoints.bytes(), object, error));
  EXPECT_NE(error.find("POLS names point 3, but the layer has 3 points"), std::string::npos) << error;

  lwo::File noSurf;
  noSurf.tags({"A", "Missing"}).points({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}).polygons({{0, 1, 2}});
  noSurf.surfaceTags({{0, 1}}).surface("A");
  EXPECT_FALSE(parse(noSurf.bytes(), object, error));
  EXPECT_NE(error.find("\"Missing\", which no SURF describes"), std::string::npos) << error;

  lwo::File noTags;
  noTags.points({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}).polygons({{0, 1, 2}});
  EXPECT_FALSE(parse(noTags.bytes(), object, error));
  EXPECT_NE(error.find("surface tag 0, but the object has 0 tags"), std::string::npos) << error;

  lwo::File empty;
  empty.tags({"A"}).layer(1).surface("A");
  EXPECT_FALSE(parse(empty.bytes(), object, error));
  EXPECT_EQ(error, "the object has no polygons");

  lwo::File badTag = fold(30.0f, 0.0f);
  badTag.surfaceTags({{7, 0}});
  EXPECT_FALSE(parse(badTag.bytes(), object, error));
  EXPECT_NE(error.find("PTAG names polygon 7, but the layer has 2 polygons"), std::string::npos) << error;

  lwo::File badNormal = fold(30.0f, 0.0f);
  badNormal.normals({{9, 0, 0, 1, 0}});
  EXPECT_FALSE(parse(badNormal.bytes(), object, error));
  EXPECT_NE(error.find("VMAD names point 9"), std::string::npos) << error;

  // A chunk that claims more than the file holds, deep inside a good file.
  std::vector<uint8_t> longChunk = bytes;
  const size_t pnts = 12 + 8 + 8;  // after TAGS ("Default\0" is 8 bytes) comes LAYR
  ASSERT_EQ(std::string(longChunk.begin() + long(pnts), longChunk.begin() + long(pnts) + 4), "LAYR");
  longChunk[pnts + 4] = 0x7F;
  EXPECT_FALSE(parse(longChunk, object, error));
  EXPECT_NE(error.find("chunk LAYR at byte 28 is 2130706450 bytes long, past the end of the file"),
            std::string::npos)
      << error;
}

// The package's LightWave files: those the reader takes give one fan triangle per
// polygon vertex beyond the second, and every drawn vertex has a finite position.
TEST(LightWaveReader, PackageFilesParseOrSayWhy) {
  const std::filesystem::path dir = "/usr/share/assimp/models/LWO/LWO2";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "assimp-testmodels is not installed";
  size_t parsed = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.path().extension() != ".lwo") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LwoObject object;
    std::string error;
    if (!parse(bytes, object, error)) {
      EXPECT_FALSE(error.empty()) << entry.path();
      continue;
    }
    ++parsed;
    size_t expected = 0;
    for (const LwoPolygon& p : object.layers[0].polygons)
      if (p.vertices.size() >= 3) expected += 3 * (p.vertices.size() - 2);
    const std::vector<LwoVertex> tris = lwoTriangles(object.layers[0]);
    EXPECT_EQ(tris.size(), expected) << entry.path();
    for (const LwoVertex& v : tris) ASSERT_TRUE(std::isfinite(v.position.x + v.position.y + v.position.z));
  }
  EXPECT_GE(parsed, 20u);
}

}  // namespace

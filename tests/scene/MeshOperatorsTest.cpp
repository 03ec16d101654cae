// Mesh loading without a device: what is said about files that cannot be read, the caches,
// and the sizes and plane sequence of "DynaMesh".
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "scene/Destruction.h"
#include "scene/MeshImport.h"
#include "tests/scene/LwoWriter.h"

namespace {

class MeshFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zv_meshops_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    clearMeshCache();
    clearLwoCache();
    std::filesystem::remove_all(dir_);
  }
  std::string write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string p = (dir_ / name).string();
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
    return p;
  }
  std::filesystem::path dir_;
};

TEST_F(MeshFiles, AModelAssimpCannotReadIsNamedOnceWithItsReason) {
  const std::string path = write("broken.ply", {'p', 'l', 'y', '\n', 'x'});
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(LoadMeshFile(path, MeshImportOptions::forOperators(), true).empty());
  // The empty result is cached: the second operator naming the file says nothing more.
  EXPECT_TRUE(LoadMeshFile(path, MeshImportOptions::forOperators(), true).empty());
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find("Cannot read mesh file " + path + ": "), std::string::npos) << log;
  EXPECT_GT(log.size(), ("Cannot read mesh file " + path + ": \n").size()) << "no reason given";
  EXPECT_EQ(meshCacheSize(), 1u);
}

TEST_F(MeshFiles, LightWaveMessagesNameTheFile) {
  const std::string missing = (dir_ / "missing.lwo").string();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(LoadLWO(missing), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Failed to open " + missing + "\nFile not found!\n");

  lwo::File good;
  good.tags({"A"}).points({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}).polygons({{0, 1, 2}}).surface("A");
  std::vector<uint8_t> bytes = good.bytes();
  std::vector<uint8_t> wrong = bytes;
  wrong[10] = 'B';
  const std::string wrongPath = write("wrong.lwo", wrong);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(LoadLWO(wrongPath), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Cannot read LightWave object " + wrongPath + "\nWrong file type!\n");

  std::vector<uint8_t> cut(bytes.begin(), bytes.end() - 5);
  const std::string cutPath = write("cut.lwo", cut);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(LoadLWO(cutPath), nullptr);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.rfind("Cannot read LightWave object " + cutPath + ": chunk SURF at byte ", 0), 0u) << log;
  EXPECT_NE(log.find("past the end of the file\n"), std::string::npos) << log;

  // A good file is parsed once and shared.
  const std::string goodPath = write("good.lwo", bytes);
  const auto a = LoadLWO(goodPath);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(LoadLWO(goodPath), a);
  EXPECT_EQ(lwoCacheSize(), 1u);
  clearLwoCache();
  EXPECT_EQ(lwoCacheSize(), 0u);
  EXPECT_NE(LoadLWO(goodPath), a);
}

TEST(DynaMeshSizes, CapacitiesPlaneCountsAndThreadGroups) {
  EXPECT_EQ(dynaMeshPlaneCount(0), 1);
  EXPECT_EQ(dynaMeshPlaneCount(40), 32);
  EXPECT_EQ(dynaMeshPlaneCount(7.9f), 7);
  EXPECT_EQ(dynaMeshPlaneCount(-3), 1);
  // 600 vertices: 20 times; 3000 vertices with 8 planes: ((8 >> 3) + 1) * 3 = 6 times.
  EXPECT_EQ(600u * dynaMeshMultiplier(600, 3), 12000u);
  EXPECT_EQ(3000u * dynaMeshMultiplier(3000, 8), 18000u);
  EXPECT_EQ(dynaMeshMultiplier(1023, 32), 20u);
  EXPECT_EQ(dynaMeshMultiplier(1024, 7), 3u);
  EXPECT_EQ(dynaMeshMultiplier(1024, 32), 15u);

  // Doubling x then y until 256-thread groups cover the triangles, at most 64 each.
  for (uint64_t n : {0ull, 1ull, 256ull, 257ull, 513ull, 100000ull, 1048576ull, 1048577ull, 50000000ull}) {
    uint32_t gx = 0, gy = 0;
    dynaMeshGroups(n, gx, gy);
    EXPECT_TRUE(gx == gy || gx == 2 * gy || (gx == 64 && gy == 64)) << n;
    EXPECT_LE(gx, 64u);
    EXPECT_LE(gy, 64u);
    const bool covers = uint64_t(gx) * gy * 256 >= n;
    EXPECT_TRUE(covers || (gx == 64 && gy == 64)) << n;
    // The step before did not cover them.
    if (gx * gy > 1 && covers) {
      const uint64_t before = gx > gy ? uint64_t(gx / 2) * gy : uint64_t(gx) * (gy / 2);
      EXPECT_LT(before * 256, n) << n;
    }
  }
  uint32_t gx, gy;
  dynaMeshGroups(300, gx, gy);
  EXPECT_EQ(gx, 2u);
  EXPECT_EQ(gy, 1u);
}

TEST(DynaMeshSizes, AxesAndPlaceOfEachPlane) {
  const DynaAxes none = dynaMeshAxes(false, false, false);
  EXPECT_EQ(none.count, 1);
  EXPECT_EQ(none.axis[0], 0);
  const DynaAxes xz = dynaMeshAxes(true, false, true);
  EXPECT_EQ(xz.count, 2);
  EXPECT_EQ(xz.axis[0], 0);
  EXPECT_EQ(xz.axis[1], 2);
  DynaMeshPlanes s;
  s.count = 3;
  s.axes = dynaMeshAxes(true, false, true);
  s.distance = 2.5f;
  s.phase = 0.25f;
  s.axisPhase = {1, 10, 100};
  s.offset = {0, 7, 0};
  crtSrand(1234);
  std::vector<DynaPlane> planes;
  dynaMeshPlanes(s, planes);
  ASSERT_EQ(planes.size(), 3u);
  EXPECT_EQ(planes[0].axis, 0);
  EXPECT_EQ(planes[1].axis, 2);
  EXPECT_EQ(planes[2].axis, 0);
  // Randomness 0: the axes themselves; plane 2 is one distance further along X than plane 0.
  EXPECT_EQ(planes[0].direction.x, 1.0f);
  EXPECT_EQ(planes[1].direction.z, 1.0f);
  EXPECT_FLOAT_EQ(planes[0].point.x, 0.0f + 0.25f + 1.0f);
  EXPECT_FLOAT_EQ(planes[1].point.z, 0.0f + 0.25f + 100.0f);
  EXPECT_FLOAT_EQ(planes[2].point.x, 2.5f + 0.25f + 1.0f);
  EXPECT_FLOAT_EQ(planes[2].point.y, 7.0f);
  // Three draws a plane, whatever the randomness.
  crtSrand(1234);
  for (int i = 0; i < 9; ++i) crtRand();
  const uint32_t after = crtRandState();
  crtSrand(1234);
  s.randomness = 0.4f;
  std::vector<DynaPlane> tilted;
  dynaMeshPlanes(s, tilted);
  EXPECT_EQ(crtRandState(), after);
  for (const DynaPlane& p : tilted) EXPECT_NEAR(length(p.direction), 1.0f, 1e-5f);
  EXPECT_NE(tilted[0].direction.y, 0.0f);
}

}  // namespace

// Cloth on the device, checked by reading its state back: a plane pinned along one edge
// hangs and comes to rest without stretching past the limit, a cloth drapes over a sphere
// collider without a vertex inside it, friction holds cloth on a slope, runs repeat
// exactly, and absurd parameters stay finite. Drawing: the G-buffer shows the cloth and the
// shadow caster's position texture holds the simulated positions.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>

#include "gfx/ShaderManager.h"
#include "scene/Forces.h"
#include "scene/MeshImport.h"
#include "scene/MeshOperators.h"
#include "scene/ShadowCasters.h"
#include "sim/Cloth.h"
#include "tests/scene/SceneGpuSupport.h"
#include "tests/sim/SimTestSupport.h"

namespace {

using namespace simtest;
using sim::ClothOp;

struct State {
  Float3 position;
  float inverseMass;
  Float3 previous;
  float pad;
};
static_assert(sizeof(State) == 32);

class ClothGpuTest : public GpuTest {
 protected:
  void SetUp() override {
    GpuTest::SetUp();
    useBinaryShaders = false;
  }
  void TearDown() override {
    piece_.reset();
    clearAttractors();
    clearColliders();
    clearShadowCasters();
    GpuTest::TearDown();
  }
  sim::ClothPiece& make(const sim::ClothGeometry& g) {
    piece_ = std::make_unique<sim::ClothPiece>();
    EXPECT_TRUE(piece_->create(g));
    piece_->restore();
    return *piece_;
  }
  std::vector<State> state(sim::ClothPiece& p) { return asRecords<State>(readBack(p.state[p.current])); }
  static float maxStrain(const sim::ClothGeometry& g, const std::vector<State>& s, uint32_t kind) {
    float worst = 0.0f;
    for (uint32_t v = 0; v < g.simCount(); ++v)
      for (uint32_t k = g.springRanges[v * 2]; k < g.springRanges[v * 2] + g.springRanges[v * 2 + 1]; ++k)
        if (g.springs[k].kind == kind)
          worst = std::max(worst, length(s[v].position - s[g.springs[k].other].position) / g.springs[k].rest - 1.0f);
    return worst;
  }
  static float maxSpeed(const std::vector<State>& s, float h) {
    float worst = 0.0f;
    for (const State& v : s) worst = std::max(worst, length(v.position - v.previous) / h);
    return worst;
  }
  std::unique_ptr<sim::ClothPiece> piece_;
};

// A horizontal 2 x 2 plane pinned along its edge z = -1 swings down under gravity and hangs.
sim::ClothGeometry pinnedPlane() {
  sim::ClothGeometry g = sim::buildPlaneCloth({0, 0, 0}, {0, 1, 0}, 2.0f, 2.0f, 16, 16);
  for (uint32_t i = 0; i < g.simCount(); ++i)
    if (g.positions[i].z < -0.999f) g.inverseMass[i] = 0.0f;
  return g;
}

TEST_F(ClothGpuTest, PlanePinnedAlongAnEdgeHangsWithinTheStrainLimitAndComesToRest) {
  sim::ClothSolver solver;
  ASSERT_TRUE(solver.load("data/shaders/clothCS.hlsl", false));
  const sim::ClothGeometry g = pinnedPlane();
  sim::ClothPiece& piece = make(g);
  const sim::ClothForces forces;  // the operator's defaults: gravity 100 down, damping 20
  const float h = 1.0f / 600.0f;
  for (int frame = 0; frame < 180; ++frame) solver.simulate(piece, forces, h, 10);  // 3 s
  const std::vector<State> s = state(piece);
  for (const State& v : s) ASSERT_TRUE(std::isfinite(v.position.x + v.position.y + v.position.z));
  // The stated bound: stretch springs at most 10% over their rest length, with a little slack
  // for the limit being enforced one sub-step at a time.
  EXPECT_LT(maxStrain(g, s, sim::kSpringStretch), 0.12f);
  EXPECT_LT(maxSpeed(s, h), 0.05f) << "still moving after 3 s";
  float lowest = 0.0f;
  for (uint32_t i = 0; i < g.simCount(); ++i) {
    if (g.inverseMass[i] == 0.0f) {
      EXPECT_EQ(s[i].position.y, g.positions[i].y);  // the pinned edge stays
      EXPECT_EQ(s[i].position.z, g.positions[i].z);
    }
    lowest = std::min(lowest, s[i].position.y);
  }
  // It hangs: the free edge is straight below the pinned one, about the plane's length down.
  EXPECT_LT(lowest, -1.95f);
  EXPECT_GT(lowest, -2.0f * 1.12f);
  for (uint32_t i = 0; i < g.simCount(); ++i) EXPECT_NEAR(s[i].position.z, -1.0f, 0.1f) << i;
}

TEST_F(ClothGpuTest, RunsRepeatExactly) {
  sim::ClothSolver solver;
  ASSERT_TRUE(solver.load("data/shaders/clothCS.hlsl", false));
  const sim::ClothGeometry g = pinnedPlane();
  sim::ClothForces forces;
  sim::ClothCollider sphere;
  sphere.centre = {0.3f, -1.0f, -0.5f};
  sphere.radius = 0.4f;
  forces.colliders.push_back(sphere);
  std::vector<uint8_t> runs[2];
  for (auto& run : runs) {
    sim::ClothPiece& piece = make(g);
    for (int frame = 0; frame < 30; ++frame) solver.simulate(piece, forces, 1.0f / 600.0f, 10);
    run = readBack(piece.state[piece.current]);
  }
  EXPECT_TRUE(runs[0] == runs[1]);
}

// A small cloth lying on a 30 degree slope: with full friction it stays, without it slides.
TEST_F(ClothGpuTest, GroundFrictionHoldsClothOnASlope) {
  sim::ClothSolver solver;
  ASSERT_TRUE(solver.load("data/shaders/clothCS.hlsl", false));
  const float angle = 30.0f * 3.14159265f / 180.0f;
  const Float3 normal{-std::sin(angle), std::cos(angle), 0.0f};
  const sim::ClothGeometry g = sim::buildPlaneCloth(normal * 0.001f, normal, 1.0f, 1.0f, 8, 8);
  float travelled[2];
  for (int run = 0; run < 2; ++run) {
    sim::ClothPiece& piece = make(g);
    sim::ClothForces f;
    f.collideWithGround = true;
    f.groundPosition = {0, 0, 0};
    f.groundNormal = normal;
    f.friction = run == 0 ? 1.0f : 0.0f;
    for (int frame = 0; frame < 60; ++frame) solver.simulate(piece, f, 1.0f / 600.0f, 10);
    const std::vector<State> s = state(piece);
    Float3 centre{};
    for (uint32_t i = 0; i < g.simCount(); ++i) {
      centre = centre + s[i].position * (1.0f / float(g.simCount()));
      EXPECT_GE(dot(s[i].position, normal), 0.0f) << "below the ground";
    }
    travelled[run] = length(centre - normal * 0.001f);
  }
  EXPECT_LT(travelled[0], 0.02f) << "full friction should hold the cloth";
  EXPECT_GT(travelled[1], 1.0f) << "without friction it slides down";
}

// Through the operator: a 3 x 3 plane dropped onto a "Collider" sphere of radius 1.
TEST_F(ClothGpuTest, ClothDropsOntoASphereColliderAndDrapesOverIt) {
  ClothOp cloth;
  ColliderOp collider;
  connect(cloth, ClothOp::Colliders, collider);
  setParam(collider, "Radius", 1.0f);
  setParam(cloth, "Plane.Y", 1.5f);
  setParam(cloth, "Plane W", 3.0f);
  setParam(cloth, "Plane H", 3.0f);
  setParam(cloth, "Plane W Divisions", 22.0f);
  setParam(cloth, "Plane H Divisions", 22.0f);
  Context context;
  uint32_t subSteps = 0;
  for (int frame = 0; frame <= 120; ++frame) {
    evaluate(cloth, float(frame) / 60.0f, context);
    subSteps += functionOf<sim::ClothFunction>(cloth).lastSubSteps;
  }
  EXPECT_NEAR(double(subSteps), 1200.0, 1.0) << "600 sub-steps a second";
  sim::ClothPiece& piece = *functionOf<sim::ClothFunction>(cloth).pieces().at(0);
  ASSERT_EQ(piece.simCount, 24u * 24u);
  const std::vector<State> s = state(piece);
  float lowest = 10.0f, highest = -10.0f;
  for (const State& v : s) {
    ASSERT_GE(length(v.position), 1.0f) << "a vertex inside the sphere";
    lowest = std::min(lowest, v.position.y);
    highest = std::max(highest, v.position.y);
  }
  EXPECT_NEAR(highest, 1.0f, 0.06f);  // resting on top
  EXPECT_LT(lowest, -0.2f);           // the corners hang down the sides
  EXPECT_TRUE(colliders().empty()) << "the cloth empties the collider list it read";
}

TEST_F(ClothGpuTest, AbsurdParametersStayFinite) {
  ClothOp cloth;
  AttractorOp attractor;
  connect(cloth, ClothOp::Attractors, attractor);
  const float nan = std::numeric_limits<float>::quiet_NaN(), huge = 3.0e38f;
  setParam(attractor, "Power", huge);
  setParam(attractor, "Radius", huge);
  setParam(cloth, "Plane W Divisions", 6.0f);
  setParam(cloth, "Plane H Divisions", 6.0f);
  setParam(cloth, "Stretch", huge);
  setParam(cloth, "Shear", -huge);
  setParam(cloth, "Bend", nan);
  setParam(cloth, "Damping", -50.0f);
  setParam(cloth, "Friction", nan);
  setParam(cloth, "Gravity.Y", -huge);
  setParam(cloth, "Gravity.X", nan);
  setParam(cloth, "Steps Per Second", huge);
  setParam(cloth, "Collide With Ground", 1.0f);
  setParam(cloth, "GroundN.Y", 0.0f);
  setParam(cloth, "CollisionThreshold", huge);
  Context context;
  for (int frame = 0; frame <= 3; ++frame) evaluate(cloth, float(frame) * 0.05f, context);
  for (const State& v : state(*functionOf<sim::ClothFunction>(cloth).pieces().at(0))) {
    ASSERT_TRUE(std::isfinite(v.position.x) && std::isfinite(v.position.y) && std::isfinite(v.position.z));
    ASSERT_LE(std::fabs(v.position.y), 100000.0f);
  }
}

// Reset restores the rest shape; Sim Step After Reset runs that many sub-steps at once.
TEST_F(ClothGpuTest, ResetRestoresTheRestShapeAndRunsTheStepsAfterIt) {
  ClothOp cloth;
  setParam(cloth, "Plane W Divisions", 6.0f);
  setParam(cloth, "Plane H Divisions", 6.0f);
  Context context;
  for (int frame = 0; frame <= 10; ++frame) evaluate(cloth, float(frame) / 60.0f, context);
  auto& fn = functionOf<sim::ClothFunction>(cloth);
  EXPECT_LT(state(*fn.pieces().at(0))[0].position.y, -0.1f);  // it fell
  setParam(cloth, "Reset", 1.0f);
  evaluate(cloth, 0.2f, context);
  EXPECT_EQ(state(*fn.pieces().at(0))[0].position.y, 0.0f);
  setParam(cloth, "Sim Step After Reset", 30.0f);
  evaluate(cloth, 0.3f, context);
  EXPECT_EQ(fn.lastSubSteps, 30u);
  const float y = state(*fn.pieces().at(0))[0].position.y;
  EXPECT_LT(y, 0.0f);
  EXPECT_GT(y, -0.1f);  // 30 sub-steps: 0.05 s of falling
}

// A cube file as "ClothMesh": welded seams, frozen anchors hold its shape; without
// connections it falls.
TEST_F(ClothGpuTest, MeshClothWithFrozenAnchorsKeepsItsShapeAndFallsWithout) {
  namespace fs = std::filesystem;
  const fs::path file = fs::temp_directory_path() / ("zv_cloth_cube_" + std::to_string(::getpid()) + ".obj");
  {
    std::ofstream obj(file);
    obj << "v -1 -1 -1\nv 1 -1 -1\nv 1 1 -1\nv -1 1 -1\nv -1 -1 1\nv 1 -1 1\nv 1 1 1\nv -1 1 1\n"
           "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
           "f 1/1 2/2 3/3 4/4\nf 6/1 5/2 8/3 7/4\nf 5/1 1/2 4/3 8/4\nf 2/1 6/2 7/3 3/4\nf 4/1 3/2 7/3 8/4\nf 5/1 6/2 2/3 1/4\n";
  }
  float drop[2];
  for (int run = 0; run < 2; ++run) {
    sim::ClothMeshOp cloth;
    setText(cloth, "Mesh path", file.string());
    setParam(cloth, "Aux Connections", run == 0 ? 3.0f : 0.0f);  // Center+Box, or None
    setParam(cloth, "Freeze Aux Vertices", 1.0f);
    Context context;
    for (int frame = 0; frame <= 30; ++frame) evaluate(cloth, float(frame) / 60.0f, context);
    const auto& pieces = functionOf<sim::ClothFunction>(cloth).pieces();
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0]->simCount, run == 0 ? 17u : 8u);
    const std::vector<State> s = state(*pieces[0]);
    float centre = 0.0f;
    for (uint32_t i = 0; i < 8; ++i) centre += s[i].position.y / 8.0f;
    drop[run] = -centre;
  }
  fs::remove(file);
  EXPECT_LT(drop[0], 0.1f);
  EXPECT_GT(drop[1], 1.0f);
}

// Box colliders count with the spheres: the first 32 records in list order are taken, whatever
// their kind. A plane dropped over a box (its top at y = 0.5) rests on it when the box is the
// 32nd record, and falls through when 32 far-away spheres come before it.
TEST_F(ClothGpuTest, BoxCollidersAreTakenWithTheSpheresInListOrder) {
  float lowestCentre[2];
  for (int run = 0; run < 2; ++run) {
    ClothOp cloth;
    setParam(cloth, "Plane.Y", 1.0f);
    setParam(cloth, "Plane W", 1.0f);
    setParam(cloth, "Plane H", 1.0f);
    setParam(cloth, "Plane W Divisions", 6.0f);
    setParam(cloth, "Plane H Divisions", 6.0f);
    Context context;
    for (int frame = 0; frame <= 60; ++frame) {
      clearColliders();
      ColliderRecord far;
      far.position = {100.0f, 100.0f, 100.0f, 1.0f};
      far.radius = 1.0f;
      for (int i = 0; i < (run == 0 ? 31 : 32); ++i) addCollider(far);
      ColliderRecord box;
      box.type = kColliderBox;
      box.position = {0.0f, 0.0f, 0.0f, 1.0f};
      box.size = {4.0f, 1.0f, 4.0f};
      box.rotation = {0.0f, 90.0f, 0.0f};  // turned about its own height: the same box
      addCollider(box);
      evaluate(cloth, float(frame) / 60.0f, context);
    }
    const std::vector<State> s = state(*functionOf<sim::ClothFunction>(cloth).pieces().at(0));
    float centre = 0.0f;
    for (const State& v : s) centre += v.position.y / float(s.size());
    lowestCentre[run] = centre;
  }
  EXPECT_NEAR(lowestCentre[0], 0.5f, 0.02f) << "resting on the box top";
  EXPECT_LT(lowestCentre[1], -1.0f) << "the 33rd record is not taken: the cloth falls";
}

// A frame that builds the cloth (its first, or one whose plane changed) still simulates.
TEST_F(ClothGpuTest, AFrameThatBuildsTheClothStillSteps) {
  ClothOp cloth;
  setParam(cloth, "Plane W Divisions", 6.0f);
  setParam(cloth, "Plane H Divisions", 6.0f);
  Context context;
  auto& fn = functionOf<sim::ClothFunction>(cloth);
  evaluate(cloth, 0.05f, context);
  EXPECT_EQ(fn.lastSubSteps, 30u);  // 0.05 s at 600 a second
  EXPECT_LT(state(*fn.pieces().at(0))[0].position.y, 0.0f);
  evaluate(cloth, 0.05f + 1.0f / 60.0f, context);
  EXPECT_EQ(fn.lastSubSteps, 10u);
  setParam(cloth, "Plane W", 4.0f);  // a new shape
  evaluate(cloth, 0.05f + 2.0f / 60.0f, context);
  EXPECT_EQ(fn.lastSubSteps, 10u);
  const std::vector<State> s = state(*fn.pieces().at(0));
  EXPECT_LT(s[0].position.y, 0.0f) << "stepped from the new rest shape";
  EXPECT_GT(s[0].position.y, -0.1f);
  EXPECT_NEAR(s[0].position.x, -2.0f, 1e-3f);
}

// Drawn into the G-buffer facing the camera, and recorded as a cloth shadow caster whose
// position texture holds vertex i at texel (i mod width, i div width).
class ClothDrawGpuTest : public SceneGpuTest {};

TEST_F(ClothDrawGpuTest, DrawsIntoTheGBufferAndRecordsAShadowCasterWithItsPositions) {
  ClothOp cloth;
  setParam(cloth, "PlaneN.Y", 0.0f);
  setParam(cloth, "PlaneN.Z", -1.0f);  // facing the camera at z = -4
  setParam(cloth, "Plane W", 2.0f);
  setParam(cloth, "Plane H", 2.0f);
  setParam(cloth, "Plane W Divisions", 6.0f);
  setParam(cloth, "Plane H Divisions", 6.0f);
  setParam(cloth, "Update", 0.0f);
  newFrame();
  evaluate(cloth, 0.0f, context);
  const FloatImage albedo = readTarget(0), normal = readTarget(1);
  EXPECT_EQ(albedo.at(size / 2, size / 2, 3), 1.0f);
  EXPECT_NEAR(normal.at(size / 2, size / 2, 3), 4.0f, 0.01f);
  EXPECT_LT(normal.at(size / 2, size / 2, 2), -0.9f);
  EXPECT_EQ(albedo.at(1, 1, 3), 0.0f);  // the 2 x 2 plane covers the middle only

  ASSERT_EQ(shadowCasters().size(), 1u);
  const ShadowCaster& caster = shadowCasters()[0];
  EXPECT_EQ(caster.kind, uint32_t(kCasterCloth));
  const sim::ClothPiece& piece = *functionOf<sim::ClothFunction>(cloth).pieces().at(0);
  ASSERT_EQ(caster.geometry, &piece.drawRecord);
  Texture* positions = caster.geometry->vertexBuffers[0];
  ASSERT_NE(positions, nullptr);
  EXPECT_EQ(caster.geometry->indexCount, 7u * 7u * 6u);
  const std::vector<float> texels = asRecords<float>(readBack(positions));
  const std::vector<State> s = asRecords<State>(readBack(piece.state[piece.current]));
  const uint32_t width = positions->width();
  for (uint32_t i = 0; i < piece.simCount; ++i) {
    const float* t = &texels[(size_t(i / width) * width + i % width) * 4];
    EXPECT_EQ(t[0], s[i].position.x);
    EXPECT_EQ(t[1], s[i].position.y);
    EXPECT_EQ(t[2], s[i].position.z);
  }
  setParam(cloth, "Cast Shadows", 0.0f);
  newFrame();
  evaluate(cloth, 0.0f, context);
  EXPECT_TRUE(shadowCasters().empty());
}

// Files whose faces keep their own vertices (a textured box: 24 drawn, 8 simulated). At rest
// the cloth covers exactly the pixels "Mesh" covers for the same file, and its shadow caster's
// texture holds every drawn vertex where its simulated vertex is.
TEST_F(ClothDrawGpuTest, AMeshFileWithSeamsCoversWhatTheMeshOperatorCovers) {
  const std::string models = "/usr/share/assimp/models/";
  if (!std::filesystem::exists(models)) GTEST_SKIP() << "assimp-testmodels is not installed";
  lookFrom({-2.2f, 2.2f, -3.6f}, 30.0f, 30.0f);  // three faces in sight
  for (const char* file : {"glTF2/BoxTextured-glTF/BoxTextured.gltf", "PLY/cube_uv.ply"}) {
    SCOPED_TRACE(file);
    MeshOp mesh;
    setText(mesh, "Filepath", models + file);
    // "Mesh" takes a hundredth of the file's units; the cloth takes them as they are.
    for (const char* axis : {"Scale.X", "Scale.Y", "Scale.Z"}) setParam(mesh, axis, 100.0f);
    newFrame();
    evaluate(mesh, 0.0f, context);
    const FloatImage expected = readTarget(0), expectedNormals = readTarget(1);

    ClothOp cloth;
    setParam(cloth, "Mesh Type", 1.0f);
    setText(cloth, "Mesh path", models + file);
    setParam(cloth, "Gravity.Y", 0.0f);  // nothing acts on it: it stays at rest
    newFrame();
    clearShadowCasters();
    evaluate(cloth, 0.1f, context);
    const FloatImage drawn = readTarget(0), normals = readTarget(1);
    int covered = 0, differ = 0, bent = 0;
    for (uint32_t y = 0; y < size; ++y)
      for (uint32_t x = 0; x < size; ++x) {
        const bool want = expected.at(x, y, 3) > 0.5f, got = drawn.at(x, y, 3) > 0.5f;
        covered += want;
        differ += want != got;
        // The box keeps its hard edges: each face shaded with its own flat normal.
        if (want && got)
          for (uint32_t c = 0; c < 3; ++c) bent += std::fabs(normals.at(x, y, c) - expectedNormals.at(x, y, c)) > 0.05f;
      }
    EXPECT_EQ(bent, 0);
    EXPECT_GT(covered, 60);
    EXPECT_LT(covered, int(size * size));
    EXPECT_LE(differ, 2) << "of " << covered << " covered pixels";

    const auto& pieces = functionOf<sim::ClothFunction>(cloth).pieces();
    ASSERT_EQ(pieces.size(), 1u);
    const sim::ClothPiece& piece = *pieces[0];
    EXPECT_EQ(piece.simCount, 8u);
    EXPECT_EQ(piece.renderCount, 24u);
    ASSERT_EQ(shadowCasters().size(), 1u);
    const std::vector<float> texels = asRecords<float>(readBack(shadowCasters()[0].geometry->vertexBuffers[0]));
    const std::vector<uint32_t> remap = asRecords<uint32_t>(readBack(piece.remap));
    const std::vector<State> s = asRecords<State>(readBack(piece.state[piece.current]));
    const uint32_t width = piece.positions->width();
    for (uint32_t j = 0; j < piece.renderCount; ++j) {
      const float* t = &texels[(size_t(j / width) * width + j % width) * 4];
      const Float3 p = s.at(remap.at(j)).position;
      EXPECT_EQ(t[0], p.x) << j;
      EXPECT_EQ(t[1], p.y) << j;
      EXPECT_EQ(t[2], p.z) << j;
    }
  }
  clearMeshCache();
}

}  // namespace

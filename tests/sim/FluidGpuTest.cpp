// The SPH fluid on the device: neighbour-search structures against a CPU computation, and
// the physics of a released block of fluid.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "gfx/ShaderManager.h"
#include "sim/Fluid.h"
#include "tests/scene/SceneGpuSupport.h"
#include "tests/sim/SimTestSupport.h"

namespace {

struct FluidParticle {
  float position[3];
  float density;
  float velocity[3];
  float speed;
};
static_assert(sizeof(FluidParticle) == 32);

struct Key {
  uint32_t voxel, index;
};

class FluidGpuTest : public GpuTest {
 protected:
  void SetUp() override {
    GpuTest::SetUp();
    useBinaryShaders = false;
  }
  void TearDown() override {
    fluid_.reset();
    GpuTest::TearDown();
  }
  template <typename T>
  std::vector<T> read(Texture* t) {
    const auto bytes = readBack(t);
    std::vector<T> out(bytes.size() / sizeof(T));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
    return out;
  }
  sim::FluidSimulation& fluid(const sim::FluidSize& size = {}) {
    if (!fluid_) {
      fluid_ = std::make_unique<sim::FluidSimulation>(size);
      EXPECT_TRUE(fluid_->init());
    }
    return *fluid_;
  }
  std::unique_ptr<sim::FluidSimulation> fluid_;
};

// The voxel of a position as the shaders compute it, or -1 when the position lies so close
// to a voxel face that float rounding may put it on either side.
int cpuVoxel(const float* p) {
  const float mins[3] = {-1.0f, 0.0f, -1.0f};
  const int dims[3] = {32, 16, 32};
  int v[3];
  for (int c = 0; c < 3; ++c) {
    const float u = (p[c] - mins[c]) / 0.0625f;
    if (std::fabs(u - std::round(u)) < 1e-3f) return -1;
    v[c] = std::clamp(int(std::floor(u)), 0, dims[c] - 1);
  }
  return v[0] + 32 * (v[1] + 16 * v[2]);
}

TEST_F(FluidGpuTest, KeySortAndVoxelRangesAgreeWithTheCpu) {
  sim::FluidSimulation& f = fluid();
  ASSERT_TRUE(f.ready());
  for (int i = 0; i < 3; ++i) f.step();  // particles out of their starting order
  f.hashParticles();
  const auto particles = read<FluidParticle>(f.particles());
  auto keys = read<Key>(f.keys());
  ASSERT_EQ(keys.size(), 65536u);
  int checked = 0;
  for (uint32_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(keys[i].index, i);
    const int v = cpuVoxel(particles[i].position);
    if (v < 0) continue;
    ++checked;
    ASSERT_EQ(keys[i].voxel, uint32_t(v)) << i;
  }
  EXPECT_GT(checked, 60000);

  f.sortKeys();
  const auto sorted = read<Key>(f.keys());
  std::sort(keys.begin(), keys.end(), [](Key a, Key b) { return a.voxel != b.voxel ? a.voxel < b.voxel : a.index < b.index; });
  for (uint32_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(sorted[i].voxel, keys[i].voxel) << i;
    ASSERT_EQ(sorted[i].index, keys[i].index) << i;
  }

  f.gatherParticles();
  const auto start = read<uint32_t>(f.voxelStart());
  const auto end = read<uint32_t>(f.voxelEnd());
  const auto inOrder = read<FluidParticle>(f.sortedParticles());
  ASSERT_EQ(start.size(), 16384u);
  std::vector<uint32_t> first(16384, 0), last(16384, 0);
  for (uint32_t v = 0, i = 0; v < 16384; ++v) {
    while (i < sorted.size() && sorted[i].voxel < v) ++i;
    first[v] = i;
    while (i < sorted.size() && sorted[i].voxel == v) ++i;
    last[v] = i;
  }
  for (uint32_t v = 0; v < 16384; ++v) {
    ASSERT_EQ(start[v], first[v]) << v;
    ASSERT_EQ(end[v], last[v]) << v;
  }
  for (uint32_t i = 0; i < sorted.size(); i += 97)
    ASSERT_EQ(std::memcmp(&inOrder[i], &particles[sorted[i].index], sizeof(FluidParticle)), 0) << i;
}

// The sort must not lean on the order the keys arrive in: keys in a scrambled order, many
// to a voxel (the places inside a voxel are handed out in whatever order the scatter runs),
// some voxels empty, come out in (voxel, index) order with each voxel's range.
TEST_F(FluidGpuTest, TheKeySortOrdersByVoxelThenIndexWhateverOrderTheKeysArriveIn) {
  sim::FluidSimulation& f = fluid(sim::FluidSize{16, 8, 8});
  ASSERT_TRUE(f.ready());
  const uint32_t count = f.size().particles(), voxels = f.size().voxels();
  std::vector<Key> keys(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t h = (i * 2654435761u) ^ (i >> 3);
    // A crowd in the first voxels, the rest spread over every third voxel.
    const uint32_t voxel = i % 5 == 0 ? h % 7 : (h % (voxels / 3)) * 3;
    keys[i] = Key{voxel, (count - 1 - i) ^ 0x15u};  // every index once, mostly descending
  }
  gDevice->context()->updateSubresource(f.keys(), 0, keys.data(), count * sizeof(Key), count * sizeof(Key));
  f.sortKeys();
  const auto sorted = read<Key>(f.keys());
  const auto start = read<uint32_t>(f.voxelStart());
  const auto end = read<uint32_t>(f.voxelEnd());
  std::sort(keys.begin(), keys.end(), [](Key a, Key b) { return a.voxel != b.voxel ? a.voxel < b.voxel : a.index < b.index; });
  ASSERT_EQ(sorted.size(), keys.size());
  for (uint32_t i = 0; i < count; ++i) {
    ASSERT_EQ(sorted[i].voxel, keys[i].voxel) << i;
    ASSERT_EQ(sorted[i].index, keys[i].index) << i;
  }
  for (uint32_t v = 0, i = 0; v < voxels; ++v) {
    ASSERT_EQ(start[v], i) << v;
    while (i < count && keys[i].voxel == v) ++i;
    ASSERT_EQ(end[v], i) << v;
  }
}

// The acceleration pass as it was when it worked out every neighbour's pressure term
// (pressure / density^2) itself, for every pair; today the density pass stores it once.
const char* const kAccelerationPerPair = R"hlsl(// Acceleration of every sorted particle: pressure (spiky kernel gradient, in the symmetric
// form that conserves momentum), viscosity (viscosity kernel Laplacian) and gravity.
// w carries the particle's density on to the integration, which draws with it.
#include "sph.hlsli"

StructuredBuffer<VoxelKey> gKeys : register(t0);
StructuredBuffer<uint> gVoxelEnd : register(t1);
StructuredBuffer<float> gDensity : register(t2);
StructuredBuffer<FluidParticle> gSorted : register(t3);
RWStructuredBuffer<float4> gAcceleration : register(u0);

#include "neighbours.hlsli"

// The push of the six walls of the box on a particle near them.
float3 wallAcceleration(float3 x, float3 v)
{
    float3 a = float3(0.0, 0.0, 0.0);
    [unroll] for (int c = 0; c < 3; ++c)
    {
        float below = kWallRange - (x[c] - kBoxMin[c]);  // how far inside the lower wall's range
        float above = kWallRange - (kBoxMax[c] - x[c]);
        if (below > 0.0)
            a[c] += kWallStiffness * below - kWallDamping * min(v[c], 0.0);
        if (above > 0.0)
            a[c] -= kWallStiffness * above + kWallDamping * max(v[c], 0.0);
    }
    return a;
}

[numthreads(SPH_GROUP, 1, 1)]
void acceleration(uint3 id : SV_DispatchThreadID)
{
    uint i = id.x;
    FluidParticle self = gSorted[i];
    float rhoI = gDensity[i];
    float pI = pressureOf(rhoI) / (rhoI * rhoI);
    int3 center = voxelCoords(gKeys[i].voxel);
    float3 pressureAcc = float3(0.0, 0.0, 0.0);
    float3 viscosityAcc = float3(0.0, 0.0, 0.0);
    for (int dz = -1; dz <= 1; ++dz)
    {
        for (int dy = -1; dy <= 1; ++dy)
        {
            uint first, last;
            rowRange(center, dy, dz, first, last);
            for (uint j = first; j < last; ++j)
            {
                float3 d = self.position - gSorted[j].position;
                float r2 = dot(d, d);
                if (j == i || r2 >= kH * kH)
                    continue;
                float r = sqrt(r2);
                float rhoJ = gDensity[j];
                float w = kH - r;
                if (r > 1.0e-6)
                {
                    float pJ = pressureOf(rhoJ) / (rhoJ * rhoJ);
                    pressureAcc -= kMass * (pI + pJ) * kSpikyGrad * w * w * (d / r);
                }
                viscosityAcc += kMass * (gSorted[j].velocity - self.velocity) / rhoJ * (kViscLap * w);
            }
        }
    }
    float3 a = pressureAcc + viscosityAcc * (kViscosity / rhoI) + kGravity + wallAcceleration(self.position, self.velocity);
    if (!finite3(a))
        a = kGravity;
    gAcceleration[i] = float4(a, rhoI);
}
)hlsl";

// The stored pressure term is the same function of the same density, so the accelerations
// must be the same bits: the fluid is chaotic, and a last-bit difference grows into another
// flow within a few hundred steps.
TEST_F(FluidGpuTest, StoredPressureTermsGiveTheSameAccelerationsAsTermsWorkedOutPerPair) {
  sim::FluidSimulation& f = fluid(sim::FluidSize{16, 8, 8});
  ASSERT_TRUE(f.ready());
  for (int i = 0; i < 40; ++i) f.step();  // collapsing: pressures from none to the most
  f.hashParticles();
  f.sortKeys();
  f.gatherParticles();
  f.computeForces();
  const auto now = readBack(f.acceleration());

  const std::string text = "#define GRID_X 16\n#define GRID_Y 8\n#define GRID_Z 8\n" + std::string(kAccelerationPerPair);
  auto blob = compileShader(hlsl::Compute, kStageProfile[hlsl::Compute], text, "acceleration",
                            "data/shaders/sph/replaced.hlsl");
  ASSERT_NE(blob, nullptr) << lastCompileError();
  ShaderProgram old(gDevice);
  ASSERT_TRUE(old.attachStage(hlsl::Compute, *blob, "accelerationPerPair"));
  Texture* out = sim::createStructuredBuffer(f.size().particles(), 16);
  ASSERT_NE(out, nullptr);
  old.setResource(5, 0, f.keys());
  old.setResource(5, 1, f.voxelEnd());
  old.setResource(5, 2, f.density());
  old.setResource(5, 3, f.sortedParticles());
  old.setUav(0, out);
  dispatch(&old, f.size().particles() / 1024, 1);
  const auto before = readBack(out);
  deleteTexture(out);
  ASSERT_EQ(before.size(), now.size());
  EXPECT_TRUE(before == now);
  // Pressure is there to be compared: some particles are pushed up, against gravity.
  const auto accelerations = read<float>(f.acceleration());
  int pushedUp = 0;
  for (size_t i = 1; i < accelerations.size(); i += 4) pushedUp += accelerations[i] > 0.0f ? 1 : 0;
  EXPECT_GT(pushedUp, 100);
}

// The acceleration pass sums over the neighbours the density pass marked in each voxel
// row's mask, and a particle with a row too long for its mask scans its voxels again. Both roads must give the bits of
// the scan that works out every pair: with the masks' full 64 places (every row fits, and the
// block's rows, of up to about 40, fill both halves of a mask) and with rows of more than 30
// left to the scan (the block's rows overflow, the spread fluid's do not, so both roads meet
// in one vector), against the per-pair scan above.
TEST_F(FluidGpuTest, NeighbourMasksGiveTheAccelerationsOfTheFullScanWhetherRowsOverflowOrNot) {
  sim::FluidSimulation& f = fluid(sim::FluidSize{16, 8, 8});
  ASSERT_TRUE(f.ready());
  for (int i = 0; i < 40; ++i) f.step();
  f.hashParticles();
  f.sortKeys();
  f.gatherParticles();
  const sim::FluidSize size = f.size();
  const uint32_t count = size.particles(), groups = count / 1024;
  const std::string grid = "#define GRID_X 16\n#define GRID_Y 8\n#define GRID_Z 8\n";

  auto program = [&](const std::string& text, const char* entry) {
    auto blob = compileShader(hlsl::Compute, kStageProfile[hlsl::Compute], text, entry, "data/shaders/sph/replaced.hlsl");
    EXPECT_NE(blob, nullptr) << lastCompileError();
    auto p = std::make_unique<ShaderProgram>(gDevice);
    if (blob) {
      EXPECT_TRUE(p->attachStage(hlsl::Compute, *blob, entry));
    }
    return p;
  };
  auto file = [](const char* name) {
    std::string text;
    EXPECT_TRUE(hlsl::readSourceFile(std::string("data/shaders/sph/") + name, text)) << name;
    return text;
  };
  // The longest of a sorted particle's nine rows (three voxels along x), from the sort's
  // output, to know which road each particle takes.
  const auto keys = read<Key>(f.keys());
  const auto ends = read<uint32_t>(f.voxelEnd());
  auto longestRow = [&](uint32_t i) {
    const int x = int(keys[i].voxel % size.gridX), y = int(keys[i].voxel / size.gridX % size.gridY),
              z = int(keys[i].voxel / (size.gridX * size.gridY));
    uint32_t longest = 0;
    for (int dz = -1; dz <= 1; ++dz)
      for (int dy = -1; dy <= 1; ++dy) {
        if (y + dy < 0 || y + dy >= int(size.gridY) || z + dz < 0 || z + dz >= int(size.gridZ)) continue;
        const uint32_t row = size.gridX * (uint32_t(y + dy) + size.gridY * uint32_t(z + dz));
        const uint32_t k0 = row + uint32_t(std::max(x - 1, 0)), k1 = row + std::min(x + 1, int(size.gridX) - 1);
        longest = std::max(longest, ends[k1] - (k0 == 0 ? 0 : ends[k0 - 1]));
      }
    return longest;
  };

  // The reference: the density pass, then the scan over every pair.
  f.computeDensity();
  Texture* scanned = sim::createStructuredBuffer(count, 16);
  auto perPair = program(grid + kAccelerationPerPair, "acceleration");
  perPair->setResource(5, 0, f.keys());
  perPair->setResource(5, 1, f.voxelEnd());
  perPair->setResource(5, 2, f.density());
  perPair->setResource(5, 3, f.sortedParticles());
  perPair->setUav(0, scanned);
  dispatch(perPair.get(), groups, 1);
  const auto expected = readBack(scanned);
  deleteTexture(scanned);

  for (uint32_t limit : {64u, 30u}) {
    const std::string defines = grid + "#define ROW_LIMIT " + std::to_string(limit) + "\n";
    auto density = program(defines + file("density.hlsl"), "density");
    auto acceleration = program(defines + file("acceleration.hlsl"), "acceleration");
    Texture* densities = sim::createStructuredBuffer(count, 4);
    Texture* terms = sim::createStructuredBuffer(count, 4);
    Texture* lists = sim::createStructuredBuffer(count * sim::FluidSimulation::kNeighbourRecord, 4);
    Texture* out = sim::createStructuredBuffer(count, 16);
    density->setResource(5, 0, f.keys());
    density->setResource(5, 1, f.voxelEnd());
    density->setResource(5, 2, f.sortedParticles());
    density->setUav(0, densities);
    density->setUav(1, terms);
    density->setUav(2, lists);
    dispatch(density.get(), groups, 1);
    acceleration->setResource(5, 0, f.keys());
    acceleration->setResource(5, 1, f.voxelEnd());
    acceleration->setResource(5, 2, densities);
    acceleration->setResource(5, 3, f.sortedParticles());
    acceleration->setResource(5, 4, terms);
    acceleration->setResource(5, 5, lists);
    acceleration->setUav(0, out);
    dispatch(acceleration.get(), groups, 1);
    const auto got = readBack(out);
    for (Texture* t : {densities, terms, lists, out}) deleteTexture(t);

    int overflowing = 0;
    for (uint32_t i = 0; i < count; ++i) overflowing += longestRow(i) > limit ? 1 : 0;
    if (limit == 64) {
      EXPECT_EQ(overflowing, 0) << "every row fits a mask of 64";
    } else {
      EXPECT_GT(overflowing, int(count) / 20) << "rows of the block overflow 30";
      EXPECT_LT(overflowing, int(count) * 19 / 20) << "some particles' rows all fit 30";
    }
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "rows of up to " << limit << " in masks";
  }
}

struct FluidStats {
  double meanSpeed = 0, maxY = 0, minX = 1e9, maxX = -1e9, medianDensity = 0, maxDensity = 0;
  int outside = 0, notFinite = 0;
};

FluidStats stats(const std::vector<FluidParticle>& ps, const float lo[3], const float hi[3]) {
  FluidStats s;
  std::vector<float> densities;
  for (const FluidParticle& p : ps) {
    bool finite = true;
    for (int c = 0; c < 3; ++c) finite = finite && std::isfinite(p.position[c]) && std::isfinite(p.velocity[c]);
    if (!finite) {
      ++s.notFinite;
      continue;
    }
    for (int c = 0; c < 3; ++c)
      if (p.position[c] < lo[c] || p.position[c] > hi[c]) ++s.outside;
    s.meanSpeed += std::sqrt(p.velocity[0] * p.velocity[0] + p.velocity[1] * p.velocity[1] + p.velocity[2] * p.velocity[2]);
    s.maxY = std::max<double>(s.maxY, p.position[1]);
    s.minX = std::min<double>(s.minX, p.position[0]);
    s.maxX = std::max<double>(s.maxX, p.position[0]);
    s.maxDensity = std::max<double>(s.maxDensity, p.density);
    densities.push_back(p.density);
  }
  s.meanSpeed /= double(std::max<size_t>(densities.size(), 1));
  if (!densities.empty()) {
    std::nth_element(densities.begin(), densities.begin() + densities.size() / 2, densities.end());
    s.medianDensity = densities[densities.size() / 2];
  }
  return s;
}

// A smaller fluid (4,096 particles in 16 x 8 x 8 voxels of the same size) with the same
// shaders and physics: the block falls over 8 voxels instead of 16, so it settles in a few
// hundred steps that lavapipe can afford.
TEST_F(FluidGpuTest, ReleasedBlockFallsSpreadsAndComesToRestInsideTheBox) {
  sim::FluidSimulation& f = fluid(sim::FluidSize{16, 8, 8});
  ASSERT_TRUE(f.ready());
  ASSERT_EQ(f.size().particles(), 4096u);
  const float lo[3] = {-0.5f, 0.0f, -0.25f}, hi[3] = {0.5f, 0.5f, 0.25f};

  FluidStats start = stats(read<FluidParticle>(f.particles()), lo, hi);
  EXPECT_LT(start.maxX, 0.0);  // the block fills the half x < 0
  EXPECT_GT(start.maxY, 0.45);

  double peakSpeed = 0, spreadTo = -1;
  FluidStats now;
  for (int n = 1; n <= 450; ++n) {
    f.step();
    if (n % 50 != 0) continue;
    now = stats(read<FluidParticle>(f.particles()), lo, hi);
    ASSERT_EQ(now.notFinite, 0) << "step " << n;
    ASSERT_EQ(now.outside, 0) << "step " << n;
    peakSpeed = std::max(peakSpeed, now.meanSpeed);
    spreadTo = std::max(spreadTo, now.maxX);
  }
  EXPECT_GT(peakSpeed, 0.2);       // it fell
  EXPECT_GT(spreadTo, 0.45);       // and ran to the far wall
  EXPECT_LT(now.maxY, 0.3);        // the column collapsed to a layer (rest height 0.25)
  EXPECT_LT(now.meanSpeed, 0.2 * peakSpeed);  // and it has nearly stopped
  EXPECT_NEAR(now.medianDensity, 1000.0, 50.0);
  EXPECT_LT(now.maxDensity, 1150.0);
}

// What the sample shows of a dam break must happen within its span: at one step a frame,
// 90 steps of the small fluid see the column fall to well under its height while its front
// runs to the far wall and climbs it (the sample takes two steps a frame, so its larger
// fluid gets twice as many).
TEST_F(FluidGpuTest, ABlockReleasedCollapsesAndClimbsTheFarWallWithinNinetySteps) {
  sim::FluidSimulation& f = fluid(sim::FluidSize{16, 8, 8});
  ASSERT_TRUE(f.ready());
  const float lo[3] = {-0.5f, 0.0f, -0.25f}, hi[3] = {0.5f, 0.5f, 0.25f};
  const FluidStats start = stats(read<FluidParticle>(f.particles()), lo, hi);
  double wallTop = 0.0;
  for (int n = 1; n <= 90; ++n) {
    f.step();
    if (n % 10 != 0) continue;
    const std::vector<FluidParticle> ps = read<FluidParticle>(f.particles());
    for (const FluidParticle& p : ps)
      if (p.position[0] > 0.4f) wallTop = std::max<double>(wallTop, p.position[1]);
  }
  const FluidStats now = stats(read<FluidParticle>(f.particles()), lo, hi);
  EXPECT_EQ(now.notFinite, 0);
  EXPECT_EQ(now.outside, 0);
  EXPECT_LT(now.maxY, 0.72 * start.maxY) << "the column has not fallen";
  EXPECT_GT(now.maxX, 0.45) << "the front has not reached the far wall";
  EXPECT_GT(wallTop, 0.1) << "the water has not climbed the far wall";
}

// Two fluids started alike step to the same bytes: the neighbour sums visit neighbours in the
// sorted order, which the key sort fixes (voxel, then index), not in thread order.
TEST_F(FluidGpuTest, RunsFromTheSameStartGiveTheSameParticles) {
  std::vector<uint8_t> runs[2];
  for (auto& run : runs) {
    sim::FluidSimulation f(sim::FluidSize{16, 8, 8});
    ASSERT_TRUE(f.init());
    for (int n = 0; n < 40; ++n) f.step();
    run = readBack(f.particles());
  }
  EXPECT_TRUE(runs[0] == runs[1]);
}

class FluidOperatorGpuTest : public SceneGpuTest {
 protected:
  void SetUp() override {
    SceneGpuTest::SetUp();
    lookFrom({0.0f, 0.5f, -4.0f});
  }
  std::vector<uint8_t> particles() {
    return readBack(simtest::functionOf<sim::SPHOp::SPHFunction>(op).simulation()->particles());
  }
  int coveredPixels() {
    const FloatImage albedo = readTarget(0);
    int n = 0;
    for (uint32_t y = 0; y < size; ++y)
      for (uint32_t x = 0; x < size; ++x) n += albedo.at(x, y, 3) > 0.5f;
    return n;
  }
  sim::SPHOp op;
};

TEST_F(FluidOperatorGpuTest, ResetHeldKeepsTheStartingBlockAndStillDrawsIt) {
  simtest::setParam(op, "Reset", 1.0f);
  simtest::setParam(op, "ParticleSize", 0.02f);
  newFrame();
  simtest::evaluate(op, 0.0f, context);
  const std::vector<uint8_t> start = particles();
  for (int i = 1; i <= 3; ++i) {
    newFrame();
    simtest::evaluate(op, float(i) / 60, context);
  }
  EXPECT_TRUE(particles() == start);
  EXPECT_GT(coveredPixels(), 40);  // the block is drawn
}

TEST_F(FluidOperatorGpuTest, TwoEvaluationsInOneFrameTakeTwoSteps) {
  newFrame();
  simtest::evaluate(op, 1.0f, context);
  simtest::evaluate(op, 1.0f, context);
  sim::FluidSimulation reference;
  ASSERT_TRUE(reference.init());
  reference.step();
  reference.step();
  EXPECT_TRUE(particles() == readBack(reference.particles())) << "not the state after exactly two steps";
}

}  // namespace


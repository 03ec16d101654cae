// Particle systems on the device, checked by reading the particle buffer back: emission
// counts and reuse, gravity, the ground, lifetimes, the update's clock, curl noise, the
// record sort, and numbers a production should never be able to break them with.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "engine/Globals.h"
#include "gfx/ShaderManager.h"
#include "sim/Particles.h"
#include "tests/gfx/support/GpuTestSupport.h"
#include "tests/sim/SimTestSupport.h"

namespace {

using namespace simtest;
using sim::ParticleSysOp;

struct Particle {
  float position[3];
  float age;
  float velocity[3];
  float lifetime;
  bool alive() const { return age < lifetime; }
};
static_assert(sizeof(Particle) == 32);

class ParticlesGpuTest : public GpuTest {
 protected:
  void SetUp() override {
    GpuTest::SetUp();
    useBinaryShaders = false;
    wallClockTime = 100.0;
    wallClockDelta = 1.0 / 60.0;
  }
  void TearDown() override {
    sim::particleScope() = {};
    GpuTest::TearDown();
  }

  Texture* systemBuffer() { return functionOf<ParticleSysOp::ParticleSysFunction>(system).buffer(); }
  std::vector<Particle> particles() { return asRecords<Particle>(readBack(systemBuffer())); }
  static size_t alive(const std::vector<Particle>& ps) {
    return size_t(std::count_if(ps.begin(), ps.end(), [](const Particle& p) { return p.alive(); }));
  }
  void frame(float t, float reset = 0.0f) {
    setParam(system, "Reset", reset);
    evaluate(system, t, context);
    wallClockTime += 1.0 / 60.0;
  }
  void write(const std::vector<Particle>& ps) { device()->context()->updateSubresource(systemBuffer(), 0, ps.data(), 0, 0); }
  // A system without gravity whose sphere emitter sits at `at`.
  void withSphereEmitter(float rate, bool loop, float maxLifetime, float speed = 0.0f) {
    setParam(system, "Gravity.X", 0.0f);
    setParam(emitter, "SpawnRate", rate);
    setParam(emitter, "Loop", loop ? 1.0f : 0.0f);
    setParam(emitter, "MaxLifetime", maxLifetime);
    setParam(emitter, "Speed", speed);
    setParam(emitter, "Radius", 0.5f);
    connect(system, ParticleSysOp::Emitter, emitter);
  }

  Context context;
  ParticleSysOp system;
  sim::SphereEmitterOp emitter;
};

TEST_F(ParticlesGpuTest, WholeBufferRateWithoutLoopFillsOnceAfterEachReset) {
  withSphereEmitter(-1.0f, false, 0.2f);
  frame(0.0f, 1.0f);
  EXPECT_EQ(alive(particles()), 0u);
  frame(1.0f / 60);
  EXPECT_EQ(alive(particles()), sim::kParticleCount);
  for (int i = 2; i < 20; ++i) frame(float(i) / 60);  // lifetimes end by 0.2 s
  EXPECT_EQ(alive(particles()), 0u) << "the emitter must not fill the buffer a second time";

  frame(0.5f, 1.0f);
  frame(0.5f + 1.0f / 60);
  EXPECT_EQ(alive(particles()), sim::kParticleCount) << "a reset allows one more fill";
}

// Without "Loop" an emitter has one evaluation after each reset, even one that was due no
// particle (no time had passed): it then waits for the next reset.
TEST_F(ParticlesGpuTest, WithoutLoopAnEvaluationThatEmitsNothingStillUsesUpTheEmission) {
  withSphereEmitter(600.0f, false, 100.0f);
  frame(0.0f, 1.0f);
  frame(0.0f);  // no time since the last: zero particles due
  for (int i = 1; i <= 30; ++i) frame(float(i) / 60);
  EXPECT_EQ(alive(particles()), 0u);
  frame(0.6f, 1.0f);
  frame(0.7f);  // since the emission at 0 s: half a second counts, at 600 a second
  EXPECT_EQ(alive(particles()), 300u);
  frame(0.8f);
  EXPECT_EQ(alive(particles()), 300u);
}

// The time scale multiplies the step whatever its sign (negative runs particles backwards),
// and curl noise pushes by the real-time delta as the clock gives it, long frames included.
TEST_F(ParticlesGpuTest, TimeScaleAndTheRealTimeDeltaAreTakenAsGiven) {
  setParam(system, "Gravity.X", 0.0f);
  setParam(system, "TimeScale", -2.0f);
  frame(0.0f, 1.0f);
  std::vector<Particle> ps(sim::kParticleCount);
  ps[5] = {{1.0f, 2.0f, 3.0f}, 0.0f, {1.0f, 0.0f, 0.0f}, 100.0f};
  write(ps);
  frame(0.05f);
  EXPECT_NEAR(particles()[5].position[0], 1.0f - 2.0f * 0.05f, 1e-5f);

  sim::CurlNoiseOp curl;
  connect(system, ParticleSysOp::Affector, curl);
  setParam(curl, "Turbulence", 1.0f);
  float pushed[2];
  for (int run = 0; run < 2; ++run) {
    for (size_t i = 0; i < 64; ++i) ps[i] = {{float(i) * 0.37f, 0.5f, 0.25f}, 0.0f, {0, 0, 0}, 100.0f};
    write(ps);
    wallClockDelta = run == 0 ? 0.1 : 0.4;
    frame(0.05f);  // the same time again: the update adds nothing
    double sum = 0.0;
    const std::vector<Particle> now = particles();
    for (size_t i = 0; i < 64; ++i) sum += std::fabs(now[i].velocity[0]) + std::fabs(now[i].velocity[1]);
    pushed[run] = float(sum);
  }
  EXPECT_GT(pushed[0], 0.0f);
  EXPECT_NEAR(pushed[1] / pushed[0], 4.0f, 0.01f);
}

TEST_F(ParticlesGpuTest, RateEmitsThatManyParticlesASecondAcrossUnevenFrames) {
  withSphereEmitter(90.0f, true, 1000.0f);
  frame(0.0f, 1.0f);
  frame(0.01f);
  const float start = 0.01f;
  const size_t base = alive(particles());
  const float steps[] = {1.0f / 60, 1.0f / 30, 0.013f, 1.0f / 60, 0.007f, 0.05f, 1.0f / 60, 0.021f, 0.3f, 1.0f / 60};
  float t = start;
  for (float step : steps) {
    t += step;
    frame(t);
    const double expected = 90.0 * (t - start) + double(base);
    EXPECT_NEAR(double(alive(particles())), expected, 1.0) << "at t = " << t;
  }
}

TEST_F(ParticlesGpuTest, ParticlesFallAlongGravityStayAboveTheGroundAndDieAtTheirLifetime) {
  withSphereEmitter(-1.0f, false, 2.0f);
  setParam(system, "Gravity.Y", -10.0f);
  setParam(system, "PlaneHeight", 0.25f);
  context.world = mat::translation({3.0f, 5.0f, -2.0f});
  frame(0.0f, 1.0f);
  frame(0.0f);  // emitted at rest, no time passed
  const std::vector<Particle> born = particles();
  ASSERT_EQ(alive(born), sim::kParticleCount);
  for (const Particle& p : born) {
    ASSERT_NEAR(std::hypot(p.position[0] - 3.0f, p.position[1] - 5.0f, p.position[2] + 2.0f), 0.25f, 0.2501f);
    ASSERT_GE(p.lifetime, 1.0f);
    ASSERT_LT(p.lifetime, 2.0f);
  }

  float t = 0.0f;
  for (int i = 0; i < 30; ++i) frame(t += 1.0f / 60);  // half a second: still in the air
  std::vector<Particle> now = particles();
  for (size_t i = 0; i < now.size(); i += 7) {
    const Particle& p = now[i];
    ASSERT_TRUE(p.alive());
    EXPECT_NEAR(p.age, t, 1e-4f);
    EXPECT_NEAR(p.velocity[1], -10.0f * t, 1e-3f);
    EXPECT_EQ(p.velocity[0], 0.0f);
    EXPECT_EQ(p.position[0], born[i].position[0]);
    // Semi-implicit Euler: y0 - g dt^2 n(n+1)/2 after n steps of dt.
    EXPECT_NEAR(p.position[1], born[i].position[1] - 10.0f * t * (t + 1.0f / 60) / 2, 2e-3f);
  }

  for (int i = 0; i < 45; ++i) frame(t += 1.0f / 60);  // 1.25 s: the fall from 5 ends at 1 s
  now = particles();
  size_t onGround = 0;
  for (size_t i = 0; i < now.size(); ++i) {
    const Particle& p = now[i];
    ASSERT_GE(p.position[1], 0.25f) << i;
    if (p.alive() && p.position[1] < 0.8f) ++onGround;  // landed at 0.98 s; small bounces
    if (std::fabs(born[i].lifetime - t) > 1e-3f) {
      EXPECT_EQ(p.alive(), born[i].lifetime > t) << i;
    }
  }
  EXPECT_GT(onGround, alive(now) * 9 / 10);

  for (int i = 0; i < 50; ++i) frame(t += 1.0f / 60);  // past every lifetime
  EXPECT_EQ(alive(particles()), 0u);
}

TEST_F(ParticlesGpuTest, UpdateAdvancesATenthOfASecondAtMostAndNothingOnARepeatedTime) {
  withSphereEmitter(-1.0f, false, 100.0f);
  frame(0.0f, 1.0f);
  frame(0.0f);
  const float age0 = particles()[123].age;
  frame(0.3f);  // a stalled frame
  EXPECT_FLOAT_EQ(particles()[123].age, age0 + 0.1f);
  frame(0.3f);  // evaluated again at the same time
  EXPECT_FLOAT_EQ(particles()[123].age, age0 + 0.1f);
  frame(0.25f);  // time going backwards advances nothing either
  EXPECT_FLOAT_EQ(particles()[123].age, age0 + 0.1f);
  frame(0.27f);
  EXPECT_NEAR(particles()[123].age, age0 + 0.12f, 1e-5f);
}

TEST_F(ParticlesGpuTest, EmittersOutsideASystemDoNothing) {
  withSphereEmitter(-1.0f, false, 100.0f);
  evaluate(emitter, 1.0f, context);  // not inside a system: no buffer, no work, nothing used up
  EXPECT_EQ(functionOf<sim::EmitterFunction>(emitter).needsInit, 1);
  frame(1.0f);
  EXPECT_EQ(alive(particles()), sim::kParticleCount);  // what it had to emit was still there
}

TEST_F(ParticlesGpuTest, EmissionReusesDeadRecordsAndNeverOverwritesLivingOnes) {
  withSphereEmitter(-1.0f, true, 100.0f);
  frame(0.0f, 1.0f);
  std::vector<Particle> ps(sim::kParticleCount);
  for (size_t i = 0; i < ps.size(); ++i) {
    const bool living = i % 3 != 0;
    ps[i] = {{float(i), 7.0f, 0.0f}, 0.0f, {0.0f, 0.0f, 0.0f}, living ? 50.0f : 0.0f};
  }
  write(ps);
  frame(0.0f);  // asks for the whole buffer: only the dead third can be had
  const std::vector<Particle> now = particles();
  EXPECT_EQ(alive(now), sim::kParticleCount);
  for (size_t i = 0; i < now.size(); ++i) {
    if (i % 3 == 0) continue;
    ASSERT_EQ(now[i].position[0], float(i)) << "living particle " << i << " was replaced";
    ASSERT_EQ(now[i].lifetime, 50.0f);
  }
}

// Two systems started alike and given the same frames end with the same bytes: which dead
// records an emission takes does not depend on the order the device runs its threads in.
// Each frame asks for fewer particles than there are dead records, spread over every group.
TEST_F(ParticlesGpuTest, RunsFromTheSameStartGiveTheSameBuffer) {
  std::vector<uint8_t> runs[3];
  for (auto& run : runs) {
    ParticleSysOp sys;
    sim::BoxEmitterOp box;
    sim::SphereEmitterOp sphere;
    sim::CurlNoiseOp curl;
    connect(sys, ParticleSysOp::Emitter, box);
    connect(sys, ParticleSysOp::Emitter, sphere);
    connect(sys, ParticleSysOp::Affector, curl);
    setParam(box, "SpawnRate", 200000.0f);
    setParam(box, "MaxLifetime", 0.2f);
    setParam(sphere, "SpawnRate", 60000.0f);
    wallClockTime = 100.0;
    setParam(sys, "Reset", 1.0f);
    evaluate(sys, 0.0f, context);
    setParam(sys, "Reset", 0.0f);
    for (int i = 1; i <= 20; ++i) {
      wallClockTime += 1.0 / 60.0;
      evaluate(sys, float(i) / 60.0f, context);
    }
    run = readBack(functionOf<ParticleSysOp::ParticleSysFunction>(sys).buffer());
    sim::particleScope() = {};
  }
  ASSERT_EQ(runs[0].size(), size_t(sim::kParticleCount) * 32);
  const std::vector<Particle> ps = asRecords<Particle>(runs[0]);
  EXPECT_GT(alive(ps), sim::kParticleCount / 4);
  EXPECT_LT(alive(ps), sim::kParticleCount);
  EXPECT_TRUE(runs[0] == runs[1]);
  EXPECT_TRUE(runs[0] == runs[2]);
}

// The curl of a potential has no divergence: velocities given to particles on a lattice
// change along each axis without piling up anywhere.
TEST_F(ParticlesGpuTest, CurlNoisePushIsDivergenceFree) {
  sim::CurlNoiseOp curl;
  setParam(system, "Gravity.X", 0.0f);
  connect(system, ParticleSysOp::Affector, curl);
  setParam(curl, "Turbulence", 10.0f);
  setParam(curl, "NoiseScale", 4.0f);
  frame(0.0f, 1.0f);
  const int n = 32;  // 32 x 32 x 32 lattice, spacing 0.25 (16 points per noise cell)
  const float spacing = 0.25f;
  std::vector<Particle> ps(sim::kParticleCount);
  for (int i = 0; i < n * n * n; ++i)
    ps[i] = {{(i % n) * spacing, ((i / n) % n) * spacing, (i / (n * n)) * spacing}, 0.0f, {0, 0, 0}, 100.0f};
  write(ps);
  wallClockDelta = 0.05;
  frame(0.0f);
  const std::vector<Particle> now = particles();
  auto v = [&](int x, int y, int z, int c) { return now[size_t(x + n * (y + n * z))].velocity[c]; };
  double divergence = 0, gradient = 0, speed = 0;
  for (int z = 1; z < n - 1; ++z)
    for (int y = 1; y < n - 1; ++y)
      for (int x = 1; x < n - 1; ++x) {
        const double dx = (v(x + 1, y, z, 0) - v(x - 1, y, z, 0)) / (2 * spacing);
        const double dy = (v(x, y + 1, z, 1) - v(x, y - 1, z, 1)) / (2 * spacing);
        const double dz = (v(x, y, z + 1, 2) - v(x, y, z - 1, 2)) / (2 * spacing);
        divergence += std::fabs(dx + dy + dz);
        gradient += std::fabs(dx) + std::fabs(dy) + std::fabs(dz);
        speed += std::fabs(v(x, y, z, 0)) + std::fabs(v(x, y, z, 1)) + std::fabs(v(x, y, z, 2));
      }
  EXPECT_GT(speed / (3.0 * 30 * 30 * 30), 0.05) << "the noise pushed the particles";
  EXPECT_LT(divergence, 0.02 * gradient);
  for (const Particle& p : now) ASSERT_TRUE(std::isfinite(p.velocity[0]) && std::isfinite(p.velocity[1]));
}

TEST_F(ParticlesGpuTest, RecordSortOrdersLivingParticlesAlongTheAxisAndDeadOnesLast) {
  sim::BitonicSorter sorter;
  ASSERT_TRUE(sorter.load("particles/bitonicSort"));
  std::mt19937 random(7);
  std::uniform_real_distribution<float> coord(-50.0f, 50.0f);
  std::vector<Particle> ps(sim::kParticleCount);
  for (size_t i = 0; i < ps.size(); ++i) {
    const bool dead = i % 5 == 0;
    ps[i] = {{coord(random), coord(random), float(i % 7)}, 1.0f, {float(i), 0, 0}, dead ? 0.5f : 10.0f};
  }
  Texture* data = buffer(sim::kStructuredBufferFlags, sim::kParticleCount * 32, 32, ps.data());
  Texture* scratch = buffer(sim::kStructuredBufferFlags, sim::kParticleCount * 32, 32);
  const Float4 axis{0.6f, -0.8f, 0.0f, 0.0f};
  sorter.run(data, scratch, sim::kParticleCount, &axis);
  const std::vector<Particle> sorted = asRecords<Particle>(readBack(data));
  const size_t living = size_t(std::count_if(ps.begin(), ps.end(), [](const Particle& p) { return p.alive(); }));
  float previous = -std::numeric_limits<float>::infinity();
  for (size_t i = 0; i < sorted.size(); ++i) {
    ASSERT_EQ(sorted[i].alive(), i < living) << i;
    if (!sorted[i].alive()) continue;
    const float key = sorted[i].position[0] * axis.x + sorted[i].position[1] * axis.y;
    ASSERT_GE(key, previous - 1e-4f) << i;
    previous = key;
  }
  // A permutation: every record once (velocity.x holds the original index).
  std::vector<int> seen(ps.size(), 0);
  for (const Particle& p : sorted) ++seen[size_t(p.velocity[0])];
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), std::ptrdiff_t(ps.size()));
}

// Numbers a production can hold (animated to absurd values, or NaN from a division by zero)
// leave every particle finite and inside the bounds.
TEST_F(ParticlesGpuTest, AbsurdParametersNeverProduceNonFiniteParticles) {
  sim::CurlNoiseOp curl;
  sim::BoxEmitterOp box;
  connect(system, ParticleSysOp::Emitter, box);
  connect(system, ParticleSysOp::Affector, curl);
  const float nan = std::numeric_limits<float>::quiet_NaN(), huge = 3.0e38f;
  setParam(system, "Gravity.X", huge);
  setParam(system, "Gravity.Y", -huge);
  setParam(system, "Gravity.Z", nan);
  setParam(system, "TimeScale", huge);
  setParam(system, "PlaneHeight", nan);
  setParam(box, "SizeX", huge);
  setParam(box, "SizeY", nan);
  setParam(box, "Speed", huge);
  setParam(box, "MaxLifetime", huge);
  setParam(box, "SpawnRate", huge);
  setParam(curl, "Turbulence", huge);
  setParam(curl, "NoiseScale", 0.0f);
  setParam(curl, "Scale", nan);
  wallClockDelta = 1.0e9;
  float t = 0.0f;
  for (int i = 0; i < 6; ++i) frame(t += 0.05f);
  for (const Particle& p : particles()) {
    for (int c = 0; c < 3; ++c) {
      ASSERT_TRUE(std::isfinite(p.position[c]) && std::isfinite(p.velocity[c]));
      if (p.alive()) {
        ASSERT_LE(std::fabs(p.position[c]), 100000.0f);
      }
    }
    ASSERT_TRUE(std::isfinite(p.age) && std::isfinite(p.lifetime));
  }
}

}  // namespace

// Particle renderers drawing into a tiny G-buffer: sprites land where the camera sees the
// particles, with their colour and depth, dead particles draw nothing, "WriteDepth" decides
// whether nearer sprites hide farther ones; smoke is shadowed by the smoke between it and
// the light and blends over the surfaces drawn before it.
#include <cmath>

#include "engine/Globals.h"
#include "scene/Grouping.h"
#include "scene/ShadowCasters.h"
#include "sim/Cloth.h"
#include "sim/Fluid.h"
#include "sim/Particles.h"
#include "tests/scene/SceneGpuSupport.h"
#include "tests/sim/SimTestSupport.h"

namespace {

using namespace simtest;
using sim::ParticleSysOp;

struct Particle {
  float position[3];
  float age;
  float velocity[3];
  float lifetime;
};

Particle living(Float3 p) { return {{p.x, p.y, p.z}, 1.0f, {0, 0, 0}, 2.0f}; }

class ParticleDrawGpuTest : public SceneGpuTest {
 protected:
  void SetUp() override {
    SceneGpuTest::SetUp();
    setParam(system, "Gravity.X", 0.0f);
    setParam(system, "PlaneHeight", -10.0f);  // the ground would lift particles below y = 0
  }
  void TearDown() override {
    sim::particleScope() = {};
    SceneGpuTest::TearDown();
  }
  // Puts `ps` (the rest dead) into the system's buffer; the system has run once at t = 0, so
  // a later evaluation at t = 0 draws them without moving them.
  void place(const std::vector<Particle>& ps) {
    newFrame();
    evaluate(system, 0.0f, context);
    std::vector<Particle> all(sim::kParticleCount, Particle{});
    std::copy(ps.begin(), ps.end(), all.begin());
    Texture* b = functionOf<ParticleSysOp::ParticleSysFunction>(system).buffer();
    device()->context()->updateSubresource(b, 0, all.data(), 0, 0);
  }
  void drawFrame() {
    newFrame();
    evaluate(system, 0.0f, context);
  }
  // The pixel of a world point.
  void pixelOf(Float3 p, int& x, int& y) const {
    const Float4 clip = mat::transform({p.x, p.y, p.z, 1.0f}, mat::rigidInverse(context.camera) * context.projection);
    x = int((clip.x / clip.w * 0.5f + 0.5f) * float(size));
    y = int((0.5f - clip.y / clip.w * 0.5f) * float(size));
  }

  ParticleSysOp system;
};

TEST_F(ParticleDrawGpuTest, SpritesShowLivingParticlesWithTheirColourAndDepth) {
  sim::ParticleRendererOp renderer;
  connect(system, ParticleSysOp::Renderer, renderer);
  setParam(renderer, "Color.R", 1.0f);
  setParam(renderer, "Color.G", 0.5f);
  setParam(renderer, "Color.B", 0.25f);
  setParam(renderer, "Size", 0.12f);
  const Float3 a{-0.8f, 0.6f, 1.0f}, b{0.7f, -0.5f, 0.0f}, dead{0.0f, 0.0f, 0.0f};
  Particle gone = living(dead);
  gone.age = 3.0f;  // past its lifetime
  place({living(a), gone, living(b)});
  drawFrame();

  const FloatImage albedo = readTarget(0), normal = readTarget(1);
  int x, y;
  pixelOf(a, x, y);
  EXPECT_EQ(albedo.at(x, y, 3), 1.0f);
  EXPECT_NEAR(albedo.at(x, y, 0), 1.0f, 1e-3f);
  EXPECT_NEAR(albedo.at(x, y, 1), 0.5f, 1e-3f);
  EXPECT_NEAR(albedo.at(x, y, 2), 0.25f, 1e-3f);
  EXPECT_NEAR(normal.at(x, y, 3), 5.0f, 0.01f);  // view depth: the camera stands at z = -4
  EXPECT_LT(normal.at(x, y, 2), -0.5f);          // facing the camera
  pixelOf(b, x, y);
  EXPECT_EQ(albedo.at(x, y, 3), 1.0f);
  EXPECT_NEAR(normal.at(x, y, 3), 4.0f, 0.01f);
  pixelOf(dead, x, y);
  EXPECT_EQ(albedo.at(x, y, 3), 0.0f) << "a dead particle was drawn";
  int covered = 0;
  for (uint32_t py = 0; py < size; ++py)
    for (uint32_t px = 0; px < size; ++px) covered += albedo.at(px, py, 3) > 0.5f;
  EXPECT_GT(covered, 2);
  EXPECT_LT(covered, 20);  // two small sprites, nothing else
}

TEST_F(ParticleDrawGpuTest, WriteDepthDecidesWhetherNearerSpritesHideLaterFartherOnes) {
  sim::ParticleRendererOp renderer;
  connect(system, ParticleSysOp::Renderer, renderer);
  setParam(renderer, "Size", 0.3f);
  // The near particle is drawn first, the far one (same pixel) after it.
  const Float3 nearP{0.0f, 0.0f, -1.0f}, farP{0.0f, 0.0f, 2.0f};
  place({living(nearP), living(farP)});
  int x, y;
  pixelOf(nearP, x, y);

  drawFrame();
  EXPECT_NEAR(readTarget(1).at(x, y, 3), 3.0f, 0.01f);
  setParam(renderer, "WriteDepth", 0.0f);
  drawFrame();
  EXPECT_NEAR(readTarget(1).at(x, y, 3), 6.0f, 0.01f);
}

// Smoke between a particle and the light shadows it: a cluster of 1100 particles (more than
// one slice) stands between the light and particle B. B is lit fully without the cluster
// and by the ambient term alone behind it. The smoke only blends into the emissive target.
TEST_F(ParticleDrawGpuTest, SmokeIsShadowedBySmokeNearerTheLight) {
  sim::SmokeRendererOp smoke;
  connect(system, ParticleSysOp::Renderer, smoke);
  setParam(smoke, "ParticleSize", 0.12f);
  setParam(smoke, "Color.R", 0.8f);
  setParam(smoke, "Color.G", 0.6f);
  setParam(smoke, "Color.B", 0.4f);
  const Float3 l = normalize(sim::smokeLight(context).direction);
  const Float3 a{0.0f, 0.6f, 0.0f}, b = a + l * 1.5f;
  int bx, by;
  pixelOf(b, bx, by);

  place({living(b)});
  drawFrame();
  const float alone = readTarget(3).at(bx, by, 0);
  EXPECT_NEAR(alone, 0.8f, 0.08f);

  std::vector<Particle> ps(1100, living(a));
  ps.push_back(living(b));
  place(ps);
  drawFrame();
  const FloatImage emissive = readTarget(3), albedo = readTarget(0), normal = readTarget(1);
  EXPECT_NEAR(emissive.at(bx, by, 0), 0.25f * 0.8f, 0.05f) << "B should be in the cluster's shadow";
  EXPECT_NEAR(emissive.at(bx, by, 2) / emissive.at(bx, by, 0), 0.5f, 0.02f);
  int ax, ay;
  pixelOf(a, ax, ay);
  EXPECT_GT(emissive.at(ax, ay, 0), 0.1f);
  for (uint32_t y = 0; y < size; ++y)
    for (uint32_t x = 0; x < size; ++x) {
      ASSERT_EQ(albedo.at(x, y, 0), 0.0f) << "smoke darkens the albedo, it never lights it";
      ASSERT_EQ(normal.at(x, y, 3), 65504.0f) << "smoke has no depth";
    }
}

// Smoke blends "over" everything the scene drew before it, nearer or farther, with no depth
// test: a white opaque sprite in front of the smoke is darkened by the smoke's opacity and
// takes its lit colour in the emissive target, and keeps its own depth and normal.
TEST_F(ParticleDrawGpuTest, SmokeBlendsOverTheSurfacesDrawnBeforeItWithoutADepthTest) {
  ParticleSysOp front;
  sim::ParticleRendererOp sprites;
  setParam(front, "Gravity.X", 0.0f);
  setParam(front, "PlaneHeight", -10.0f);
  connect(front, ParticleSysOp::Renderer, sprites);
  setParam(sprites, "Size", 0.6f);
  sim::SmokeRendererOp smoke;
  connect(system, ParticleSysOp::Renderer, smoke);
  setParam(smoke, "ParticleSize", 0.2f);
  setParam(smoke, "Color.R", 0.8f);
  setParam(smoke, "Color.G", 0.6f);
  setParam(smoke, "Color.B", 0.4f);
  setParam(smoke, "Color.A", 0.5f);
  const Float3 surface{0.0f, 0.0f, -1.0f}, behind{0.0f, 0.0f, 1.0f};
  int x, y;
  pixelOf(behind, x, y);
  auto put = [&](ParticleSysOp& sys, const std::vector<Particle>& ps) {
    std::vector<Particle> all(sim::kParticleCount, Particle{});
    std::copy(ps.begin(), ps.end(), all.begin());
    device()->context()->updateSubresource(functionOf<ParticleSysOp::ParticleSysFunction>(sys).buffer(), 0,
                                           all.data(), 0, 0);
  };
  newFrame();
  evaluate(front, 0.0f, context);
  evaluate(system, 0.0f, context);
  put(front, {living(surface)});
  put(system, {});
  newFrame();
  evaluate(front, 0.0f, context);
  evaluate(system, 0.0f, context);
  const FloatImage clearAlbedo = readTarget(0), clearNormal = readTarget(1);
  ASSERT_EQ(clearAlbedo.at(x, y, 0), 1.0f);  // the sprite covers the smoke's pixel

  put(system, {living(behind)});
  newFrame();
  evaluate(front, 0.0f, context);
  evaluate(system, 0.0f, context);
  const FloatImage albedo = readTarget(0), normal = readTarget(1), emissive = readTarget(3);
  const float a = 1.0f - albedo.at(x, y, 0);  // the smoke's opacity at that pixel
  EXPECT_GT(a, 0.3f) << "smoke behind the surface still covers it";
  EXPECT_LT(a, 0.55f);
  EXPECT_NEAR(albedo.at(x, y, 3), 1.0f + a, 0.01f);  // the surface mark grows by the opacity
  EXPECT_NEAR(emissive.at(x, y, 0), a * 0.8f, 0.03f);
  EXPECT_NEAR(emissive.at(x, y, 2) / emissive.at(x, y, 0), 0.5f, 0.02f);
  for (uint32_t c = 0; c < 4; ++c) EXPECT_EQ(normal.at(x, y, c), clearNormal.at(x, y, c)) << c;
}

// A frame of every simulation together (validation and synchronisation validation watch it),
// and after the first frames no frame creates a GPU object.
TEST_F(ParticleDrawGpuTest, FramesOfEverySimulationCreateNoGpuObjectsAfterTheFirst) {
  sim::SphereEmitterOp emitter;
  sim::CurlNoiseOp curl;
  sim::ParticleRendererOp sprites;
  sim::SmokeRendererOp smoke;
  connect(system, ParticleSysOp::Emitter, emitter);
  connect(system, ParticleSysOp::Affector, curl);
  GroupOp renderers;  // both renderers under one Group, as a production joins them
  connect(renderers, GroupOp::InScene, sprites);
  connect(renderers, GroupOp::InScene, smoke);
  connect(system, ParticleSysOp::Renderer, renderers);
  setParam(emitter, "SpawnRate", 3000.0f);
  sim::SPHOp fluid;
  sim::ClothOp cloth;
  setParam(cloth, "Plane W Divisions", 14.0f);
  setParam(cloth, "Plane H Divisions", 14.0f);
  uint64_t created = 0;
  for (int frame = 0; frame < 4; ++frame) {
    if (frame == 2) {
      device()->waitIdle();
      created = device()->counters().total();
    }
    newFrame();
    wallClockTime += 1.0 / 60;
    const float t = float(frame) / 60.0f;
    evaluate(system, t, context);
    evaluate(fluid, t, context);
    evaluate(cloth, t, context);
  }
  device()->waitIdle();
  EXPECT_EQ(device()->counters().total(), created);
  EXPECT_EQ(shadowCasters().size(), 1u);  // the cloth's
  EXPECT_NE(functionOf<sim::SmokeRendererOp::SmokeRendererFunction>(smoke).sortBuffer(), nullptr);
  int covered = 0;
  const FloatImage albedo = readTarget(0);
  for (uint32_t y = 0; y < size; ++y)
    for (uint32_t x = 0; x < size; ++x) covered += albedo.at(x, y, 3) > 0.5f;
  EXPECT_GT(covered, 100);
}

}  // namespace

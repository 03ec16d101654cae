// Lights drawn over fewer pixels, by programs with less in them, or in fewer passes, must
// show what they showed before.
//
// The spot's cone volume was twice as wide as its lit cone; it is now the lit cone with its
// ring widened just enough for the polygon's sides to clear the lit disc. Each view lights
// a floor and a ball with a shadowed, scattering spot through today's cone and through a
// cone as wide as the old one. A pixel's view ray comes from its position on the drawn
// triangle, so the two may differ in the last bit of a half float here and there (a few
// texels of the sample's frames do), and nowhere by more. A cone too narrow by a tenth must
// break that in the views that see the rim of the lit disc, or the comparison would prove
// nothing.
//
// The point lights' sphere was a coarse one of detail 6 scaled by 1.2; a finer one hugs the
// lit sphere more closely, held to the coarse one in the same way.
//
// Lights without in-scattering are drawn by the programs' entries without it: the same
// texels as the full entry, which still draws the lights that scatter.
//
// The light map, the emission and the image-based term are summed in one pass where a
// combine pass and an added pass drew them: the sum is rounded to the half-float target once
// instead of twice, so texels may move by one step of a half float, and by no more.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <utility>

#include "gfx/ConstantWriter.h"
#include "scene/PassSupport.h"
#include "tests/scene/LightingGpuSupport.h"

namespace {

using lightref::HalfImage;

// Texels (colour channels) further apart than one step of a half float (relative 2^-10, or
// 2^-24 near zero).
int texelsApart(const HalfImage& a, const HalfImage& b) {
  int apart = 0;
  const size_t pixels = size_t(a.width) * a.height;
  for (size_t i = 0; i < pixels; ++i)
    for (int c = 0; c < 3; ++c) {
      const float x = a.texels[i * 4 + c], y = b.texels[i * 4 + c];
      const float step = std::max(std::max(std::fabs(x), std::fabs(y)) / 1024.0f, 6e-8f);
      if (!(std::fabs(x - y) <= step)) {
        ++apart;
        break;
      }
    }
  return apart;
}

class LightDrawsGpuTest : public LightingGpuTest {
 protected:
  // A floor with a ball over it, seen from `from` towards `lookAt`, lit by `addLights`.
  HalfImage lightScene(const std::function<void()>& addLights) {
    newFrame();
    setCamera(from, lookAt, 60.0f);
    addLights();
    const Mesh* floor = quadMesh();
    const Mesh* ball = sphereMesh(24);
    Material m;
    m.roughness = 0.5f;
    Operator& pass = lightPass([&] {
      draw(floor, mat::scaling({16, 1, 16}), m);
      draw(ball, mat::scaling({0.7f, 0.7f, 0.7f}) * mat::translation({0.3f, 1.4f, 0.2f}), m);
    });
    return light(pass);
  }

  // The same scene with the spot's unit cone widened across by `factor` (the transform
  // stays today's), then the cone put back.
  HalfImage throughCone(float factor, const std::function<void()>& addLights) {
    MeshBuilder b;
    b.addCone({}, kSpotConeSegments);
    for (Float4& p : b.positions) {
      p.x *= factor;
      p.y *= factor;
    }
    return through(sLighting->cone, b, addLights);
  }

  // The same scene with the point lights' unit sphere of `detail` scaled by `factor`.
  HalfImage throughSphere(int detail, float factor, const std::function<void()>& addLights) {
    MeshBuilder b;
    b.addSphere({}, detail, false);
    for (Float4& p : b.positions) {
      p.x *= factor;
      p.y *= factor;
      p.z *= factor;
    }
    return through(sLighting->sphere, b, addLights);
  }

  HalfImage through(std::unique_ptr<Mesh>& volume, const MeshBuilder& b, const std::function<void()>& addLights) {
    std::unique_ptr<Mesh> mesh = b.toMesh(device());
    std::swap(volume, mesh);
    HalfImage picture = lightScene(addLights);
    std::swap(volume, mesh);
    device()->waitIdle();
    return picture;
  }

  Float3 from{0, 2, -7}, lookAt{0, 0.8f, 0};
};

SpotLightRecord stageSpot(float scatteringMultiplier) {
  SpotLightRecord r;
  r.position = {0.4f, 4.0f, 0.3f, 1};
  r.direction = {0.15f, -1, 0.1f, 0};
  r.colour = {5.0f, 4.5f, 3.5f, 0};
  r.angle = 40.0f;
  r.farPlane = 7.0f;  // ends below the floor's centre but short of its far side
  r.castsShadows = 1;
  r.scattering = {0.6f, scatteringMultiplier, 1.0f, 1.0f};  // density, multiplier, falloff, shadowed shaft
  r.scatteringSteps = 24;
  return r;
}

PointLightRecord lamp(float scatteringMultiplier) {
  PointLightRecord r;
  r.position = {-0.6f, 0.7f, -0.9f, 1};
  r.colour = {1.0f, 0.6f, 0.3f, 0};
  r.radius = 2.5f;
  r.brightness = 3.0f;
  r.scattering = {0.3f, scatteringMultiplier, 1.0f, 0};
  return r;
}

}  // namespace

TEST_F(LightDrawsGpuTest, TheTighterSpotConeLightsWhatTheOldWideConeLit) {
  // Across the cone; from inside it looking down (its inner faces drawn); from the floor
  // looking up into it; from beyond its far end within its angle, below the floor.
  const Float3 views[4][2] = {{{0, 2, -7}, {0, 0.8f, 0}},
                              {{0.5f, 3.2f, 0.4f}, {0.9f, 0, 0.6f}},
                              {{2.5f, 0.3f, -1.5f}, {0.4f, 4.0f, 0.3f}},
                              {{1.5f, -4.5f, 1.0f}, {0.4f, 4.0f, 0.3f}}};
  const float oldWidth = 2.0f / kSpotConeRingWidening;  // twice the lit radius
  int narrowApart = 0;
  for (const auto& view : views) {
    from = view[0];
    lookAt = view[1];
    SCOPED_TRACE(testing::Message() << "seen from " << from.x << "," << from.y << "," << from.z);
    const auto addSpot = [] { spotLights().push_back(stageSpot(1.0f)); };
    const HalfImage now = lightScene(addSpot);
    const HalfImage wide = throughCone(oldWidth, addSpot);
    ASSERT_EQ(now.texels.size(), wide.texels.size());
    EXPECT_EQ(texelsApart(now, wide), 0);
    EXPECT_TRUE(std::any_of(now.texels.begin(), now.texels.end(), [](float v) { return v > 0.05f; }));
    narrowApart += texelsApart(throughCone(0.9f, addSpot), wide);
  }
  EXPECT_GT(narrowApart, 0) << "a cone a tenth too narrow went unseen";
}

TEST_F(LightDrawsGpuTest, TheFinerPointSphereLightsWhatTheOldCoarseSphereLit) {
  // The old volume: the sphere of detail 6 scaled by 1.2 times the radius. Lamps with and
  // without in-scattering, seen from outside their spheres and from inside one.
  const float oldScale = 1.2f / kPointSphereWidening;
  int narrowApart = 0;
  for (const Float3& eyeAt : {Float3{0, 2, -7}, Float3{-0.2f, 1.0f, -1.2f}})
    for (float multiplier : {0.0f, 0.8f}) {
      from = eyeAt;
      SCOPED_TRACE(testing::Message() << "seen from " << from.x << "," << from.y << "," << from.z
                                      << ", scattering multiplier " << multiplier);
      const auto addLamps = [multiplier] {
        pointLights().push_back(lamp(multiplier));
        PointLightRecord far = lamp(multiplier);
        far.position = {1.8f, 0.4f, 1.5f, 1};
        pointLights().push_back(far);
      };
      const HalfImage now = lightScene(addLamps);
      const HalfImage coarse = throughSphere(6, oldScale, addLamps);
      ASSERT_EQ(now.texels.size(), coarse.texels.size());
      EXPECT_EQ(texelsApart(now, coarse), 0);
      EXPECT_TRUE(std::any_of(now.texels.begin(), now.texels.end(), [](float v) { return v > 0.05f; }));
      narrowApart += texelsApart(throughSphere(kPointSphereDetail, 0.9f, addLamps), coarse);
    }
  from = {0, 2, -7};
  EXPECT_GT(narrowApart, 0) << "a sphere a tenth too small went unseen";
}

TEST_F(LightDrawsGpuTest, LightsWithoutScatteringTakeTheEntryWithoutItAndShowTheSame) {
  for (float multiplier : {0.0f, -1.0f, 0.5f}) {
    SCOPED_TRACE(testing::Message() << "scattering multiplier " << multiplier);
    const auto addLights = [multiplier] {
      spotLights().push_back(stageSpot(multiplier));
      pointLights().push_back(lamp(multiplier));
    };
    ProgramTrace trace;
    gPassTrace = &trace;
    const HalfImage now = lightScene(addLights);
    gPassTrace = nullptr;
    const bool unscattered = !(multiplier > 0.0f);
    for (const ShaderProgram* p : {sLighting->pointUnscatteredProgram.get(), sLighting->spotUnscatteredProgram.get()})
      EXPECT_EQ(std::count(trace.runs.begin(), trace.runs.end(), p), unscattered ? 1 : 0);

    // The full entries alone, as every light was drawn before.
    std::unique_ptr<ShaderProgram> point, spot;
    std::swap(sLighting->pointUnscatteredProgram, point);
    std::swap(sLighting->spotUnscatteredProgram, spot);
    const HalfImage full = lightScene(addLights);
    std::swap(sLighting->pointUnscatteredProgram, point);
    std::swap(sLighting->spotUnscatteredProgram, spot);
    EXPECT_EQ(now.texels, full.texels);
  }
  // The scattering is in the full entry's picture: a scattering light drawn without it
  // would not pass the comparison above.
  const HalfImage scattering = lightScene([] { pointLights().push_back(lamp(0.5f)); });
  const HalfImage plain = lightScene([] { pointLights().push_back(lamp(0.0f)); });
  EXPECT_GT(texelsApart(scattering, plain), 20);
}

TEST_F(LightDrawsGpuTest, TheCombineAndTheImageTermInOnePassShowWhatTheirTwoPassesShowed) {
  const auto scene = [this](bool onePass) {
    std::unique_ptr<ShaderProgram> combined;
    if (!onePass) std::swap(sLighting->imageCombinedProgram, combined);
    newFrame();
    setCamera(from, lookAt, 60.0f);
    dirLights().push_back(dirLight({0.4f, 1.0f, -0.3f}, {0.9f, 0.85f, 0.8f}, true));
    pointLights().push_back(lamp(0.5f));
    const Mesh* floor = quadMesh();
    const Mesh* ball = sphereMesh(24);
    Material shiny, glowing;
    shiny.roughness = 0.3f;
    shiny.ibl = 0.8f;
    glowing.albedo = {0.2f, 0.3f, 0.4f};
    glowing.emissive = {0.6f, 0.3f, 0.1f};
    glowing.ibl = 0.5f;
    Operator& pass = lightPass([&] {
      draw(floor, mat::scaling({16, 1, 16}), shiny);
      draw(ball, mat::scaling({0.7f, 0.7f, 0.7f}) * mat::translation({0.3f, 1.4f, 0.2f}), glowing);
    });
    HalfImage picture = light(pass);
    if (!onePass) std::swap(sLighting->imageCombinedProgram, combined);
    return picture;
  };
  ProgramTrace trace;
  gPassTrace = &trace;
  const HalfImage now = scene(true);
  gPassTrace = nullptr;
  EXPECT_EQ(std::count(trace.runs.begin(), trace.runs.end(), sLighting->imageCombinedProgram.get()), 1);
  EXPECT_EQ(std::count(trace.runs.begin(), trace.runs.end(), sLighting->combineProgram.get()), 0);
  const HalfImage twoPasses = scene(false);
  ASSERT_EQ(now.texels.size(), twoPasses.texels.size());
  EXPECT_EQ(texelsApart(now, twoPasses), 0);
  for (size_t i = 3; i < now.texels.size(); i += 4) ASSERT_EQ(now.texels[i], twoPasses.texels[i]) << "alpha";
  EXPECT_TRUE(std::any_of(now.texels.begin(), now.texels.end(), [](float v) { return v > 0.05f; }));
}


// The light operators on the CPU: the records they append (the quirks productions rely on
// included), that they leave the Context alone and draw their subtree, and that a new
// frame empties the lists.
#include <gtest/gtest.h>

#include <cmath>

#include "scene/FrameSetup.h"
#include "scene/LightPasses.h"
#include "scene/Lights.h"
#include "scene/Operators.h"
#include "tests/scene/SceneTestSupport.h"

namespace {

class LightOperators : public ::testing::Test {
 protected:
  void SetUp() override {
    registerSceneOperators();
    clearPerFrameLists();
    graph = std::make_unique<OperatorGraph>();
  }
  void TearDown() override { clearPerFrameLists(); }

  // op under a "Transform" rotating 90 degrees about Y and moving by (10, 0, 0), above a probe.
  Operator& underTransform(Operator& light, ProbeSceneOp*& probe) {
    Operator& transform = makeOp(*graph, "Transform");
    setParam(transform, "Rotation.Y", 90.0f);
    setParam(transform, "Position.X", 10.0f);
    probe = &addOp<ProbeSceneOp>(*graph);
    connectOrThrow(*graph, *probe, "SceneOut", light, light.inputs[0].name);
    connectOrThrow(*graph, light, "OutScene", transform, "InScene");
    return transform;
  }

  std::unique_ptr<OperatorGraph> graph;
  Context ctx;
};

TEST_F(LightOperators, DirectionalDirectionIsNotRotatedAndColourIsPremultiplied) {
  Operator& light = makeOp(*graph, "DirLight");
  setParam(light, "Direction.X", 1.0f);
  setParam(light, "Direction.Y", 2.0f);
  setParam(light, "Direction.Z", 3.0f);
  setParam(light, "Color.G", 0.5f);
  setParam(light, "Brightness", 4.0f);
  setParam(light, "Cast Shadows", 1.0f);
  ProbeSceneOp* probe = nullptr;
  Operator& top = underTransform(light, probe);
  top.outputs[0].evaluate(0.0f, ctx);

  ASSERT_EQ(dirLights().size(), 1u);
  const DirLightRecord& r = dirLights()[0];
  EXPECT_EQ(r.direction.x, 1.0f);
  EXPECT_EQ(r.direction.y, 2.0f);
  EXPECT_EQ(r.direction.z, 3.0f);
  EXPECT_EQ(r.direction.w, 0.0f);
  EXPECT_EQ(r.colour.x, 4.0f);
  EXPECT_EQ(r.colour.y, 2.0f);
  EXPECT_EQ(r.colour.w, 0.0f);
  EXPECT_EQ(r.castsShadows, 1);
  EXPECT_EQ(r.enabled, 1);
  EXPECT_EQ(probe->visits, 1);  // the subtree is drawn
}

TEST_F(LightOperators, PointPositionFollowsTheWorldAndBrightnessStaysApart) {
  Operator& light = makeOp(*graph, "PointLight");
  setParam(light, "Position.Z", 2.0f);
  setParam(light, "Color.R", 0.25f);
  setParam(light, "Brightness", 8.0f);
  setParam(light, "Radius", 3.0f);
  setParam(light, "ScattMultiplier", 0.5f);
  ProbeSceneOp* probe = nullptr;
  Operator& top = underTransform(light, probe);
  top.outputs[0].evaluate(0.0f, ctx);

  ASSERT_EQ(pointLights().size(), 1u);
  const PointLightRecord& r = pointLights()[0];
  // (0, 0, 2) turned 90 degrees about Y is (2, 0, 0), then moved by 10.
  EXPECT_NEAR(r.position.x, 12.0f, 1e-5f);
  EXPECT_NEAR(r.position.z, 0.0f, 1e-5f);
  EXPECT_EQ(r.position.w, 1.0f);
  EXPECT_EQ(r.colour.x, 0.25f);  // not multiplied by the brightness
  EXPECT_EQ(r.colour.y, 1.0f);
  EXPECT_EQ(r.brightness, 8.0f);
  EXPECT_EQ(r.radius, 3.0f);
  EXPECT_EQ(r.scattering.x, 0.1f);  // density, multiplier, falloff
  EXPECT_EQ(r.scattering.y, 0.5f);
  EXPECT_EQ(r.scattering.z, 1.0f);
}

TEST_F(LightOperators, SpotDirectionTurnsWithTheWorldAndIsNormalised) {
  Operator& light = makeOp(*graph, "SpotLight");
  setParam(light, "Direction.X", 0.0f);
  setParam(light, "Direction.Y", 0.0f);
  setParam(light, "Direction.Z", 5.0f);
  setParam(light, "Brightness", 2.0f);
  setParam(light, "ScattShadows", 1.0f);
  setParam(light, "ScattSteps", 12.7f);
  ProbeSceneOp* probe = nullptr;
  Operator& top = underTransform(light, probe);
  top.outputs[0].evaluate(0.0f, ctx);

  ASSERT_EQ(spotLights().size(), 1u);
  const SpotLightRecord& r = spotLights()[0];
  EXPECT_NEAR(r.direction.x, 1.0f, 1e-5f);  // +Z turned to +X, unit length, not moved
  EXPECT_NEAR(r.direction.z, 0.0f, 1e-5f);
  EXPECT_EQ(r.direction.w, 0.0f);
  EXPECT_NEAR(r.position.x, 10.0f, 1e-5f);
  EXPECT_EQ(r.position.w, 1.0f);
  EXPECT_EQ(r.colour.x, 2.0f);  // premultiplied
  EXPECT_EQ(r.angle, 45.0f);
  EXPECT_EQ(r.farPlane, 10.0f);
  EXPECT_EQ(r.castsShadows, 1);
  EXPECT_EQ(r.scattering.w, 1.0f);
  EXPECT_EQ(r.scatteringSteps, 12.0f);
}

TEST_F(LightOperators, ZeroDirectionsStayFiniteAndANewFrameEmptiesTheLists) {
  Operator& spot = makeOp(*graph, "SpotLight");
  setParam(spot, "Direction.Y", 0.0f);
  Operator& dir = makeOp(*graph, "DirLight");
  for (const char* axis : {"Direction.X", "Direction.Y", "Direction.Z"}) setParam(dir, axis, 0.0f);
  spot.outputs[0].evaluate(0.0f, ctx);
  dir.outputs[0].evaluate(0.0f, ctx);
  ASSERT_EQ(spotLights().size(), 1u);
  EXPECT_TRUE(std::isfinite(spotLights()[0].direction.x) && std::isfinite(spotLights()[0].direction.y));
  EXPECT_EQ(dirLights().size(), 1u);

  clearPerFrameLists();  // what beginFrame does
  EXPECT_TRUE(dirLights().empty());
  EXPECT_TRUE(pointLights().empty());
  EXPECT_TRUE(spotLights().empty());
}

TEST_F(LightOperators, LightsLeaveWorldAndMaterialAsTheyFoundThem) {
  for (const char* type : {"DirLight", "PointLight", "SpotLight"}) {
    Operator& light = makeOp(*graph, type);
    ctx.world = mat::scaleRotateTranslate({2, 2, 2}, {0, 30, 0}, {1, 2, 3});
    const Float4x4 world = ctx.world;
    ctx.baseColor = {0.1f, 0.2f, 0.3f, 0.4f};
    light.outputs[0].evaluate(0.0f, ctx);
    EXPECT_TRUE(ctx.world == world) << type;
    EXPECT_EQ(ctx.baseColor.z, 0.3f) << type;
  }
}

TEST(TransparencyRegion, ScreenPercentScalesEveryCoordinateAndClamps) {
  const Viewport r{10, 20, 110, 220};
  EXPECT_EQ(scaledRegion(r, 0.5f), (Viewport{5, 10, 55, 110}));
  EXPECT_EQ(scaledRegion(r, 1.7f), r);                         // above 100 % is 100 %
  EXPECT_EQ(scaledRegion(r, -0.3f), (Viewport{0, 0, 0, 0}));  // below 0 is empty
  EXPECT_EQ(scaledRegion(r, NAN), (Viewport{0, 0, 0, 0}));
  EXPECT_EQ(scaledRegion({0, 0, 33, 17}, 0.5f), (Viewport{0, 0, 16, 8}));  // truncated
  EXPECT_EQ(scaledRegion({3, 3, 9, 9}, 0.5f), (Viewport{1, 1, 4, 4}));
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/Curve.h"

namespace {

Key key(float time, float value, int32_t shape = 0) {
  Key k;
  k.time = time;
  k.value = value;
  k.shape = shape;
  return k;
}

const std::vector<Key> kRamp = {key(0, 0), key(1, 10)};

TEST(CurveShapes, LinearBezierHermiteStepAndUnknown) {
  EXPECT_FLOAT_EQ(curveValue(kRamp, 1, 1, 0.5f), 5.0f);
  EXPECT_FLOAT_EQ(curveValue(kRamp, 1, 1, 0.0f), 0.0f);
  EXPECT_FLOAT_EQ(curveValue(kRamp, 1, 1, 1.0f), 10.0f);

  // Bezier with handles on the straight line is the line itself.
  std::vector<Key> bez = {key(0, 0), key(3, 30, 1)};
  bez[0].cp2[0] = 1, bez[0].cp2[1] = 10;
  bez[1].cp1[0] = -1, bez[1].cp1[1] = -10;
  EXPECT_NEAR(curveValue(bez, 1, 1, 1.5f), 15.0f, 1e-3f);
  EXPECT_NEAR(curveValue(bez, 1, 1, 0.3f), 3.0f, 1e-3f);
  // Flat handles: an ease curve, symmetric about the middle, slow at the ends.
  bez[0].cp2[1] = 0, bez[1].cp1[1] = 0;
  EXPECT_NEAR(curveValue(bez, 1, 1, 1.5f), 15.0f, 1e-3f);
  const float early = curveValue(bez, 1, 1, 0.3f);
  EXPECT_LT(early, 3.0f);
  EXPECT_NEAR(early + curveValue(bez, 1, 1, 2.7f), 30.0f, 1e-2f);

  // Hermite takes the raw y offsets of the handles as tangents.
  std::vector<Key> her = {key(0, 1), key(2, 3, 2)};
  EXPECT_FLOAT_EQ(curveValue(her, 1, 1, 1.0f), 2.0f);  // no tangents: smoothstep
  her[0].cp2[1] = 4;
  her[1].cp1[1] = -2;
  const float s = 0.25f;
  const float h01 = 3 * s * s - 2 * s * s * s, h00 = 1 - h01, h10 = s * s * s - 2 * s * s + s, h11 = s * s * s - s * s;
  EXPECT_FLOAT_EQ(curveValue(her, 1, 1, 0.5f), h00 * 1 + h01 * 3 + h10 * 4 - h11 * -2);

  std::vector<Key> step = {key(0, 4), key(1, 8, 3)};
  EXPECT_FLOAT_EQ(curveValue(step, 1, 1, 0.99f), 4.0f);
  EXPECT_FLOAT_EQ(curveValue(step, 1, 1, 1.0f), 8.0f);

  std::vector<Key> odd = {key(0, 4), key(1, 8, 7)};
  EXPECT_FLOAT_EQ(curveValue(odd, 1, 1, 0.5f), 0.0f);
  EXPECT_FLOAT_EQ(curveValue({}, 1, 1, 0.5f), 0.0f);
}

TEST(CurveShapes, TheShapeOfTheLaterKeyDecidesEachSegment) {
  std::vector<Key> keys = {key(0, 0), key(1, 10, 3), key(2, 20, 0), key(4, 0, 0)};
  EXPECT_FLOAT_EQ(curveValue(keys, 1, 1, 0.5f), 0.0f);   // step
  EXPECT_FLOAT_EQ(curveValue(keys, 1, 1, 1.5f), 15.0f);  // linear
  EXPECT_FLOAT_EQ(curveValue(keys, 1, 1, 3.0f), 10.0f);  // linear, found by bisection
}

TEST(CurveModes, AfterTheLastKey) {
  EXPECT_FLOAT_EQ(curveValue(kRamp, 1, 0, 2.0f), 0.0f);
  EXPECT_FLOAT_EQ(curveValue(kRamp, 1, 1, 2.0f), 10.0f);
  EXPECT_FLOAT_EQ(curveValue(kRamp, 1, 2, 2.0f), 0.0f);
  EXPECT_FLOAT_EQ(curveValue(kRamp, 1, 2, 2.25f), 2.5f);
  EXPECT_FLOAT_EQ(curveValue(kRamp, 1, 3, 2.0f), 0.0f);
  EXPECT_FLOAT_EQ(curveValue(kRamp, 1, 3, 1.25f), 7.5f);  // odd repetition: mirrored
  EXPECT_FLOAT_EQ(curveValue(kRamp, 1, 3, 2.25f), 2.5f);  // even: forward again
  EXPECT_FLOAT_EQ(curveValue(kRamp, 1, 9, 5.0f), 10.0f);  // unknown: t unchanged
}

TEST(CurveModes, BeforeTheFirstKey) {
  const std::vector<Key> keys = {key(1, 10), key(3, 30)};
  EXPECT_FLOAT_EQ(curveValue(keys, 0, 1, 0.5f), 0.0f);
  EXPECT_FLOAT_EQ(curveValue(keys, 1, 1, 0.5f), 10.0f);
  EXPECT_FLOAT_EQ(curveValue(kRamp, 2, 1, -0.25f), 7.5f);  // fmod(-1.25, 1) + 1 = 0.75
  EXPECT_FLOAT_EQ(curveValue(keys, 2, 1, 0.5f), 25.0f);    // fmod(-2.5, 2) + 3 = 2.5
  // Ping-pong: e = t - last; odd |e / span| mirrors.
  EXPECT_FLOAT_EQ(curveValue(keys, 3, 1, 0.5f), 15.0f);   // e=-2.5 r=-0.5 q=1.25: 3-(2.5+3-1)=1.5
  EXPECT_FLOAT_EQ(curveValue(keys, 3, 1, -1.5f), 25.0f);  // e=-4.5 r=-0.5 q=2.25: t = 2.5
  EXPECT_FLOAT_EQ(curveValue(keys, 7, 1, -5.0f), 10.0f);  // unknown: t unchanged, key 0
  // A NaN time takes the before branch.
  EXPECT_FLOAT_EQ(curveValue(keys, 1, 1, std::nanf("")), 10.0f);
  EXPECT_FLOAT_EQ(curveValue(keys, 0, 1, std::nanf("")), 0.0f);
}

TEST(CurveModes, SingleKey) {
  const std::vector<Key> one = {key(2, 5)};
  for (uint32_t mode : {0u, 1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(mode);
    EXPECT_FLOAT_EQ(curveValue(one, 1, mode, 2.0f), 5.0f);
    EXPECT_FLOAT_EQ(curveValue(one, 1, mode, 9.0f), mode == 0 ? 0.0f : 5.0f);
  }
  EXPECT_FLOAT_EQ(curveValue(one, 0, 1, 1.0f), 0.0f);
  EXPECT_FLOAT_EQ(curveValue(one, 1, 1, 1.0f), 5.0f);
  // Loop and ping-pong over a zero span: the NaN time yields the key's value.
  EXPECT_FLOAT_EQ(curveValue(one, 2, 1, 1.0f), 5.0f);
  EXPECT_FLOAT_EQ(curveValue(one, 3, 1, 1.0f), 5.0f);
}

TEST(SolveBezierX, FindsTheParameterAndEndsAtLargeTimes) {
  EXPECT_NEAR(solveBezierX(0, 1, 2, 3, 1.5f), 0.5f, 1e-4f);
  EXPECT_NEAR(solveBezierX(0, 1, 2, 3, 0.3f), 0.1f, 1e-4f);
  // At these magnitudes the float spacing exceeds the tolerance; the search must stop.
  const float big = 3.0e6f;
  const float u = solveBezierX(big, big + 0.3f, big + 0.6f, big + 1.0f, big + 0.37f);
  EXPECT_GE(u, 0.0f);
  EXPECT_LE(u, 1.0f);
  std::vector<Key> keys = {key(big, 0), key(big + 1, 10, 1)};
  keys[0].cp2[0] = 0.3f;
  keys[1].cp1[0] = -0.3f;
  const float v = curveValue(keys, 1, 1, big + 0.5f);
  EXPECT_GE(v, 0.0f);
  EXPECT_LE(v, 10.0f);
  // A target outside the segment's x range runs to an end.
  EXPECT_NEAR(solveBezierX(0, 1, 2, 3, 10.0f), 1.0f, 1e-6f);
}

class CurveFn : public ::testing::Test {
 protected:
  CurveFn() : curve(std::make_unique<Float>(2.0f)) {}
  float eval(float t) {
    curve.evaluate(t, {}, ctx);
    return ctx.floatResult;
  }
  float held() { return static_cast<Float*>(curve.value())->value; }
  CurveFunction curve;
  Context ctx;
};

TEST_F(CurveFn, WithoutKeysYieldsTheConstantAndWithKeysRemembersTheLastValue) {
  EXPECT_FLOAT_EQ(eval(5), 2.0f);
  curve.keys = kRamp;
  EXPECT_FLOAT_EQ(eval(0.5f), 5.0f);
  EXPECT_FLOAT_EQ(held(), 5.0f);
  EXPECT_EQ(curve.beforeMode, 1u);
  EXPECT_EQ(curve.afterMode, 1u);
}

TEST_F(CurveFn, AssignSetsNearbyKeysOrInsertsASortedOne) {
  curve.keys = {key(0, 0), key(1, 10)};
  ctx.floatResult = 7;
  curve.assign(ctx, 1.05f);  // within 0.1 of key 1
  ASSERT_EQ(curve.keys.size(), 2u);
  EXPECT_FLOAT_EQ(curve.keys[1].value, 7.0f);
  EXPECT_FLOAT_EQ(held(), 7.0f);

  curve.setKey(0.5f, 3);
  ASSERT_EQ(curve.keys.size(), 3u);
  EXPECT_FLOAT_EQ(curve.keys[1].time, 0.5f);
  EXPECT_FLOAT_EQ(curve.keys[1].value, 3.0f);
  EXPECT_EQ(curve.keys[1].shape, 0);
  EXPECT_FLOAT_EQ(curve.keys[1].cp1[0], -1.0f);
  EXPECT_FLOAT_EQ(curve.keys[1].cp2[0], 1.0f);

  // Every key within reach changes, not just the first.
  curve.keys = {key(0, 0), key(0.05f, 1), key(0.12f, 2)};
  curve.setKey(0.04f, 9);
  EXPECT_FLOAT_EQ(curve.keys[0].value, 9.0f);
  EXPECT_FLOAT_EQ(curve.keys[1].value, 9.0f);
  EXPECT_FLOAT_EQ(curve.keys[2].value, 9.0f);
  EXPECT_EQ(curve.keys.size(), 3u);
}

TEST_F(CurveFn, SerializeRoundTripsAndMissingModesReadAsZero) {
  curve.keys = {key(0, 1, 0), key(2, 5, 2)};
  curve.keys[1].cp1[0] = -0.5f, curve.keys[1].cp1[1] = 0.25f;
  curve.beforeMode = 3;
  curve.afterMode = 2;
  TreeNode node;
  curve.serialize({&node, true}, "Amplitude");

  CurveFunction back(std::make_unique<Float>());
  back.serialize({&node, false}, "Amplitude");
  EXPECT_FLOAT_EQ(static_cast<Float*>(back.value())->value, 2.0f);
  EXPECT_EQ(back.beforeMode, 3u);
  EXPECT_EQ(back.afterMode, 2u);
  ASSERT_EQ(back.keys.size(), 2u);
  EXPECT_EQ(back.keys[1].shape, 2);
  EXPECT_FLOAT_EQ(back.keys[1].cp1[0], -0.5f);
  EXPECT_FLOAT_EQ(back.keys[1].cp1[1], 0.25f);

  TreeNode bare;
  TreeNodeRef track = child({&bare, true}, "track");
  TreeNodeRef k0 = child(track, "key", 0);
  float one = 1;
  serializeFloat(k0, "value", one);
  child(track, "key", 1);
  CurveFunction sparse(std::make_unique<Float>(9.0f));
  sparse.serialize({&bare, false}, "X");
  EXPECT_EQ(sparse.beforeMode, 0u);
  EXPECT_EQ(sparse.afterMode, 0u);
  ASSERT_EQ(sparse.keys.size(), 2u);
  EXPECT_FLOAT_EQ(static_cast<Float*>(sparse.value())->value, 0.0f);  // no value child
  sparse.evaluate(5.0f, {}, ctx);
  EXPECT_FLOAT_EQ(ctx.floatResult, 0.0f);  // after mode 0
}

}  // namespace

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>

#include "engine/FloatOperators.h"
#include "tests/engine/TestSupport.h"

namespace {

class FloatOps : public ::testing::Test {
 protected:
  // One operator of `type` with its parameters set, evaluated at t.
  float run(const std::string& type, const std::vector<std::pair<const char*, float>>& params, float t = 0.0f,
            size_t output = 0) {
    Operator& op = make(graph, type);
    for (auto& [n, v] : params) setParam(op, n, v);
    return out(op, output, t, ctx);
  }
  OperatorGraph graph;
  Context ctx;
};

// Inputs not named keep their defaults; a NaN expectation means "is NaN".
TEST_F(FloatOps, ArithmeticFloorClampPowAndSignEdgeRules) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
  struct Case {
    const char* type;
    std::vector<std::pair<const char*, float>> params;
    float expected;
  };
  const Case cases[] = {
      {"Var", {{"Value", 4.25f}}, 4.25f},
      {"Add", {{"Value 1", 2}, {"Value 2", 3.5f}}, 5.5f},
      {"Sub", {{"Value 1", 2}, {"Value 2", 3.5f}}, -1.5f},
      {"Mul", {{"Value 1", -2}, {"Value 2", 3.5f}}, -7.0f},
      {"Div", {{"Value 1", 7}, {"Value 2", 2}}, 3.5f},
      {"Div", {{"Value 1", 1}, {"Value 2", 0}}, inf},
      {"Div", {{"Value 1", 0}, {"Value 2", 0}}, nan},
      {"Mod", {{"Value 1", -7}, {"Value 2", 3}}, -1.0f},
      {"Mod", {{"Value 1", 7.5f}, {"Value 2", -2}}, 1.5f},
      {"Mod", {{"Value 1", 1}, {"Value 2", 0}}, nan},
      {"Abs", {{"Value", -2.5f}}, 2.5f},
      // Floor handles negatives and values beyond int32.
      {"Floor", {{"Value", -1.5f}}, -2.0f},
      {"Floor", {{"Value", -0.5f}}, -1.0f},
      {"Floor", {{"Value", -2.0f}}, -2.0f},
      {"Floor", {{"Value", 2.75f}}, 2.0f},
      {"Floor", {{"Value", 3e9f}}, 3e9f},
      {"Floor", {{"Value", -3e9f}}, -3e9f},
      {"Floor", {{"Value", inf}}, inf},
      {"Floor", {{"Value", nan}}, nan},
      {"Clamp", {{"Value", 5}, {"Min", 2}, {"Max", 1}}, 2.0f},  // Min wins
      {"Clamp", {{"Value", 0.5f}, {"Min", 0}, {"Max", 1}}, 0.5f},
      {"Clamp", {{"Value", 3}, {"Min", 0}, {"Max", 1}}, 1.0f},
      {"Clamp", {{"Value", -3}, {"Min", 0}, {"Max", 1}}, 0.0f},
      {"Clamp", {{"Value", nan}, {"Min", 0.25f}, {"Max", 1}}, 0.25f},
      {"Pow", {{"Base", -8}, {"Exponent", 1.0f / 3.0f}}, 2.0f},
      {"Pow", {{"Base", 3}, {"Exponent", 2}}, 9.0f},
      {"Sign", {{"Value", 0}}, -1.0f},
      {"Sign", {{"Value", -0.0f}}, -1.0f},
      {"Sign", {{"Value", -3}}, -1.0f},
      {"Sign", {{"Value", 0.001f}}, 1.0f},
      {"Sign", {{"Value", nan}}, 1.0f},
  };
  for (const Case& c : cases) {
    const float got = run(c.type, c.params);
    const std::string what = std::string(c.type) + "(" + std::to_string(c.params.begin()->second) + ", ...)";
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(got)) << what;
    } else {
      EXPECT_TRUE(got == c.expected || std::fabs(got - c.expected) <= 1e-5f * std::fmax(1.0f, std::fabs(c.expected)))
          << what << " gave " << got;
    }
  }
  EXPECT_FALSE(std::signbit(run("Abs", {{"Value", -0.0f}})));
  EXPECT_EQ(make(graph, "Rand").inputs[0].flags, static_cast<uint32_t>(PortFlagInt));
  // Files and the production tool name outputs; the colour and shake ones have their own.
  EXPECT_EQ(make(graph, "RGBALerp").outputs[3].name, "Alpha");
  EXPECT_EQ(make(graph, "HSV2RGB").outputs[2].name, "Blue");
  EXPECT_EQ(make(graph, "CameraShake").outputs[1].name, "PosY");
}

TEST_F(FloatOps, SinAndTimeFollowTheEvaluationTime) {
  Operator& time = make(graph, "Time");
  Operator& sin = make(graph, "Sin");
  ASSERT_TRUE(graph.connect(time, "FloatOut", sin, "Value"));
  for (float t : {0.0f, 0.5f, 2.0f, -3.0f}) EXPECT_FLOAT_EQ(out(sin, 0, t, ctx), std::sin(t));
  setParam(sin, "Amplitude", 2);
  setParam(sin, "Frequency", 3);
  setParam(sin, "Phase", 0.5f);
  setParam(sin, "Offset", 1);
  EXPECT_FLOAT_EQ(out(sin, 0, 0.25f, ctx), std::sin(3 * 0.25f + 0.5f) * 2 + 1);
  EXPECT_FLOAT_EQ(out(time, 0, 7.5f, ctx), 7.5f);
}

TEST_F(FloatOps, RandomValuesAreAFixedFunctionOfTheSeed) {
  // The first output of the standard engine, scaled by 2^-32.
  std::mt19937 ref0(0), ref42(42);
  const float u0 = static_cast<float>(ref0()) / 4294967296.0f;
  const float u42 = static_cast<float>(ref42()) / 4294967296.0f;
  // Exact: the 32-bit output is rounded to the nearest float, not truncated to 24 bits.
  EXPECT_EQ(randomFromSeed(0, 0, 1), u0);
  EXPECT_EQ(randomFromSeed(0, 0, 1), static_cast<float>(2357136044u) / 4294967296.0f);
  EXPECT_EQ(randomFromSeed(42, -1, 1), u42 * 2 - 1);
  EXPECT_EQ(randomFromSeed(5489, 0, 1), static_cast<float>(3499211612u) / 4294967296.0f);
  EXPECT_FLOAT_EQ(randomFromSeed(7, 3, 1), 3.0f);

  const float a = run("Rand", {{"Seed", 42}, {"Min", -1}, {"Max", 1}}, 0.0f);
  const float b = run("Rand", {{"Seed", 42}, {"Min", -1}, {"Max", 1}}, 123.0f);
  EXPECT_FLOAT_EQ(a, b);
  EXPECT_FLOAT_EQ(a, u42 * 2 - 1);
  EXPECT_FLOAT_EQ(run("Rand", {{"Seed", 42.9f}}), a);  // the seed is truncated
  EXPECT_FLOAT_EQ(run("Rand", {{"Seed", 1}, {"Min", 3}, {"Max", 1}}), 3.0f);
  EXPECT_FLOAT_EQ(run("Rand", {{"Seed", -1.5f}}), randomFromSeed(-1, -1, 1));
  // Seeds that fit no int32 are defined too.
  EXPECT_FLOAT_EQ(run("Rand", {{"Seed", std::nanf("")}}), randomFromSeed(INT32_MIN, -1, 1));
  EXPECT_FLOAT_EQ(run("Rand", {{"Seed", 1e20f}}), randomFromSeed(INT32_MIN, -1, 1));
}

TEST_F(FloatOps, ColourOperatorsProduceTheComponentOfTheirOutput) {
  Operator& lerp = make(graph, "RGBALerp");
  setParam(lerp, "Value", 0.5f);
  for (auto [n, v] : {std::pair{"R 1", 1.0f}, {"G 1", 0.0f}, {"B 1", 0.0f}, {"A 1", 1.0f}, {"R 2", 0.0f}, {"G 2", 0.0f},
                      {"B 2", 1.0f}, {"A 2", 1.0f}})
    setParam(lerp, n, v);
  EXPECT_FLOAT_EQ(out(lerp, 0, 0, ctx), 0.5f);
  EXPECT_FLOAT_EQ(out(lerp, 1, 0, ctx), 0.0f);
  EXPECT_FLOAT_EQ(out(lerp, 2, 0, ctx), 0.5f);
  EXPECT_FLOAT_EQ(out(lerp, 3, 0, ctx), 1.0f);
  setParam(lerp, "Value", 2.0f);  // not clamped
  EXPECT_FLOAT_EQ(out(lerp, 0, 0, ctx), -1.0f);

  Operator& hsv = make(graph, "HSV2RGB");
  auto rgb = [&](float h, float s, float v) {
    setParam(hsv, "Hue", h);
    setParam(hsv, "Saturation", s);
    setParam(hsv, "value", v);
    return std::array<float, 3>{out(hsv, 0, 0, ctx), out(hsv, 1, 0, ctx), out(hsv, 2, 0, ctx)};
  };
  EXPECT_EQ(rgb(0, 1, 1), (std::array<float, 3>{1, 0, 0}));
  EXPECT_EQ(rgb(0.37f, 0, 0.5f), (std::array<float, 3>{0.5f, 0.5f, 0.5f}));
  EXPECT_EQ(rgb(0.5f, 1, 1), (std::array<float, 3>{0, 1, 1}));
  EXPECT_EQ(rgb(0.75f, 0.5f, 1), (std::array<float, 3>{0.75f, 0.5f, 1}));  // i = 4, f = 0.5
  // A negative hue truncates toward zero (i = -1) and takes the last case: f = -0.5.
  EXPECT_EQ(rgb(-0.25f, 1, 1), (std::array<float, 3>{1, 0, 1.5f}));
}

TEST_F(FloatOps, CameraShakeApproachesRandomTargetsAndStopsWhenTimeRunsBack) {
  Operator& shake = make(graph, "CameraShake");
  setParam(shake, "Intensity", 2);
  setParam(shake, "Speed", 3);
  EXPECT_FLOAT_EQ(out(shake, 0, 0.0f, ctx), 0.0f);  // dt = 0 on the first evaluation

  const float x1 = out(shake, 0, 0.05f, ctx);
  const float tx = randomFromSeed(1, -1, 1) * 2;  // trunc(0 * 10 + 0.05 * 20)
  EXPECT_FLOAT_EQ(x1, tx * (0.05f * 3));

  // A long gap is capped at 1/15 s.
  const float x2 = out(shake, 0, 10.0f, ctx);
  const float t2 = randomFromSeed(200, -1, 1) * 2;
  EXPECT_FLOAT_EQ(x2, x1 + (t2 - x1) * ((1.0f / 15.0f) * 3));

  EXPECT_FLOAT_EQ(out(shake, 0, 9.0f, ctx), 0.0f);  // backwards
  // The other axis keeps its own state and sequence.
  EXPECT_FLOAT_EQ(out(shake, 1, 1.0f, ctx), 0.0f);
  const float y = out(shake, 1, 1.25f, ctx);
  EXPECT_FLOAT_EQ(y, randomFromSeed(35, -1, 1) * 2 * ((1.0f / 15.0f) * 3));  // trunc(10 + 25)
}

}  // namespace

#include "engine/FloatOperators.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <random>

int32_t truncToInt32(float v) {
  if (!(v >= -2147483648.0f && v < 2147483648.0f)) return INT32_MIN;
  return static_cast<int32_t>(v);
}

float randomFromSeed(int32_t seed, float min, float max) {
  if (min > max) return min;
  std::mt19937 engine(static_cast<uint32_t>(seed));
  const uint32_t x = engine();
  const float u = static_cast<float>(x) / 4294967296.0f;
  return u * (max - min) + min;
}


#define ZV_FLOAT_OUT(Fn)                                                  \
  do {                                                                    \
    addOutput("FloatOut", PortType::Float, std::make_unique<Fn>());       \
    linkOutput();                                                         \
  } while (0)

// ---- one-output operators -----------------------------------------------------------------

SinOp::SinOp() : Operator(CategoryFloat) {
  addFloatInput("Value", 0.0f);
  addFloatInput("Amplitude", 1.0f);
  addFloatInput("Frequency", 1.0f);
  addFloatInput("Phase", 0.0f);
  addFloatInput("Offset", 0.0f);
  ZV_FLOAT_OUT(SinFunction);
}
void SinOp::SinFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const float value = evalFloat(s, 0, t, ctx);
  const float amplitude = evalFloat(s, 1, t, ctx);
  const float frequency = evalFloat(s, 2, t, ctx);
  const float phase = evalFloat(s, 3, t, ctx);
  const float offset = evalFloat(s, 4, t, ctx);
  ctx.floatResult = std::sin(frequency * value + phase) * amplitude + offset;
}

TimeOp::TimeOp() : Operator(CategoryFloat) { ZV_FLOAT_OUT(TimeFunction); }
void TimeOp::TimeFunction::evaluate(float t, const std::vector<Port*>&, Context& ctx) { ctx.floatResult = t; }

VarOp::VarOp() : Operator(CategoryFloat) {
  addFloatInput("Value", 0.0f);
  ZV_FLOAT_OUT(VarFunction);
}
void VarOp::VarFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  ctx.floatResult = evalFloat(s, 0, t, ctx);
}

#define ZV_BINARY_OP(Op, Fn, def, expr)                                       \
  Op::Op() : Operator(CategoryFloat) {                                        \
    addFloatInput("Value 1", def);                                            \
    addFloatInput("Value 2", def);                                            \
    ZV_FLOAT_OUT(Fn);                                                         \
  }                                                                           \
  void Op::Fn::evaluate(float t, const std::vector<Port*>& s, Context& ctx) { \
    const float a = evalFloat(s, 0, t, ctx);                                  \
    const float b = evalFloat(s, 1, t, ctx);                                  \
    ctx.floatResult = (expr);                                                 \
  }

ZV_BINARY_OP(AddOp, AddFunction, 0.0f, a + b)
ZV_BINARY_OP(SubOp, SubFunction, 0.0f, a - b)
ZV_BINARY_OP(MulOp, MulFunction, 1.0f, a* b)
ZV_BINARY_OP(DivOp, DivFunction, 1.0f, a / b)
ZV_BINARY_OP(ModOp, ModFunction, 1.0f, std::fmod(a, b))

#undef ZV_BINARY_OP

FloorOp::FloorOp() : Operator(CategoryFloat) {
  addFloatInput("Value", 0.0f);
  ZV_FLOAT_OUT(FloorFunction);
}
void FloorOp::FloorFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const float v = evalFloat(s, 0, t, ctx);
  if (!(v > -2147483648.0f && v < 2147483648.0f)) {  // no 32-bit truncation: unchanged
    ctx.floatResult = v;
    return;
  }
  int32_t i = static_cast<int32_t>(v);
  if (v < 0.0f && static_cast<float>(i) != v) --i;
  ctx.floatResult = static_cast<float>(i);
}

AbsOp::AbsOp() : Operator(CategoryFloat) {
  addFloatInput("Value", 0.0f);
  ZV_FLOAT_OUT(AbsFunction);
}
void AbsOp::AbsFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  ctx.floatResult = std::fabs(evalFloat(s, 0, t, ctx));
}

ClampOp::ClampOp() : Operator(CategoryFloat) {
  addFloatInput("Value", 0.0f);
  addFloatInput("Min", 0.0f);
  addFloatInput("Max", 1.0f);
  ZV_FLOAT_OUT(ClampFunction);
}
void ClampOp::ClampFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const float v = evalFloat(s, 0, t, ctx);
  const float lo = evalFloat(s, 1, t, ctx);
  const float hi = evalFloat(s, 2, t, ctx);
  const float x = hi < v ? hi : v;  // the upper bound first: Min wins when Min > Max
  ctx.floatResult = x > lo ? x : lo;
}

PowOp::PowOp() : Operator(CategoryFloat) {
  addFloatInput("Base", 0.0f);
  addFloatInput("Exponent", 1.0f);
  ZV_FLOAT_OUT(PowFunction);
}
void PowOp::PowFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const float base = evalFloat(s, 0, t, ctx);
  const float exponent = evalFloat(s, 1, t, ctx);
  ctx.floatResult = std::pow(std::fabs(base), exponent);
}

SignOp::SignOp() : Operator(CategoryFloat) {
  addFloatInput("Value", 0.0f);
  ZV_FLOAT_OUT(SignFunction);
}
void SignOp::SignFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  ctx.floatResult = evalFloat(s, 0, t, ctx) <= 0.0f ? -1.0f : 1.0f;
}

RandOp::RandOp() : Operator(CategoryFloat) {
  addFloatInput("Seed", 0.0f, PortFlagInt);
  addFloatInput("Min", -1.0f);
  addFloatInput("Max", 1.0f);
  ZV_FLOAT_OUT(RandFunction);
}
void RandOp::RandFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const float seed = evalFloat(s, 0, t, ctx);
  const float lo = evalFloat(s, 1, t, ctx);
  const float hi = evalFloat(s, 2, t, ctx);
  ctx.floatResult = randomFromSeed(truncToInt32(seed), lo, hi);
}

#undef ZV_FLOAT_OUT

// ---- several outputs: one function per output, numbered --------------------------------

RGBALerpOp::RGBALerpOp() : Operator(CategoryFloat) {
  addFloatInput("Value", 0.0f);
  for (const char* n : {"R 1", "G 1", "B 1", "A 1", "R 2", "G 2", "B 2", "A 2"}) addFloatInput(n, 1.0f);
  for (const char* n : {"Red", "Green", "Blue", "Alpha"}) {
    addOutput(n, PortType::Float, std::make_unique<RGBALerpFunction>());
    linkOutput();
  }
  numberOutputs();
}
void RGBALerpOp::RGBALerpFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  float v[9];
  for (size_t i = 0; i < 9; ++i) v[i] = evalFloat(s, i, t, ctx);
  const float f = v[0];
  const uint32_t lane = outputIndex < 4 ? outputIndex : 3;
  ctx.floatResult = (1.0f - f) * v[1 + lane] + f * v[5 + lane];
}

HSV2RGBOp::HSV2RGBOp() : Operator(CategoryFloat) {
  addFloatInput("Hue", 1.0f);
  addFloatInput("Saturation", 1.0f);
  addFloatInput("value", 1.0f);
  for (const char* n : {"Red", "Green", "Blue"}) {
    addOutput(n, PortType::Float, std::make_unique<HSV2RGBFunction>());
    linkOutput();
  }
  numberOutputs();
}
void HSV2RGBOp::HSV2RGBFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const float hue = evalFloat(s, 0, t, ctx);
  const float sat = evalFloat(s, 1, t, ctx);
  const float val = evalFloat(s, 2, t, ctx);
  if (sat == 0.0f) {
    ctx.floatResult = val;
    return;
  }
  const float h = std::fmod(hue, 1.0f) * 6.0f;
  const int32_t i = truncToInt32(h);
  const float f = h - static_cast<float>(i);
  const float p = val * (1.0f - sat);
  const float q = val * (1.0f - f * sat);
  const float u = val * (1.0f - (1.0f - f) * sat);
  float rgb[3];
  switch (i) {
    case 0: rgb[0] = val, rgb[1] = u, rgb[2] = p; break;
    case 1: rgb[0] = q, rgb[1] = val, rgb[2] = p; break;
    case 2: rgb[0] = p, rgb[1] = val, rgb[2] = u; break;
    case 3: rgb[0] = p, rgb[1] = q, rgb[2] = val; break;
    case 4: rgb[0] = u, rgb[1] = p, rgb[2] = val; break;
    default: rgb[0] = val, rgb[1] = p, rgb[2] = q; break;
  }
  ctx.floatResult = rgb[outputIndex < 3 ? outputIndex : 2];
}

CamShakeOp::CamShakeOp() : Operator(CategoryFloat) {
  addFloatInput("Intensity", 1.0f);
  addFloatInput("Speed", 1.0f);
  for (const char* n : {"PosX", "PosY"}) {
    addOutput(n, PortType::Float, std::make_unique<ShakeFunction>());
    linkOutput();
  }
  numberOutputs();
}
void CamShakeOp::ShakeFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const float intensity = evalFloat(s, 0, t, ctx);
  const float speed = evalFloat(s, 1, t, ctx);
  if (previousTime < 0.0f || t < 0.0f) previousTime = t;
  const float dt = std::min(t - previousTime, 1.0f / 15.0f);
  float result = 0.0f;
  if (!(dt < 0.0f)) {
    // A new random target 20 times a second, with its own sequence per axis.
    const int32_t seed = truncToInt32(static_cast<float>(outputIndex) * 10.0f + t * 20.0f);
    const float target = randomFromSeed(seed, -1.0f, 1.0f) * intensity;
    result = previousValue + (target - previousValue) * (dt * speed);
  }
  ctx.floatResult = result;
  previousValue = result;
  previousTime = t;
}

#include "engine/Curve.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {
// Whether trunc(q), taken as a 32-bit integer, is odd. Values outside the int32 range
// (and NaN) convert to INT32_MIN on the reference hardware, which is even.
bool truncIsOdd(float q) {
  if (!(std::fabs(q) < 2147483648.0f)) return false;
  return (static_cast<int32_t>(q) & 1) != 0;
}
}  // namespace

float solveBezierX(float x0, float x1, float x2, float x3, float x) {
  const float c = 3.0f * (x1 - x0);
  const float b = 3.0f * (x2 - x1) - c;
  const float a = x3 - x0 - c - b;
  auto X = [&](float u) { return ((a * u + b) * u + c) * u + x0; };
  float lo = 0.0f, hi = 1.0f;
  float u = lo + (hi - lo) * 0.5f;
  // Far from the origin the tolerance can be finer than the float spacing; 64 halvings
  // are more than single precision can resolve, so stop there with the current u.
  for (int i = 0; i < 64 && std::fabs(x - X(u)) > 0.0001f; ++i) {
    if (X(u) > x)
      hi = u;
    else
      lo = u;
    u = lo + (hi - lo) * 0.5f;
  }
  return u;
}

float curveValue(const std::vector<Key>& keys, uint32_t beforeMode, uint32_t afterMode, float t) {
  const int n = static_cast<int>(keys.size());
  if (n == 0) return 0.0f;
  const float first = keys[0].time;
  const float last = keys[n - 1].time;
  const float span = last - first;

  if (t > last) {
    switch (afterMode) {
      case CurveZero: return 0.0f;
      case CurveHold: return keys[n - 1].value;
      case CurveLoop: t = std::fmod(t - first, span) + first; break;
      case CurvePingPong: {
        const float d = t - first;
        const float r = std::fmod(d, span);
        t = r + first;
        if (truncIsOdd(d / span)) t = last - r;
        break;
      }
      default: break;
    }
  } else if (!(t >= first)) {
    switch (beforeMode) {
      case CurveZero: return 0.0f;
      case CurveHold: return keys[0].value;
      case CurveLoop: t = std::fmod(t - last, span) + last; break;
      case CurvePingPong: {
        const float e = t - last;
        const float r = std::fmod(e, span);
        const float q = std::fabs(e / span);
        t = r + last;
        if (truncIsOdd(q)) t = last - (r + last - first);
        break;
      }
      default: break;
    }
  }

  // Bisection for the last key whose time is <= t (key 0 when there is none).
  int lo = -1, hi = n - 1;
  while (lo < hi) {
    const int mid = (lo + 1 + hi) / 2;
    if (keys[mid].time <= t)
      lo = mid;
    else
      hi = mid - 1;
  }
  const int i = std::max(lo, 0);
  const Key& k0 = keys[i];
  if (k0.time > t) return k0.value;
  const int j = std::min(i + 1, n - 1);
  if (j == i) return k0.value;
  const Key& k1 = keys[j];

  const float s = (t - k0.time) / (k1.time - k0.time);
  switch (k1.shape) {
    case 0: return k0.value + (k1.value - k0.value) * s;
    case 1: {
      const float p0x = k0.time, p0y = k0.value;
      const float p1x = k0.time + k0.cp2[0], p1y = k0.value + k0.cp2[1];
      const float p2x = k1.time + k1.cp1[0], p2y = k1.value + k1.cp1[1];
      const float p3x = k1.time, p3y = k1.value;
      const float u = solveBezierX(p0x, p1x, p2x, p3x, t);
      const float c = 3.0f * (p1y - p0y);
      const float b = 3.0f * (p2y - p1y) - c;
      const float a = p3y - p0y - c - b;
      return a * u * u * u + b * u * u + c * u + p0y;
    }
    case 2: {
      const float s2 = s * s, s3 = s2 * s;
      const float h01 = 3.0f * s2 - 2.0f * s3;
      const float h00 = 1.0f - h01;
      const float h10 = s3 - 2.0f * s2 + s;
      const float h11 = s3 - s2;
      return h00 * k0.value + h01 * k1.value + h10 * k0.cp2[1] - h11 * k1.cp1[1];
    }
    case 3: return k0.value;
    default: return 0.0f;
  }
}

void CurveFunction::evaluate(float t, const std::vector<Port*>& sources, Context& ctx) {
  (void)sources;  // an animated input is never also connected
  if (keys.empty()) {
    holder->writeResult(ctx);
    return;
  }
  ctx.floatResult = curveValue(keys, beforeMode, afterMode, t);
  holder->readResult(ctx);
}

void CurveFunction::assign(Context& ctx, float t) {
  holder->readResult(ctx);
  setKey(t, ctx.floatResult);
}

void CurveFunction::setKey(float t, float v) {
  bool changed = false;
  for (Key& k : keys) {
    if (std::fabs(k.time - t) <= 0.1f) {
      k.value = v;
      changed = true;
    }
  }
  if (changed) return;
  Key k;
  k.time = t;
  k.value = v;
  k.shape = 0;
  k.cp1[0] = -1.0f;
  k.cp2[0] = 1.0f;
  keys.push_back(k);
  std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) { return a.time < b.time; });
}

void CurveFunction::serialize(TreeNodeRef node, const char* key) {
  holder->serialize(node, key);
  TreeNodeRef track = child(node, "track");
  if (!track.node) return;
  serializeInt(track, "before", beforeMode);
  serializeInt(track, "after", afterMode);
  if (!track.writing) keys.assign(countChildren(track, "key"), Key{});
  for (size_t i = 0; i < keys.size(); ++i) {
    TreeNodeRef k = child(track, "key", static_cast<uint32_t>(i));
    Key& kk = keys[i];
    serializeFloat(k, "time", kk.time);
    serializeFloat(k, "value", kk.value);
    serializeVec2(k, "cp1", kk.cp1);
    serializeVec2(k, "cp2", kk.cp2);
    serializeInt(k, "shape", kk.shape);
  }
}

#include "engine/Math.h"

#include <cmath>

float length(Float3 a) { return std::sqrt(dot(a, a)); }

Float3 normalize(Float3 a) {
  const float l = length(a);
  if (!(l > 0.0f) || !std::isfinite(l)) return a;
  return a * (1.0f / l);
}

namespace mat {

Float4x4 scaling(Float3 s) {
  Float4x4 r;
  r.at(0, 0) = s.x, r.at(1, 1) = s.y, r.at(2, 2) = s.z;
  return r;
}

Float4x4 translation(Float3 t) {
  Float4x4 r;
  r.setRow(3, t, 1.0f);
  return r;
}

Float4x4 rotationX(float a) {
  const float c = std::cos(a), s = std::sin(a);
  Float4x4 r;
  r.at(1, 1) = c, r.at(1, 2) = s;
  r.at(2, 1) = -s, r.at(2, 2) = c;
  return r;
}

Float4x4 rotationY(float a) {
  const float c = std::cos(a), s = std::sin(a);
  Float4x4 r;
  r.at(0, 0) = c, r.at(0, 2) = -s;
  r.at(2, 0) = s, r.at(2, 2) = c;
  return r;
}

Float4x4 rotationZ(float a) {
  const float c = std::cos(a), s = std::sin(a);
  Float4x4 r;
  r.at(0, 0) = c, r.at(0, 1) = s;
  r.at(1, 0) = -s, r.at(1, 1) = c;
  return r;
}

Float4x4 rotationEulerDegrees(Float3 d) {
  return rotationX(d.x * kDegToRad) * rotationY(d.y * kDegToRad) * rotationZ(d.z * kDegToRad);
}

Float4x4 scaleRotateTranslate(Float3 scale, Float3 rotationDegrees, Float3 position) {
  return scaling(scale) * rotationEulerDegrees(rotationDegrees) * translation(position);
}

Float4x4 inverse(const Float4x4& a) {
  const float* m = a.m;
  float inv[16];
  inv[0] = m[5] * m[10] * m[15] - m[5] * m[11] * m[14] - m[9] * m[6] * m[15] + m[9] * m[7] * m[14] +
           m[13] * m[6] * m[11] - m[13] * m[7] * m[10];
  inv[4] = -m[4] * m[10] * m[15] + m[4] * m[11] * m[14] + m[8] * m[6] * m[15] - m[8] * m[7] * m[14] -
           m[12] * m[6] * m[11] + m[12] * m[7] * m[10];
  inv[8] = m[4] * m[9] * m[15] - m[4] * m[11] * m[13] - m[8] * m[5] * m[15] + m[8] * m[7] * m[13] +
           m[12] * m[5] * m[11] - m[12] * m[7] * m[9];
  inv[12] = -m[4] * m[9] * m[14] + m[4] * m[10] * m[13] + m[8] * m[5] * m[14] - m[8] * m[6] * m[13] -
            m[12] * m[5] * m[10] + m[12] * m[6] * m[9];
  inv[1] = -m[1] * m[10] * m[15] + m[1] * m[11] * m[14] + m[9] * m[2] * m[15] - m[9] * m[3] * m[14] -
           m[13] * m[2] * m[11] + m[13] * m[3] * m[10];
  inv[5] = m[0] * m[10] * m[15] - m[0] * m[11] * m[14] - m[8] * m[2] * m[15] + m[8] * m[3] * m[14] +
           m[12] * m[2] * m[11] - m[12] * m[3] * m[10];
  inv[9] = -m[0] * m[9] * m[15] + m[0] * m[11] * m[13] + m[8] * m[1] * m[15] - m[8] * m[3] * m[13] -
           m[12] * m[1] * m[11] + m[12] * m[3] * m[9];
  inv[13] = m[0] * m[9] * m[14] - m[0] * m[10] * m[13] - m[8] * m[1] * m[14] + m[8] * m[2] * m[13] +
            m[12] * m[1] * m[10] - m[12] * m[2] * m[9];
  inv[2] = m[1] * m[6] * m[15] - m[1] * m[7] * m[14] - m[5] * m[2] * m[15] + m[5] * m[3] * m[14] +
           m[13] * m[2] * m[7] - m[13] * m[3] * m[6];
  inv[6] = -m[0] * m[6] * m[15] + m[0] * m[7] * m[14] + m[4] * m[2] * m[15] - m[4] * m[3] * m[14] -
           m[12] * m[2] * m[7] + m[12] * m[3] * m[6];
  inv[10] = m[0] * m[5] * m[15] - m[0] * m[7] * m[13] - m[4] * m[1] * m[15] + m[4] * m[3] * m[13] +
            m[12] * m[1] * m[7] - m[12] * m[3] * m[5];
  inv[14] = -m[0] * m[5] * m[14] + m[0] * m[6] * m[13] + m[4] * m[1] * m[14] - m[4] * m[2] * m[13] -
            m[12] * m[1] * m[6] + m[12] * m[2] * m[5];
  inv[3] = -m[1] * m[6] * m[11] + m[1] * m[7] * m[10] + m[5] * m[2] * m[11] - m[5] * m[3] * m[10] -
           m[9] * m[2] * m[7] + m[9] * m[3] * m[6];
  inv[7] = m[0] * m[6] * m[11] - m[0] * m[7] * m[10] - m[4] * m[2] * m[11] + m[4] * m[3] * m[10] +
           m[8] * m[2] * m[7] - m[8] * m[3] * m[6];
  inv[11] = -m[0] * m[5] * m[11] + m[0] * m[7] * m[9] + m[4] * m[1] * m[11] - m[4] * m[3] * m[9] -
            m[8] * m[1] * m[7] + m[8] * m[3] * m[5];
  inv[15] = m[0] * m[5] * m[10] - m[0] * m[6] * m[9] - m[4] * m[1] * m[10] + m[4] * m[2] * m[9] +
            m[8] * m[1] * m[6] - m[8] * m[2] * m[5];
  const float det = m[0] * inv[0] + m[1] * inv[4] + m[2] * inv[8] + m[3] * inv[12];
  if (det == 0.0f || !std::isfinite(det)) return Float4x4::identity();
  const float r = 1.0f / det;
  Float4x4 out;
  for (int i = 0; i < 16; ++i) out.m[i] = inv[i] * r;
  return out;
}

Float4x4 rigidInverse(const Float4x4& a) {
  Float4x4 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.at(i, j) = a.at(j, i);
  const Float3 p = a.row3(3);
  for (int j = 0; j < 3; ++j) r.at(3, j) = -(p.x * r.at(0, j) + p.y * r.at(1, j) + p.z * r.at(2, j));
  return r;
}

Float4x4 perspectiveFovDegrees(float fovYDegrees, float aspect, float zNear, float zFar) {
  const float yScale = std::tan(1.5707963f - fovYDegrees * 3.14159265f / 360.0f);
  const float xScale = aspect != 0.0f ? yScale / aspect : yScale;
  const float q = zFar / (zFar - zNear);
  Float4x4 r;
  r.at(0, 0) = xScale;
  r.at(1, 1) = yScale;
  r.at(2, 2) = q, r.at(2, 3) = 1.0f;
  r.at(3, 2) = -q * zNear, r.at(3, 3) = 0.0f;
  return r;
}

Float4x4 orthographic(float width, float height, float zNear, float zFar) {
  Float4x4 r;
  r.at(0, 0) = 2.0f / width;
  r.at(1, 1) = 2.0f / height;
  r.at(2, 2) = 1.0f / (zFar - zNear);
  r.at(3, 2) = zNear / (zNear - zFar);
  return r;
}

Float4 transform(Float4 p, const Float4x4& m) {
  return {p.x * m.at(0, 0) + p.y * m.at(1, 0) + p.z * m.at(2, 0) + p.w * m.at(3, 0),
          p.x * m.at(0, 1) + p.y * m.at(1, 1) + p.z * m.at(2, 1) + p.w * m.at(3, 1),
          p.x * m.at(0, 2) + p.y * m.at(1, 2) + p.z * m.at(2, 2) + p.w * m.at(3, 2),
          p.x * m.at(0, 3) + p.y * m.at(1, 3) + p.z * m.at(2, 3) + p.w * m.at(3, 3)};
}

Float3 transformPoint(Float3 p, const Float4x4& m) {
  const Float4 r = transform({p.x, p.y, p.z, 1.0f}, m);
  if (r.w != 0.0f && r.w != 1.0f) return {r.x / r.w, r.y / r.w, r.z / r.w};
  return {r.x, r.y, r.z};
}

Float3 transformVector(Float3 v, const Float4x4& m) {
  const Float4 r = transform({v.x, v.y, v.z, 0.0f}, m);
  return {r.x, r.y, r.z};
}

bool isFinite(const Float4x4& a) {
  for (float v : a.m)
    if (!std::isfinite(v)) return false;
  return true;
}

}  // namespace mat

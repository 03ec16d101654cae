#pragma once
// Small matrix and vector types shared by the engine and the drawing code.
// Matrices are row-major with row vectors: a point transforms as p * M, translation sits in
// the fourth row. Coordinates are left-handed (a camera looks along +Z, +Y is up); angles
// at the interface are degrees. Matrices are transposed when written into constant buffers.
#include <cstdint>

struct Float2 { float x = 0, y = 0; };
struct Float3 { float x = 0, y = 0, z = 0; };
struct Float4 { float x = 0, y = 0, z = 0, w = 0; };

inline Float3 operator+(Float3 a, Float3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Float3 operator-(Float3 a, Float3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Float3 operator-(Float3 a) { return {-a.x, -a.y, -a.z}; }
inline Float3 operator*(Float3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline Float3 operator*(float s, Float3 a) { return a * s; }
inline float dot(Float3 a, Float3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Float3 cross(Float3 a, Float3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
float length(Float3 a);
// a / |a|; the zero vector (or one with a NaN) stays as it is instead of becoming NaN.
Float3 normalize(Float3 a);

// The factor the operators use to turn degrees into radians.
inline constexpr float kDegToRad = 0.017453292f;

struct Float4x4 {
  float m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

  static Float4x4 identity() { return Float4x4{}; }
  float& at(int row, int col) { return m[row * 4 + col]; }
  float at(int row, int col) const { return m[row * 4 + col]; }
  Float3 row3(int row) const { return {at(row, 0), at(row, 1), at(row, 2)}; }
  void setRow(int row, Float3 v, float w) {
    at(row, 0) = v.x, at(row, 1) = v.y, at(row, 2) = v.z, at(row, 3) = w;
  }

  friend Float4x4 operator*(const Float4x4& a, const Float4x4& b) {
    Float4x4 r;
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) {
        float s = 0;
        for (int k = 0; k < 4; ++k) s += a.at(i, k) * b.at(k, j);
        r.at(i, j) = s;
      }
    return r;
  }
  friend bool operator==(const Float4x4& a, const Float4x4& b) {
    for (int i = 0; i < 16; ++i)
      if (a.m[i] != b.m[i]) return false;
    return true;
  }

  Float4x4 transposed() const {
    Float4x4 r;
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) r.at(i, j) = at(j, i);
    return r;
  }
};

namespace mat {
Float4x4 scaling(Float3 s);
Float4x4 translation(Float3 t);
// Rotations about one axis, radians, row-vector convention:
//   X rows (1,0,0), (0,c,s), (0,-s,c); Y rows (c,0,-s), (0,1,0), (s,0,c); Z rows (c,s,0), (-s,c,0), (0,0,1)
Float4x4 rotationX(float radians);
Float4x4 rotationY(float radians);
Float4x4 rotationZ(float radians);
// Rx * Ry * Rz from Euler angles in degrees (X applied to a point first).
Float4x4 rotationEulerDegrees(Float3 degrees);
// scale * rotation(Euler degrees) * translation: the local transform of the scene operators.
Float4x4 scaleRotateTranslate(Float3 scale, Float3 rotationDegrees, Float3 position);

// Full inverse by cofactors with one reciprocal of the determinant. A singular matrix (zero or
// non-finite determinant) yields the identity, so one degenerate transform cannot fill every
// later draw with NaN.
Float4x4 inverse(const Float4x4& a);
// Inverse of a rotation + translation (camera-to-world -> view): upper 3x3 transposed,
// translation row -position * R^T.
Float4x4 rigidInverse(const Float4x4& a);

// Left-handed perspective: yScale = cot(fovY / 2), xScale = yScale / aspect (aspect = w / h),
// Q = zFar / (zFar - zNear); rows (xs,0,0,0), (0,ys,0,0), (0,0,Q,1), (0,0,-Q*zNear,0).
Float4x4 perspectiveFovDegrees(float fovYDegrees, float aspect, float zNear, float zFar);
// Left-handed orthographic of width w and height h: depth 0 at zNear, 1 at zFar.
Float4x4 orthographic(float width, float height, float zNear, float zFar);

Float3 transformPoint(Float3 p, const Float4x4& m);   // (p, 1) * M, divided by w when w is not 0 or 1
Float4 transform(Float4 p, const Float4x4& m);        // p * M
Float3 transformVector(Float3 v, const Float4x4& m);  // (v, 0) * M

bool isFinite(const Float4x4& a);
}  // namespace mat

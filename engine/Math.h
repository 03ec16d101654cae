#pragma once
// Small matrix and vector types shared by the engine and the drawing code.
// Matrices are row-major with row vectors: a point transforms as p * M.
#include <cstdint>

struct Float2 { float x = 0, y = 0; };
struct Float3 { float x = 0, y = 0, z = 0; };
struct Float4 { float x = 0, y = 0, z = 0, w = 0; };

struct Float4x4 {
  float m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

  static Float4x4 identity() { return Float4x4{}; }
  float& at(int row, int col) { return m[row * 4 + col]; }
  float at(int row, int col) const { return m[row * 4 + col]; }

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

  Float4x4 transposed() const {
    Float4x4 r;
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) r.at(i, j) = at(j, i);
    return r;
  }
};

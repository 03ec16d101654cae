#pragma once
// The matrix arithmetic of every draw's per-object constants, four lanes at a time. Each
// function gives the same bits as the plain arithmetic it stands for (operator*,
// mat::inverse): every element is made by the same operations in the same order, only
// four elements at once, so frames do not change with the road the constants took.
// Without SSE2 they are the plain arithmetic.
#include <cmath>
#include <cstring>

#include "engine/Math.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace objmat {

#if defined(__SSE2__)

inline __m128 row(const Float4x4& a, int i) { return _mm_loadu_ps(a.m + 4 * i); }

// a * b. Each element of the plain product is ((((0 + a0 b0) + a1 b1) + a2 b2) + a3 b3),
// the zero included (it turns a -0 product into +0).
inline Float4x4 product(const Float4x4& a, const Float4x4& b) {
  const __m128 b0 = row(b, 0), b1 = row(b, 1), b2 = row(b, 2), b3 = row(b, 3);
  Float4x4 r;
  for (int i = 0; i < 4; ++i) {
    const float* ai = a.m + 4 * i;
    __m128 s = _mm_add_ps(_mm_setzero_ps(), _mm_mul_ps(_mm_set1_ps(ai[0]), b0));
    s = _mm_add_ps(s, _mm_mul_ps(_mm_set1_ps(ai[1]), b1));
    s = _mm_add_ps(s, _mm_mul_ps(_mm_set1_ps(ai[2]), b2));
    s = _mm_add_ps(s, _mm_mul_ps(_mm_set1_ps(ai[3]), b3));
    _mm_storeu_ps(r.m + 4 * i, s);
  }
  return r;
}

namespace detail {

// The lanes one factor of the cofactor terms takes from a row: of the three rows that are
// not column k's own, the cofactors of (k, 0..3) read the columns (1,0,0,0), (2,2,1,1) or
// (3,3,3,2) of them.
inline __m128 lanesP(__m128 r) { return _mm_shuffle_ps(r, r, _MM_SHUFFLE(0, 0, 0, 1)); }
inline __m128 lanesQ(__m128 r) { return _mm_shuffle_ps(r, r, _MM_SHUFFLE(1, 1, 2, 2)); }
inline __m128 lanesR(__m128 r) { return _mm_shuffle_ps(r, r, _MM_SHUFFLE(2, 3, 3, 3)); }

// Column k of mat::inverse's cofactor matrix before the division (inv[k], inv[k + 4],
// inv[k + 8], inv[k + 12]), from the other rows x < y < z: the six triple products in the
// plain code's order, each as (first * second) * third, with its sign per lane. A sign flip
// is exact, so "acc - t" is "acc + (-t)" and "(-a) b c" is "-(a b c)", bit for bit.
inline __m128 cofactors(__m128 x, __m128 y, __m128 z, bool oddColumn) {
  const __m128 e = _mm_castsi128_ps(_mm_set_epi32(int(0x80000000), 0, int(0x80000000), 0));  // + - + -
  const __m128 o = _mm_castsi128_ps(_mm_set_epi32(0, int(0x80000000), 0, int(0x80000000)));  // - + - +
  const __m128 s0 = oddColumn ? o : e, s1 = oddColumn ? e : o;
  const __m128 t0 = _mm_mul_ps(_mm_mul_ps(lanesP(x), lanesQ(y)), lanesR(z));
  const __m128 t1 = _mm_mul_ps(_mm_mul_ps(lanesP(x), lanesR(y)), lanesQ(z));
  const __m128 t2 = _mm_mul_ps(_mm_mul_ps(lanesP(y), lanesQ(x)), lanesR(z));
  const __m128 t3 = _mm_mul_ps(_mm_mul_ps(lanesP(y), lanesR(x)), lanesQ(z));
  const __m128 t4 = _mm_mul_ps(_mm_mul_ps(lanesP(z), lanesQ(x)), lanesR(y));
  const __m128 t5 = _mm_mul_ps(_mm_mul_ps(lanesP(z), lanesR(x)), lanesQ(y));
  __m128 acc = _mm_xor_ps(t0, s0);
  acc = _mm_add_ps(acc, _mm_xor_ps(t1, s1));
  acc = _mm_add_ps(acc, _mm_xor_ps(t2, s1));
  acc = _mm_add_ps(acc, _mm_xor_ps(t3, s0));
  acc = _mm_add_ps(acc, _mm_xor_ps(t4, s0));
  acc = _mm_add_ps(acc, _mm_xor_ps(t5, s1));
  return acc;
}

}  // namespace detail

// mat::inverse(a).transposed(): the normals' matrix, whose rows are the inverse's columns.
// A singular or non-finite determinant gives the identity, as mat::inverse does.
inline Float4x4 inverseTransposed(const Float4x4& a) {
  using detail::cofactors;
  const __m128 r0 = row(a, 0), r1 = row(a, 1), r2 = row(a, 2), r3 = row(a, 3);
  const __m128 c0 = cofactors(r1, r2, r3, false);
  const __m128 c1 = cofactors(r0, r2, r3, true);
  const __m128 c2 = cofactors(r0, r1, r3, false);
  const __m128 c3 = cofactors(r0, r1, r2, true);
  // det = ((m0 inv0 + m1 inv4) + m2 inv8) + m3 inv12
  float p[4];
  _mm_storeu_ps(p, _mm_mul_ps(r0, c0));
  const float det = ((p[0] + p[1]) + p[2]) + p[3];
  if (det == 0.0f || !std::isfinite(det)) return Float4x4::identity();
  const __m128 r = _mm_set1_ps(1.0f / det);
  Float4x4 out;
  _mm_storeu_ps(out.m + 0, _mm_mul_ps(c0, r));
  _mm_storeu_ps(out.m + 4, _mm_mul_ps(c1, r));
  _mm_storeu_ps(out.m + 8, _mm_mul_ps(c2, r));
  _mm_storeu_ps(out.m + 12, _mm_mul_ps(c3, r));
  return out;
}

// The 16 floats of a, transposed, written to `to` (which need not be aligned).
inline void storeTransposed(const Float4x4& a, void* to) {
  __m128 r0 = row(a, 0), r1 = row(a, 1), r2 = row(a, 2), r3 = row(a, 3);
  _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
  float* f = static_cast<float*>(to);
  _mm_storeu_ps(f + 0, r0);
  _mm_storeu_ps(f + 4, r1);
  _mm_storeu_ps(f + 8, r2);
  _mm_storeu_ps(f + 12, r3);
}

// Whether a and b hold the same bits (not operator==: -0 and +0 differ here, and a NaN
// equals its own bits), as memcmp would say, without the call.
inline bool sameBits(const Float4x4& a, const Float4x4& b) {
  const __m128i* x = reinterpret_cast<const __m128i*>(a.m);
  const __m128i* y = reinterpret_cast<const __m128i*>(b.m);
  __m128i eq = _mm_cmpeq_epi32(_mm_loadu_si128(x), _mm_loadu_si128(y));
  for (int i = 1; i < 4; ++i) eq = _mm_and_si128(eq, _mm_cmpeq_epi32(_mm_loadu_si128(x + i), _mm_loadu_si128(y + i)));
  return _mm_movemask_epi8(eq) == 0xFFFF;
}

#else

inline bool sameBits(const Float4x4& a, const Float4x4& b) { return std::memcmp(a.m, b.m, sizeof a.m) == 0; }
inline Float4x4 product(const Float4x4& a, const Float4x4& b) { return a * b; }
inline Float4x4 inverseTransposed(const Float4x4& a) { return mat::inverse(a).transposed(); }
inline void storeTransposed(const Float4x4& a, void* to) {
  const Float4x4 t = a.transposed();
  std::memcpy(to, t.m, sizeof t.m);
}

#endif

}  // namespace objmat

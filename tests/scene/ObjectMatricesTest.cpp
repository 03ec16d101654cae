// The four-lane matrix arithmetic of the per-object constants against the plain arithmetic,
// bit for bit: a rounding made in another order would move a vertex by an ulp and change
// frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "scene/ObjectMatrices.h"

namespace {

bool sameBits(const Float4x4& a, const Float4x4& b) { return std::memcmp(a.m, b.m, sizeof a.m) == 0; }

// A still object or camera is known by its bits: the products are reused only when they
// would come out the same.
TEST(ObjectMatrices, StillnessIsSameBitsNotEquality) {
  Float4x4 a = mat::translation({1, 2, 3});
  Float4x4 b = a;
  EXPECT_TRUE(objmat::sameBits(a, b));
  for (int i = 0; i < 16; ++i) {
    Float4x4 c = a;
    c.m[i] = std::nextafter(c.m[i], 100.0f);
    EXPECT_FALSE(objmat::sameBits(a, c)) << "element " << i;
  }
  b.m[1] = -0.0f;  // equal to +0, other bits
  EXPECT_FALSE(objmat::sameBits(a, b));
  a.m[15] = b.m[15] = std::numeric_limits<float>::quiet_NaN();  // unequal to itself, same bits
  b.m[1] = a.m[1];
  EXPECT_TRUE(objmat::sameBits(a, b));
}

// Matrices that exercise the roundings: object and camera transforms, values of mixed
// magnitudes and signs, negative zeros, and singular and non-finite ones.
std::vector<Float4x4> sampleMatrices() {
  std::vector<Float4x4> out;
  std::mt19937 rng(1234);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f), angle(-180.0f, 180.0f), scale(0.01f, 20.0f);
  for (int i = 0; i < 300; ++i) {
    const Float4x4 world = mat::scaleRotateTranslate({scale(rng), scale(rng), scale(rng)},
                                                     {angle(rng), angle(rng), angle(rng)},
                                                     {unit(rng) * 50, unit(rng) * 50, unit(rng) * 50});
    const Float4x4 camera = mat::rotationEulerDegrees({angle(rng), angle(rng), 0}) *
                            mat::translation({unit(rng) * 10, unit(rng) * 10, unit(rng) * 10});
    out.push_back(world);
    out.push_back(world * mat::rigidInverse(camera));
  }
  for (int i = 0; i < 300; ++i) {
    Float4x4 m;
    for (float& v : m.m) v = unit(rng) * std::pow(10.0f, unit(rng) * 6);
    out.push_back(m);
  }
  Float4x4 zeros;
  for (int i = 0; i < 16; ++i) zeros.m[i] = (i % 3 == 0) ? -0.0f : 0.0f;
  out.push_back(zeros);
  Float4x4 negatedIdentity;
  for (float& v : negatedIdentity.m) v = -v;
  out.push_back(negatedIdentity);
  Float4x4 repeatedRow = out[1];
  for (int c = 0; c < 4; ++c) repeatedRow.at(2, c) = repeatedRow.at(1, c);
  out.push_back(repeatedRow);
  Float4x4 withInf = out[3], withNan = out[5];
  withInf.m[6] = std::numeric_limits<float>::infinity();
  withNan.m[9] = std::numeric_limits<float>::quiet_NaN();
  out.push_back(withInf);
  out.push_back(withNan);
  Float4x4 huge;
  for (float& v : huge.m) v = 3e37f;
  huge.m[0] = -3e37f;
  out.push_back(huge);  // a determinant that overflows
  return out;
}

}  // namespace

TEST(ObjectMatrices, ProductAndInverseGiveThePlainArithmeticsBits) {
  const std::vector<Float4x4> ms = sampleMatrices();
  int differ = 0;
  for (size_t i = 0; i < ms.size(); ++i) {
    const Float4x4& a = ms[i];
    const Float4x4& b = ms[(i * 7 + 3) % ms.size()];
    if (!sameBits(objmat::product(a, b), a * b)) ++differ;
    if (!sameBits(objmat::inverseTransposed(a), mat::inverse(a).transposed())) {
      ADD_FAILURE() << "inverse of sample " << i;
      ++differ;
    }
    float t[16];
    objmat::storeTransposed(a, t);
    if (std::memcmp(t, a.transposed().m, sizeof t) != 0) ++differ;
  }
  EXPECT_EQ(differ, 0);
  // Products of negative zeros: the plain sum starts from +0, which turns them positive.
  Float4x4 negativeZeros;
  for (float& v : negativeZeros.m) v = -0.0f;
  EXPECT_TRUE(sameBits(objmat::product(negativeZeros, Float4x4::identity()), negativeZeros * Float4x4::identity()));
  // The zero and NaN samples fall back to the identity (not a matrix of NaNs).
  EXPECT_TRUE(sameBits(objmat::inverseTransposed(ms[ms.size() - 6]), Float4x4::identity()));
  EXPECT_TRUE(sameBits(objmat::inverseTransposed(ms[ms.size() - 2]), Float4x4::identity()));
}

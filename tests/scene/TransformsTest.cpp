// Transform, Repeat and Replicate: where their copies land (worked out by hand, and for
// Replicate against a separate MT19937 of the test's own), the times their inputs see, and
// the previous world built from parameters a millisecond earlier.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "scene/Transforms.h"
#include "tests/scene/TraversalTestSupport.h"

using namespace scenetest;

namespace {

void expectNear(Float3 actual, Float3 expected, float tol = 1e-4f) {
  EXPECT_NEAR(actual.x, expected.x, tol);
  EXPECT_NEAR(actual.y, expected.y, tol);
  EXPECT_NEAR(actual.z, expected.z, tol);
}

Float3 apply(const Float4x4& m, Float3 p) { return mat::transformPoint(p, m); }

TEST(Transform, ScalesRotatesThenTranslatesInsideTheParentWorld) {
  SceneGraph s;
  Operator& tr = s.op("Transform");
  ProbeOp& probe = s.probe();
  s.feed(probe, tr);
  setParam(tr, "Position.X", 1), setParam(tr, "Position.Y", 2), setParam(tr, "Position.Z", 3);
  setParam(tr, "Rotation.Y", 90);
  setParam(tr, "Scale.X", 2);
  s.ctx.world = mat::translation({10, 0, 0});
  s.ctx.worldPrev = mat::translation({20, 0, 0});
  s.eval(tr, 1.0f);
  ASSERT_EQ(probe.visits.size(), 1u);
  // (1,0,0): scaled to (2,0,0), turned about Y to (0,0,-2), moved to (1,2,1), then the parent.
  expectNear(apply(probe.visits[0].world, {1, 0, 0}), {11, 2, 1});
  expectNear(apply(probe.visits[0].worldPrev, {1, 0, 0}), {21, 2, 1});
  EXPECT_EQ(probe.visits[0].t, 1.0f);
}

TEST(Transform, ThePreviousWorldUsesParametersAMillisecondEarlier) {
  SceneGraph s;
  Operator& tr = s.op("Transform");
  Operator& time = s.op("Time");
  ProbeOp& probe = s.probe();
  s.feed(probe, tr);
  s.connect(time, "FloatOut", tr, "Position.Y");
  s.eval(tr, 3.0f);
  ASSERT_EQ(probe.visits.size(), 1u);
  EXPECT_EQ(probe.visits[0].world.at(3, 1), 3.0f);
  EXPECT_EQ(probe.visits[0].worldPrev.at(3, 1), 3.0f - 0.001f);
  // Static parameters give equal matrices.
  EXPECT_EQ(probe.visits[0].world.at(0, 0), probe.visits[0].worldPrev.at(0, 0));
}

TEST(Repeat, CopyIHasIStepsAppliedAndIsDrawnIOffsetsEarlier) {
  SceneGraph s;
  Operator& rep = s.op("Repeat");
  ProbeOp& probe = s.probe();
  s.feed(probe, rep);
  setParam(rep, "Count", 3);
  setParam(rep, "TimeOffset", 0.5f);
  setParam(rep, "Position.X", 1);
  setParam(rep, "Rotation.Z", 90);
  setParam(rep, "Scale.Y", 2);
  s.eval(rep, 10.0f);
  ASSERT_EQ(probe.visits.size(), 3u);
  for (int i = 1; i <= 3; ++i) {
    const Visit& v = probe.visits[size_t(i - 1)];
    EXPECT_EQ(v.t, 10.0f - 0.5f * float(i));
    expectNear(apply(v.world, {0, 0, 0}), {float(i), 0, 0});
    EXPECT_TRUE(sameBits(v.world, v.worldPrev));
  }
  // (1,0,0) turned by 90, 180, 270 degrees about Z; (0,1,0) is first stretched by 1 + i.
  expectNear(apply(probe.visits[0].world, {1, 0, 0}), {1, 1, 0});
  expectNear(apply(probe.visits[1].world, {1, 0, 0}), {1, 0, 0});
  expectNear(apply(probe.visits[2].world, {1, 0, 0}), {3, -1, 0});
  expectNear(apply(probe.visits[1].world, {0, 1, 0}), {2, -3, 0});
}

TEST(Repeat, CountIsTruncatedAndOneCopyIsAlreadyMoved) {
  SceneGraph s;
  Operator& rep = s.op("Repeat");
  ProbeOp& probe = s.probe();
  s.feed(probe, rep);
  setParam(rep, "Position.Z", 2);
  const std::pair<float, size_t> cases[] = {{1, 1}, {0, 0}, {2.9f, 2}, {-3, 0}, {NAN, 0}};
  for (auto [count, copies] : cases) {
    probe.visits.clear();
    setParam(rep, "Count", count);
    s.eval(rep, 0.0f);
    EXPECT_EQ(probe.visits.size(), copies) << "Count " << count;
  }
  setParam(rep, "Count", 1);
  probe.visits.clear();
  s.eval(rep, 0.0f);
  expectNear(apply(probe.visits.at(0).world, {0, 0, 0}), {0, 0, 2});
}

// Counts the copies drawn; past `limit` it throws, so a missing cap fails the test at once
// instead of running for hours.
class CopyCounterOp : public Operator {
 public:
  CopyCounterOp() : Operator(CategoryGeometry) {
    addOutput("OutScene", PortType::Scene, std::make_unique<Fn>(this));
    linkOutput();
  }
  struct Fn : Function {
    explicit Fn(CopyCounterOp* o) : owner(o) {}
    void evaluate(float, const std::vector<Port*>&, Context&) override {
      if (++owner->copies > owner->limit) throw std::runtime_error("more copies than the cap");
    }
    CopyCounterOp* owner;
  };
  int64_t copies = 0;
  int64_t limit = 0;
};

TEST(RepeatAndReplicate, HugeOrNonFiniteCountsDrawAtMostTheCap) {
  for (const char* type : {"Repeat", "Replicate"}) {
    SceneGraph s;
    Operator& op = s.op(type);
    CopyCounterOp& counter = add<CopyCounterOp>(*s.graph);
    counter.limit = kMaxSceneCopies;
    s.feed(counter, op);
    const std::pair<float, int64_t> cases[] = {
        {1e9f, kMaxSceneCopies}, {3e9f, kMaxSceneCopies}, {INFINITY, kMaxSceneCopies},
        {float(kMaxSceneCopies) + 0.5f, kMaxSceneCopies}, {float(kMaxSceneCopies) - 1.0f, kMaxSceneCopies - 1},
        {-INFINITY, 0}, {NAN, 0}, {-1e9f, 0}};
    for (auto [count, expected] : cases) {
      counter.copies = 0;
      setParam(op, "Count", count);
      EXPECT_NO_THROW(s.eval(op, 0.0f)) << type << " Count " << count;
      EXPECT_EQ(counter.copies, expected) << type << " Count " << count;
    }
  }
}

// ---- Replicate against an MT19937 of the test's own ------------------------------------------

class Mt19937 {
 public:
  explicit Mt19937(uint32_t seed) {
    s_[0] = seed;
    for (uint32_t k = 1; k < 624; ++k) s_[k] = 1812433253u * (s_[k - 1] ^ (s_[k - 1] >> 30)) + k;
  }
  uint32_t operator()() {
    if (i_ == 624) twist();
    uint32_t y = s_[i_++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    return y ^ (y >> 18);
  }
  double uniform(double a, double b) { return a + (b - a) * double((*this)()) / 4294967296.0; }

 private:
  void twist() {
    for (int k = 0; k < 624; ++k) {
      const uint32_t y = (s_[k] & 0x80000000u) | (s_[(k + 1) % 624] & 0x7FFFFFFFu);
      s_[k] = s_[(k + 397) % 624] ^ (y >> 1) ^ ((y & 1u) ? 0x9908B0DFu : 0u);
    }
    i_ = 0;
  }
  uint32_t s_[624];
  int i_ = 624;
};

struct Expected {
  Float3 position;  // where the copy's origin lands
  Float3 outward;   // where its local -Z points (unit, before the random rotation and scale)
  double size;
};

// The layout as the draws dictate: mode draws, three offset, one size, three rotation, three
// scale, per copy. Rotation and scale amplitudes are zero in these cases, but their draws
// still take their place in the sequence.
std::vector<Expected> expectedLayout(int mode, int count, double radius, uint32_t seed, Float3 offsetRandom,
                                     double sizeRandom) {
  Mt19937 mt(seed);
  std::vector<Expected> out;
  for (int i = 0; i < count; ++i) {
    double p[3] = {0, 0, 0};
    if (mode == 0) {
      const double a = 2 * M_PI / count * i;
      p[0] = std::cos(a) * radius, p[2] = std::sin(a) * radius;
    } else if (mode == 1) {
      const double u1 = mt.uniform(-1, 1), u2 = mt.uniform(-1, 1), u3 = mt.uniform(-1, 1);
      p[0] = u3 * radius, p[1] = u2 * radius, p[2] = u1 * radius;
    } else {
      const double u1 = mt.uniform(-1, 1), u2 = mt.uniform(-1, 1);
      p[0] = u2 * radius, p[2] = u1 * radius;
    }
    const double d1 = mt.uniform(-0.5, 0.5), d2 = mt.uniform(-0.5, 0.5), d3 = mt.uniform(-0.5, 0.5);
    const double size = 1 + mt.uniform(0, sizeRandom);
    for (int k = 0; k < 6; ++k) mt();
    const double len = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    out.push_back({{float(p[0] + d3 * offsetRandom.x), float(p[1] + d2 * offsetRandom.y),
                    float(p[2] + d1 * offsetRandom.z)},
                   {float(p[0] / len), float(p[1] / len), float(p[2] / len)},
                   size});
  }
  return out;
}

struct ReplicateCase {
  const char* name;
  int mode;
  int count;
  float radius;
  uint32_t seed;
};

TEST(Replicate, LayoutsFollowTheDrawsInTheirOrder) {
  const ReplicateCase cases[] = {
      {"Ring", 0, 5, 2.0f, 7}, {"Point", 1, 6, 3.0f, 12345}, {"Disc", 2, 6, 1.5f, 4000000000u}};
  const Float3 offsetRandom{0.5f, 1.0f, 2.0f};
  for (const ReplicateCase& c : cases) {
    SCOPED_TRACE(c.name);
    SceneGraph s;
    Operator& rep = s.op("Replicate");
    ProbeOp& probe = s.probe();
    s.feed(probe, rep);
    setParam(rep, "Mode", float(c.mode));
    setParam(rep, "Count", float(c.count));
    setParam(rep, "Radius", c.radius);
    // Seeds above 2^31 arrive as negative 32-bit integers and are used as unsigned.
    setParam(rep, "Seed", c.seed > 0x7FFFFFFFu ? float(int32_t(c.seed)) : float(c.seed));
    setParam(rep, "OffsetRandom.X", offsetRandom.x);
    setParam(rep, "OffsetRandom.Y", offsetRandom.y);
    setParam(rep, "OffsetRandom.Z", offsetRandom.z);
    setParam(rep, "SizeRandom", 0.5f);
    s.eval(rep, 0.0f);

    const std::vector<Expected> want = expectedLayout(c.mode, c.count, c.radius, c.seed, offsetRandom, 0.5);
    ASSERT_EQ(probe.visits.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      SCOPED_TRACE(i);
      const Float4x4& w = probe.visits[i].world;
      expectNear(apply(w, {0, 0, 0}), want[i].position);
      // Local -Z is the outward direction scaled by the copy's size ("Surface").
      const Float3 back = mat::transformVector({0, 0, -1}, w);
      expectNear(back, want[i].outward * float(want[i].size));
      EXPECT_NEAR(length(mat::transformVector({1, 0, 0}, w)), want[i].size, 1e-5);
      EXPECT_TRUE(sameBits(w, probe.visits[i].worldPrev));
    }
  }
}

TEST(Replicate, RingOfFourFacesOutward) {
  SceneGraph s;
  Operator& rep = s.op("Replicate");
  ProbeOp& probe = s.probe();
  s.feed(probe, rep);
  setParam(rep, "Count", 4);
  setParam(rep, "Radius", 2);
  s.eval(rep, 0.0f);
  ASSERT_EQ(probe.visits.size(), 4u);
  const Float3 at[] = {{2, 0, 0}, {0, 0, 2}, {-2, 0, 0}, {0, 0, -2}};
  for (size_t i = 0; i < 4; ++i) {
    expectNear(apply(probe.visits[i].world, {0, 0, 0}), at[i]);
    expectNear(mat::transformVector({0, 0, -1}, probe.visits[i].world), at[i] * 0.5f);
  }
}

TEST(Replicate, FixedOrientationGivesEveryCopyTheSameFrame) {
  SceneGraph s;
  Operator& rep = s.op("Replicate");
  ProbeOp& probe = s.probe();
  s.feed(probe, rep);
  setParam(rep, "Count", 3);
  setParam(rep, "Mode", 1);
  setParam(rep, "Orientation", 1);
  setParam(rep, "Offset.Y", 5);
  s.eval(rep, 0.0f);
  ASSERT_EQ(probe.visits.size(), 3u);
  for (const Visit& v : probe.visits) {
    expectNear(v.world.row3(0), {-1, 0, 0}, 1e-6f);
    expectNear(v.world.row3(1), {0, 1, 0}, 1e-6f);
    expectNear(v.world.row3(2), {0, 0, -1}, 1e-6f);
  }
  EXPECT_NE(probe.visits[0].world.at(3, 0), probe.visits[1].world.at(3, 0));
}

TEST(Replicate, TheSameSeedGivesTheSameLayoutAndAnotherSeedAnother) {
  SceneGraph s;
  Operator& rep = s.op("Replicate");
  ProbeOp& probe = s.probe();
  s.feed(probe, rep);
  setParam(rep, "Count", 8);
  setParam(rep, "Mode", 2);
  setParam(rep, "RotateRandom.Y", 180);
  setParam(rep, "ScaleRandom.X", 1);
  s.eval(rep, 0.0f);
  s.eval(rep, 5.0f);
  ASSERT_EQ(probe.visits.size(), 16u);
  for (size_t i = 0; i < 8; ++i) EXPECT_TRUE(sameBits(probe.visits[i].world, probe.visits[i + 8].world));
  setParam(rep, "Seed", 1);
  s.eval(rep, 0.0f);
  ASSERT_EQ(probe.visits.size(), 24u);
  EXPECT_FALSE(sameBits(probe.visits[0].world, probe.visits[16].world));
}

TEST(Replicate, CopiesAtTheCentreKeepAUsableFrame) {
  // Radius 0 puts every copy at the centre, where there is no outward direction; the copies
  // still scatter by their offsets and keep their size instead of collapsing to nothing.
  SceneGraph s;
  Operator& rep = s.op("Replicate");
  ProbeOp& probe = s.probe();
  s.feed(probe, rep);
  setParam(rep, "Count", 4);
  setParam(rep, "Mode", 1);
  setParam(rep, "Radius", 0);
  setParam(rep, "OffsetRandom.X", 4);
  s.eval(rep, 0.0f);
  ASSERT_EQ(probe.visits.size(), 4u);
  for (const Visit& v : probe.visits) {
    ASSERT_TRUE(mat::isFinite(v.world));
    EXPECT_NEAR(length(mat::transformVector({0, 0, 1}, v.world)), 1.0f, 1e-5f);
    EXPECT_NEAR(length(mat::transformVector({0, 1, 0}, v.world)), 1.0f, 1e-5f);
  }
  // A mode the operator does not know puts the copies at the centre too, facing +Z.
  ReplicateSettings unknown;
  unknown.mode = 99;
  unknown.offset = {0, -3, 0};
  ReplicateLayout layout(unknown);
  const Float4x4 m = layout.next();
  expectNear(m.row3(2), {0, 0, -1}, 1e-6f);
  expectNear(m.row3(3), {0, -3, 0}, 1e-6f);
}

TEST(Replicate, WrapFoldsTheXCoordinateWithItsSign) {
  SceneGraph s;
  Operator& rep = s.op("Replicate");
  ProbeOp& probe = s.probe();
  s.feed(probe, rep);
  setParam(rep, "Count", 2);
  setParam(rep, "Radius", 7);
  setParam(rep, "Wrap", 3);
  s.eval(rep, 0.0f);
  ASSERT_EQ(probe.visits.size(), 2u);
  EXPECT_NEAR(probe.visits[0].world.at(3, 0), 1.0f, 1e-5f);   // fmod(7, 3)
  EXPECT_NEAR(probe.visits[1].world.at(3, 0), -1.0f, 1e-5f);  // fmod(-7, 3)
}

}  // namespace

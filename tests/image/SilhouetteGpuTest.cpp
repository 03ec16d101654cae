// Transformed, repeated and replicated cubes seen through each kind of camera, drawn with
// "Forward" and the unlit shader into a tiny picture, against a projection of the same boxes
// worked out here on the CPU: every pixel whose centre is clearly inside or outside the
// projected outlines must agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "tests/image/SceneGpuTest.h"

using namespace imagetest;

namespace {

constexpr float kPi = 3.14159265358979f;

// ---- the CPU side: boxes, cameras and outlines, written out without the engine's math ----------

struct V3 {
  double x = 0, y = 0, z = 0;
};
V3 operator+(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
V3 operator-(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
V3 operator*(double s, V3 a) { return {s * a.x, s * a.y, s * a.z}; }
double dotp(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
V3 crossp(V3 a, V3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
V3 unit(V3 a) { return (1.0 / std::sqrt(dotp(a, a))) * a; }
double rad(double degrees) { return degrees * kPi / 180.0; }

// Row-vector rotations: the point turns about X first, then Y, then Z.
V3 turn(V3 p, V3 degrees) {
  double c = std::cos(rad(degrees.x)), s = std::sin(rad(degrees.x));
  p = {p.x, p.y * c - p.z * s, p.y * s + p.z * c};
  c = std::cos(rad(degrees.y)), s = std::sin(rad(degrees.y));
  p = {p.x * c + p.z * s, p.y, -p.x * s + p.z * c};
  c = std::cos(rad(degrees.z)), s = std::sin(rad(degrees.z));
  return {p.x * c - p.y * s, p.x * s + p.y * c, p.z};
}

// The eight corners of a unit cube (half size 0.5), each mapped to the world.
using Box = std::array<V3, 8>;
template <class Map>
Box box(Map toWorld) {
  Box b;
  for (int i = 0; i < 8; ++i) b[size_t(i)] = toWorld(V3{i & 1 ? 0.5 : -0.5, i & 2 ? 0.5 : -0.5, i & 4 ? 0.5 : -0.5});
  return b;
}

struct View {
  V3 eye, right, up, forward;
  bool ortho = false;
  double fovDegrees = 45, halfHeight = 1;
};
View looking(V3 eye, V3 forward, double rollDegrees = 0) {
  View v;
  v.eye = eye;
  v.forward = unit(forward);
  V3 r = unit(crossp({0, 1, 0}, v.forward)), u = crossp(v.forward, r);
  const double c = std::cos(rad(rollDegrees)), s = std::sin(rad(rollDegrees));
  v.right = c * r + s * u;
  v.up = (-s) * r + c * u;
  return v;
}

struct Pixel {
  double x, y;
};
// Where a world point lands, in pixels of a w x h picture (y down).
Pixel project(const View& v, V3 p, int w, int h) {
  const V3 d = p - v.eye;
  const double x = dotp(d, v.right), y = dotp(d, v.up), z = dotp(d, v.forward);
  double nx, ny;
  if (v.ortho) {
    nx = x / (v.halfHeight * w / h), ny = y / v.halfHeight;
  } else {
    const double c = 1.0 / std::tan(rad(v.fovDegrees) / 2);
    nx = x * c * h / w / z, ny = y * c / z;
  }
  return {(nx + 1) / 2 * w, (1 - ny) / 2 * h};
}

// Convex hull (counter-clockwise in x-right, y-down coordinates flipped do not matter: the
// inside test below accepts either orientation).
std::vector<Pixel> hull(std::vector<Pixel> p) {
  std::sort(p.begin(), p.end(), [](Pixel a, Pixel b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
  auto turnOf = [](Pixel o, Pixel a, Pixel b) { return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x); };
  std::vector<Pixel> h(2 * p.size());
  size_t k = 0;
  for (size_t i = 0; i < p.size(); ++i) {
    while (k >= 2 && turnOf(h[k - 2], h[k - 1], p[i]) <= 0) --k;
    h[k++] = p[i];
  }
  for (size_t i = p.size() - 1, t = k + 1; i > 0; --i) {
    while (k >= t && turnOf(h[k - 2], h[k - 1], p[i - 1]) <= 0) --k;
    h[k++] = p[i - 1];
  }
  h.resize(k - 1);
  return h;
}

// Signed distance-like value of a point to a convex polygon (counter-clockwise in the sorted
// sense above): positive inside, the distance to the nearest edge line.
double inside(const std::vector<Pixel>& poly, Pixel q) {
  double d = 1e9;
  for (size_t i = 0; i < poly.size(); ++i) {
    const Pixel a = poly[i], b = poly[(i + 1) % poly.size()];
    const double ex = b.x - a.x, ey = b.y - a.y, len = std::sqrt(ex * ex + ey * ey);
    d = std::min(d, (ex * (q.y - a.y) - ey * (q.x - a.x)) / len);
  }
  return d;
}

// 1 inside, 0 outside, -1 too close to an outline to tell.
std::vector<int> expectedCoverage(const View& v, const std::vector<Box>& boxes, int w, int h) {
  std::vector<std::vector<Pixel>> outlines;
  for (const Box& b : boxes) {
    std::vector<Pixel> p;
    for (V3 c : b) p.push_back(project(v, c, w, h));
    outlines.push_back(hull(p));
  }
  std::vector<int> out(size_t(w * h), 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int& o = out[size_t(y * w + x)];
      for (const auto& poly : outlines) {
        const double d = inside(poly, {x + 0.5, y + 0.5});
        if (std::fabs(d) < 0.75) o = -1;
        else if (d > 0 && o == 0) o = 1;
      }
    }
  return out;
}

// ---- the device side ----------------------------------------------------------------------------

class SilhouetteGpuTest : public SceneGpuTest {
 protected:
  SilhouetteGpuTest() {
    screenWidth = 40;
    screenHeight = 30;
  }

  // Evaluates `top`, reads the picture back and compares it with the outlines.
  void expectSilhouette(Operator& top, const View& view, const std::vector<Box>& boxes) {
    Texture* texture = nullptr;
    const std::vector<uint8_t> px = picture(top, &texture);
    ASSERT_NE(texture, nullptr);
    ASSERT_EQ(texture->width(), screenWidth);
    const int w = int(screenWidth), h = int(screenHeight);
    const std::vector<int> want = expectedCoverage(view, boxes, w, h);
    int compared = 0, agreed = 0, covered = 0;
    std::string map;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const bool drawn = px[size_t(y * w + x) * 4] > 128;
        const int e = want[size_t(y * w + x)];
        map += e < 0 ? (drawn ? '+' : '-') : e == int(drawn) ? (drawn ? '#' : '.') : (drawn ? 'X' : 'O');
        if (e < 0) continue;
        ++compared;
        agreed += e == int(drawn);
        covered += e;
      }
      map += '\n';
    }
    EXPECT_GT(covered, 20) << "the shapes should cover part of the picture\n" << map;
    EXPECT_GT(compared - covered, 100) << "and leave part of it empty\n" << map;
    EXPECT_GE(agreed, compared * 99 / 100) << agreed << " of " << compared << " pixels agree (X: drawn, not expected; "
                                           << "O: expected, not drawn)\n" << map;
  }

};

TEST_F(SilhouetteGpuTest, TransformedCubeThroughCamera) {
  Operator& fwd = forward();
  Operator& cam = g.op("Camera");
  Operator& tr = g.op("Transform");
  Operator& cube = g.op("Cube");
  g.feed(cube, tr);
  g.feed(tr, cam);
  g.connect(cam, "OutScene", fwd, "SceneIn");
  const V3 eye{2.5, 1.5, -3}, pos{0.3, -0.2, 0.4}, rot{15, 35, -10}, scale{1.6, 0.8, 1.0};
  setParam(cam, "Position.X", float(eye.x)), setParam(cam, "Position.Y", float(eye.y));
  setParam(cam, "Position.Z", float(eye.z));
  setParam(cam, "Direction.X", float(-eye.x)), setParam(cam, "Direction.Y", float(-eye.y));
  setParam(cam, "Direction.Z", float(-eye.z));
  setParam(cam, "FOV", 50);
  setParam(tr, "Position.X", float(pos.x)), setParam(tr, "Position.Y", float(pos.y));
  setParam(tr, "Position.Z", float(pos.z));
  setParam(tr, "Rotation.X", float(rot.x)), setParam(tr, "Rotation.Y", float(rot.y));
  setParam(tr, "Rotation.Z", float(rot.z));
  setParam(tr, "Scale.X", float(scale.x)), setParam(tr, "Scale.Y", float(scale.y));

  View view = looking(eye, V3{} - eye);
  view.fovDegrees = 50;
  const Box b = box([&](V3 p) { return turn({p.x * scale.x, p.y * scale.y, p.z * scale.z}, rot) + pos; });
  expectSilhouette(fwd, view, {b});
}

TEST_F(SilhouetteGpuTest, RepeatedCubesThroughTargetCamera) {
  Operator& fwd = forward();
  Operator& cam = g.op("TargetCamera");
  Operator& rep = g.op("Repeat");
  Operator& cube = g.op("Cube");
  g.feed(cube, rep);
  g.feed(rep, cam);
  g.connect(cam, "OutScene", fwd, "SceneIn");
  setParam(cam, "Position.X", 2), setParam(cam, "CamOffset.Z", -6);
  setParam(cam, "Yaw", 20), setParam(cam, "Pitch", 25), setParam(cam, "Roll", 10);
  setParam(rep, "Count", 3);
  setParam(rep, "Position.X", 1.3f);
  setParam(rep, "Rotation.Y", 25);
  setParam(rep, "Scale.Y", 1.3f);

  // Eye: (0, 0, -6) turned by the pitch about X, then the yaw about Y, around the target.
  const V3 target{2, 0, 0};
  const V3 eye = target + turn({0, 0, -6}, {25, 20, 0});
  const View view = looking(eye, target - eye, 10);
  std::vector<Box> boxes;
  for (int i = 1; i <= 3; ++i)
    boxes.push_back(box([&](V3 p) {
      return turn({p.x, p.y * (1 + i * 0.3), p.z}, {0, 25.0 * i, 0}) + V3{1.3 * i, 0, 0};
    }));
  expectSilhouette(fwd, view, boxes);
}

TEST_F(SilhouetteGpuTest, ReplicatedRingThroughImageCamera) {
  Operator& fwd = forward();
  Operator& cam = g.op("ImageCamera");
  Operator& rep = g.op("Replicate");
  Operator& cube = g.op("Cube");
  g.feed(cube, rep);
  g.connect(rep, "OutScene", fwd, "SceneIn");
  g.connect(fwd, "ImageOut", cam, "InScene");
  setParam(cam, "Position.X", 0), setParam(cam, "Position.Y", 6), setParam(cam, "Position.Z", -4);
  setParam(cam, "Direction.X", 0), setParam(cam, "Direction.Y", -6), setParam(cam, "Direction.Z", 4);
  setParam(rep, "Count", 5);
  setParam(rep, "Radius", 2.2f);

  const View view = looking({0, 6, -4}, {0, -6, 4});
  std::vector<Box> boxes;
  for (int i = 0; i < 5; ++i) {
    const double a = 2 * kPi / 5 * i;
    const V3 n{std::cos(a), 0, std::sin(a)};
    // Facing outward: local x along n x up, y up, local -z outward.
    const V3 ax = unit(crossp(n, {0, 1, 0})), ay{0, 1, 0};
    boxes.push_back(box([&](V3 p) { return p.x * ax + p.y * ay + (-p.z) * n + 2.2 * n; }));
  }
  expectSilhouette(cam, view, boxes);
}

TEST_F(SilhouetteGpuTest, TransformedRepeatThroughImageTargetCam) {
  Operator& fwd = forward();
  Operator& cam = g.op("ImageTargetCam");
  Operator& tr = g.op("Transform");
  Operator& rep = g.op("Repeat");
  Operator& cube = g.op("Cube");
  g.feed(cube, rep);
  g.feed(rep, tr);
  g.connect(tr, "OutScene", fwd, "SceneIn");
  g.connect(fwd, "ImageOut", cam, "InImage");
  setParam(cam, "CamOffset.Z", -5), setParam(cam, "Yaw", -30), setParam(cam, "Pitch", -15);
  setParam(cam, "FOV", 60);
  setParam(rep, "Count", 2), setParam(rep, "Position.Y", 1.1f);
  setParam(tr, "Position.Y", -1.5f), setParam(tr, "Rotation.Z", 30);

  const V3 eye = turn({0, 0, -5}, {-15, -30, 0});
  View view = looking(eye, V3{} - eye);
  view.fovDegrees = 60;
  std::vector<Box> boxes;
  for (int i = 1; i <= 2; ++i)
    boxes.push_back(box([&](V3 p) { return turn(p + V3{0, 1.1 * i, 0}, {0, 0, 30}) + V3{0, -1.5, 0}; }));
  expectSilhouette(cam, view, boxes);
}

TEST_F(SilhouetteGpuTest, RepeatedCubesThroughImageOrthoTargetCam) {
  Operator& fwd = forward();
  Operator& cam = g.op("ImageOrthoTargetCam");
  Operator& rep = g.op("Repeat");
  Operator& cube = g.op("Cube");
  g.feed(cube, rep);
  g.connect(rep, "OutScene", fwd, "SceneIn");
  g.connect(fwd, "ImageOut", cam, "InImage");
  setParam(cam, "CamOffset.Z", -10), setParam(cam, "Yaw", 40), setParam(cam, "Pitch", 30);
  setParam(cam, "Height", 2.5f);
  setParam(rep, "Count", 3), setParam(rep, "Position.X", -1.2f), setParam(rep, "Position.Z", 0.5f);
  setParam(rep, "Rotation.X", 20);

  const V3 eye = turn({0, 0, -10}, {30, 40, 0});
  View view = looking(eye, V3{} - eye);
  view.ortho = true;
  view.halfHeight = 2.5;
  std::vector<Box> boxes;
  for (int i = 1; i <= 3; ++i)
    boxes.push_back(box([&](V3 p) { return turn(p, {20.0 * i, 0, 0}) + V3{-1.2 * i, 0, 0.5 * i}; }));
  expectSilhouette(cam, view, boxes);
}

}  // namespace

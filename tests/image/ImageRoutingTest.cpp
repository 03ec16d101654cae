// Image operators that route without drawing: time windows, groups and offsets, the camera
// image operators and their blend, and the slot table. Pictures are compared by identity.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>

#include "image/ImageCameras.h"
#include "image/SlotTable.h"
#include "scene/Cameras.h"
#include "tests/image/ImageTestSupport.h"

using namespace imagetest;

namespace {

bool sameBits(const Float4x4& a, const Float4x4& b) { return std::memcmp(a.m, b.m, sizeof a.m) == 0; }

TEST(ImageEval, DrawsItsInputFromStartToEndBothIncluded) {
  ImageGraph g;
  Operator& ev = g.op("ImageEval");
  ImageProbe& probe = g.probe();
  probe.result = marker(2);
  g.feed(probe, ev);
  setParam(ev, "Start", 2);
  setParam(ev, "End", 5);
  for (float t : {1.999f, 2.0f, 5.0f, 5.001f}) {
    g.ctx.imageResult = marker(1);
    g.eval(ev, t);
    const bool inside = t >= 2.0f && t <= 5.0f;
    EXPECT_EQ(g.ctx.imageResult, inside ? marker(2) : marker(1)) << t;
  }
  EXPECT_EQ(probe.seen.size(), 2u);
}

TEST(ImageGroup, EvaluatesAllOneOrNoneOfItsInputsInOrder) {
  ImageGraph g;
  Operator& group = g.op("ImageGroup");
  ImageProbe* probes[3] = {&g.probe(), &g.probe(), &g.probe()};
  for (int i = 0; i < 3; ++i) {
    probes[i]->result = marker(uintptr_t(10 + i));
    g.connect(*probes[i], "ImageOut", group, "InImage");
  }
  auto counts = [&] {
    std::vector<size_t> c;
    for (ImageProbe* p : probes) c.push_back(p->seen.size());
    return c;
  };
  g.eval(group, 0.0f);  // default 0: the first only
  EXPECT_EQ(counts(), (std::vector<size_t>{1, 0, 0}));
  setParam(group, "EvalIndex", -1);
  g.eval(group, 0.0f);
  EXPECT_EQ(counts(), (std::vector<size_t>{2, 1, 1}));
  EXPECT_EQ(g.ctx.imageResult, marker(12));  // the last one drawn leaves its picture
  setParam(group, "EvalIndex", 2);
  g.eval(group, 0.0f);
  setParam(group, "EvalIndex", 3);  // as many as there are connections: none
  g.eval(group, 0.0f);
  EXPECT_EQ(counts(), (std::vector<size_t>{2, 1, 2}));
}

TEST(TimeOffset, EvaluatesItsInputLater) {
  ImageGraph g;
  Operator& off = g.op("TimeOffset");
  ImageProbe& probe = g.probe();
  g.feed(probe, off);
  setParam(off, "Offset", 1.5f);
  g.eval(off, 2.0f);
  ASSERT_EQ(probe.seen.size(), 1u);
  EXPECT_EQ(probe.seen[0].t, 3.5f);
}

TEST(ImageCamera, BuildsTheSceneCameraAtItsOffsetTime) {
  ImageGraph g;
  Operator& cam = g.op("ImageCamera");
  Operator& time = g.op("Time");
  ImageProbe& probe = g.probe();
  g.feed(probe, cam);
  g.connect(time, "FloatOut", cam, "Position.X");
  g.connect(time, "FloatOut", cam, "FOV");
  setParam(cam, "TimeOffset", 1);
  setParam(cam, "Direction.Y", 0);
  g.ctx.viewport = {0, 0, 40, 20};
  g.eval(cam, 30.0f);
  ASSERT_EQ(probe.seen.size(), 1u);
  EXPECT_EQ(probe.seen[0].t, 31.0f);
  EXPECT_EQ(g.ctx.camera.at(3, 0), 31.0f);
  EXPECT_EQ(g.ctx.cameraPrev.at(3, 0), 31.0f - 0.001f);
  EXPECT_EQ(g.ctx.fov, 31.0f);
  EXPECT_TRUE(sameBits(g.ctx.camera, camera::lookAlong({31, 4, 4}, {-1, 0, -1}, {0, 0, 0})));
  EXPECT_TRUE(sameBits(g.ctx.projection, camera::perspective(31, 0.1f, 2048, g.ctx.viewport)));
  // Left set for what follows.
  EXPECT_TRUE(sameBits(probe.seen[0].camera, g.ctx.camera));
}

TEST(ImageTargetCams, PerspectiveAndOrthographicShareTheOrbitCamera) {
  ImageGraph g;
  Operator& persp = g.op("ImageTargetCam");
  Operator& ortho = g.op("ImageOrthoTargetCam");
  for (Operator* op : {&persp, &ortho}) {
    setParam(*op, "Position.Y", 1);
    setParam(*op, "Yaw", 45);
    setParam(*op, "Pitch", 20);
  }
  setParam(ortho, "Height", 2);
  g.ctx.viewport = {0, 0, 30, 10};
  g.eval(persp, 0.0f);
  const Float4x4 perspCamera = g.ctx.camera;
  EXPECT_TRUE(sameBits(perspCamera, camera::orbit({0, 1, 0}, {0, 0, -1}, 45, 20, 0)));
  EXPECT_EQ(g.ctx.fov, 45.0f);

  g.ctx.fov = 33.0f;
  g.eval(ortho, 0.0f);
  EXPECT_TRUE(sameBits(g.ctx.camera, perspCamera));
  EXPECT_EQ(g.ctx.fov, 33.0f);  // an orthographic camera leaves the field of view alone
  EXPECT_EQ(g.ctx.zNear, 0.01f);
  EXPECT_EQ(g.ctx.zFar, 1024.0f);
  // Half height 2, half width 6 for a 3:1 viewport.
  EXPECT_NEAR(g.ctx.projection.at(1, 1), 0.5f, 1e-7f);
  EXPECT_NEAR(g.ctx.projection.at(0, 0), 1.0f / 6.0f, 1e-7f);
  EXPECT_EQ(g.ctx.projection.at(2, 3), 0.0f);
  EXPECT_EQ(g.ctx.projection.at(3, 3), 1.0f);
}

TEST(ImageCameraBlend, FactorZeroIsTheFirstCameraBitForBitAndOneTheSecond) {
  ImageGraph g;
  Operator& blend = g.op("ImageCameraBlend");
  Operator& cam1 = g.op("ImageCamera");
  Operator& cam2 = g.op("ImageTargetCam");
  ImageProbe& main = g.probe();
  // Looking along -X, the right axis is (0, -0, 1): a negative zero that a + (b - a) * 0 loses.
  setParam(cam1, "Direction.Y", 0), setParam(cam1, "Direction.Z", 0);
  setParam(cam1, "zFar", 100);
  setParam(cam2, "FOV", 90);
  g.connect(cam1, "ImageOut", blend, "Camera 1");
  g.connect(cam2, "OutScene", blend, "Camera 2");
  g.connect(main, "ImageOut", blend, "ImageMain");
  g.ctx.viewport = {0, 0, 16, 16};

  g.eval(cam1, 0.0f);
  const CameraBlock a = CameraBlock::of(g.ctx);
  g.eval(cam2, 0.0f);
  const CameraBlock b = CameraBlock::of(g.ctx);
  bool negativeZero = false;
  for (float v : a.camera.m) negativeZero = negativeZero || (v == 0.0f && std::signbit(v));
  EXPECT_TRUE(negativeZero) << "the first camera should hold a -0 for this check to mean something";

  g.eval(blend, 0.0f);
  ASSERT_EQ(main.seen.size(), 1u);
  const CameraBlock atZero = CameraBlock::of(g.ctx);
  EXPECT_EQ(std::memcmp(&atZero, &a, sizeof a), 0);
  EXPECT_TRUE(sameBits(main.seen[0].camera, a.camera));

  setParam(blend, "Blend Factor", 1);
  g.eval(blend, 0.0f);
  const CameraBlock atOne = CameraBlock::of(g.ctx);
  EXPECT_EQ(std::memcmp(&atOne, &b, sizeof b), 0);

  setParam(blend, "Blend Factor", 0.25f);
  g.eval(blend, 0.0f);
  for (int i = 0; i < 16; ++i) {
    EXPECT_FLOAT_EQ(g.ctx.camera.m[i], a.camera.m[i] + (b.camera.m[i] - a.camera.m[i]) * 0.25f);
    EXPECT_FLOAT_EQ(g.ctx.projection.m[i], a.projection.m[i] + (b.projection.m[i] - a.projection.m[i]) * 0.25f);
  }
  EXPECT_FLOAT_EQ(g.ctx.fov, 45.0f + 45.0f * 0.25f);
  EXPECT_FLOAT_EQ(g.ctx.zFar, 100.0f + 1948.0f * 0.25f);
}

TEST(Slots, SlotOutReadsWhatTheTableHoldsAndLeavesTheResultOtherwise) {
  SlotTable::instance().clear();
  ImageGraph g;
  Operator& out = g.op("SlotOut");
  setParam(out, "ID", 7);
  g.ctx.imageResult = marker(1);
  g.eval(out, 0.0f);
  EXPECT_EQ(g.ctx.imageResult, marker(1));
  SlotTable::instance().set(7, marker(5));
  SlotTable::instance().set(-2, marker(5));
  g.eval(out, 0.0f);
  EXPECT_EQ(g.ctx.imageResult, marker(5));

  // A target that is remade or dropped takes its entries along.
  SlotTable::instance().replace(marker(5), marker(6));
  EXPECT_EQ(SlotTable::instance().find(7), marker(6));
  EXPECT_EQ(SlotTable::instance().find(-2), marker(6));
  SlotTable::instance().replace(marker(6), nullptr);
  EXPECT_EQ(SlotTable::instance().size(), 0u);
  g.ctx.imageResult = marker(1);
  g.eval(out, 0.0f);
  EXPECT_EQ(g.ctx.imageResult, marker(1));
}

}  // namespace

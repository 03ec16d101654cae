// "Forward" on a device: its own depth buffer decides what is in front, the material reaches
// the shader, the picture it draws into sets the region, and it leaves the Context as it
// found it; without a picture or a shader it draws nothing.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/image/SceneGpuTest.h"

using namespace imagetest;

namespace {

class ForwardGpuTest : public SceneGpuTest {
 protected:
  ForwardGpuTest() {
    screenWidth = 24;
    screenHeight = 16;
  }

  // A coloured cube at depth z (camera at the origin looking along +Z), through a Material.
  Operator& colouredCube(float z, float r, float gr, float b) {
    Operator& mat = g.op("Material");
    setParam(mat, "Color.R", r), setParam(mat, "Color.G", gr), setParam(mat, "Color.B", b);
    Operator& tr = g.op("Transform");
    setParam(tr, "Position.Z", z);
    Operator& cube = g.op("Cube");
    g.feed(cube, tr);
    g.feed(tr, mat);
    return mat;
  }
  // Camera at the origin looking along +Z, drawing `scenes` in order through a Group.
  Operator& cameraOver(std::initializer_list<Operator*> scenes) {
    Operator& group = g.op("Group");
    for (Operator* s : scenes) g.connect(*s, "SceneOut", group, "InScene");
    Operator& cam = g.op("Camera");
    setParam(cam, "Position.X", 0), setParam(cam, "Position.Y", 0), setParam(cam, "Position.Z", 0);
    setParam(cam, "Direction.X", 0), setParam(cam, "Direction.Y", 0), setParam(cam, "Direction.Z", 1);
    g.feed(group, cam);
    return cam;
  }
  uint32_t centre(const std::vector<uint8_t>& px) { return rgba(px, screenWidth, screenWidth / 2, screenHeight / 2); }
};

TEST_F(ForwardGpuTest, ItsDepthBufferKeepsTheNearerSurfaceInFront) {
  Operator& fwd = forward();
  // The near red cube is drawn first, the far green one after it.
  Operator& cam = cameraOver({&colouredCube(3, 1, 0, 0), &colouredCube(5, 0, 1, 0)});
  g.connect(cam, "OutScene", fwd, "SceneIn");
  EXPECT_EQ(centre(picture(fwd)), packRgba(255, 0, 0, 255));
  // The corner stays as the Image cleared it.
  EXPECT_EQ(rgba(picture(fwd), screenWidth, 0, 0), packRgba(0, 0, 0, 255));
  // Once made, the depth buffer serves whatever "Depth" says later.
  setParam(fwd, "Depth", 0);
  EXPECT_EQ(centre(picture(fwd)), packRgba(255, 0, 0, 255));

  // A Forward that never had "Depth" on has no depth buffer: the later draw covers the earlier.
  Operator& flat = forward();
  setParam(flat, "Depth", 0);
  g.connect(cam, "OutScene", flat, "SceneIn");
  EXPECT_EQ(centre(picture(flat)), packRgba(0, 255, 0, 255));
  // Nor does a picture of another size than the buffer it made.
  Operator& resized = forward("data/shaders/forward/unlit.hlsl", 0, 0);
  g.connect(cam, "OutScene", resized, "SceneIn");
  EXPECT_EQ(centre(picture(resized)), packRgba(255, 0, 0, 255));
  setParam(resized, "Depth", 0);
  Operator& image = *resized.inputs[0].sources.at(0)->owner;
  setParam(image, "Size.X", 12), setParam(image, "Size.Y", 8);
  EXPECT_EQ(rgba(picture(resized), 12, 6, 4), packRgba(0, 255, 0, 255));
}

TEST_F(ForwardGpuTest, ASmallerPictureBecomesTheRegionAndEverythingIsPutBack) {
  Operator& fwd = forward("data/shaders/forward/headlight.hlsl", 8, 8);
  Operator& cam = cameraOver({&colouredCube(2, 1, 1, 1)});
  g.connect(cam, "OutScene", fwd, "SceneIn");
  Context before = g.ctx;
  Texture* texture = nullptr;
  const std::vector<uint8_t> px = picture(fwd, &texture);
  ASSERT_NE(texture, nullptr);
  EXPECT_EQ(texture->width(), 8u);
  // The camera inside saw a square region: the cube's face (1 unit at distance 1.5 with a
  // 45 degree field of view) fills the same share of both directions.
  int wide = 0, high = 0;
  for (uint32_t i = 0; i < 8; ++i) {
    wide += (rgba(px, 8, i, 4) & 0xFF) > 128;
    high += (rgba(px, 8, 4, i) & 0xFF) > 128;
  }
  EXPECT_EQ(wide, high);
  EXPECT_GT(wide, 2);
  EXPECT_LT(wide, 8);

  // Camera, region, program, pass, depth target and world are back as they were.
  EXPECT_EQ(g.ctx.viewport, before.viewport);
  EXPECT_EQ(g.ctx.shader, before.shader);
  EXPECT_EQ(g.ctx.scenePass, before.scenePass);
  EXPECT_EQ(g.ctx.frameDepthTarget, before.frameDepthTarget);
  EXPECT_EQ(std::memcmp(g.ctx.camera.m, before.camera.m, sizeof before.camera.m), 0);
  EXPECT_EQ(std::memcmp(g.ctx.projection.m, before.projection.m, sizeof before.projection.m), 0);
  EXPECT_EQ(std::memcmp(g.ctx.world.m, before.world.m, sizeof before.world.m), 0);
  EXPECT_EQ(g.ctx.fov, before.fov);
  EXPECT_EQ(g.ctx.imageResult, texture);
}

TEST_F(ForwardGpuTest, WithoutAPictureOrAShaderItDrawsNothing) {
  // No image input: the picture stays what it was.
  Operator& lone = g.op("Forward");
  setText(lone, "Shader", "data/shaders/forward/unlit.hlsl");
  Operator& cam = cameraOver({&colouredCube(3, 1, 0, 0)});
  g.connect(cam, "OutScene", lone, "SceneIn");
  Texture* marked = g.ctx.gbuffer[0];
  g.ctx.imageResult = marked;
  g.eval(lone, 0.0f);
  EXPECT_EQ(g.ctx.imageResult, marked);

  // A shader file that does not load leaves the operator inert, and is not tried again.
  Operator& broken = forward("data/shaders/forward/missing.hlsl");
  g.connect(cam, "OutScene", broken, "SceneIn");
  testing::internal::CaptureStderr();
  g.ctx.imageResult = marked;
  g.eval(broken, 0.0f);
  const std::string first = testing::internal::GetCapturedStderr();
  EXPECT_EQ(g.ctx.imageResult, marked);
  EXPECT_NE(first.find("Forward: shader file data/shaders/forward/missing.hlsl"), std::string::npos) << first;
  testing::internal::CaptureStderr();
  g.eval(broken, 0.0f);
  const std::string second = testing::internal::GetCapturedStderr();
  EXPECT_EQ(second.find("missing.hlsl"), std::string::npos) << second;
  EXPECT_EQ(g.ctx.imageResult, marked);
}

}  // namespace

// "Transparency" on a device: the transparent sphere is laid over the input picture where it
// covers the screen and nowhere else, at full and at half resolution (stretched back over the
// same place, also for a region away from the corner); its surface goes into G-buffer target 1
// and the depth target; a picture left from an earlier evaluation does not show through; 0 %
// draws nothing; the G-buffer program is the Context's shader afterwards.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "scene/LightPasses.h"
#include "tests/scene/LightingGpuSupport.h"

namespace {

using lightref::HalfImage;

class TransparencyGpuTest : public LightingGpuTest {
 protected:
  const Float4 kBackground{0.2f, 0.3f, 0.4f, 1.0f};

  // A Transparency over a cleared picture, its scene a sphere of radius 1 at sphereCentre.
  Operator& transparency() {
    Operator& op = makeOp(*graph, "Transparency");
    input = texture(0x50304, kSize, kSize, 0x10009);
    auto& image = addOp<FakeImageOp>(*graph, input);
    connectOrThrow(*graph, image, "ImageOut", op, "ImageIn");
    const Mesh* sphere = sphereMesh(32);
    auto& scene = addOp<ProbeSceneOp>(*graph, [this, sphere](float, Context& c) {
      c.world = mat::translation(sphereCentre);
      c.worldPrev = c.world;
      c.baseColor = {1.0f, 0.1f, 0.1f, 0.5f};
      c.gbufferRenderer->DrawMesh(*sphere, c);
      c.world = Float4x4::identity();
      c.worldPrev = c.world;
    });
    connectOrThrow(*graph, scene, "SceneOut", op, "SceneIn");
    return op;
  }

  // One frame: the opaque scene (if any) and the operator over the cleared input picture.
  HalfImage run(Operator& op, float percent) {
    newFrame();
    ctx.viewport = region;
    if (opaque) opaque();
    const float colour[4] = {kBackground.x, kBackground.y, kBackground.z, kBackground.w};
    clearTexture(device(), input, colour);
    setParam(op, "Screen %", percent);
    ctx.imageResult = nullptr;
    op.outputs[0].evaluate(0.0f, ctx);
    EXPECT_EQ(ctx.imageResult, input);
    return HalfImage(readBack(input), kSize, kSize);
  }

  // The far point of the ray through pixel (x, y) of the region.
  Float3 farPoint(uint32_t x, uint32_t y) {
    const Float4x4 invViewProj = mat::inverse(mat::rigidInverse(ctx.camera) * ctx.projection);
    const float u = (float(x) + 0.5f - float(region.left)) / float(region.right - region.left);
    const float v = (float(y) + 0.5f - float(region.top)) / float(region.bottom - region.top);
    return mat::transformPoint({u * 2 - 1, 1 - v * 2, 1}, invViewProj);
  }

  bool inRegion(uint32_t x, uint32_t y) const {
    return int32_t(x) >= region.left && int32_t(x) < region.right && int32_t(y) >= region.top &&
           int32_t(y) < region.bottom;
  }

  // How far the ray through pixel (x, y) passes from the sphere's centre.
  float rayDistance(uint32_t x, uint32_t y, Float3 centre) {
    Float3 d = normalize(farPoint(x, y) - eye);
    Float3 rel = centre - eye;
    float t = dot(rel, d);
    return std::sqrt(std::max(dot(rel, rel) - t * t, 0.0f));
  }

  bool isBackground(Float4 p) {
    return std::fabs(p.x - kBackground.x) < 1e-3f && std::fabs(p.y - kBackground.y) < 1e-3f &&
           std::fabs(p.z - kBackground.z) < 1e-3f;
  }

  // The frame's depth target as grey levels.
  HalfImage frameDepth() {
    Texture* grey = texture(0x50304, kSize, kSize, 0x10009);
    copyPass(grey, ctx.frameDepthTarget, Viewport{0, 0, int32_t(kSize), int32_t(kSize)}, RenderStateDesc::zeroed(), true);
    return HalfImage(readBack(grey), kSize, kSize);
  }

  // Expects the sphere over the input picture where it covers the region, and the input
  // alone elsewhere.
  void expectSphereOver(const HalfImage& out, float percent, Float3 centre) {
    // At half size the picture is drawn at half resolution and stretched: the disc's edge
    // may move by a pixel or two of the full picture.
    const float margin = percent == 100.0f ? 0.04f : 0.12f;
    int covered = 0, uncovered = 0;
    for (uint32_t y = 0; y < kSize; ++y)
      for (uint32_t x = 0; x < kSize; ++x) {
        Float4 p = out.at(x, y);
        float h = inRegion(x, y) ? rayDistance(x, y, centre) : 1e9f;
        if (h < 1.0f - margin) {
          ++covered;
          EXPECT_FALSE(isBackground(p)) << percent << "% pixel " << x << "," << y;
          EXPECT_GT(p.x, kBackground.x) << percent << "% pixel " << x << "," << y;  // reddened
        } else if (h > 1.0f + margin) {
          ++uncovered;
          EXPECT_TRUE(isBackground(p)) << percent << "% pixel " << x << "," << y;
        }
      }
    EXPECT_GT(covered, 40) << percent;
    EXPECT_GT(uncovered, 300) << percent;
  }

  Texture* input = nullptr;
  Float3 sphereCentre{0, 0, 0};
  Viewport region{0, 0, int32_t(kSize), int32_t(kSize)};
  std::function<void()> opaque;  // drawn at the start of every frame
};

TEST_F(TransparencyGpuTest, TheSphereIsLaidOverWhereItCoversTheScreenAtFullAndHalfSize) {
  const Float3 centre{0.6f, -0.3f, 0.0f};
  sphereCentre = centre;
  Operator& op = transparency();
  for (float percent : {100.0f, 50.0f, 150.0f}) {  // above 100 % is 100 %
    expectSphereOver(run(op, percent), std::min(percent, 100.0f), centre);
    if (percent != 100.0f) continue;
    // The surface went into G-buffer target 1 (the nearest point of the sphere, in view
    // space) and into the depth target that later passes read.
    Float4 n = gbuffer(1).at(kSize / 2 + 5, kSize / 2 + 2);
    EXPECT_LT(n.w, 4.0f);
    EXPECT_GT(n.w, 3.0f);
    const HalfImage depth = frameDepth();
    EXPECT_LT(depth.at(kSize / 2 + 5, kSize / 2 + 2).x, 0.99f);
    EXPECT_EQ(depth.at(1, 1).x, 1.0f);
  }
}

TEST_F(TransparencyGpuTest, AtHalfSizeARegionAwayFromTheCornerIsScaledAsAWhole) {
  // The region is the lower right quarter; at 50 % the private picture holds the sphere in
  // the region with every coordinate halved, and the stretched copy puts it back in place.
  region = Viewport{int32_t(kSize / 2), int32_t(kSize / 2), int32_t(kSize), int32_t(kSize)};
  Operator& op = transparency();
  expectSphereOver(run(op, 100.0f), 100.0f, sphereCentre);
  expectSphereOver(run(op, 50.0f), 50.0f, sphereCentre);
  auto* f = dynamic_cast<TransparencyPassOp::TransparencyFunction*>(op.outputs[0].source.get());
  ASSERT_NE(f, nullptr);
  const HalfImage own(readBack(f->target), f->target->width(), f->target->height());
  int drawn = 0;
  for (uint32_t y = 0; y < f->target->height(); ++y)
    for (uint32_t x = 0; x < f->target->width(); ++x) {
      const bool inside = x >= kSize / 4 && x < kSize / 2 && y >= kSize / 4 && y < kSize / 2;
      const Float4 p = own.at(x, y);
      if (!inside)
        ASSERT_EQ(p.x + p.y + p.z + p.w, 0.0f) << x << "," << y;
      else if (p.w > 0.0f)
        ++drawn;
    }
  EXPECT_GT(drawn, 10);
}

TEST_F(TransparencyGpuTest, TheGBufferProgramIsTheShaderAfterwards) {
  Operator& op = transparency();
  ShaderProgram other(device());
  ctx.shader = &other;
  op.outputs[0].evaluate(0.0f, ctx);
  EXPECT_EQ(ctx.shader, ctx.gbufferRenderer->gbufferProgram.get());
}

TEST_F(TransparencyGpuTest, OpaqueGeometryInFrontHidesItAtFullAndHalfSize) {
  // A wall nearer than the sphere over the left half of the picture (x < 0).
  const Mesh* quad = quadMesh();
  opaque = [&] {
    draw(quad, mat::scaling({10, 1, 10}) * mat::rotationX(-90.0f * kDegToRad) * mat::translation({-5, 0, -2}),
         Material{});
  };
  const Float3 centre{0.4f, 0.0f, 0.0f};
  sphereCentre = centre;
  Operator& op = transparency();
  for (float percent : {100.0f, 50.0f}) {
    HalfImage out = run(op, percent);
    const float margin = percent == 100.0f ? 0.04f : 0.12f;
    int hidden = 0, shown = 0;
    for (uint32_t y = 0; y < kSize; ++y)
      for (uint32_t x = 0; x < kSize; ++x) {
        if (rayDistance(x, y, centre) > 1.0f - margin) continue;  // not on the sphere
        // Where the pixel's ray crosses the wall's plane (z = -2): left of x = 0 it is hidden.
        Float3 d = normalize(farPoint(x, y) - eye);
        float wallX = eye.x + d.x * (-2.0f - eye.z) / d.z;
        if (std::fabs(wallX) < 0.15f) continue;  // the wall's edge, give or take a pixel
        if (wallX < 0) {
          ++hidden;
          EXPECT_TRUE(isBackground(out.at(x, y))) << percent << "% pixel " << x << "," << y;
        } else {
          ++shown;
          EXPECT_FALSE(isBackground(out.at(x, y))) << percent << "% pixel " << x << "," << y;
        }
      }
    EXPECT_GT(hidden, 25) << percent;
    EXPECT_GT(shown, 40) << percent;
  }
}

TEST_F(TransparencyGpuTest, NothingOldShowsThroughAndZeroPercentDrawsNothing) {
  Operator& op = transparency();
  EXPECT_FALSE(isBackground(run(op, 100.0f).at(kSize / 2, kSize / 2)));
  // The sphere moves out of the picture: last evaluation's sphere must not stay.
  sphereCentre = {30.0f, 30.0f, 0.0f};
  HalfImage out = run(op, 100.0f);
  EXPECT_TRUE(isBackground(out.at(kSize / 2, kSize / 2)));
  sphereCentre = {0, 0, 0};
  HalfImage none = run(op, 0.0f);
  for (uint32_t y = 0; y < kSize; ++y)
    for (uint32_t x = 0; x < kSize; ++x) ASSERT_TRUE(isBackground(none.at(x, y))) << x << "," << y;
}

}  // namespace

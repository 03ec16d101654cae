// Decals and ray marching into the G-buffer on a device: a decal changes exactly the
// emissive pixels whose surface lies inside its box (by the amount its colour says), and a
// ray-marched scene writes surfaces that rasterised geometry hides or is hidden by, by depth.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "scene/Decals.h"
#include "tests/scene/LightingGpuSupport.h"

namespace {

using lightref::HalfImage;

// A picture input that renders its own view: it leaves the Context's camera, projection and
// world on what it rendered with.
class OwnViewImageOp : public Operator {
 public:
  explicit OwnViewImageOp(Texture* image) : picture(image) {
    addOutput("ImageOut", PortType::Image, std::make_unique<Fn>(this));
    linkOutput();
  }
  struct Fn : Function {
    explicit Fn(OwnViewImageOp* o) : op(o) {}
    void evaluate(float, const std::vector<Port*>&, Context& ctx) override {
      ctx.camera = mat::translation({3, 1, -2});
      ctx.projection = mat::perspectiveFovDegrees(90.0f, 1.0f, 0.5f, 20.0f);
      ctx.world = mat::scaling({0.2f, 0.2f, 0.2f});
      ctx.imageResult = op->picture;
    }
    OwnViewImageOp* op;
  };
  Texture* picture;
};

class DecalGpuTest : public LightingGpuTest {
 protected:
  // The plane drawn, then the decal operator evaluated with the decal's world matrix; returns
  // the emissive target.
  HalfImage decalOver(Operator& decal, const Float4x4& decalWorld) {
    const Mesh* quad = quadMesh();
    Material m;
    draw(quad, mat::scaling({14, 1, 14}), m);
    ctx.world = decalWorld;
    decal.outputs[0].evaluate(0.0f, ctx);
    ctx.world = Float4x4::identity();
    return gbuffer(3);
  }

  Operator& decalOperator(const char* type, bool ownView = false) {
    Operator& decal = makeOp(*graph, type);
    const uint8_t white[4 * 4 * 4] = {255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                                      255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                                      255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                                      255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255};
    Texture* picture = texture(0x10204, 4, 4, 0x10101, white);
    Operator& image = ownView ? static_cast<Operator&>(addOp<OwnViewImageOp>(*graph, picture))
                              : static_cast<Operator&>(addOp<FakeImageOp>(*graph, picture));
    connectOrThrow(*graph, image, "ImageOut", decal, "ImageIn");
    setParam(decal, "EmissiveColor.R", 0.5f);
    setParam(decal, "EmissiveColor.G", 0.25f);
    setParam(decal, "EmissiveColor.B", 1.0f);
    return decal;
  }

  // Every plane pixel: inside the box (with a margin of 3% of its size on each side) the
  // emissive target holds `inside`, outside (with the same margin) nothing.
  void expectOnlyInside(const HalfImage& emissive, Float3 boxLo, Float3 boxHi, Float3 inside) {
    std::vector<Surfel> g = surfels();
    const Float3 margin = (boxHi - boxLo) * 0.03f;
    int in = 0, out = 0;
    for (uint32_t i = 0; i < kSize * kSize; ++i) {
      if (!g[i].geometry) continue;
      const Float3 p = g[i].position;
      const bool clearlyIn = p.x > boxLo.x + margin.x && p.x < boxHi.x - margin.x && p.z > boxLo.z + margin.z &&
                             p.z < boxHi.z - margin.z;
      const bool clearlyOut = p.x < boxLo.x - margin.x || p.x > boxHi.x + margin.x || p.z < boxLo.z - margin.z ||
                              p.z > boxHi.z + margin.z;
      Float4 e = emissive.at(i % kSize, i / kSize);
      if (clearlyIn) {
        ++in;
        EXPECT_NEAR(e.x, inside.x, 0.01f) << i;
        EXPECT_NEAR(e.y, inside.y, 0.01f) << i;
        EXPECT_NEAR(e.z, inside.z, 0.01f) << i;
      } else if (clearlyOut) {
        ++out;
        EXPECT_EQ(e.x + e.y + e.z, 0.0f) << i;
      }
    }
    EXPECT_GT(in, 150);
    EXPECT_GT(out, 300);
  }
};

TEST_F(DecalGpuTest, ABoxDecalAddsItsLightOnlyInsideTheBox) {
  setCamera({0, 6, -5}, {0, 0, 0.5f}, 50.0f);
  Operator& decal = decalOperator("Decal");
  setParam(decal, "Brightness", 2.0f);
  // The unit box scaled (3, 2, 2) around (1, 0, 0.5): it cuts the plane at y = 0.
  HalfImage e = decalOver(decal, mat::scaling({3, 2, 2}) * mat::translation({1, 0, 0.5f}));
  expectOnlyInside(e, {-0.5f, -1, -0.5f}, {2.5f, 1, 1.5f}, {1.0f, 0.5f, 2.0f});
}

TEST_F(DecalGpuTest, AFullScreenDecalDoesTheSameWithoutBrightness) {
  setCamera({0, 6, -5}, {0, 0, 0.5f}, 50.0f);
  Operator& decal = decalOperator("FSDecal");
  HalfImage e = decalOver(decal, mat::scaling({2, 2, 3}) * mat::translation({-1, 0, 0}));
  expectOnlyInside(e, {-2, -1, -1.5f}, {0, 1, 1.5f}, {0.5f, 0.25f, 1.0f});
}

TEST_F(DecalGpuTest, APictureInputThatRendersItsOwnViewDoesNotMoveTheDecal) {
  for (const char* type : {"Decal", "FSDecal"}) {
    SCOPED_TRACE(type);
    newFrame();
    setCamera({0, 6, -5}, {0, 0, 0.5f}, 50.0f);
    Operator& decal = decalOperator(type, true);
    HalfImage e = decalOver(decal, mat::scaling({3, 2, 2}) * mat::translation({1, 0, 0.5f}));
    setCamera({0, 6, -5}, {0, 0, 0.5f}, 50.0f);  // the surfaces are found with the frame's camera
    expectOnlyInside(e, {-0.5f, -1, -0.5f}, {2.5f, 1, 1.5f}, {0.5f, 0.25f, 1.0f});
  }
}

TEST_F(DecalGpuTest, ADecalWithTheCameraInsideItsBoxStillShows) {
  // The box surrounds the eye: only its inner faces can be drawn.
  setCamera({0, 3, -2}, {0, 0, 0}, 60.0f);
  Operator& decal = decalOperator("Decal");
  HalfImage e = decalOver(decal, mat::scaling({6, 6, 6}) * mat::translation({0, 2, -1}));
  expectOnlyInside(e, {-3, -1, -4}, {3, 5, 2}, {0.5f, 0.25f, 1.0f});
}

TEST_F(DecalGpuTest, RayMarchedBlobsMixWithRasterisedGeometryByDepth) {
  setCamera({0, 1, -5}, {0, 1, 0}, 45.0f);
  Operator& march = makeOp(*graph, "RayMarching");
  setText(march, "Filepath", "data/shaders/raymarch/blobs.hlsl");
  setParam(march, "Param1.X", 0.2f);  // albedo (0.2, 1, 1)
  setParam(march, "Param2.W", 0.0f);  // not moving
  const Mesh* quad = quadMesh();
  Material wall;
  wall.albedo = {0.9f, 0.1f, 0.1f};
  // A wall far behind the blobs, the blobs, then a wall in front of them over the left half.
  const Float4x4 upright = mat::rotationX(-90.0f * kDegToRad);
  draw(quad, mat::scaling({20, 1, 20}) * upright * mat::translation({0, 1, 6}), wall);
  march.outputs[0].evaluate(0.0f, ctx);
  draw(quad, mat::scaling({10, 1, 10}) * upright * mat::translation({-5, 1, -2}), wall);

  HalfImage albedo = gbuffer(0), normal = gbuffer(1);
  const uint32_t mid = kSize / 2;
  // Right of the centre: a blob, nearer than the far wall.
  Float4 a = albedo.at(mid + 2, mid), n = normal.at(mid + 2, mid);
  EXPECT_NEAR(a.x, 0.2f, 0.01f);
  EXPECT_NEAR(a.y, 1.0f, 0.01f);
  EXPECT_GT(n.w, 3.0f);
  EXPECT_LT(n.w, 6.0f);
  EXPECT_NEAR(length({n.x, n.y, n.z}), 1.0f, 0.01f);
  // The right corner: no blob there, the far wall shows.
  EXPECT_NEAR(albedo.at(kSize - 2, 2).x, 0.9f, 0.01f);
  EXPECT_NEAR(normal.at(kSize - 2, 2).w, 11.0f, 0.1f);
  // Left of the centre: the near wall hides the blobs.
  EXPECT_NEAR(albedo.at(mid - 3, mid).x, 0.9f, 0.01f);
  EXPECT_NEAR(normal.at(mid - 3, mid).w, 3.0f, 0.05f);
}

}  // namespace

// Where a sprite lands: sizes referred to a 1920 x 1080 frame, and the point of the sprite
// each pivot puts at "Position".
#include <gtest/gtest.h>

#include <cmath>

#include "image/Compositing.h"

namespace {

// The rectangle as left, top, right, bottom in pixels (y down).
struct Box {
  float left, top, right, bottom;
};
Box box(const SpriteRect& r) { return Box{r.x0, r.y0 - r.h, r.x0 + r.w, r.y0}; }

}  // namespace

TEST(SpritePlacement, OneTexelPerPixelOnAFullHdFrameAndScaledByHeightElsewhere) {
  const SpriteRect hd = spriteRect(1920, 1080, 200, 100, 0, 0, 1, 1, 0);
  EXPECT_NEAR(hd.sx, 1.0f, 1e-5f);
  EXPECT_NEAR(hd.sy, 1.0f, 1e-5f);
  // A 1080-line texture fills a 720-line frame's height; 1920 columns its width.
  const SpriteRect small = spriteRect(1280, 720, 1920, 1080, 0, 0, 1, 1, 0);
  EXPECT_NEAR(small.h, 720.0f, 1e-2f);
  EXPECT_NEAR(small.w, 1280.0f, 1e-2f);
  // Scale works per axis; the frame's shape does not change a texel's shape.
  const SpriteRect wide = spriteRect(2560, 1080, 10, 10, 0, 0, 2, 3, 0);
  EXPECT_NEAR(wide.w, 20.0f, 1e-3f);
  EXPECT_NEAR(wide.h, 30.0f, 1e-3f);
}

TEST(SpritePlacement, EachPivotPutsItsPointAtThePosition) {
  // Position (0.5, -0.5) is pixel (1440, 270) of a 1920 x 1080 frame; the sprite is 200 x 100.
  const float px = 1440, py = 270;
  const Box expected[9] = {
      {px - 100, py - 50, px + 100, py + 50},  // Center: centred on the point
      {px - 200, py - 50, px, py + 50},        // Left: lies to the left of it
      {px, py - 50, px + 200, py + 50},        // Right: to the right
      {px - 100, py - 100, px + 100, py},      // Bottom: above it (its bottom edge on the point)
      {px - 200, py - 100, px, py},            // BottomLeft
      {px, py - 100, px + 200, py},            // BottomRight
      {px - 100, py, px + 100, py + 100},      // Top: below it (its top edge on the point)
      {px - 200, py, px, py + 100},            // TopLeft
      {px, py, px + 200, py + 100},            // TopRight
  };
  for (int pivot = 0; pivot < 11; ++pivot) {
    const Box b = box(spriteRect(1920, 1080, 200, 100, 0.5f, -0.5f, 1, 1, pivot));
    const Box& e = expected[pivot < 9 ? pivot : 0];  // other values act as Center
    EXPECT_NEAR(b.left, e.left, 0.01f) << pivot;
    EXPECT_NEAR(b.top, e.top, 0.01f) << pivot;
    EXPECT_NEAR(b.right, e.right, 0.01f) << pivot;
    EXPECT_NEAR(b.bottom, e.bottom, 0.01f) << pivot;
  }
}

TEST(SpritePlacement, NothingToDrawWithoutPixelsAndNoDivisionByZero) {
  EXPECT_TRUE(spriteRect(0, 1080, 10, 10, 0, 0, 1, 1, 0).empty());
  EXPECT_TRUE(spriteRect(1920, 0, 10, 10, 0, 0, 1, 1, 0).empty());
  EXPECT_TRUE(spriteRect(1920, 1080, 0, 10, 0, 0, 1, 1, 0).empty());
  EXPECT_TRUE(spriteRect(1920, 1080, 10, 10, 0, 0, 0, 1, 0).empty());
  EXPECT_TRUE(spriteRect(1920, 1080, 10, 10, NAN, 0, 1, 1, 0).empty());
  EXPECT_FALSE(spriteRect(1920, 1080, 10, 10, 0, 0, -1, 1, 0).empty()) << "a negative scale mirrors";
}

TEST(SpritePlacement, TheScreenMatrixTakesTheUnitSquareToTheRectangleInClipSpace) {
  const SpriteRect r = spriteRect(1280, 720, 64, 32, -0.25f, 0.5f, 2, 2, 0);
  const Float4x4 m = spriteScreenMatrix(r, 1280, 720);
  auto clip = [&](float u, float v) { return mat::transform(Float4{u, v, 0, 1}, m); };
  // Corner (0, 0) is the origin (left edge, bottom edge); (1, -1) the right, top corner.
  const Float4 a = clip(0, 0), b = clip(1, -1);
  EXPECT_NEAR(a.x, r.x0 / 640.0f - 1.0f, 1e-5f);
  EXPECT_NEAR(a.y, 1.0f - r.y0 / 360.0f, 1e-5f);
  EXPECT_NEAR(b.x, (r.x0 + r.w) / 640.0f - 1.0f, 1e-5f);
  EXPECT_NEAR(b.y, 1.0f - (r.y0 - r.h) / 360.0f, 1e-5f);
  EXPECT_EQ(a.w, 1.0f);
}

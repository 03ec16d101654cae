#pragma once
// A device fixture for drawing scenes: an offscreen screen, the Context's targets and its
// G-buffer renderer, and a graph with every scene and image operator registered.
#include <string>

#include "engine/Globals.h"
#include "scene/FrameSetup.h"
#include "scene/SceneContext.h"
#include "tests/gfx/support/GpuTestSupport.h"
#include "tests/image/ImageTestSupport.h"

class SceneGpuTest : public ScreenGpuTest {
 protected:
  void SetUp() override {
    ScreenGpuTest::SetUp();
    isLoading = false;
    initContextTargets(g.ctx, device(), screen());
    ASSERT_TRUE(initSceneContext(g.ctx, device()));
    g.ctx.viewport = Viewport{0, 0, int32_t(screenWidth), int32_t(screenHeight)};
    beginFrame(g.ctx, screenWidth, screenHeight, true, true);
  }
  void TearDown() override {
    device()->waitIdle();
    g.graph.reset();
    releaseSceneContext(g.ctx);
    releaseContextTargets(g.ctx);
    ScreenGpuTest::TearDown();
  }

  static void setText(Operator& op, const std::string& port, const std::string& value) {
    static_cast<Text*>(op.findPort(port)->source->value())->value = value;
  }
  // Image (black, opaque, 8 bits a channel, sizeX x sizeY; 0 is the window's) feeding a
  // Forward with `shader`; the Forward's scene input is left to the test.
  Operator& forward(const std::string& shader = "data/shaders/forward/unlit.hlsl", float sizeX = 0,
                    float sizeY = 0) {
    Operator& image = g.op("Image");
    setParam(image, "Format", 1);
    setParam(image, "Clear.A", 1);
    setParam(image, "Size.X", sizeX);
    setParam(image, "Size.Y", sizeY);
    Operator& fwd = g.op("Forward");
    setText(fwd, "Shader", shader);
    g.connect(image, "ImageOut", fwd, "ImageIn");
    return fwd;
  }
  // Evaluates output 0 of `op` and reads back the picture it leaves (RGBA8).
  std::vector<uint8_t> picture(Operator& op, Texture** texture = nullptr) {
    g.ctx.imageResult = nullptr;
    g.eval(op, 0.0f);
    if (texture) *texture = g.ctx.imageResult;
    return g.ctx.imageResult ? readBack(g.ctx.imageResult) : std::vector<uint8_t>{};
  }

  imagetest::ImageGraph g;
};

#pragma once
// For the suites of the compositing, generator, screen-space and recording operators: the
// post-processing fixture plus the scene half of the Context (its quad mesh and white
// texture), text parameters, and pixels by position.
#include <string>

#include "scene/SceneContext.h"
#include "tests/image/PostTestSupport.h"

class ImageOpGpuTest : public PostGpuTest {
 protected:
  explicit ImageOpGpuTest(uint32_t size = 16) : PostGpuTest(size) {}

  void SetUp() override {
    PostGpuTest::SetUp();
    ASSERT_TRUE(initSceneContext(context, device()));
  }
  void TearDown() override {
    device()->waitIdle();
    graph.operators.clear();
    releaseSceneContext(context);
    PostGpuTest::TearDown();
  }

  static void setText(Operator& op, const std::string& port, const std::string& value) {
    Port* p = op.findPort(port);
    if (!p) throw std::runtime_error("no port " + port);
    static_cast<Text*>(p->source->value())->value = value;
  }
  static Pixel at(const std::vector<Pixel>& p, uint32_t width, uint32_t x, uint32_t y) {
    return p[size_t(y) * width + x];
  }
  // Evaluates `op` with `entry` as the picture current when it starts.
  Texture* runOn(Operator& op, Texture* entry, float t = 0.0f) {
    context.imageResult = entry;
    return run(op, t);
  }
};

// The GPU timer around spans of recorded work: one result per span, spans that enclose others
// measure at least as long, a frame's spans are reused without new GPU objects, and a span
// left open or a frame with more spans than the timer holds never yields made-up figures.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "gfx/GpuTimer.h"
#include "tests/gfx/support/GpuTestSupport.h"

namespace {

class GpuTimerGpuTest : public ScreenGpuTest {
 protected:
  void copies(Texture* to, Texture* from, int n) {
    for (int i = 0; i < n; ++i) copyPass(to, from, PixelRect{0, 0, 64, 64}, opaque(), false);
  }
};

TEST_F(GpuTimerGpuTest, SpansReportTheirOwnDurationsFrameAfterFrame) {
  std::unique_ptr<GpuTimer> timer = GpuTimer::create(device(), 3);
  ASSERT_TRUE(timer) << "lavapipe writes timestamps";
  Texture* a = texture(format::RGBA16F, 64, 64, 0x10009);
  Texture* b = texture(format::RGBA16F, 64, 64, 0x10009);
  uint64_t createdAfterFirstFrame = 0;
  for (int frame = 0; frame < 3; ++frame) {
    timer->beginFrame();
    const int outer = timer->begin();
    copies(b, a, 2);
    const int inner = timer->begin();
    copies(a, b, 3);
    timer->end(inner);
    timer->end(outer);
    const int last = timer->begin();
    timer->end(last);
    EXPECT_EQ(timer->begin(), -1);  // three spans a frame
    EXPECT_EQ(timer->spansThisFrame(), 3u);
    device()->waitIdle();
    std::vector<double> ms;
    ASSERT_TRUE(timer->read(ms));
    ASSERT_EQ(ms.size(), 3u);
    for (double v : ms) EXPECT_TRUE(std::isfinite(v) && v >= 0.0) << v;
    EXPECT_GE(ms[size_t(outer)], ms[size_t(inner)]);
    if (frame == 0) createdAfterFirstFrame = device()->counters().total();
  }
  EXPECT_EQ(device()->counters().total(), createdAfterFirstFrame);
}

TEST_F(GpuTimerGpuTest, ASpanLeftOpenGivesNoFigures) {
  std::unique_ptr<GpuTimer> timer = GpuTimer::create(device(), 2);
  ASSERT_TRUE(timer);
  std::vector<double> ms{1.0};
  timer->beginFrame();
  ASSERT_TRUE(timer->read(ms));  // nothing opened: nothing to report
  EXPECT_TRUE(ms.empty());
  timer->begin();
  const int open = timer->begin();
  timer->end(0);
  (void)open;
  device()->waitIdle();
  EXPECT_FALSE(timer->read(ms));
  EXPECT_TRUE(ms.empty());
}

}  // namespace

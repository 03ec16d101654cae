// "PixelSorting" against a CPU sort of the same runs: the output pixels are copies of input
// pixels, so rows and columns must match exactly.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "image/ImagePass.h"
#include "tests/image/ImageOpTestSupport.h"

namespace {

using posttest::fromHalf;
using posttest::Pixel;
using posttest::toHalf;

Pixel q(Pixel p) { return Pixel{fromHalf(toHalf(p.r)), fromHalf(toHalf(p.g)), fromHalf(toHalf(p.b)), fromHalf(toHalf(p.a))}; }

bool same(const Pixel& a, const Pixel& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct SortRule {
  float blackVal = 0.1f;
  bool white = false;
  bool invert = false;
  bool average = true;
};

float value(const Pixel& p, const SortRule& r) {
  return r.average ? (p.r + p.g + p.b) / 3.0f : 0.2126f * p.r + 0.7152f * p.g + 0.0722f * p.b;
}

// One line sorted the way the programs are meant to: runs of members (above the threshold,
// or below it in white mode), each stably sorted by value.
std::vector<Pixel> sortLine(const std::vector<Pixel>& line, const SortRule& r) {
  std::vector<Pixel> out = line;
  size_t i = 0;
  while (i < line.size()) {
    auto member = [&](size_t k) {
      const float v = value(line[k], r);
      return r.white ? v < r.blackVal : v > r.blackVal;
    };
    if (!member(i)) {
      ++i;
      continue;
    }
    size_t end = i;
    do {
      ++end;
    } while (end < line.size() && member(end));
    std::stable_sort(out.begin() + long(i), out.begin() + long(end), [&](const Pixel& a, const Pixel& b) {
      return r.invert ? value(a, r) > value(b, r) : value(a, r) < value(b, r);
    });
    i = end;
  }
  return out;
}

// Sorts the rows (or columns) of the region of a w-wide picture.
std::vector<Pixel> sortRegion(std::vector<Pixel> p, uint32_t w, const Viewport& vp, bool rows, const SortRule& r) {
  const int lines = rows ? vp.bottom - vp.top : vp.right - vp.left;
  const int length = rows ? vp.right - vp.left : vp.bottom - vp.top;
  for (int l = 0; l < lines; ++l) {
    std::vector<Pixel> line(static_cast<size_t>(length));
    auto index = [&](int i) {
      return rows ? size_t(vp.top + l) * w + size_t(vp.left + i) : size_t(vp.top + i) * w + size_t(vp.left + l);
    };
    for (int i = 0; i < length; ++i) line[size_t(i)] = p[index(i)];
    line = sortLine(line, r);
    for (int i = 0; i < length; ++i) p[index(i)] = line[size_t(i)];
  }
  return p;
}

// Random colours with a dark pixel now and then, so that lines break into runs.
std::vector<Pixel> scene(uint32_t count, uint32_t seed) {
  std::vector<Pixel> out(count);
  uint32_t s = seed * 747796405u + 1;
  auto next = [&s] {
    s = s * 1664525u + 1013904223u;
    return float(s >> 8) / 16777216.0f;
  };
  for (Pixel& p : out) {
    const float scale = next() < 0.2f ? 0.1f : 1.0f;
    p = q(Pixel{next() * scale, next() * scale, next() * scale, next()});
  }
  return out;
}

}  // namespace

class PixelSortingGpuTest : public ImageOpGpuTest {
 protected:
  PixelSortingGpuTest() : ImageOpGpuTest(32) {}

  Operator& sorter(Texture* input, const SortRule& r, bool horizontal, bool vertical) {
    Operator& op = effect("PixelSorting");
    feed(pictureOp(input), op);
    setParam(op, "BlackVal", r.blackVal);
    setParam(op, "Mode", r.white ? 1.6f : 0.4f);  // a choice is read by truncation
    setParam(op, "InvertSort", r.invert ? 1.0f : 0.0f);
    setParam(op, "UseColorAverage", r.average ? 1.0f : 0.0f);
    setParam(op, "Horizontal", horizontal ? 1.0f : 0.0f);
    setParam(op, "Vertical", vertical ? 1.0f : 0.0f);
    return op;
  }

  void expectRegion(const std::vector<Pixel>& got, const std::vector<Pixel>& want, uint32_t w, const Viewport& vp) {
    for (int y = vp.top; y < vp.bottom; ++y)
      for (int x = vp.left; x < vp.right; ++x) {
        const size_t i = size_t(y) * w + size_t(x);
        ASSERT_TRUE(same(got[i], want[i])) << x << "," << y << ": got " << got[i].r << " " << got[i].g << " "
                                           << got[i].b << ", want " << want[i].r << " " << want[i].g << " "
                                           << want[i].b;
      }
  }
};

TEST_F(PixelSortingGpuTest, RowsAreSortedWithinEachRunExactlyAsOnTheCpu) {
  const std::vector<Pixel> values = scene(32 * 32, 1);
  const Viewport vp{3, 2, 29, 30};
  for (const SortRule& rule : {SortRule{0.3f, false, false, true}, SortRule{0.3f, false, true, false},
                               SortRule{0.6f, true, false, true}, SortRule{0.5f, true, true, false}}) {
    SCOPED_TRACE(::testing::Message() << "white " << rule.white << " invert " << rule.invert << " average "
                                      << rule.average);
    Texture* input = picture(values);
    context.viewport = vp;
    Texture* out = runOn(sorter(input, rule, true, false), nullptr);
    ASSERT_NE(out, input);
    expectRegion(pixels(out), sortRegion(values, 32, vp, true, rule), 32, vp);
    expectRegion(pixels(input), values, 32, vp);  // the input is left alone
  }
}

TEST_F(PixelSortingGpuTest, BothDirectionsSortRowsThenColumnsAndLeaveTheRowSortInTheInput) {
  const std::vector<Pixel> values = scene(32 * 32, 2);
  const Viewport vp{0, 0, 32, 32};
  const SortRule rule{0.25f, false, false, true};
  Texture* input = picture(values);
  Texture* out = runOn(sorter(input, rule, true, true), nullptr);
  const std::vector<Pixel> rows = sortRegion(values, 32, vp, true, rule);
  expectRegion(pixels(out), sortRegion(rows, 32, vp, false, rule), 32, vp);
  expectRegion(pixels(input), rows, 32, vp);
}

TEST_F(PixelSortingGpuTest, ColumnsAlone) {
  const std::vector<Pixel> values = scene(32 * 32, 3);
  const Viewport vp{5, 1, 20, 31};
  const SortRule rule{0.2f, false, true, false};
  context.viewport = vp;
  Texture* out = runOn(sorter(picture(values), rule, false, true), nullptr);
  expectRegion(pixels(out), sortRegion(values, 32, vp, false, rule), 32, vp);
}

TEST_F(PixelSortingGpuTest, PassesThroughWithBlackValOneOrNoDirection) {
  Texture* input = picture(scene(32 * 32, 4));
  const uint32_t ring = ringIndex();
  EXPECT_EQ(runOn(sorter(input, SortRule{1.0f}, true, true), nullptr), input);
  EXPECT_EQ(runOn(sorter(input, SortRule{0.1f}, false, false), nullptr), input);
  EXPECT_EQ(ringIndex(), ring);
}

TEST_F(PixelSortingGpuTest, NothingToSortStillTakesTheNextRingImageEmpty) {
  const uint32_t index = ringIndex();
  copyPass(ringSlot(index), uniform({1, 1, 1, 1}), Viewport{0, 0, 32, 32}, imagepass::passStateDesc(), false);
  Operator& op = effect("PixelSorting");
  feed(pictureOp(nullptr), op);
  ASSERT_EQ(runOn(op, nullptr), ringSlot(index));
  EXPECT_EQ(ringIndex(), (index + 1) % 3);
  for (const Pixel& p : pixels(ringSlot(index))) ASSERT_EQ(p.r + p.g + p.b + p.a, 0.0f) << "an older picture shows";
  // Turned off it passes even nothing through, leaving the ring alone.
  setParam(op, "BlackVal", 1.0f);
  EXPECT_EQ(runOn(op, nullptr), nullptr);
  EXPECT_EQ(ringIndex(), (index + 1) % 3);
}

TEST_F(PixelSortingGpuTest, RunsOfLinesLongerThanTheSharedMemoryAreSortedWhole) {
  // Lines of 2600 pixels (rows, then columns): the first is one bright run across the
  // whole line, the second runs broken by a dark pixel every 700, one of them across
  // position 2048, and sorted descending.
  const uint32_t n = 2600;
  auto lines = [&](bool rows) {
    std::vector<Pixel> values(n * 2);
    for (uint32_t i = 0; i < n; ++i) {
      const float v = 0.2f + 0.7f * float((i * 7919u) % n) / float(n);
      const Pixel bright = q(Pixel{v, v, v, 1});
      const Pixel second = i % 700 == 0 ? Pixel{0, 0, 0, 1} : bright;
      values[rows ? i : i * 2] = bright;
      values[rows ? n + i : i * 2 + 1] = second;
    }
    return values;
  };
  const SortRule rule{0.1f, false, true, true};
  for (bool rows : {true, false}) {
    SCOPED_TRACE(rows ? "rows" : "columns");
    const uint32_t w = rows ? n : 2, h = rows ? 2 : n;
    const std::vector<Pixel> values = lines(rows);
    Texture* input = picture(values, w, h);
    // The ring is the screen's size: sort into an Image-like target of the picture's size.
    Texture* destination = texture(format::RGBA16F, w, h, 0x10049);
    context.targets->ring->slots[0] = context.targets->ring->slots[1] = context.targets->ring->slots[2] = destination;
    const Viewport whole{0, 0, int32_t(w), int32_t(h)};
    context.viewport = whole;
    Operator& op = sorter(input, rule, rows, !rows);
    Texture* out = run(op);
    context.targets->ring->slots[0] = context.targets->ring->slots[1] = context.targets->ring->slots[2] = nullptr;
    ASSERT_EQ(out, destination);
    const std::vector<Pixel> got = pixels(out);
    expectRegion(got, sortRegion(values, w, whole, rows, rule), w, whole);
    // The whole first line is one run: descending from its first pixel to its last.
    EXPECT_GT(got[0].r, 0.89f);
    EXPECT_LT(got[rows ? n - 1 : (n - 1) * 2].r, 0.21f);
  }
}

#pragma once
// Shared by the post-processing suites: an offscreen Screen with a post-process manager and
// a Context whose targets follow it, pictures filled from the CPU as RGBA16F, read back as
// floats, and hand-made operators that put a picture into the image result or log when
// their value is read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/Globals.h"
#include "engine/Math.h"
#include "engine/Project.h"
#include "image/Operators.h"
#include "image/PostProcessManager.h"
#include "scene/FrameSetup.h"
#include "tests/engine/TestSupport.h"
#include "tests/gfx/support/GpuTestSupport.h"

namespace posttest {

inline uint16_t toHalf(float f) {
  uint32_t x;
  std::memcpy(&x, &f, 4);
  const uint32_t sign = (x >> 16) & 0x8000;
  int32_t exponent = int32_t((x >> 23) & 0xFF) - 127 + 15;
  uint32_t mantissa = x & 0x7FFFFF;
  if (((x >> 23) & 0xFF) == 0xFF) return uint16_t(sign | 0x7C00 | (mantissa ? 0x200 : 0));
  if (exponent >= 31) return uint16_t(sign | 0x7C00);
  if (exponent <= 0) {
    if (exponent < -10) return uint16_t(sign);
    mantissa |= 0x800000;
    const uint32_t shift = uint32_t(14 - exponent);
    uint32_t h = mantissa >> shift;
    if ((mantissa >> (shift - 1)) & 1) ++h;  // round half up
    return uint16_t(sign | h);
  }
  uint32_t h = sign | (uint32_t(exponent) << 10) | (mantissa >> 13);
  if (mantissa & 0x1000) ++h;  // round half up (may carry into the exponent, which is right)
  return uint16_t(h);
}

inline float fromHalf(uint16_t h) {
  const uint32_t sign = uint32_t(h & 0x8000) << 16;
  const uint32_t exponent = (h >> 10) & 0x1F;
  const uint32_t mantissa = h & 0x3FF;
  float f;
  if (exponent == 0) {
    f = std::ldexp(float(mantissa), -24);
  } else if (exponent == 31) {
    f = mantissa ? NAN : INFINITY;
  } else {
    f = std::ldexp(float(mantissa | 0x400), int(exponent) - 25);
  }
  return sign ? -f : f;
}

// Puts a picture into the Context image result (nothing for a null one), and notes its name
// in the log when evaluated.
class PictureOp : public Operator {
 public:
  PictureOp(Texture* picture, std::vector<std::string>* log = nullptr, std::string name = {}) {
    auto fn = std::make_unique<Fn>();
    fn->picture = picture;
    fn->log = log;
    fn->name = std::move(name);
    function = fn.get();
    addOutput("ImageOut", PortType::Image, std::move(fn));
    linkOutput();
  }
  class Fn : public Function {
   public:
    void evaluate(float, const std::vector<Port*>&, Context& ctx) override {
      if (log) log->push_back(name);
      ctx.imageResult = picture;
    }
    Texture* picture = nullptr;
    std::vector<std::string>* log = nullptr;
    std::string name;
  };
  Fn* function = nullptr;
};

// A float source that notes its name when read.
class ProbeOp : public Operator {
 public:
  ProbeOp(float value, std::vector<std::string>* log, std::string name) {
    auto fn = std::make_unique<Fn>();
    fn->value = value;
    fn->log = log;
    fn->name = std::move(name);
    addOutput("FloatOut", PortType::Float, std::move(fn));
    linkOutput();
  }
  class Fn : public Function {
   public:
    void evaluate(float, const std::vector<Port*>&, Context& ctx) override {
      log->push_back(name);
      ctx.floatResult = value;
    }
    float value = 0;
    std::vector<std::string>* log = nullptr;
    std::string name;
  };
};

struct Pixel {
  float r = 0, g = 0, b = 0, a = 0;
};

// Peak signal-to-noise ratio of `test` against `reference` over red, green and blue, in dB,
// with the reference's brightest channel (at least 1) as the peak; 1e9 when they are equal.
inline double psnr(const std::vector<Pixel>& reference, const std::vector<Pixel>& test) {
  double peak = 1.0, squares = 0.0;
  for (size_t i = 0; i < reference.size(); ++i) {
    const Pixel& a = reference[i];
    const Pixel& b = test[i];
    peak = std::max({peak, double(a.r), double(a.g), double(a.b)});
    squares += (a.r - b.r) * (a.r - b.r) + (a.g - b.g) * (a.g - b.g) + (a.b - b.b) * (a.b - b.b);
  }
  const double mse = squares / (3.0 * double(reference.size()));
  return mse == 0.0 ? 1e9 : 10.0 * std::log10(peak * peak / mse);
}

}  // namespace posttest

// An offscreen Screen of size x size with a post-process manager and a Context on it.
class PostGpuTest : public ScreenGpuTest {
 protected:
  using Pixel = posttest::Pixel;

  explicit PostGpuTest(uint32_t size = 32) {
    screenWidth = size;
    screenHeight = size;
  }

  void SetUp() override {
    ScreenGpuTest::SetUp();
    isLoading = false;
    registerImageOperators();
    manager = std::make_unique<PostProcessManager>();
    manager->init(device(), screen());
    initContextTargets(context, device(), screen());
    context.projection = mat::perspectiveFovDegrees(45.0f, float(screenWidth) / float(screenHeight), 0.1f, 1000.0f);
  }

  void TearDown() override {
    device()->waitIdle();
    graph.operators.clear();
    releaseContextTargets(context);
    manager.reset();
    ScreenGpuTest::TearDown();
  }

  uint32_t size() const { return screenWidth; }

  // A size x size RGBA16F picture from pixels in row order.
  Texture* picture(const std::vector<Pixel>& pixels, uint32_t w = 0, uint32_t h = 0) {
    w = w ? w : screenWidth;
    h = h ? h : screenHeight;
    std::vector<uint16_t> data(size_t(w) * h * 4);
    for (size_t i = 0; i < pixels.size() && i < size_t(w) * h; ++i) {
      data[i * 4 + 0] = posttest::toHalf(pixels[i].r);
      data[i * 4 + 1] = posttest::toHalf(pixels[i].g);
      data[i * 4 + 2] = posttest::toHalf(pixels[i].b);
      data[i * 4 + 3] = posttest::toHalf(pixels[i].a);
    }
    return texture(format::RGBA16F, w, h, 0x10009, data.data());
  }
  Texture* uniform(Pixel p) { return picture(std::vector<Pixel>(size_t(screenWidth) * screenHeight, p)); }

  // RGBA16F (four or two channels) read back as floats; two-channel ones fill r and g.
  std::vector<Pixel> pixels(Texture* t) {
    std::vector<uint8_t> bytes = readBack(t);
    const uint32_t channels = t->format() == format::RG16F ? 2 : 4;
    std::vector<Pixel> out(size_t(t->width()) * t->height());
    for (size_t i = 0; i < out.size(); ++i) {
      float v[4] = {};
      for (uint32_t c = 0; c < channels; ++c) {
        uint16_t h;
        std::memcpy(&h, bytes.data() + (i * channels + c) * 2, 2);
        v[c] = posttest::fromHalf(h);
      }
      out[i] = Pixel{v[0], v[1], v[2], v[3]};
    }
    return out;
  }

  // Writes RGBA16F (or RG16F) data into an existing texture such as a G-buffer image.
  void upload(Texture* t, const std::vector<Pixel>& values) {
    const uint32_t channels = t->format() == format::RG16F ? 2 : 4;
    std::vector<uint16_t> data(values.size() * channels);
    for (size_t i = 0; i < values.size(); ++i) {
      const float v[4] = {values[i].r, values[i].g, values[i].b, values[i].a};
      for (uint32_t c = 0; c < channels; ++c) data[i * channels + c] = posttest::toHalf(v[c]);
    }
    ctx()->updateSubresource(t, 0, data.data(), 0, 0);
  }

  posttest::PictureOp& pictureOp(Texture* t, const std::string& name = {}) {
    return add<posttest::PictureOp>(graph, t, &log, name);
  }
  posttest::ProbeOp& probe(float value, const std::string& name) {
    return add<posttest::ProbeOp>(graph, value, &log, name);
  }
  Operator& effect(const std::string& type) { return make(graph, type); }
  void feed(Operator& from, Operator& to, const std::string& input = "ImageIn") {
    ASSERT_TRUE(graph.connect(from, "ImageOut", to, input)) << input;
  }
  // Evaluates the effect's output; returns the image result.
  Texture* run(Operator& op, float t = 0.0f) {
    op.outputs[0].evaluate(t, context);
    return context.imageResult;
  }
  // Evaluates `op` on `source` (a fresh picture operator feeding "ImageIn").
  Texture* apply(Operator& op, Texture* source, float t = 0.0f) {
    feed(pictureOp(source), op);
    context.imageResult = nullptr;
    return run(op, t);
  }

  uint32_t ringIndex() const { return context.targets->ring->index; }
  Texture* ringSlot(uint32_t i) const { return context.targets->ring->slots[i]; }

  Context context;
  std::unique_ptr<PostProcessManager> manager;
  OperatorGraph graph;
  std::vector<std::string> log;
};

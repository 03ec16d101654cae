// The grading operators against CPU evaluations of the formulas in docs/colour-grading.md,
// and how the CC operators use their mask.
#include <algorithm>
#include <array>
#include <cmath>
#include <functional>

#include "tests/image/PostTestSupport.h"

namespace {

using posttest::fromHalf;
using posttest::Pixel;
using posttest::toHalf;

using Rgb = std::array<float, 3>;

float luminance(const Rgb& c) { return 0.2126f * c[0] + 0.7152f * c[1] + 0.0722f * c[2]; }

Rgb rotateHue(const Rgb& c, float degrees) {
  const float a = degrees * 3.14159265f / 180.0f, s = std::sin(a), co = std::cos(a);
  const float k = 0.57735027f;
  const float kc = k * (c[0] + c[1] + c[2]);
  // cross((k, k, k), c)
  const Rgb cr{k * c[2] - k * c[1], k * c[0] - k * c[2], k * c[1] - k * c[0]};
  Rgb out;
  for (int i = 0; i < 3; ++i) out[i] = c[i] * co + cr[i] * s + k * kc * (1 - co);
  return out;
}

float hueDegrees(const Rgb& c) {
  const float mx = std::max({c[0], c[1], c[2]}), mn = std::min({c[0], c[1], c[2]}), d = mx - mn;
  if (d <= 0) return 0;
  float h = mx == c[0] ? (c[1] - c[2]) / d : mx == c[1] ? (c[2] - c[0]) / d + 2 : (c[0] - c[1]) / d + 4;
  h *= 60;
  return h < 0 ? h + 360 : h;
}

float hsvSaturation(const Rgb& c) {
  const float mx = std::max({c[0], c[1], c[2]}), mn = std::min({c[0], c[1], c[2]});
  return mx > 0 ? (mx - mn) / mx : 0;
}

float smoothstep(float e0, float e1, float x) {
  const float t = std::clamp((x - e0) / (e1 - e0), 0.0f, 1.0f);
  return t * t * (3 - 2 * t);
}

Rgb saturationAbout(const Rgb& c, float factor) {
  const float l = luminance(c);
  return {l + (c[0] - l) * factor, l + (c[1] - l) * factor, l + (c[2] - l) * factor};
}

Rgb positive(Rgb c) {
  for (float& v : c) v = std::max(v, 0.0f);
  return c;
}

// A spread of colours: hues all round, greys, darks, HDR highlights.
std::vector<Pixel> palette() {
  std::vector<Pixel> out(16 * 16);
  for (uint32_t y = 0; y < 16; ++y)
    for (uint32_t x = 0; x < 16; ++x) {
      const float hue = float(x) / 16.0f * 6.0f, value = 0.1f + float(y) / 15.0f * 1.3f;
      const float sat = (y % 4) / 3.0f;
      const float f = hue - std::floor(hue);
      float r, g, b;
      switch (int(hue)) {
        case 0: r = 1, g = f, b = 0; break;
        case 1: r = 1 - f, g = 1, b = 0; break;
        case 2: r = 0, g = 1, b = f; break;
        case 3: r = 0, g = 1 - f, b = 1; break;
        case 4: r = f, g = 0, b = 1; break;
        default: r = 1, g = 0, b = 1 - f; break;
      }
      auto mix = [&](float c) { return fromHalf(toHalf(value * (1 - sat + sat * c))); };
      out[y * 16 + x] = Pixel{mix(r), mix(g), mix(b), fromHalf(toHalf(float(x) / 15.0f))};
    }
  return out;
}

}  // namespace

class ColorCorrectionGpuTest : public PostGpuTest {
 protected:
  ColorCorrectionGpuTest() : PostGpuTest(16) {}

  // Runs the operator on the palette and compares every pixel with the CPU grade.
  void expectGrade(Operator& op, const std::function<Rgb(const Rgb&)>& grade, float tolerance = 4e-3f) {
    const std::vector<Pixel> in = palette();
    const std::vector<Pixel> out = pixels(apply(op, picture(in)));
    for (size_t i = 0; i < in.size(); ++i) {
      const Rgb want = grade({in[i].r, in[i].g, in[i].b});
      const float got[3] = {out[i].r, out[i].g, out[i].b};
      for (int c = 0; c < 3; ++c)
        ASSERT_NEAR(got[c], want[c], tolerance * std::max(1.0f, std::fabs(want[c]))) << op.type << " pixel " << i
                                                                                      << " channel " << c;
      ASSERT_EQ(out[i].a, in[i].a) << "alpha passes through";
    }
  }
};

TEST_F(ColorCorrectionGpuTest, ColorCorrectionMatchesItsLevelsFormula) {
  Operator& op = effect("ColorCorrection");
  const float preAdd[3] = {0.05f, -0.1f, 0.0f}, mul[3] = {1.2f, 0.9f, 1.0f}, pw[3] = {0.8f, 1.0f, 1.5f};
  const float postAdd[3] = {0.0f, 0.02f, -0.03f}, postMul[3] = {1.0f, 1.1f, 0.95f};
  const float mn[3] = {0.0f, 0.05f, 0.0f}, mx[3] = {1.0f, 0.9f, 1.2f};
  const char* channel[3] = {"R", "G", "B"};
  for (int c = 0; c < 3; ++c) {
    setParam(op, std::string(channel[c]) + " Pre Add", preAdd[c]);
    setParam(op, std::string(channel[c]) + " Mul", mul[c]);
    setParam(op, std::string(channel[c]) + " Pow", pw[c]);
    setParam(op, std::string(channel[c]) + " Post Add", postAdd[c]);
    setParam(op, std::string(channel[c]) + " Post Mul", postMul[c]);
    setParam(op, std::string(channel[c]) + " Min", mn[c]);
    setParam(op, std::string(channel[c]) + " Max", mx[c]);
  }
  setParam(op, "Saturation", 0.6f);
  expectGrade(op, [&](const Rgb& in) {
    Rgb g;
    for (int c = 0; c < 3; ++c) {
      const float v = (in[c] + preAdd[c]) * mul[c];
      g[c] = ((v > 0 ? std::pow(v, pw[c]) : 0.0f) + postAdd[c]) * postMul[c];
    }
    g = saturationAbout(g, 0.6f);
    for (int c = 0; c < 3; ++c) g[c] = std::clamp(g[c], mn[c], mx[c]);
    return g;
  });
}

TEST_F(ColorCorrectionGpuTest, ColorCorrectionPreviewShowsTheOriginalOnTheRight) {
  Operator& op = effect("ColorCorrection");
  setParam(op, "R Mul", 0.5f);
  setParam(op, "Preview", 0.3f);  // any positive value
  const std::vector<Pixel> out = pixels(apply(op, uniform({0.8f, 0.8f, 0.8f, 1})));
  EXPECT_NEAR(out[3 * 16 + 2].r, 0.4f, 2e-3f);
  EXPECT_NEAR(out[3 * 16 + 13].r, 0.8f, 2e-3f);
}

TEST_F(ColorCorrectionGpuTest, SplitToningMatchesItsFormula) {
  Operator& op = effect("CCSplitToning");
  const Rgb hi{1.0f, 0.8f, 0.4f}, lo{0.1f, 0.3f, 0.6f};
  setParam(op, "Hi R", hi[0]);
  setParam(op, "Hi G", hi[1]);
  setParam(op, "Hi B", hi[2]);
  setParam(op, "Lo R", lo[0]);
  setParam(op, "Lo G", lo[1]);
  setParam(op, "Lo B", lo[2]);
  setParam(op, "Hi Influence", 0.7f);
  setParam(op, "Lo Influence", 1.3f);
  setParam(op, "Balance", 0.4f);
  expectGrade(op, [&](const Rgb& in) {
    const float h = std::clamp(luminance(in) - 0.4f + 0.5f, 0.0f, 1.0f);
    const float lh = luminance(hi), ll = luminance(lo);
    Rgb g;
    for (int c = 0; c < 3; ++c) g[c] = in[c] + h * 0.7f * (hi[c] - lh) + (1 - h) * 1.3f * (lo[c] - ll);
    return positive(g);
  });
}

TEST_F(ColorCorrectionGpuTest, ToneMatchesItsFormula) {
  Operator& op = effect("CCTone");
  const float v[6] = {0.5f, 0.3f, -0.4f, 0.6f, 0.2f, -0.3f};
  const char* names[6] = {"Exposure", "Contrast", "Highlights", "Shadows", "Whites", "Blacks"};
  for (int i = 0; i < 6; ++i) setParam(op, names[i], v[i]);
  expectGrade(op, [&](const Rgb& in) {
    Rgb g;
    for (int c = 0; c < 3; ++c) g[c] = (in[c] * std::exp2(v[0]) - 0.5f) * (1 + v[1]) + 0.5f;
    const float l = std::clamp(luminance(g), 0.0f, 1.0f);
    const float offset = 0.25f * (v[2] * smoothstep(0.5f, 1, l) + v[3] * (1 - smoothstep(0, 0.5f, l)) +
                                  v[4] * smoothstep(0.75f, 1, l) + v[5] * (1 - smoothstep(0, 0.25f, l)));
    for (float& x : g) x += offset;
    return positive(g);
  });
}

TEST_F(ColorCorrectionGpuTest, HSLMatchesItsFormula) {
  Operator& op = effect("CCHSL");
  setParam(op, "HUE", 40.0f);
  setParam(op, "Saturation", -0.3f);
  setParam(op, "Luminance", 0.2f);
  expectGrade(op, [](const Rgb& in) {
    Rgb g = saturationAbout(rotateHue(in, 40.0f), 0.7f);
    for (float& x : g) x *= 1.2f;
    return positive(g);
  });
}

TEST_F(ColorCorrectionGpuTest, ColorRangesMatchTheirFormula) {
  Operator& op = effect("CCColor");
  const char* ranges[8] = {"Red", "Orange", "Yellow", "Green", "Aqua", "Blue", "Purple", "Magenta"};
  float shifts[8][3];
  for (int i = 0; i < 8; ++i) {
    shifts[i][0] = 10.0f * float(i) - 35.0f;
    shifts[i][1] = 0.1f * float(i % 3) - 0.1f;
    shifts[i][2] = 0.05f * float(i % 4) - 0.08f;
    setParam(op, std::string(ranges[i]) + " HUE", shifts[i][0]);
    setParam(op, std::string(ranges[i]) + " Saturation", shifts[i][1]);
    setParam(op, std::string(ranges[i]) + " Luminance", shifts[i][2]);
  }
  const float centres[9] = {0, 30, 60, 120, 180, 240, 270, 300, 360};
  expectGrade(op, [&](const Rgb& in) {
    const float h = hueDegrees(in);
    int k = 0;
    for (int j = 1; j < 8; ++j)
      if (h >= centres[j]) k = j;
    const float t = (h - centres[k]) / (centres[k + 1] - centres[k]);
    float s[3];
    for (int c = 0; c < 3; ++c) s[c] = shifts[k][c] * (1 - t) + shifts[(k + 1) % 8][c] * t;
    Rgb g = saturationAbout(rotateHue(in, s[0]), 1 + s[1]);
    for (float& x : g) x *= 1 + s[2] * hsvSaturation(in);
    return positive(g);
  });
}

TEST_F(ColorCorrectionGpuTest, MasksLimitTheGradeAndComeFromTheirOwnChain) {
  std::vector<Pixel> half(16 * 16);
  for (uint32_t i = 0; i < half.size(); ++i) half[i] = (i % 16) < 8 ? Pixel{1, 1, 1, 1} : Pixel{0, 0, 0, 1};
  Texture* orange = uniform({0.6f, 0.3f, 0.2f, 1});
  for (const char* type : {"CCSplitToning", "CCColor", "CCHSL", "CCTone"}) {
    Operator& op = effect(type);
    // A grade that brightens red.
    if (op.findPort("Exposure")) setParam(op, "Exposure", 1.0f);
    if (op.findPort("Luminance")) setParam(op, "Luminance", 1.0f);
    if (op.findPort("Red Luminance")) setParam(op, "Red Luminance", 1.0f), setParam(op, "Orange Luminance", 1.0f);
    if (op.findPort("Balance")) setParam(op, "Lo Influence", 0.0f), setParam(op, "Hi R", 3.0f);
    const float graded = [&] {
      const std::vector<Pixel> out = pixels(apply(op, orange));  // no mask: graded everywhere
      EXPECT_NEAR(out[0].r, out[15].r, 1e-3f) << type;
      return out[0].r;
    }();
    EXPECT_GT(graded, 0.7f) << type;

    // The mask chain ends in an effect: its ring picture is the mask (white where the
    // inverted picture is white), while the picture graded is still "ImageIn"'s.
    Operator& invert = effect("Invert");
    feed(pictureOp(picture(half)), invert);
    feed(invert, op, "MaskIn");
    const std::vector<Pixel> out = pixels(run(op));
    EXPECT_NEAR(out[16 * 3 + 2].r, 0.6f, 1e-3f) << type;  // mask black: untouched
    EXPECT_NEAR(out[16 * 3 + 12].r, graded, 2e-3f) << type;
  }
}

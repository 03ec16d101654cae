// The screen-space fluid: its FFT programs against a discrete Fourier transform computed
// here, the projection step against what it must remove and keep, and the operator's
// picture for a still and for a moving scene.
#include <cmath>
#include <complex>
#include <cstring>

#include "gfx/ShaderProgram.h"
#include "image/ImagePass.h"
#include "image/SSFluids.h"
#include "tests/image/ImageOpTestSupport.h"

namespace {

using posttest::Pixel;
using Complex = std::complex<double>;

std::vector<float> floats(const std::vector<uint8_t>& bytes) {
  std::vector<float> out(bytes.size() / 4);
  std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

}  // namespace

class SSFluidsGpuTest : public ImageOpGpuTest {
 protected:
  SSFluidsGpuTest() : ImageOpGpuTest(64) {}
  FluidSolver& solver() { return *manager->ssFluids.solver; }

  Texture* structured(uint32_t elements, uint32_t bytesPerElement, const void* data) {
    return buffer(0x40041, elements * bytesPerElement, bytesPerElement, data);
  }
};

TEST_F(SSFluidsGpuTest, FftProgramsMatchADiscreteFourierTransform) {
  // A 16 x 16 grid (the programs take any power of two up to 512), two random fields.
  const int n = 16;
  std::vector<float> field(n * n * 2);
  uint32_t s = 12345;
  for (float& v : field) {
    s = s * 1664525u + 1013904223u;
    v = float(s >> 8) / 16777216.0f - 0.5f;
  }
  Texture* real = structured(n * n, 8, field.data());
  Texture* spectrum = structured(n * n, 16, nullptr);
  Texture* result = structured(n * n, 16, nullptr);
  auto run = [&](ShaderProgram* p, int pass, bool inverse) {
    ConstantWriter(p, "fft", imagepass::trace).set("gDIM", n).set("gDIMLog2", 4).set("gPass", pass);
    if (inverse) {
      imagepass::bindUav(p, 1, spectrum);
      imagepass::bindUav(p, 2, result);
    } else {
      imagepass::bindUav(p, 0, real);
      imagepass::bindUav(p, 1, spectrum);
    }
    imagepass::runCompute(p, n, 1);
  };
  run(solver().fftForwardRows.get(), 0, false);
  run(solver().fftForwardColumns.get(), 1, false);
  const std::vector<float> got = floats(readBack(spectrum));
  const double pi = 3.14159265358979323846;
  for (int ky = 0; ky < n; ++ky)
    for (int kx = 0; kx < n; ++kx)
      for (int c = 0; c < 2; ++c) {
        Complex sum = 0;
        for (int y = 0; y < n; ++y)
          for (int x = 0; x < n; ++x)
            sum += double(field[(y * n + x) * 2 + c]) * std::polar(1.0, -2.0 * pi * (kx * x + ky * y) / n);
        const size_t at = size_t(ky * n + kx) * 4 + size_t(c) * 2;
        ASSERT_NEAR(got[at], sum.real(), 1e-4) << kx << "," << ky << " field " << c;
        ASSERT_NEAR(got[at + 1], sum.imag(), 1e-4) << kx << "," << ky << " field " << c;
      }
  run(solver().fftInverseColumns.get(), 0, true);
  run(solver().fftInverseRows.get(), 1, true);
  const std::vector<float> back = floats(readBack(result));
  for (int i = 0; i < n * n; ++i) {
    ASSERT_NEAR(back[size_t(i) * 4 + 0], field[size_t(i) * 2] * n * n, 1e-3) << i;
    ASSERT_NEAR(back[size_t(i) * 4 + 2], field[size_t(i) * 2 + 1] * n * n, 1e-3) << i;
    ASSERT_NEAR(back[size_t(i) * 4 + 1], 0.0, 1e-3) << i;
  }
}

TEST_F(SSFluidsGpuTest, AStepRemovesCompressionAndKeepsShear) {
  // u = a sin(2 pi x / N) squeezes the fluid (no curl): projection removes it. u = a sin(2 pi
  // y / N) only shears (no divergence): it stays, faded by viscosity and dissipation.
  const uint32_t n = FluidSolver::kDim;
  SSFluidsBlock block;
  block.viscosity = 0.25f;
  block.stepsPerSecond = 250.0f;
  block.influence = 1.0f;
  Texture* source = uniform({0.5f, 0.5f, 0.5f, 1});
  Texture* out = texture(format::RGBA16F, 64, 64, 0x10049);
  const Viewport vp{0, 0, 64, 64};
  solver().apply(block, nullptr, nullptr, source, out, vp, 0.0f);  // makes the buffers (one still step)
  const double a = 20.0, pi = 3.14159265358979323846;
  const double fade = std::exp(-double(FluidSolver::kDissipation) / 250.0);
  for (int shear = 0; shear < 2; ++shear) {
    SCOPED_TRACE(shear ? "shear" : "compression");
    std::vector<float> velocity(size_t(n) * n * 2, 0.0f);
    for (uint32_t y = 0; y < n; ++y)
      for (uint32_t x = 0; x < n; ++x) velocity[(y * n + x) * 2] = float(a * std::sin(2 * pi * (shear ? y : x) / n));
    ctx()->updateSubresource(solver().velocity, 0, velocity.data(), 0, 0);
    solver().apply(block, nullptr, nullptr, source, out, vp, 0.004f * float(shear + 1));  // one step each
    const std::vector<float> after = floats(readBack(solver().velocity));
    double maxU = 0, maxV = 0;
    for (size_t i = 0; i < after.size(); i += 2) {
      maxU = std::max(maxU, std::fabs(double(after[i])));
      maxV = std::max(maxV, std::fabs(double(after[i + 1])));
    }
    EXPECT_LT(maxV, 1e-3);
    if (shear)
      EXPECT_NEAR(maxU, a * fade, 0.05 * a);
    else
      EXPECT_LT(maxU, 1e-2 * a);
  }
  EXPECT_EQ(solver().stepsRun, 3u);
}

TEST_F(SSFluidsGpuTest, AStillScenesPictureIsUnchanged) {
  std::vector<Pixel> values(64 * 64);
  for (uint32_t i = 0; i < values.size(); ++i) values[i] = Pixel{float(i % 64) / 64.0f, float(i / 64) / 64.0f, 0.5f, 1};
  Texture* input = picture(values);
  Operator& op = effect("SSFluids");
  feed(pictureOp(input), op);
  const std::vector<Pixel> expected = pixels(input);
  for (int frame = 0; frame < 4; ++frame) {
    context.beginFrame(64, 64, true, true);
    manager->buildVelocityTiles(*context.targets->gbuffer, context.viewport);
    Texture* out = run(op, float(frame) / 60.0f);
    ASSERT_NE(out, input);
    const std::vector<Pixel> got = pixels(out);
    ASSERT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(Pixel)), 0) << "frame " << frame;
  }
  EXPECT_GT(solver().stepsRun, 6u);
}

TEST_F(SSFluidsGpuTest, TheMovingPartOfThePictureFlowsAlongItsVelocity) {
  // Red runs 0..1 left to right, green top to bottom: a pixel's colour says where it came from.
  std::vector<Pixel> values(64 * 64);
  for (uint32_t y = 0; y < 64; ++y)
    for (uint32_t x = 0; x < 64; ++x) values[y * 64 + x] = Pixel{(x + 0.5f) / 64.0f, (y + 0.5f) / 64.0f, 0, 1};
  Texture* input = picture(values);
  Operator& op = effect("SSFluids");
  feed(pictureOp(input), op);
  // A square in the middle moves right at 2 viewport widths a second (the G-buffer holds
  // uv per millisecond).
  std::vector<Pixel> motion(64 * 64);
  for (uint32_t y = 27; y < 37; ++y)
    for (uint32_t x = 27; x < 37; ++x) motion[y * 64 + x] = Pixel{0.002f, 0, 0, 0};
  Texture* out = nullptr;
  for (int frame = 0; frame < 3; ++frame) {
    context.beginFrame(64, 64, true, true);
    upload(context.gbuffer[4], motion);
    manager->buildVelocityTiles(*context.targets->gbuffer, context.viewport);
    out = run(op, float(frame) / 60.0f);
  }
  const std::vector<Pixel> got = pixels(out);
  double shiftX = 0, shiftY = 0, border = 0;
  int inside = 0, borderPixels = 0;
  for (uint32_t y = 0; y < 64; ++y)
    for (uint32_t x = 0; x < 64; ++x) {
      const Pixel p = at(got, 64, x, y), s = values[y * 64 + x];
      if (x >= 29 && x < 35 && y >= 29 && y < 35) {
        shiftX += (s.r - p.r) * 64.0;  // pixels the picture moved right
        shiftY += (s.g - p.g) * 64.0;
        ++inside;
      } else if (x < 4 || x >= 60 || y < 4 || y >= 60) {
        border += std::fabs(double(s.r - p.r)) * 64.0;
        ++borderPixels;
      }
    }
  shiftX /= inside;
  shiftY /= inside;
  EXPECT_GT(shiftX, 1.5) << "the middle flows right";
  EXPECT_LT(std::fabs(shiftY), 0.25 * shiftX) << "and not sideways";
  // The fluid around makes way (and flows back), but far less than the middle moves.
  EXPECT_LT(border / borderPixels, 0.5 * shiftX);
}

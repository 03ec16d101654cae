// SSAO makes and blurs its occlusion at half the size, in a quarter of its full-size
// targets. The test keeps the full-size passes as they were (today's shader file with the
// replaced entry points put back, drawn at the size they used), draws the same fixed input
// through both roads and bounds the difference as a peak signal-to-noise ratio over the
// colour channels: 45 dB (an RMS error under 0.6% of the peak) is invisible on a picture.
// It also checks that the effect still does its job where the reduced size could lose it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "image/PostProcessPassSupport.h"
#include "tests/engine/TestSupport.h"
#include "tests/image/PostTestSupport.h"

namespace {

using posttest::Pixel;
using posttest::psnr;

// The full-size SSAO blur and combine as they were, beside today's entry points.
const char* const kFullSizeSSAOBlur = R"(
float4 blurFullSize(SSAOBlurVertex i, float2 direction)
{
    float w, h, nw, nh;
    gInput.GetDimensions(w, h);
    gNormalDepth.GetDimensions(nw, nh);
    float2 aoUV = i.pos.xy / float2(w, h);
    float2 nUV = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float2 aoLo = gRegionOffset + 0.5 / float2(w, h), aoHi = gRegionOffset + gRegionScale - 0.5 / float2(w, h);
    float2 nLo = gRegionOffset + 0.5 / float2(nw, nh), nHi = gRegionOffset + gRegionScale - 0.5 / float2(nw, nh);
    float4 centreNd = gNormalDepth.SampleLevel(gNormalSampler, nUV, 0);
    float3 n = normalOf(centreNd);
    float z = depthOf(centreNd);
    float sum = kWeights[0] * gInput.SampleLevel(gInputSampler, aoUV, 0).r;
    float weights = kWeights[0];
    [unroll]
    for (int k = -kRadius; k <= kRadius; ++k)
    {
        if (k == 0)
            continue;
        float4 nd = gNormalDepth.SampleLevel(gNormalSampler, clamp(nUV + direction * k / float2(nw, nh), nLo, nHi), 0);
        if (dot(normalOf(nd), n) < 0.8 || abs(depthOf(nd) - z) > 0.2 * z)
            continue;
        float weight = kWeights[abs(k)];
        sum += weight * gInput.SampleLevel(gInputSampler, clamp(aoUV + direction * k / float2(w, h), aoLo, aoHi), 0).r;
        weights += weight;
    }
    float ao = sum / weights;
    return float4(ao, ao, ao, 1.0);
}

float4 PSVerticalFullSize(SSAOBlurVertex i) : SV_TARGET
{
    return blurFullSize(i, float2(0, 1));
}

float4 PSHorizontalFullSize(SSAOBlurVertex i) : SV_TARGET
{
    return blurFullSize(i, float2(1, 0));
}

float4 PSCombineFullSize(SSAOBlurVertex i) : SV_TARGET
{
    float4 c = gInput.Sample(gInputSampler, regionToSource(i.uv, gRegionScale, gRegionOffset));
    float w, h;
    gNormalDepth.GetDimensions(w, h);
    float ao = gNormalDepth.Sample(gNormalSampler, i.pos.xy / float2(w, h)).r;
    return float4(c.rgb * ao, c.a);
}
)";

}  // namespace

class ReducedSizePassesGpuTest : public PostGpuTest {
 protected:
  ReducedSizePassesGpuTest() : PostGpuTest(64) {}

  // A program from a shader file with text added after it, drawn in the manager's pass state.
  ShaderProgram* program(const char* file, const std::string& added, const char* vertexEntry,
                         const char* pixelEntry) {
    std::string text;
    EXPECT_TRUE(readWholeFile(std::string("data/shaders/") + file + ".hlsl", text)) << file;
    text += added;
    auto p = std::make_unique<ShaderProgram>(device());
    const std::string name = std::string("full-size ") + file + std::to_string(programs_.size());
    for (auto [stage, entry] : {std::pair<uint32_t, const char*>{0, vertexEntry}, {4, pixelEntry}}) {
      blobs_.push_back(compileShader(stage, kStageProfile[stage], text, entry, (std::string("data/shaders/") + file + ".hlsl").c_str()));
      if (!blobs_.back() || !p->attachStage(stage, *blobs_.back(), name + entry)) {
        ADD_FAILURE() << file << " " << entry << " does not compile: " << lastCompileError();
        return nullptr;
      }
    }
    p->state = manager->ssao.ssao.get()->state;  // every pass shares the same state
    programs_.push_back(std::move(p));
    return programs_.back().get();
  }

  Texture* target(uint32_t format, uint32_t w, uint32_t h) {
    targets_.push_back(postpass::makeTarget(device(), postpass::kTargetFlags, format, 0, w, h));
    return targets_.back();
  }

  // One full-screen pass over the whole of its targets, as the manager draws them.
  void pass(ShaderProgram* p, std::initializer_list<Texture*> outputs, std::initializer_list<std::pair<Texture*, Sampler*>> inputs,
            uint32_t vertices = 3) {
    ASSERT_TRUE(p);
    RenderPass rp;
    uint32_t o = 0;
    for (Texture* t : outputs) rp.colourTargets[o++] = t;
    Texture* first = *outputs.begin();
    rp.clearFlags = kClearColour;
    rp.width = first->width();
    rp.height = first->height();
    rp.rect[0] = rp.rect[1] = 0;
    rp.rect[2] = int32_t(rp.width);
    rp.rect[3] = int32_t(rp.height);
    bindRenderPass(device(), rp);
    uint32_t i = 0;
    for (auto [t, s] : inputs) {
      p->setResource(4, i, t);
      p->setSampler(4, i++, s);
    }
    drawStrip(p, vertices);
    for (uint32_t k = 0; k < i; ++k) p->setResource(4, k, nullptr);
    unbindRenderTargets(device());
  }

  // A valley in the G-buffer (two slopes meeting in a crease down the middle), a step up to
  // a nearer block over the right quarter, and sky over the top rows.
  void uploadValley() {
    const uint32_t n = size();
    const float t = std::tan(22.5f * 0.017453292f);
    std::vector<Pixel> g(size_t(n) * n);
    for (uint32_t y = 0; y < n; ++y)
      for (uint32_t x = 0; x < n; ++x) {
        const float ndcX = (float(x) + 0.5f) / float(n) * 2.0f - 1.0f;
        const float slope = 1.5f, len = std::sqrt(1.0f + slope * slope);
        const float z = 3.0f / (1.0f + slope * t * std::fabs(ndcX));
        const float side = ndcX < 0 ? 1.0f : -1.0f;
        Pixel p{side * slope / len, 0.0f, -1.0f / len, z};
        if (x >= n * 3 / 4 && y >= n / 2) p = Pixel{0.0f, 0.0f, -1.0f, 1.6f};
        g[size_t(y) * n + x] = y < n / 8 ? Pixel{0, 0, 0, 65504.0f} : p;
      }
    upload(context.gbuffer[1], g);
  }

  std::vector<std::unique_ptr<ShaderProgram>> programs_;
  std::vector<std::unique_ptr<ShaderBlob>> blobs_;
  std::vector<Texture*> targets_;

  void TearDown() override {
    device()->waitIdle();
    for (Texture* t : targets_) deleteTexture(t);
    programs_.clear();
    PostGpuTest::TearDown();
  }
};

// A picture with detail at every scale and a few highlights well above 1.
static std::vector<Pixel> detailedPicture(uint32_t size) {
  std::vector<Pixel> p(size_t(size) * size);
  for (uint32_t y = 0; y < size; ++y)
    for (uint32_t x = 0; x < size; ++x) {
      const float base = 0.5f + 0.35f * std::sin(float(x) * 0.9f) * std::cos(float(y) * 0.4f);
      const float spot = ((x * 7 + y * 13) % 31 == 0) ? 5.0f : 0.0f;
      const float edge = x > size / 2 ? 0.3f : 0.0f;
      p[size_t(y) * size + x] = Pixel{base + spot + edge, base * 0.7f, 1.0f - base * 0.5f, 1.0f};
    }
  return p;
}

TEST_F(ReducedSizePassesGpuTest, SSAOAtHalfSizeShowsWhatTheFullSizePassesShowed) {
  uploadValley();
  context.projection = mat::perspectiveFovDegrees(45.0f, 1.0f, 0.1f, 100.0f);
  const uint32_t n = size();
  const Viewport vp{0, 0, int32_t(n), int32_t(n)};
  Texture* picture = this->picture(detailedPicture(n));
  Texture* out = target(format::RGBA16F, n, n);
  manager->ssao.fieldOfView = 45.0f;
  manager->ssao.farPlane = 100.0f;
  manager->ssao.surfaceEpsilon = 0.05f;

  // The occlusion pass of today without the step to its full-size pixel, one random vector
  // a pixel; the blurs and the combine as they were.
  std::string occlusionText;
  ASSERT_TRUE(readWholeFile("data/shaders/ssao.hlsl", occlusionText));
  for (auto [from, to] : {std::pair<std::string, std::string>{"float2 uv = i.uv + i.shift;", "float2 uv = i.uv;"},
                          {"gScreenSize / 8.0", "gScreenSize / 4.0"}}) {
    const size_t at = occlusionText.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    occlusionText.replace(at, from.size(), to);
  }
  auto occlusionProgram = std::make_unique<ShaderProgram>(device());
  for (auto [stage, entry] : {std::pair<uint32_t, const char*>{0, "VS"}, {4, "PS"}}) {
    blobs_.push_back(compileShader(stage, kStageProfile[stage], occlusionText, entry, "data/shaders/ssao.hlsl"));
    ASSERT_TRUE(blobs_.back() && occlusionProgram->attachStage(stage, *blobs_.back(), std::string("full-size ssao ") + entry));
  }
  occlusionProgram->state = manager->ssao.ssao.get()->state;
  ShaderProgram* occlusion = occlusionProgram.get();
  programs_.push_back(std::move(occlusionProgram));
  ShaderProgram* blurV = program("ssaoBlur", kFullSizeSSAOBlur, "VS", "PSVerticalFullSize");
  ShaderProgram* blurH = program("ssaoBlur", kFullSizeSSAOBlur, "VS", "PSHorizontalFullSize");
  ShaderProgram* combine = program("ssaoBlur", kFullSizeSSAOBlur, "VS", "PSCombineFullSize");
  ASSERT_TRUE(blurV && blurH && combine);
  Texture* aoA = target(format::RGBA8, n, n);
  Texture* aoB = target(format::RGBA8, n, n);

  for (float radius : {0.3f, 1.0f}) {
    manager->ssao.radius = radius;
    manager->applySSAO(picture, out, vp, context.gbuffer[1], context.projection);
    const std::vector<Pixel> now = pixels(out);

    const RegionConstants rc = regionConstants(picture, vp);
    ConstantWriter(occlusion, "ssao")
        .set("gFrustumCorner", manager->ssao.frustumCorner)
        .set("gOffsets", manager->ssao.offsets)
        .set("gProj", context.projection.transposed())
        .set("gScreenSize", Float2{float(n), float(n)})
        .set("gOcclusionFadeEnd", manager->ssao.fadeEnd)
        .set("gOcclusionFadeStart", manager->ssao.fadeStart)
        .set("gOcclusionRadius", radius)
        .set("gSurfaceEpsilon", manager->ssao.surfaceEpsilon)
        .set("gOcclusionPower", manager->ssao.power)
        .region(rc);
    for (ShaderProgram* p : {blurV, blurH, combine}) ConstantWriter(p, "ssaoBlur").region(rc);
    Sampler* point = manager->pointClamp;
    pass(occlusion, {aoA}, {{context.gbuffer[1], manager->linearClamp}, {manager->ssao.randomVectors, point}}, 4);
    pass(blurV, {aoB}, {{aoA, point}, {context.gbuffer[1], point}});
    pass(blurH, {aoA}, {{aoB, point}, {context.gbuffer[1], point}});
    Texture* before = target(format::RGBA16F, n, n);
    pass(combine, {before}, {{picture, point}, {aoA, point}});
    const std::vector<Pixel> old = pixels(before);

    EXPECT_GE(psnr(old, now), 45.0) << "radius " << radius;
    // The crease is still darkened, the sky and the open slopes far from it are not, and
    // the step to the nearer block keeps its edge.
    const std::vector<Pixel> source = pixels(picture);
    auto shade = [&](uint32_t x, uint32_t y) { return now[y * n + x].g / source[y * n + x].g; };
    EXPECT_LT(shade(n / 2, n / 4), shade(2, n / 4) - 0.05f) << "radius " << radius;
    EXPECT_GT(shade(n / 2, 1), 0.999f) << "radius " << radius;
    EXPECT_GT(shade(2, n / 4), 0.95f) << "radius " << radius;
    // The valley's last column lies between a half-size pixel of the valley and one of the
    // open block: it takes the valley's occlusion, not a mean of the two (about 0.02 and 0.04
    // lighter at these radii).
    const uint32_t edge = n * 3 / 4;
    for (uint32_t y : {edge, edge + 1}) {
      EXPECT_NEAR(shade(edge - 1, y), shade(edge - 2, y), 0.01f) << "radius " << radius << ", row " << y;
      EXPECT_NEAR(shade(edge, y), shade(edge + 1, y), 0.01f) << "radius " << radius << ", row " << y;
    }
  }
}

// The effects share the manager's intermediate targets and the frame's memory counts on
// them: the occlusion keeps two full-size 8-bit targets however little of them it draws, and
// the glow two half-size half-float ones.
TEST_F(ReducedSizePassesGpuTest, TheIntermediateTargetsKeepTheirSizesAndFormats) {
  const uint32_t n = size();
  for (Texture* t : {manager->ssao.aoA, manager->ssao.aoB}) {
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->width(), n);
    EXPECT_EQ(t->height(), n);
    EXPECT_EQ(t->format(), uint32_t(format::RGBA8));
    EXPECT_EQ(t->sizeClass(), uint32_t(kSizeFull));
  }
  for (Texture* t : {manager->bloom.bA, manager->bloom.bB}) {
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->width(), n / 2);
    EXPECT_EQ(t->height(), n / 2);
    EXPECT_EQ(t->format(), uint32_t(format::RGBA16F));
    EXPECT_EQ(t->sizeClass(), uint32_t(kSizeHalf));
  }
}

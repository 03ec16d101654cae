// The cheaper smoke draws the smoke the replaced one drew. The first case keeps the replaced
// programs' text and state: the sprite program that read the sprite texture twice a pixel
// and the opacity map once a pixel and blended every G-buffer target "over", and the opacity
// program that worked out each sprite's fade with age in every pixel. It draws a few slices of
// smoke through them and through today's programs and state, and compares the G-buffer and
// the opacity map.
//
// Today the one read serves the opacity and the colour, the normal, material and velocity
// targets are not written (blending alpha 0 into them kept them as they were), and what a
// sprite's pixels share reaches them flat from the vertex stage: its fade, its colour and the
// light through the opacity map, read once at the particle's centre where every pixel read it
// at the same point. The other cases check that skipping the slices past the last living
// particle changes nothing and draws the slices the living particles fill, and that the
// loading warm-up still makes everything the smoke draws with.
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "engine/Globals.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "sim/Particles.h"
#include "tests/scene/SceneGpuSupport.h"
#include "tests/sim/SimTestSupport.h"

namespace {

using namespace simtest;
using sim::ParticleSysOp;

const char* const kOldSprites = R"(#include "smoke.hlsli"
#include "../common/gbuffer.hlsli"

Texture2D gOpacityMap : register(t2);
SamplerState gOpacitySampler : register(s1);

static const float kAmbient = 0.25;  // light that reaches smoke in its own shadow

#include "sprite.hlsli"

// Flat stage structures: glslang 12 crashes on a geometry stage that appends a struct
// holding another struct.
struct SmokeVertex
{
    float3 viewPos : TEXCOORD0;
    float3 lightClip : TEXCOORD1;
    float life : TEXCOORD2;
    float visible : TEXCOORD3;
};

struct SmokePixel
{
    float4 pos : SV_Position;
    float2 corner : TEXCOORD0;
    float3 lightClip : TEXCOORD1;
    float life : TEXCOORD2;
};

SmokeVertex VS(uint id : SV_VertexID)
{
    SpriteVertex sprite = spriteVertex(id);
    SmokeVertex o;
    o.viewPos = sprite.viewPos;
    o.life = sprite.life;
    o.visible = sprite.visible;
    float3 position, velocity;
    float life;
    readSprite(id, position, velocity, life);
    o.lightClip = mul(float4(position, 1.0), gLightViewProj).xyz;
    return o;
}

[maxvertexcount(4)]
void GS(point SmokeVertex input[1], inout TriangleStream<SmokePixel> stream)
{
    SmokeVertex v = input[0];
    if (v.visible < 0.5 || v.viewPos.z <= 0.0)
        return;
    const float2 corners[4] = {float2(-1.0, 1.0), float2(1.0, 1.0), float2(-1.0, -1.0), float2(1.0, -1.0)};
    [unroll] for (uint i = 0; i < 4; ++i)
    {
        SmokePixel o;
        o.pos = mul(float4(v.viewPos + float3(corners[i] * gSize, 0.0), 1.0), gProj);
        o.corner = corners[i];
        o.lightClip = v.lightClip;
        o.life = v.life;
        stream.Append(o);
    }
    stream.RestartStrip();
}

// Every target written with four channels: the alpha of each is its blend factor.
struct SmokeOutput
{
    float4 albedo : SV_Target0;
    float4 normalDepth : SV_Target1;
    float4 material : SV_Target2;
    float4 emissive : SV_Target3;
    float4 velocity : SV_Target4;
};

SmokeOutput PS(SmokePixel i)
{
    float alpha = spriteOpacity(i.corner, i.life);
    if (alpha <= 0.0)
        discard;
    float2 lightUv = float2(i.lightClip.x * 0.5 + 0.5, 0.5 - i.lightClip.y * 0.5);
    float shadow = gOpacityMap.Sample(gOpacitySampler, lightUv).r;
    bool inMap = all(abs(i.lightClip.xy) <= 1.0);
    float transmitted = inMap ? 1.0 - shadow : 1.0;
    float2 uv = float2(i.corner.x, -i.corner.y) * 0.5 + 0.5;
    float3 texColour = gSprite.Sample(gSpriteSampler, uv).rgb;
    float3 lit = gColor.rgb * texColour * (kAmbient + (1.0 - kAmbient) * transmitted * gLightColor.rgb);

    float a = saturate(alpha);
    SmokeOutput o;
    o.albedo = float4(0.0, 0.0, 0.0, a);
    o.normalDepth = float4(0.0, 0.0, 0.0, 0.0);
    o.material = float4(0.0, 0.0, 0.0, 0.0);
    o.emissive = float4(lit, a);
    o.velocity = float4(0.0, 0.0, 0.0, 0.0);
    return o;
})";

const char* const kOldOpacity = R"(// Smoke as seen by the light: one slice of sorted particles drawn into the opacity map with
// "over" blending of white, so the red channel becomes 1 - the product of the transmittances
// of the sprites drawn so far at each texel.
#include "smoke.hlsli"

struct OpacityVertex
{
    float3 lightClip : TEXCOORD0;
    float life : TEXCOORD1;
    float visible : TEXCOORD2;
};

struct OpacityPixel
{
    float4 pos : SV_Position;
    float2 corner : TEXCOORD0;
    float life : TEXCOORD1;
};

OpacityVertex VS(uint id : SV_VertexID)
{
    OpacityVertex o;
    float3 position, velocity;
    float life;
    bool visible = readSprite(id, position, velocity, life);
    o.lightClip = mul(float4(position, 1.0), gLightViewProj).xyz;
    o.life = life;
    o.visible = visible && all(abs(o.lightClip) < 1.0e30) ? 1.0 : 0.0;
    return o;
}

[maxvertexcount(4)]
void GS(point OpacityVertex input[1], inout TriangleStream<OpacityPixel> stream)
{
    OpacityVertex v = input[0];
    if (v.visible < 0.5)
        return;
    float half = gSize * gLightScale;
    const float2 corners[4] = {float2(-1.0, 1.0), float2(1.0, 1.0), float2(-1.0, -1.0), float2(1.0, -1.0)};
    [unroll] for (uint i = 0; i < 4; ++i)
    {
        OpacityPixel o;
        o.pos = float4(v.lightClip.xy + corners[i] * half, saturate(v.lightClip.z), 1.0);
        o.corner = corners[i];
        o.life = v.life;
        stream.Append(o);
    }
    stream.RestartStrip();
}

float4 PS(OpacityPixel i) : SV_Target
{
    return float4(1.0, 1.0, 1.0, saturate(spriteOpacity(i.corner, i.life)));
}
)";

struct Particle {
  float position[3];
  float age;
  float velocity[3];
  float lifetime;
};

// The old G-buffer state: one "over" blend on all five targets.
RenderStateDesc oldGBufferState() {
  RenderStateDesc s = RenderStateDesc::zeroed();
  s.flags = kCullBack;
  s.depthFunc = D3D11_COMPARISON_LESS_EQUAL;
  s.colourBlend[0] = blendWord(D3D11_BLEND_SRC_ALPHA, D3D11_BLEND_INV_SRC_ALPHA, D3D11_BLEND_OP_ADD);
  return s;
}

// `count` living particles in a cloud, of every age, at records `stride` apart from `first`
// (the rest dead).
std::vector<Particle> cloud(int count, int first = 0, int stride = 1) {
  std::vector<Particle> all(sim::kParticleCount, Particle{});
  uint32_t state = 12345u;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return float(state >> 8) / 16777216.0f;
  };
  for (int i = 0; i < count; ++i) {
    const float lifetime = 1.0f + next() * 3.0f;
    all[size_t(first + i * stride)] = {
        {next() * 3.0f - 1.5f, next() * 2.0f - 0.5f, next() * 3.0f - 1.5f}, next() * lifetime, {0, 0, 0}, lifetime};
  }
  return all;
}

// The largest difference between two pictures' values, and how many values differ.
struct Difference {
  float largest = 0.0f;
  size_t count = 0;
};
Difference difference(const std::vector<float>& a, const std::vector<float>& b) {
  Difference d;
  if (a.size() != b.size()) return {1e30f, a.size() + b.size()};
  for (size_t i = 0; i < a.size(); ++i) {
    const float e = std::fabs(a[i] - b[i]);
    if (!(e <= d.largest)) d.largest = e;
    d.count += a[i] != b[i];
  }
  return d;
}

class SmokeBudgetGpuTest : public SceneGpuTest {
 protected:
  SmokeBudgetGpuTest() { size = 96; }
  void SetUp() override {
    SceneGpuTest::SetUp();
    wasLoading_ = isLoading;
    isLoading = false;  // frames as the player draws them once loaded
    setParam(system, "Gravity.X", 0.0f);
    setParam(system, "PlaneHeight", -10.0f);
    connect(system, ParticleSysOp::Renderer, smoke);
    setParam(smoke, "ParticleSize", 0.35f);
    setParam(smoke, "Color.R", 0.8f);
    setParam(smoke, "Color.G", 0.7f);
    setParam(smoke, "Color.B", 0.6f);
    setParam(smoke, "Color.A", 0.3f);
  }
  void TearDown() override {
    sim::particleScope() = {};
    isLoading = wasLoading_;
    SceneGpuTest::TearDown();
  }
  bool wasLoading_ = true;

  std::unique_ptr<ShaderProgram> program(const char* text, const char* name) {
    auto p = std::make_unique<ShaderProgram>(device());
    for (uint32_t stage : {0u, 3u, 4u}) {
      const char* entry = stage == 0 ? "VS" : stage == 3 ? "GS" : "PS";
      blobs_.push_back(
          compileShader(stage, kStageProfile[stage], text, entry, "data/shaders/particles/replaced.hlsl"));
      if (!blobs_.back() || !p->attachStage(stage, *blobs_.back(), std::string(name) + entry)) {
        ADD_FAILURE() << "the replaced shader does not compile: " << lastCompileError();
        return nullptr;
      }
    }
    return p;
  }

  // The particles over a G-buffer whose targets hold a pattern, drawn in one frame: the five
  // targets and the opacity map's red channel (the one the smoke reads).
  struct Picture {
    std::vector<float> targets[5];
    std::vector<float> opacity;
  };
  Picture draw(const std::vector<Particle>& all) {
    newFrame();
    evaluate(system, 0.0f, context);
    Texture* b = functionOf<ParticleSysOp::ParticleSysFunction>(system).buffer();
    device()->context()->updateSubresource(b, 0, all.data(), 0, 0);
    newFrame();
    for (int i = 0; i < 5; ++i) {
      const float pattern[4] = {0.25f + 0.1f * float(i), 0.5f, 0.75f, 0.5f};
      clearTexture(device(), context.gbuffer[i], pattern);
    }
    evaluate(system, 0.0f, context);
    Picture p;
    for (int i = 0; i < 5; ++i) p.targets[i] = readTarget(i).data;
    const std::vector<uint8_t> map = readBack(smokeFunction().opacityMap());
    for (size_t i = 0; i < map.size(); i += 4) p.opacity.push_back(float(map[i]) / 255.0f);
    return p;
  }

  sim::SmokeRendererOp::SmokeRendererFunction& smokeFunction() {
    return functionOf<sim::SmokeRendererOp::SmokeRendererFunction>(smoke);
  }

  ParticleSysOp system;
  sim::SmokeRendererOp smoke;

 private:
  std::vector<std::unique_ptr<ShaderBlob>> blobs_;
};

}  // namespace

TEST_F(SmokeBudgetGpuTest, CheaperSmokeDrawsWhatTheReplacedSmokeDrew) {
  lookFrom({0.3f, 0.8f, -4.5f});
  const std::vector<Particle> particles = cloud(3000);  // three slices
  const Picture now = draw(particles);
  auto& f = smokeFunction();
  auto oldSprites = program(kOldSprites, "oldSprites");
  auto oldOpacity = program(kOldOpacity, "oldOpacity");
  ASSERT_TRUE(oldSprites && oldOpacity && f.spriteProgram() && f.opacityProgram());
  oldSprites->state = device()->stateFor(oldGBufferState());
  oldOpacity->state = device()->stateFor(sim::smokeOpacityState());
  // The old sprite program read the opacity map in its pixel stage.
  oldSprites->setResource(4, 2, f.opacityMap());
  oldSprites->setSampler(4, 1, device()->samplerFor(SamplerDesc::forMode(samplerMode(7, 1, 1, 1))));
  std::swap(f.spriteProgram(), oldSprites);
  std::swap(f.opacityProgram(), oldOpacity);
  const Picture before = draw(particles);
  std::swap(f.spriteProgram(), oldSprites);
  std::swap(f.opacityProgram(), oldOpacity);

  // The smoke is there: it darkened the albedo and lit the emissive target over much of the
  // picture, and filled part of the opacity map, some of it in its own shadow.
  size_t smoked = 0;
  for (size_t i = 0; i < now.targets[0].size(); i += 4) smoked += now.targets[0][i] < 0.2f;
  EXPECT_GT(smoked, now.targets[0].size() / 4 / 10);
  EXPECT_GT(std::count_if(now.opacity.begin(), now.opacity.end(), [](float v) { return v > 0.1f; }), 1000);

  // The albedo (darkened by the opacity alone) and the targets the smoke leaves are the same
  // bits; the emissive colour moves by the rounding of the light read at the particle's centre
  // instead of at the same point from each pixel, far below a step of its half floats, and the
  // opacity map not at all.
  for (int i : {0, 1, 2, 4}) EXPECT_EQ(before.targets[i], now.targets[i]) << "target " << i;
  const Difference emissive = difference(before.targets[3], now.targets[3]);
  EXPECT_LE(emissive.largest, 1.0f / 1024.0f);
  EXPECT_LE(emissive.count, now.targets[3].size() / 1000);
  EXPECT_EQ(before.opacity, now.opacity);
}

// Slices past the last living particle draw nothing, and are not drawn: whatever the records
// the living particles start in (the sort gathers them at the front), the slices they fill are
// drawn, and the pictures are those of every slice drawn.
TEST_F(SmokeBudgetGpuTest, OnlyTheSlicesOfLivingParticlesAreDrawn) {
  lookFrom({0.3f, 0.8f, -4.5f});
  auto& f = smokeFunction();
  struct Case {
    int count, first, stride;
    uint32_t slices;
  };
  const uint32_t slice = sim::kSmokeSlice;
  const Case cases[] = {
      {0, 0, 1, 0},                                   // none alive
      {1, int(sim::kParticleCount) - 1, 1, 1},        // one, in the last record
      {int(slice), 5, 31, 1},                         // exactly one slice, spread over the buffer
      {int(slice) + 1, 3, 29, 2},                     // one more
      {2500, int(sim::kParticleCount) - 2500, 1, 3},  // the last records
      {int(sim::kParticleCount) - 1000, 1000, 1, 32},  // all but the first records: past the last slice's start
  };
  for (const Case& c : cases) {
    const std::vector<Particle> particles = cloud(c.count, c.first, c.stride);
    f.drawEverySlice = false;
    const Picture skipping = draw(particles);
    EXPECT_EQ(f.lastSlices, c.slices) << c.count << " living";
    f.drawEverySlice = true;
    const Picture every = draw(particles);
    EXPECT_EQ(f.lastSlices, sim::kParticleCount / slice);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(skipping.targets[i], every.targets[i]) << c.count << " living, target " << i;
    EXPECT_EQ(skipping.opacity, every.opacity) << c.count << " living";
  }
  f.drawEverySlice = false;
}

// The warm-up while loading draws every slice, living particles or not, whether it sketches
// its draws or not: a production's smoke has nothing alive when it loads, and its programs'
// pipelines must be made then, not in the first frame that has smoke. (The player's warm-up
// tests hold the sketched warm-up to the full one.)
TEST_F(SmokeBudgetGpuTest, AWarmUpWithNothingAliveMakesWhatTheSmokeNeedsLater) {
  lookFrom({0.3f, 0.8f, -4.5f});
  sim::BoxEmitterOp emitter;
  connect(system, ParticleSysOp::Emitter, emitter);
  setParam(emitter, "SpawnRate", 3000.0f);
  isLoading = true;
  newFrame();
  evaluate(system, 0.0f, context);  // no time has passed: nothing is emitted
  isLoading = false;
  EXPECT_EQ(smokeFunction().lastSlices, sim::kParticleCount / sim::kSmokeSlice);
  device()->waitIdle();
  const uint64_t created = device()->counters().total();
  newFrame();
  evaluate(system, 0.1f, context);
  device()->waitIdle();
  EXPECT_EQ(smokeFunction().lastSlices, 1u);  // 300 born
  EXPECT_EQ(device()->counters().total(), created);
}


// The cheaper smoke draws the smoke the replaced one drew. The case keeps the replaced
// sprite program's text (the sprite texture read twice a pixel at the same coordinates) and
// its state (every G-buffer target blended "over"), draws a few slices of smoke through them
// and through today's program and state, and compares the G-buffer and the opacity map.
//
// Today the one read serves the opacity and the colour, and the normal, material and
// velocity targets are not written, where blending alpha 0 into them kept them as they
// were: the same bits everywhere.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

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

class SmokeBudgetGpuTest : public SceneGpuTest {
 protected:
  SmokeBudgetGpuTest() { size = 96; }
  void SetUp() override {
    SceneGpuTest::SetUp();
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
    SceneGpuTest::TearDown();
  }

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

  // 3000 particles (three slices) in a cloud, of every age, over a G-buffer whose targets hold
  // a pattern, drawn in one frame: the five targets and the opacity map.
  struct Picture {
    std::vector<float> targets[5];
    std::vector<float> opacity;
  };
  Picture draw() {
    newFrame();
    evaluate(system, 0.0f, context);
    std::vector<Particle> all(sim::kParticleCount, Particle{});
    uint32_t state = 12345u;
    auto next = [&state] {
      state = state * 1664525u + 1013904223u;
      return float(state >> 8) / 16777216.0f;
    };
    for (int i = 0; i < 3000; ++i) {
      const float lifetime = 1.0f + next() * 3.0f;
      all[i] = {{next() * 3.0f - 1.5f, next() * 2.0f - 0.5f, next() * 3.0f - 1.5f}, next() * lifetime, {0, 0, 0},
                lifetime};
    }
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
    for (uint8_t v : readBack(functionOf<sim::SmokeRendererOp::SmokeRendererFunction>(smoke).opacityMap()))
      p.opacity.push_back(float(v) / 255.0f);
    return p;
  }

  ParticleSysOp system;
  sim::SmokeRendererOp smoke;

 private:
  std::vector<std::unique_ptr<ShaderBlob>> blobs_;
};

}  // namespace

TEST_F(SmokeBudgetGpuTest, CheaperSmokeDrawsWhatTheReplacedSmokeDrew) {
  lookFrom({0.3f, 0.8f, -4.5f});
  const Picture now = draw();
  auto& f = functionOf<sim::SmokeRendererOp::SmokeRendererFunction>(smoke);
  auto oldSprites = program(kOldSprites, "oldSprites");
  ASSERT_TRUE(oldSprites && f.spriteProgram());
  oldSprites->state = device()->stateFor(oldGBufferState());
  std::swap(f.spriteProgram(), oldSprites);
  const Picture before = draw();
  std::swap(f.spriteProgram(), oldSprites);

  // The smoke is there: it darkened the albedo and lit the emissive target over much of the
  // picture, and filled part of the opacity map.
  size_t smoked = 0;
  for (size_t i = 0; i < now.targets[0].size(); i += 4) smoked += now.targets[0][i] < 0.2f;
  EXPECT_GT(smoked, now.targets[0].size() / 4 / 10);
  EXPECT_GT(std::count_if(now.opacity.begin(), now.opacity.end(), [](float v) { return v > 0.1f; }), 1000);

  for (int i = 0; i < 5; ++i) EXPECT_EQ(before.targets[i], now.targets[i]) << "target " << i;
  EXPECT_EQ(before.opacity, now.opacity);
}

// The cheaper light shaders must show what the shaders they replaced showed. Each case keeps
// the replaced shader's text, lights the same small scene through it and through today's
// shader, and bounds the difference as a peak signal-to-noise ratio over the colour channels
// (peak: the brightest channel of the old picture, at least 1).
//
// Bounds: a power written as products changes float rounding only, far below one step of the
// half-float light map: at least 60 dB (one step everywhere would be about 66 dB). The spot's
// in-scattering reads its shadow map once a step where it read nine texels: the shadowed
// part of the shaft keeps its place and only its edge moves by under a texel, at least 45 dB
// (already invisible on a picture). Its march also leaves out the steps outside the cone,
// where nothing is added: an unshadowed shaft must stay exactly as it was, seen across the
// cone and along its axis from either side. The image-based term no longer reads the
// G-buffer and environment for surfaces whose multiplier is 0, which added exactly nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "tests/scene/LightingGpuSupport.h"

namespace {

using lightref::HalfImage;

const char* const kOldSpotLight = R"(#include "common/gbuffer.hlsli"
#include "common/lighting.hlsli"

// The distance falloff as it was, with a fourth power through pow.
float oldDistanceFalloff(float d, float range)
{
    float r = max(range, 1e-4);
    float x = saturate(1.0 - pow(d / r, 4.0));
    return x * x / (d * d + 1.0);
}

cbuffer SpotLightConstants : register(b0)
{
    float4x4 gWorldViewProj;     // the cone volume
    float4x4 gInvWorldViewProj;  // inverse of view x projection
    float4x4 gInvView;           // the camera matrix
    float4x4 gLightWVP;          // world -> the spot's shadow map
    float4 gEyePos;
    float4 gLightPos;
    float4 gLightCol;            // multiplied by the brightness
    float4 gLightDir;            // unit length, where the spot points
    float4 gLightScattParams;    // density, multiplier, falloff, shadows in the scattering
    float2 gRegionScale;
    float2 gRegionOffset;
    float gLightHeight;          // the far plane: the light's range
    float gLightCosAngle;        // cosine of half the cone angle
    float gShadows;
    float gScattSteps;
};

Texture2D gSpotShadowMap : register(t5);

struct VolumeVertex
{
    float4 pos : SV_POSITION;
    float4 clip : TEXCOORD0;
};

VolumeVertex VS(float3 pos : POSITION)
{
    VolumeVertex o;
    o.pos = mul(float4(pos, 1.0), gWorldViewProj);
    o.clip = o.pos;
    return o;
}

// Light arriving at pos from the spot (cone, soft edge, range), before shadows.
float spotFactor(float3 pos, out float3 L)
{
    float3 toLight = gLightPos.xyz - pos;
    float d = length(toLight);
    L = directionOr(toLight, -gLightDir.xyz);
    float cosOuter = clamp(gLightCosAngle, -1.0, 1.0);
    // The soft edge spans the outer fifth of the half angle.
    float cosInner = cos(acos(cosOuter) * 0.8);
    float cone = smoothstep(cosOuter, max(cosInner, cosOuter + 1e-4), dot(-L, gLightDir.xyz));
    return cone * oldDistanceFalloff(d, gLightHeight);
}

// Fraction of the spot's light reaching pos (normal n, 0 for points in the air).
float spotShadow(float3 pos, float3 n, float3 L)
{
    float cosA = clamp(gLightCosAngle, 1e-3, 1.0);
    float tanHalf = sqrt(saturate(1.0 - cosA * cosA)) / cosA;
    float d = max(dot(pos - gLightPos.xyz, gLightDir.xyz), 1.0);
    float texel = 2.0 * d * tanHalf / 2048.0;
    float3 offset = pos + n * (1.5 * texel) + L * texel;
    float3 c = shadowMapCoord(mul(float4(offset, 1.0), gLightWVP));
    return shadowFilter(gSpotShadowMap, c.xy, c.z, 1.0 / 2048.0);
}

float3 spotScattering(float3 eye, float3 rayEnd, float2 pixel)
{
    float3 ray = rayEnd - eye;
    float len = length(ray);
    if (len <= 1e-6)
        return float3(0.0, 0.0, 0.0);
    float3 dir = ray / len;
    // March only through the sphere of the light's range.
    float3 rel = gLightPos.xyz - eye;
    float tc = dot(rel, dir);
    float h2 = max(dot(rel, rel) - tc * tc, 0.0);
    float range = max(gLightHeight, 1e-4);
    if (h2 >= range * range)
        return float3(0.0, 0.0, 0.0);
    float halfChord = sqrt(range * range - h2);
    float t0 = max(0.0, tc - halfChord);
    float t1 = min(len, tc + halfChord);
    if (t1 <= t0)
        return float3(0.0, 0.0, 0.0);
    int steps = clamp(int(gScattSteps), 1, 128);
    float stepLength = (t1 - t0) / steps;
    float jitter = pixelNoise(pixel);
    bool shadowed = gShadows > 0.5 && gLightScattParams.w > 0.5;
    float sum = 0.0;
    for (int k = 0; k < steps; ++k)
    {
        float3 pos = eye + dir * (t0 + (k + jitter) * stepLength);
        float3 L;
        float f = spotFactor(pos, L);
        if (f <= 0.0)
            continue;
        float d = length(gLightPos.xyz - pos);
        f *= pow(saturate(1.0 - d / range), max(gLightScattParams.z, 0.0));
        if (shadowed)
            f *= spotShadow(pos, float3(0.0, 0.0, 0.0), L);
        sum += f;
    }
    return gLightCol.rgb * (sum * stepLength * gLightScattParams.x * gLightScattParams.y);
}

float4 PS(VolumeVertex i) : SV_TARGET
{
    float2 uv = clipToViewportUv(i.clip);
    LitPixel p = readLitPixel(uv, gInvWorldViewProj, gInvView, gEyePos.xyz, gRegionScale, gRegionOffset);
    float3 result = float3(0.0, 0.0, 0.0);
    if (p.hasGeometry)
    {
        float3 L;
        float f = spotFactor(p.position, L);
        if (f > 0.0)
        {
            if (gShadows > 0.5)
                f *= spotShadow(p.position, p.normal, L);
            result = evaluateBrdfLight(p.normal, p.toEye, L, p.surface, gLightCol.rgb * f);
        }
    }
    if (gLightScattParams.y > 0.0)
        result += spotScattering(gEyePos.xyz, viewRayEnd(uv, p, gInvWorldViewProj), i.pos.xy);
    return float4(result, 1.0);
})";

const char* const kOldPointLight = R"(#include "common/gbuffer.hlsli"
#include "common/lighting.hlsli"

// The distance falloff as it was, with a fourth power through pow.
float oldDistanceFalloff(float d, float range)
{
    float r = max(range, 1e-4);
    float x = saturate(1.0 - pow(d / r, 4.0));
    return x * x / (d * d + 1.0);
}

cbuffer PointLightConstants : register(b0)
{
    float4x4 gWorldViewProj;     // the volume: scale 1.2 x radius, at the light
    float4x4 gInvWorldViewProj;  // inverse of view x projection
    float4x4 gInvView;           // the camera matrix
    float4 gEyePos;
    float4 gLightPos;
    float4 gLightCol;            // not multiplied by the brightness
    float4 gLightScattParams;    // density, multiplier, falloff
    float2 gRegionScale;
    float2 gRegionOffset;
    float gLightRadius;
    float gLightBrightness;
};

struct VolumeVertex
{
    float4 pos : SV_POSITION;
    float4 clip : TEXCOORD0;
};

VolumeVertex VS(float3 pos : POSITION)
{
    VolumeVertex o;
    o.pos = mul(float4(pos, 1.0), gWorldViewProj);
    o.clip = o.pos;
    return o;
}

float4 PS(VolumeVertex i) : SV_TARGET
{
    float2 uv = clipToViewportUv(i.clip);
    LitPixel p = readLitPixel(uv, gInvWorldViewProj, gInvView, gEyePos.xyz, gRegionScale, gRegionOffset);
    float3 colour = gLightCol.rgb * gLightBrightness;
    float3 result = float3(0.0, 0.0, 0.0);
    float3 toLight = gLightPos.xyz - p.position;
    float d = length(toLight);
    // The volume is larger than the light's reach: beyond the radius nothing arrives.
    if (p.hasGeometry && d < gLightRadius)
    {
        float3 L = directionOr(toLight, p.normal);
        result = evaluateBrdfLight(p.normal, p.toEye, L, p.surface, colour * oldDistanceFalloff(d, gLightRadius));
    }
    if (gLightScattParams.y > 0.0)
    {
        float s = pointScattering(gEyePos.xyz, viewRayEnd(uv, p, gInvWorldViewProj), gLightPos.xyz, gLightRadius,
                                  gLightScattParams.z);
        result += colour * (s * gLightScattParams.x * gLightScattParams.y);
    }
    return float4(result, 1.0);
})";

const char* const kOldImageLighting = R"(#include "common/fullscreen.hlsli"
#include "common/lighting.hlsli"

cbuffer ImageLightingConstants : register(b0)
{
    float4x4 gInvWorldViewProj;
    float4x4 gInvView;
    float4 gEyePos;
    float2 gRegionScale;
    float2 gRegionOffset;
};

TextureCube gEnvironment : register(t5);
Texture2D gBrdfLookup : register(t6);
SamplerState gEnvironmentSampler : register(s2);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    LitPixel p = readLitPixel(i.uv, gInvWorldViewProj, gInvView, gEyePos.xyz, gRegionScale, gRegionOffset);
    if (!p.hasGeometry)
        return float4(0.0, 0.0, 0.0, 0.0);
    uint width, height, levels;
    gEnvironment.GetDimensions(0, width, height, levels);
    float roughness = saturate(p.surface.roughness);
    float NdotV = saturate(dot(p.normal, p.toEye));
    float3 R = reflect(-p.toEye, p.normal);
    float3 prefiltered = gEnvironment.SampleLevel(gEnvironmentSampler, R, environmentMip(roughness, levels)).rgb;
    float3 irradiance = gEnvironment.SampleLevel(gEnvironmentSampler, p.normal, max(float(levels) - 1.0, 0.0)).rgb;
    float2 envBrdf = gBrdfLookup.SampleLevel(gPointSampler, float2(NdotV, roughness), 0).rg;
    float3 light = evaluateImageLight(p.normal, p.toEye, p.surface, prefiltered, irradiance, envBrdf);
    return float4(light * p.iblMultiplier, 0.0);
})";

double psnr(const HalfImage& reference, const HalfImage& test) {
  double peak = 1.0, squares = 0.0;
  const size_t pixels = size_t(reference.width) * reference.height;
  for (size_t i = 0; i < pixels; ++i)
    for (int c = 0; c < 3; ++c) {
      const double a = reference.texels[i * 4 + c], b = test.texels[i * 4 + c];
      peak = std::max(peak, a);
      squares += (a - b) * (a - b);
    }
  const double mse = squares / (3.0 * double(pixels));
  return mse == 0.0 ? 1e9 : 10.0 * std::log10(peak * peak / mse);
}

class LightBudgetGpuTest : public LightingGpuTest {
 protected:
  // A program like `like` (its state) from shader text.
  std::unique_ptr<ShaderProgram> program(const char* text, const ShaderProgram* like) {
    auto p = std::make_unique<ShaderProgram>(device());
    const std::string name = "replaced" + std::to_string(++compiled_);
    for (auto [stage, entry] : {std::pair<uint32_t, const char*>{0, "VS"}, {4, "PS"}}) {
      blobs_.push_back(compileShader(stage, kStageProfile[stage], text, entry, "data/shaders/replaced.hlsl"));
      if (!blobs_.back() || !p->attachStage(stage, *blobs_.back(), name + entry)) {
        ADD_FAILURE() << "the replaced shader does not compile: " << lastCompileError();
        return nullptr;
      }
    }
    p->state = like ? like->state : nullptr;
    return p;
  }

  // A floor with a ball above it, seen from `from`, lit by `addLights` in a fresh frame;
  // the ball takes some image-based light (the floor floorIbl).
  HalfImage lightScene(const std::function<void()>& addLights) {
    newFrame();
    setCamera(from, lookAt, 55.0f);
    addLights();
    const Mesh* floor = quadMesh();
    const Mesh* ball = sphereMesh(24);
    Material floorMaterial, ballMaterial;
    floorMaterial.roughness = 0.6f;
    floorMaterial.ibl = floorIbl;
    ballMaterial.roughness = 0.6f;
    ballMaterial.ibl = 0.3f;
    Operator& pass = lightPass([&] {
      draw(floor, mat::scaling({16, 1, 16}), floorMaterial);
      draw(ball, mat::scaling({0.8f, 0.8f, 0.8f}) * mat::translation({0.2f, 1.6f, 0.3f}), ballMaterial);
    });
    return light(pass);
  }

  // Today's picture and the one `slot` showed with the replaced shader in it.
  std::pair<HalfImage, HalfImage> nowAndBefore(std::unique_ptr<ShaderProgram>& slot, const char* oldText,
                                               const std::function<void()>& addLights) {
    const HalfImage now = lightScene(addLights);
    auto old = program(oldText, slot.get());
    if (!old) return {now, HalfImage{}};
    std::swap(slot, old);
    const HalfImage before = lightScene(addLights);
    std::swap(slot, old);
    return {now, before};
  }

  Float3 from{0, 1.5f, -7}, lookAt{0, 0.8f, 0};
  float floorIbl = 0.0f;

 private:
  std::vector<std::unique_ptr<ShaderBlob>> blobs_;
  int compiled_ = 0;
};

SpotLightRecord shaftSpot(bool shadowedShaft) {
  SpotLightRecord r;
  r.position = {0.3f, 4.5f, 0.4f, 1};
  r.direction = {0, -1, 0, 0};
  r.colour = {4.0f, 3.6f, 3.0f, 0};
  r.angle = 45.0f;
  r.farPlane = 8.0f;
  r.castsShadows = 1;
  r.scattering = {1.0f, 1.0f, 1.0f, shadowedShaft ? 1.0f : 0.0f};  // density, multiplier, falloff, shadows
  r.scatteringSteps = 64;  // short steps: a march cut off too early or late shows
  return r;
}

}  // namespace

TEST_F(LightBudgetGpuTest, CheaperLightShadersShowWhatTheReplacedOnesShowed) {
  // Across the cone; from above the light looking down its axis; from the floor looking up.
  const Float3 views[3][2] = {{{0, 1.5f, -7}, {0, 0.8f, 0}}, {{0.2f, 7.5f, 0.3f}, {0.3f, 0, 0.5f}},
                              {{0.6f, -0.9f, 0.2f}, {0.3f, 4.5f, 0.4f}}};
  for (const auto& view : views) {
    from = view[0];
    lookAt = view[1];
    auto [now, before] = nowAndBefore(sLighting->spotProgram, kOldSpotLight,
                                      [] { spotLights().push_back(shaftSpot(false)); });
    ASSERT_EQ(before.texels.size(), now.texels.size());
    EXPECT_EQ(before.texels, now.texels) << "unshadowed shaft seen from " << from.x << "," << from.y << "," << from.z;
  }
  from = views[0][0];
  lookAt = views[0][1];
  {
    SCOPED_TRACE("spot light with a shadowed shaft");
    auto [now, before] = nowAndBefore(sLighting->spotProgram, kOldSpotLight,
                                      [] { spotLights().push_back(shaftSpot(true)); });
    ASSERT_EQ(before.texels.size(), now.texels.size());
    EXPECT_GE(psnr(before, now), 45.0);
    // The ball's shadow in the shaft is part of this picture: a shaft without it (about
    // 34 dB away) would break the bound above.
    const HalfImage unshadowed = lightScene([] { spotLights().push_back(shaftSpot(false)); });
    EXPECT_LT(psnr(before, unshadowed), 42.0);
  }
  {
    SCOPED_TRACE("image-based term, no lights");
    // The term's own pass, drawn after the combine when the one pass of both is not there.
    std::unique_ptr<ShaderProgram> combined;
    std::swap(sLighting->imageCombinedProgram, combined);
    auto [now, before] = nowAndBefore(sLighting->imageProgram, kOldImageLighting, [] {});
    ASSERT_EQ(before.texels.size(), now.texels.size());
    EXPECT_EQ(before.texels, now.texels);
    // The term is there: on the ball, and on the floor once it takes some.
    floorIbl = 0.5f;
    const HalfImage floorLit = lightScene([] {});
    floorIbl = 0.0f;
    EXPECT_NE(floorLit.texels, now.texels);
    EXPECT_TRUE(std::any_of(now.texels.begin(), now.texels.end(), [](float v) { return v > 0.01f; }));
    std::swap(sLighting->imageCombinedProgram, combined);
  }
  {
    SCOPED_TRACE("point light");
    auto [now, before] = nowAndBefore(sLighting->pointProgram, kOldPointLight, [] {
      PointLightRecord r;
      r.position = {-0.5f, 0.6f, -0.8f, 1};
      r.colour = {1.0f, 0.6f, 0.3f, 0};
      r.radius = 3.0f;
      r.brightness = 3.0f;
      r.scattering = {0.25f, 0.5f, 1.0f, 0};
      pointLights().push_back(r);
    });
    ASSERT_EQ(before.texels.size(), now.texels.size());
    EXPECT_GE(psnr(before, now), 60.0);
  }
}

// The light shaders hand their constants (and the terms made of constants alone) from the
// vertex shader to the pixels as flat inputs: on a CPU driver each constant a pixel shader
// reads is a load on every pixel, a flat input is not. The pixels must compute exactly what
// they computed when they read the constants themselves: each case keeps the replaced text,
// lights the same small scene through it and through today's shader, and wants the same
// bits. Each light is also seen to add something, so a pass that drew nothing would fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "tests/scene/LightingGpuSupport.h"

namespace {

using lightref::HalfImage;

// data/shaders/dirlight.hlsl as it read its constants in the pixel shader.
const char* const kConstantDirLight = R"hlsl(// A directional light over the whole region, with two shadow cascades: a full-screen
// triangle added into the light map.
#include "common/fullscreen.hlsli"
#include "common/lighting.hlsli"

cbuffer DirLightConstants : register(b0)
{
    float4x4 gInvWorldViewProj;  // inverse of view x projection
    float4x4 gInvView;           // the camera matrix
    float4x4 gLightWVPcs0;       // world -> cascade 0 (light view x cascade projection)
    float4x4 gLightWVPcs1;
    float4 gEyePos;
    float4 gLightDir;            // towards the light, not normalised
    float4 gLightColor;
    float2 gRegionScale;
    float2 gRegionOffset;
    float2 gClipZ;               // device depths where cascade 0 and cascade 1 end
    float gShadows;              // 1: the cascades hold this light's casters
};

Texture2D gCascade0 : register(t5);
Texture2D gCascade1 : register(t6);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

// World size of one texel of a cascade: its projection maps the box width to 2.
float cascadeTexel(float4x4 wvp)
{
    float3 xAxis = float3(wvp[0][0], wvp[1][0], wvp[2][0]);
    return 2.0 / (max(length(xAxis), 1e-12) * 1024.0);
}

float cascadeShadow(float4x4 wvp, Texture2D map, LitPixel p, float3 L)
{
    float texel = cascadeTexel(wvp);
    // Pushed off the surface along its normal and towards the light, by texel sizes, so a
    // lit surface does not shadow itself.
    float3 pos = p.position + p.normal * (1.5 * texel) + L * texel;
    float3 c = shadowMapCoord(mul(float4(pos, 1.0), wvp));
    return shadowFilter(map, c.xy, c.z, 1.0 / 1024.0);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    LitPixel p = readLitPixel(i.uv, gInvWorldViewProj, gInvView, gEyePos.xyz, gRegionScale, gRegionOffset);
    if (!p.hasGeometry)
        return float4(0.0, 0.0, 0.0, 1.0);
    float3 L = directionOr(gLightDir.xyz, float3(0.0, 1.0, 0.0));
    float lit = 1.0;
    if (gShadows > 0.5)
    {
        if (p.deviceDepth <= gClipZ.x)
            lit = cascadeShadow(gLightWVPcs0, gCascade0, p, L);
        else if (p.deviceDepth <= gClipZ.y)
            lit = cascadeShadow(gLightWVPcs1, gCascade1, p, L);
    }
    return float4(evaluateBrdfLight(p.normal, p.toEye, L, p.surface, gLightColor.rgb) * lit, 1.0);
}
)hlsl";

// data/shaders/pointLight.hlsl as it read its constants in the pixel shader.
const char* const kConstantPointLight = R"hlsl(// A point light drawn as its sphere volume into the light map: the surfaces inside its
// radius, and the light scattered by the air along each view ray through it.
#include "common/gbuffer.hlsli"
#include "common/lighting.hlsli"

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
        result = evaluateBrdfLight(p.normal, p.toEye, L, p.surface, colour * distanceFalloff(d, gLightRadius));
    }
    if (gLightScattParams.y > 0.0)
    {
        float s = pointScattering(gEyePos.xyz, viewRayEnd(uv, p, gInvWorldViewProj), gLightPos.xyz, gLightRadius,
                                  gLightScattParams.z);
        result += colour * (s * gLightScattParams.x * gLightScattParams.y);
    }
    return float4(result, 1.0);
}
)hlsl";

// data/shaders/spotLight.hlsl as it read its constants in the pixel shader.
const char* const kConstantSpotLight = R"hlsl(// A spot light drawn as its cone volume into the light map: a cone with a soft edge and a
// range of FarPlane, a perspective shadow map, and in-scattering marched along the view ray
// (optionally shadowed).
#include "common/gbuffer.hlsli"
#include "common/lighting.hlsli"

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

// The cosines where the cone's soft edge starts and ends: it spans the outer fifth of the
// half angle.
float2 coneEdges()
{
    float cosOuter = clamp(gLightCosAngle, -1.0, 1.0);
    float cosInner = cos(acos(cosOuter) * 0.8);
    return float2(cosOuter, max(cosInner, cosOuter + 1e-4));
}

// Light arriving at pos from the spot (cone, soft edge, range), before shadows; d is the
// distance to the light.
float spotFactor(float3 pos, float2 edges, out float3 L, out float d)
{
    float3 toLight = gLightPos.xyz - pos;
    d = length(toLight);
    L = directionOr(toLight, -gLightDir.xyz);
    float cone = smoothstep(edges.x, edges.y, dot(-L, gLightDir.xyz));
    return cone * distanceFalloff(d, gLightHeight);
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

// spotShadow for a point in the air: one comparison, where a surface takes the mean of nine
// (the march's jittered steps already average across the shadow's edge).
float spotShadowInAir(float3 pos, float3 L, float texelPerDistance)
{
    float d = max(dot(pos - gLightPos.xyz, gLightDir.xyz), 1.0);
    float texel = d * texelPerDistance;
    float3 c = shadowMapCoord(mul(float4(pos + L * texel, 1.0), gLightWVP));
    if (any(c.xy < 0.0) || any(c.xy > 1.0) || c.z >= 1.0)
        return 1.0;
    return gSpotShadowMap.SampleCmpLevelZero(gShadowSampler, c.xy, c.z);
}

// The part [ta, tb] of the line eye + t dir (dir unit length) inside the cone of cosine
// cosOuter around the spot's axis, on the light's side of its apex. False when the line
// misses it; when the line runs too close to parallel to the cone's side for the roots to
// be trusted, the whole line.
bool coneSpan(float3 eye, float3 dir, float cosOuter, out float ta, out float tb)
{
    ta = -3.0e38;
    tb = 3.0e38;
    float3 w = eye - gLightPos.xyz;
    float uD = dot(dir, gLightDir.xyz), wD = dot(w, gLightDir.xyz);
    float c2 = cosOuter * cosOuter;
    // (axial distance)^2 - c2 (distance)^2 along the line: a t^2 + b t + c.
    float a = uD * uD - c2;
    float b = 2.0 * (uD * wD - c2 * dot(dir, w));
    float c = wD * wD - c2 * dot(w, w);
    if (abs(a) < 1e-3)
        return true;
    float disc = b * b - 4.0 * a * c;
    if (a < 0.0)
    {
        // The line is steeper than the cone's side: inside between the roots, on one side.
        if (disc <= 0.0)
            return false;
        float root = sqrt(disc);
        ta = (-b + root) / (2.0 * a);
        tb = (-b - root) / (2.0 * a);
        return wD + 0.5 * (ta + tb) * uD > 0.0;
    }
    // The line runs within the cone's angle: the light's side is a half-line, towards +t
    // when the line follows the axis.
    if (disc <= 0.0)
    {
        if (uD > 0.0)
            ta = -wD / uD;
        else
            tb = -wD / uD;
        return true;
    }
    float root = sqrt(disc);
    if (uD > 0.0)
        ta = (-b + root) / (2.0 * a);
    else
        tb = (-b - root) / (2.0 * a);
    return true;
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
    float2 edges = coneEdges();
    float cosA = clamp(gLightCosAngle, 1e-3, 1.0);
    float texelPerDistance = 2.0 * (sqrt(saturate(1.0 - cosA * cosA)) / cosA) / 2048.0;
    float falloff = max(gLightScattParams.z, 0.0);
    // Steps outside the cone add nothing: march only those that can lie inside a slightly
    // wider cone (a margin over rounding), from one step before it to one step after.
    int first = 0, last = steps;
    float cosWide = edges.x - 0.005;
    if (cosWide > 0.05)
    {
        float ta, tb;
        if (!coneSpan(eye, dir, cosWide, ta, tb))
            return float3(0.0, 0.0, 0.0);
        float kA = (ta - t0) / stepLength - jitter, kB = (tb - t0) / stepLength - jitter;
        first = int(clamp(floor(kA) - 1.0, 0.0, float(steps)));
        last = int(clamp(ceil(kB) + 2.0, 0.0, float(steps)));
    }
    float sum = 0.0;
    for (int k = first; k < last; ++k)
    {
        float3 pos = eye + dir * (t0 + (k + jitter) * stepLength);
        float3 L;
        float d;
        float f = spotFactor(pos, edges, L, d);
        if (f <= 0.0)
            continue;
        f *= pow(saturate(1.0 - d / range), falloff);
        if (shadowed)
            f *= spotShadowInAir(pos, L, texelPerDistance);
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
        float d;
        float f = spotFactor(p.position, coneEdges(), L, d);
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
}
)hlsl";

// data/shaders/imageLighting.hlsl as it read its constants in the pixel shader.
const char* const kConstantImageLighting = R"hlsl(// Image-based lighting, added over the lit picture: the environment cube pre-filtered by
// roughness (one mip level per roughness step) with the pre-integrated BRDF of the lookup
// texture for the specular part, the environment's widest level for the diffuse part.
#include "common/fullscreen.hlsli"
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
    // A surface that takes no image-based light (multiplier 0, such as an emissive sky) and
    // a pixel without geometry (cleared to 0 there) add nothing: the rest of the G-buffer
    // and the environment are not read for them.
    if (gGBufferMaterial.SampleLevel(gPointSampler, gbufferUv(i.uv, gRegionScale, gRegionOffset), 0).w == 0.0)
        return float4(0.0, 0.0, 0.0, 0.0);
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
}
)hlsl";


class LightConstantsGpuTest : public LightingGpuTest {
 protected:
  // A program with `like`'s state from shader text.
  std::unique_ptr<ShaderProgram> program(const char* text, const ShaderProgram* like) {
    auto p = std::make_unique<ShaderProgram>(device());
    const std::string name = "constants" + std::to_string(++compiled_);
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

  // A floor, a ball above it and a box beside it, seen from `from`, lit by `addLights` in a
  // fresh frame; both objects take some image-based light.
  HalfImage lightScene(const std::function<void()>& addLights) {
    newFrame();
    setCamera(from, {0, 0.8f, 0}, fov);
    addLights();
    const Mesh* floor = quadMesh();
    const Mesh* ball = sphereMesh(24);
    Material floorMaterial, ballMaterial;
    floorMaterial.roughness = 0.6f;
    floorMaterial.ibl = 0.4f;
    ballMaterial.roughness = 0.3f;
    ballMaterial.metalness = 0.5f;
    ballMaterial.ibl = 0.7f;
    Operator& pass = lightPass([&] {
      draw(floor, mat::scaling({80, 1, 80}), floorMaterial);
      draw(ball, mat::scaling({0.8f, 0.8f, 0.8f}) * mat::translation({0.2f, 1.6f, 0.3f}), ballMaterial);
      draw(ball, mat::scaling({0.5f, 0.5f, 0.5f}) * mat::translation({-1.5f, 0.5f, 1.0f}), floorMaterial);
    });
    return light(pass);
  }

  // Today's picture and the one `slot` gave with the replaced text in it.
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

  // Each light alone, then the picture without it: the light must be part of the picture.
  void expectSameAndVisible(std::unique_ptr<ShaderProgram>& slot, const char* oldText,
                            const std::function<void()>& addLights) {
    auto [now, before] = nowAndBefore(slot, oldText, addLights);
    ASSERT_EQ(before.texels.size(), now.texels.size());
    EXPECT_EQ(before.texels, now.texels);
    const HalfImage unlit = lightScene([] {});
    EXPECT_NE(unlit.texels, now.texels);
  }

  Float3 from{0, 1.5f, -7};
  float fov = 55.0f;

 private:
  std::vector<std::unique_ptr<ShaderBlob>> blobs_;
  int compiled_ = 0;
};

}  // namespace

TEST_F(LightConstantsGpuTest, LightsFedFlatConstantsComputeTheSameBits) {
  // From the front, from high above, and from far away with a narrow view (the scene then
  // lies in the second shadow cascade).
  const std::pair<Float3, float> views[3] = {
      {{0, 1.5f, -7}, 55.0f}, {{2.5f, 9.0f, -3.0f}, 55.0f}, {{0, 26.0f, -30.0f}, 22.0f}};
  for (const auto& [eye, angle] : views) {
    from = eye;
    fov = angle;
    SCOPED_TRACE("seen from " + std::to_string(eye.x) + "," + std::to_string(eye.y) + "," + std::to_string(eye.z));
    {
      SCOPED_TRACE("directional light with shadows");
      expectSameAndVisible(sLighting->dirProgram, kConstantDirLight, [] {
        DirLightRecord r;
        r.direction = {0.5f, 1.0f, -0.35f, 0};
        r.colour = {1.0f, 0.95f, 0.85f, 0};
        r.castsShadows = 1;
        dirLights().push_back(r);
      });
    }
    {
      SCOPED_TRACE("point lights, with and without in-scattering");
      expectSameAndVisible(sLighting->pointProgram, kConstantPointLight, [] {
        PointLightRecord r;
        r.position = {-0.5f, 0.6f, -0.8f, 1};
        r.colour = {1.0f, 0.6f, 0.3f, 0};
        r.radius = 3.0f;
        r.brightness = 3.0f;
        r.scattering = {0.3f, 0.7f, 1.5f, 0};
        pointLights().push_back(r);
        r.position = {1.5f, 0.4f, 1.0f, 1};
        r.scattering = {0.3f, 0.0f, 1.0f, 0};
        pointLights().push_back(r);
      });
    }
    {
      SCOPED_TRACE("spot light with a shadowed shaft");
      expectSameAndVisible(sLighting->spotProgram, kConstantSpotLight, [] {
        SpotLightRecord r;
        r.position = {0.3f, 4.5f, 0.4f, 1};
        r.direction = {0.1f, -1, 0.05f, 0};
        r.colour = {4.0f, 3.6f, 3.0f, 0};
        r.angle = 45.0f;
        r.farPlane = 8.0f;
        r.castsShadows = 1;
        r.scattering = {1.0f, 1.0f, 1.0f, 1.0f};
        r.scatteringSteps = 24;
        spotLights().push_back(r);
      });
    }
    {
      SCOPED_TRACE("image-based term");
      // The term's own pass, drawn after the combine when the one pass of both is not there.
      std::unique_ptr<ShaderProgram> combined;
      std::swap(sLighting->imageCombinedProgram, combined);
      auto [now, before] = nowAndBefore(sLighting->imageProgram, kConstantImageLighting, [] {});
      std::swap(sLighting->imageCombinedProgram, combined);
      ASSERT_EQ(before.texels.size(), now.texels.size());
      EXPECT_EQ(before.texels, now.texels);
      EXPECT_TRUE(std::any_of(now.texels.begin(), now.texels.end(), [](float v) { return v > 0.01f; }));
    }
  }
}

#pragma once
// The reflection passes as they were before the march crossed open space a block at a time
// (it walked every step) and before the blur stopped early where no tap holds a reflection.
// A blur file without the block entries makes SSROp blur every pixel and copy the result
// over the picture whole, as it did then. The quality check renders them beside the current
// passes.
namespace ssrtest {

inline const char* const kPixelWalkReflection = R"hlsl(
// Screen-space reflections, first pass: for every pixel of the viewport with geometry, the
// view ray is reflected about the G-buffer normal and marched across the screen in view
// space against the G-buffer's linear depth (a perspective-correct walk in pixel steps:
// one sample every 1 + gStride * (1 - min(1, z * gStrideZCutoff)) pixels, so distant
// surfaces take finer steps, at most gMaxSteps samples). The ray hits where it passes
// behind the depth buffer by no more than gZThickness. The result is the input picture at
// the hit in rgb and how much of it to show in alpha: the surface's Fresnel reflectance
// (from its specular intensity, metalness and albedo) times (1 - roughness)^2, faded
// towards the viewport's edges and the end of the march; 0 where nothing was hit.
#include "common/fullscreen.hlsli"
#include "common/gbuffer.hlsli"
#include "common/color.hlsli"

cbuffer SSRConstants : register(b0)
{
    float4x4 gProj;
    float4x4 gInvView;  // the camera matrix, for shaders that want world space
    float2 gRegionScale;
    float2 gRegionOffset;
    float2 gRegionSize;  // viewport width and height in pixels
    float gStrideZCutoff;
    float gZThickness;
    float gStride;
    float gMaxSteps;
};

Texture2D gInput : register(t0);
Texture2D gNormalDepth : register(t1);
Texture2D gMaterial : register(t2);
Texture2D gAlbedo : register(t3);
SamplerState gInputSampler : register(s0);
SamplerState gNormalSampler : register(s1);
SamplerState gMaterialSampler : register(s2);
SamplerState gAlbedoSampler : register(s3);

static const float kRayLength = 1000.0;
static const uint kStepLimit = 1024;

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float2 ndcToPixel(float2 ndc)
{
    return float2(ndc.x * 0.5 + 0.5, 0.5 - ndc.y * 0.5) * gRegionSize;
}

float sceneDepthAt(float2 pixel)
{
    float2 uv = regionToSource(pixel / gRegionSize, gRegionScale, gRegionOffset);
    return decodeGBuffer(0, gNormalDepth.SampleLevel(gNormalSampler, uv, 0), 0, 0, 0).viewDepth;
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    GBufferSample g = decodeGBuffer(gAlbedo.SampleLevel(gAlbedoSampler, uv, 0),
                                    gNormalDepth.SampleLevel(gNormalSampler, uv, 0),
                                    gMaterial.SampleLevel(gMaterialSampler, uv, 0), 0, 0);
    if (!g.hasGeometry || g.viewDepth >= kGBufferNothing * 0.5)
        return 0;

    float3 P = viewPositionFromLinearDepth(i.uv, g.viewDepth, gProj);
    float3 N = normalize(g.viewNormal);
    float3 V = normalize(P);
    float3 R = reflect(V, N);
    float3 f0 = lerp(0.04 * saturate(g.specular).xxx, saturate(g.albedo), saturate(g.metalness));
    float3 fresnel = f0 + (1.0 - f0) * pow(1.0 - saturate(dot(-V, N)), 5.0);
    float gloss = 1.0 - saturate(g.roughness);
    float amount = luminance(fresnel) * gloss * gloss;
    if (amount < 1e-3)
        return 0;

    // The ray ends at kRayLength or where it would cross the near plane.
    float zNear = -gProj[3][2] / gProj[2][2];
    float rayLength = (P.z + R.z * kRayLength < zNear) ? (zNear - P.z) / R.z * 0.99 : kRayLength;
    float3 E = P + R * rayLength;
    float4 h0 = mul(float4(P, 1.0), gProj);
    float4 h1 = mul(float4(E, 1.0), gProj);
    float k0 = 1.0 / h0.w, k1 = 1.0 / h1.w;
    float q0 = P.z * k0, q1 = E.z * k1;  // z / w interpolates linearly in screen space
    float2 p0 = ndcToPixel(h0.xy * k0), p1 = ndcToPixel(h1.xy * k1);
    if (dot(p1 - p0, p1 - p0) < 1e-4)
        p1 += 0.01;
    float2 delta = p1 - p0;
    bool permute = abs(delta.x) < abs(delta.y);
    if (permute)
    {
        delta = delta.yx;
        p0 = p0.yx;
        p1 = p1.yx;
    }
    float stepDir = delta.x < 0.0 ? -1.0 : 1.0;
    float invDx = stepDir / delta.x;
    float stride = 1.0 + (1.0 - min(1.0, P.z * gStrideZCutoff)) * gStride;
    float2 dp = float2(stepDir, delta.y * invDx) * stride;
    float dq = (q1 - q0) * invDx * stride;
    float dk = (k1 - k0) * invDx * stride;

    float2 p = p0 + dp;
    float q = q0 + dq, k = k0 + dk;
    float previousZ = P.z;
    float pEnd = p1.x * stepDir;
    float2 hitPixel = 0;
    bool hit = false;
    float steps = 0;
    uint maxSteps = uint(clamp(gMaxSteps, 0.0, float(kStepLimit)));
    for (uint s = 0; s < maxSteps; ++s)
    {
        if (p.x * stepDir > pEnd)
            break;
        float2 pixel = permute ? p.yx : p;
        if (pixel.x < 0.0 || pixel.y < 0.0 || pixel.x >= gRegionSize.x || pixel.y >= gRegionSize.y)
            break;
        float zMin = previousZ;
        float zMax = (q + dq * 0.5) / (k + dk * 0.5);
        previousZ = zMax;
        if (zMin > zMax)
        {
            float t = zMin;
            zMin = zMax;
            zMax = t;
        }
        float sceneZ = sceneDepthAt(pixel);
        if (zMax >= sceneZ && zMin <= sceneZ + gZThickness)
        {
            hit = true;
            hitPixel = pixel;
            steps = float(s);
            break;
        }
        p += dp;
        q += dq;
        k += dk;
    }
    if (!hit)
        return 0;

    float border = 0.05 * min(gRegionSize.x, gRegionSize.y);
    float2 toEdge = min(hitPixel, gRegionSize - hitPixel);
    float edgeFade = saturate(min(toEdge.x, toEdge.y) / max(border, 1.0));
    float stepFade = 1.0 - pow(steps / max(float(maxSteps), 1.0), 4.0);
    float3 colour = gInput.SampleLevel(gInputSampler, regionToSource(hitPixel / gRegionSize, gRegionScale, gRegionOffset), 0).rgb;
    return float4(colour, amount * edgeFade * stepFade);
}
)hlsl";

inline const char* const kBlurReadingEveryTap = R"hlsl(
// Screen-space reflections, blur: one direction of a 9-tap blur of the reflection picture
// across gTexelOffsetScale (the blur radius in viewport uv, along x or y), weighted so
// that it stays on one surface: a tap counts only where there is geometry, by how close
// its normal is to the centre's (full weight at the same normal, none below a cosine of
// 1 - gNormalBias) and by its depth difference (none beyond gDepthBias times the centre's
// depth). Colours are averaged by their reflection amounts (alpha), so taps without a
// reflection dilute the amount but do not darken the colour.
#include "common/fullscreen.hlsli"
#include "common/gbuffer.hlsli"

cbuffer BlurConstants : register(b0)
{
    float2 gRegionScale;
    float2 gRegionOffset;
    float gNormalBias;
    float gDepthBias;
};

cbuffer BlurStep : register(b1)
{
    float2 gTexelOffsetScale;
};

Texture2D gReflection : register(t0);
Texture2D gNormalDepth : register(t1);
Texture2D gAlbedo : register(t2);
SamplerState gReflectionSampler : register(s0);
SamplerState gNormalSampler : register(s1);
SamplerState gAlbedoSampler : register(s2);

static const float kWeights[5] = {0.2270270, 0.1945946, 0.1216216, 0.0540541, 0.0162162};

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

GBufferSample surfaceAt(float2 uv)
{
    return decodeGBuffer(gAlbedo.SampleLevel(gAlbedoSampler, uv, 0), gNormalDepth.SampleLevel(gNormalSampler, uv, 0),
                         0, 0, 0);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    GBufferSample centre = surfaceAt(uv);
    if (!centre.hasGeometry)
        return gReflection.SampleLevel(gReflectionSampler, uv, 0);
    float3 n0 = normalize(centre.viewNormal);
    float2 tapStep = gTexelOffsetScale * gRegionScale / 4.0;
    float weightSum = 0, alphaSum = 0;
    float3 colourSum = 0;
    for (int t = -4; t <= 4; ++t)
    {
        float2 at = uv + tapStep * float(t);
        GBufferSample s = surfaceAt(at);
        if (!s.hasGeometry)
            continue;
        float normalWeight = saturate((dot(n0, normalize(s.viewNormal)) - (1.0 - gNormalBias)) / max(gNormalBias, 1e-4));
        float depthWeight = saturate(1.0 - abs(s.viewDepth - centre.viewDepth) / max(centre.viewDepth * gDepthBias, 1e-4));
        float w = kWeights[abs(t)] * normalWeight * depthWeight;
        float4 r = gReflection.SampleLevel(gReflectionSampler, at, 0);
        weightSum += w;
        alphaSum += w * r.a;
        colourSum += w * r.a * r.rgb;
    }
    float alpha = weightSum > 0.0 ? alphaSum / weightSum : 0.0;
    float3 colour = alphaSum > 0.0 ? colourSum / alphaSum : 0.0;
    return float4(colour, alpha);
}
)hlsl";

}  // namespace ssrtest

// Screen-space reflections, blur: one direction of a 9-tap blur of the reflection picture
// across gTexelOffsetScale (the blur radius in viewport uv, along x or y), weighted so
// that it stays on one surface: a tap counts only where there is geometry, by how close
// its normal is to the centre's (full weight at the same normal, none below a cosine of
// 1 - gNormalBias) and by its depth difference (none beyond gDepthBias times the centre's
// depth). Colours are averaged by their reflection amounts (alpha), so taps without a
// reflection dilute the amount but do not darken the colour.
//
// The taps of the reflection picture are read first: where none of them holds a reflection
// the result is nothing whatever the surfaces are, and the pixel stops there (most of a
// frame: the sky, rough surfaces, a mirror that shows only the sky), before the surface reads.
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
    float2 tapStep = gTexelOffsetScale * gRegionScale / 4.0;
    float4 taps[9];
    float reflected = 0.0;
    [unroll] for (int k = -4; k <= 4; ++k)
    {
        taps[k + 4] = gReflection.SampleLevel(gReflectionSampler, uv + tapStep * float(k), 0);
        reflected = max(reflected, taps[k + 4].a);
    }
    GBufferSample centre = surfaceAt(uv);
    if (!centre.hasGeometry)
        return taps[4];
    if (!(reflected > 0.0))
        return 0;
    float3 n0 = normalize(centre.viewNormal);
    float weightSum = 0, alphaSum = 0;
    float3 colourSum = 0;
    [unroll] for (int t = -4; t <= 4; ++t)
    {
        float2 at = uv + tapStep * float(t);
        GBufferSample s = surfaceAt(at);
        if (!s.hasGeometry)
            continue;
        float normalWeight = saturate((dot(n0, normalize(s.viewNormal)) - (1.0 - gNormalBias)) / max(gNormalBias, 1e-4));
        float depthWeight = saturate(1.0 - abs(s.viewDepth - centre.viewDepth) / max(centre.viewDepth * gDepthBias, 1e-4));
        float w = kWeights[abs(t)] * normalWeight * depthWeight;
        float4 r = taps[t + 4];
        weightSum += w;
        alphaSum += w * r.a;
        colourSum += w * r.a * r.rgb;
    }
    float alpha = weightSum > 0.0 ? alphaSum / weightSum : 0.0;
    float3 colour = alphaSum > 0.0 ? colourSum / alphaSum : 0.0;
    return float4(colour, alpha);
}

// Combines picture B with picture A. The colour mode says what B's colour does to A's:
//   0 Normal  B            1 Add  A + B            2 Mul  A * B            3 Diff  |A - B|
// The alpha mode says how much of that mix replaces A (the weight k) and which alpha the
// result keeps:
//   0 Normal  k = B.a * m, alpha = A.a + k * (1 - A.a)   (B laid over A)
//   1 MaskA   k = B.a * m, alpha = A.a                   (kept inside A's shape)
//   2 MaskB   k = m,       alpha = B.a                   (takes B's shape)
//   3 Opaque  k = m,       alpha = 1
// m is the mask picture's luminance where one is connected, else 1; k is kept within [0, 1]
// (an alpha above 1, as additive passes leave, still means full cover). Colour = lerp(A, mix, k).
// All three pictures are read at the same place of the destination (point sampling).
#include "common/fullscreen.hlsli"
#include "common/color.hlsli"

cbuffer BlendConstants : register(b0)
{
    int gColorMode;
    int gAlphaMode;
    int gMaskConnected;
};

Texture2D gImageA : register(t0);
Texture2D gImageB : register(t1);
Texture2D gMask : register(t2);
SamplerState gSamplerA : register(s0);
SamplerState gSamplerB : register(s1);
SamplerState gMaskSampler : register(s2);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float3 mixColour(float3 a, float3 b, int mode)
{
    if (mode == 1)
        return a + b;
    if (mode == 2)
        return a * b;
    if (mode == 3)
        return abs(a - b);
    return b;
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float4 a = gImageA.SampleLevel(gSamplerA, i.uv, 0);
    float4 b = gImageB.SampleLevel(gSamplerB, i.uv, 0);
    float m = maskWeight(gMaskConnected, gMask.SampleLevel(gMaskSampler, i.uv, 0));
    float3 mixed = mixColour(a.rgb, b.rgb, gColorMode);
    float k = saturate(gAlphaMode == 2 || gAlphaMode == 3 ? m : b.a * m);
    float alpha = a.a + k * (1.0 - a.a);  // Normal
    if (gAlphaMode == 1)
        alpha = a.a;
    else if (gAlphaMode == 2)
        alpha = b.a;
    else if (gAlphaMode == 3)
        alpha = 1.0;
    return float4(lerp(a.rgb, mixed, k), alpha);
}

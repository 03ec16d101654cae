// Levels: per channel ((c + pre-add) * mul) ^ pow + post-add, times post-mul; then
// saturation about the luminance; then clamped to [min, max]. With preview on, the right
// half of the region shows the untouched picture beside a one-pixel divider.
// Formulas in docs/colour-grading.md.
//
// Everything that is the same for every pixel is folded on the CPU: the pre-add into the
// multiply (c * gMul + gPreAddMul), and the post-add, post-multiply and saturation, which
// together are one affine map, into three rows (xyz the matrix row, w the offset). The
// vertex shader hands the constants to the pixels flat (see common/fullscreen.hlsli).
#include "common/fullscreen.hlsli"

cbuffer ColorCorrectionConstants : register(b0)
{
    float4 gMul;
    float4 gPreAddMul;
    float4 gPow;
    float4 gLevelsR;
    float4 gLevelsG;
    float4 gLevelsB;
    float4 gMin;
    float4 gMax;
    float gPreview;
    float2 gRegionScale;
    float2 gRegionOffset;
    float2 gScreenSize;
};

Texture2D gSource : register(t0);
SamplerState gSourceSampler : register(s0);

struct LevelsVertex
{
    float4 pos : SV_POSITION;
    float2 uv : TEXCOORD0;                       // in the source
    float x : TEXCOORD1;                         // pixels across the region
    nointerpolation float4 mul : TEXCOORD2;      // w: 1 with the preview on
    nointerpolation float4 preAddMul : TEXCOORD3;  // w: the middle of the region in pixels
    nointerpolation float4 rowR : TEXCOORD4;
    nointerpolation float4 rowG : TEXCOORD5;
    nointerpolation float4 rowB : TEXCOORD6;
    nointerpolation float3 lo : TEXCOORD7;
    nointerpolation float3 hi : TEXCOORD8;
    nointerpolation float3 power : TEXCOORD9;
};

LevelsVertex VS(uint id : SV_VertexID)
{
    FullscreenVertex f = fullscreenTriangle(id);
    LevelsVertex o;
    o.pos = f.pos;
    o.uv = regionToSource(f.uv, gRegionScale, gRegionOffset);
    o.x = f.uv.x * gScreenSize.x;
    o.mul = float4(gMul.rgb, gPreview > 0.5 ? 1.0 : 0.0);
    o.preAddMul = float4(gPreAddMul.rgb, 0.5 * gScreenSize.x);
    o.rowR = gLevelsR;
    o.rowG = gLevelsG;
    o.rowB = gLevelsB;
    o.lo = gMin.rgb;
    o.hi = gMax.rgb;
    o.power = gPow.rgb;
    return o;
}

float4 finish(LevelsVertex i, float4 c, float3 v)
{
    float3 g = float3(dot(i.rowR.xyz, v), dot(i.rowG.xyz, v), dot(i.rowB.xyz, v)) +
               float3(i.rowR.w, i.rowG.w, i.rowB.w);
    g = clamp(g, i.lo, i.hi);
    if (i.mul.w > 0.5)
    {
        float middle = i.preAddMul.w;
        if (abs(i.x - middle) < 0.5)
            g = 1.0;
        else if (i.x > middle)
            g = c.rgb;
    }
    return float4(g, c.a);
}

// Two entries, picked on the CPU by whether any power differs from 1: a CPU driver runs
// both sides of a branch on a constant, and three powers cost more than the rest.
float4 PS(LevelsVertex i) : SV_TARGET
{
    float4 c = gSource.Sample(gSourceSampler, i.uv);
    return finish(i, c, max(c.rgb * i.mul.rgb + i.preAddMul.rgb, 0.0));
}

float4 PSPower(LevelsVertex i) : SV_TARGET
{
    float4 c = gSource.Sample(gSourceSampler, i.uv);
    float3 v = c.rgb * i.mul.rgb + i.preAddMul.rgb;
    return finish(i, c, v > 0.0 ? pow(max(v, 1e-30), i.power) : 0.0);  // zero and below stay zero
}

// Levels: per channel ((c + pre-add) * mul) ^ pow + post-add, times post-mul; then
// saturation about the luminance; then clamped to [min, max]. With preview on, the right
// half of the region shows the untouched picture beside a one-pixel divider.
// Formulas in docs/colour-grading.md.
//
// Everything that is the same for every pixel is folded on the CPU: the pre-add into the
// multiply (c * gMul + gPreAddMul), and the post-add, post-multiply and saturation, which
// together are one affine map, into three rows (xyz the matrix row, w the offset). A CPU
// driver pays for every operation on every pixel, constants included.
#include "common/fullscreen.hlsli"
#include "common/color.hlsli"

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

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 finish(FullscreenVertex i, float4 c, float3 v)
{
    float3 g = float3(dot(gLevelsR.xyz, v), dot(gLevelsG.xyz, v), dot(gLevelsB.xyz, v)) +
               float3(gLevelsR.w, gLevelsG.w, gLevelsB.w);
    g = clamp(g, gMin.rgb, gMax.rgb);
    if (gPreview > 0.5)
    {
        float x = i.uv.x * gScreenSize.x;
        float middle = 0.5 * gScreenSize.x;
        if (abs(x - middle) < 0.5)
            g = 1.0;
        else if (x > middle)
            g = c.rgb;
    }
    return float4(g, c.a);
}

// Two entries, picked on the CPU by whether any power differs from 1: a CPU driver runs
// both sides of a branch on a constant, and three powers cost more than the rest.
float4 PS(FullscreenVertex i) : SV_TARGET
{
    float4 c = gSource.Sample(gSourceSampler, regionToSource(i.uv, gRegionScale, gRegionOffset));
    return finish(i, c, max(c.rgb * gMul.rgb + gPreAddMul.rgb, 0.0));
}

float4 PSPower(FullscreenVertex i) : SV_TARGET
{
    float4 c = gSource.Sample(gSourceSampler, regionToSource(i.uv, gRegionScale, gRegionOffset));
    float3 v = c.rgb * gMul.rgb + gPreAddMul.rgb;
    return finish(i, c, v > 0.0 ? pow(max(v, 1e-30), gPow.rgb) : 0.0);  // zero and below stay zero
}

// Levels: per channel ((c + pre-add) * mul) ^ pow + post-add, times post-mul; then
// saturation about the luminance; then clamped to [min, max]. With preview on, the right
// half of the region shows the untouched picture beside a one-pixel divider.
// Formulas in docs/colour-grading.md.
#include "common/fullscreen.hlsli"
#include "common/color.hlsli"

cbuffer ColorCorrectionConstants : register(b0)
{
    float4 gPreAdd;
    float4 gMul;
    float4 gPow;
    float4 gPostAdd;
    float4 gPostMul;
    float4 gMin;
    float4 gMax;
    float gSaturation;
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

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float4 c = gSource.Sample(gSourceSampler, regionToSource(i.uv, gRegionScale, gRegionOffset));
    float3 g = (c.rgb + gPreAdd.rgb) * gMul.rgb;
    // The power is the same for every pixel; at 1 (the default) it changes nothing, and the
    // three pow calls would cost more than the rest of the pass.
    [branch]
    if (any(gPow.rgb != 1.0))
        g = g > 0.0 ? pow(max(g, 1e-30), gPow.rgb) : 0.0;  // zero and below stay zero
    else
        g = max(g, 0.0);
    g = (g + gPostAdd.rgb) * gPostMul.rgb;
    float l = luminance(g);
    g = l + (g - l) * gSaturation;
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

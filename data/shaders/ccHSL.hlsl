// Global hue, saturation and luminance: the hue turns about the grey axis by HUE degrees,
// saturation scales the distance from the luminance by (1 + Saturation), luminance scales
// the colour by (1 + Luminance). The mask limits the grade. Formulas in docs/colour-grading.md.
#include "common/fullscreen.hlsli"
#include "common/color.hlsli"

cbuffer CCHSLConstants : register(b0)
{
    float4 gHSL;  // hue (degrees), saturation, luminance, 0
    float2 gRegionScale;
    float2 gRegionOffset;
    float2 gScreenSize;
    int gMaskImageConnected;
};

Texture2D gSource : register(t0);
Texture2D gMask : register(t1);
SamplerState gSourceSampler : register(s0);
SamplerState gMaskSampler : register(s1);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gSource.Sample(gSourceSampler, uv);
    float3 g = rotateHue(c.rgb, gHSL.x);
    float l = luminance(g);
    g = l + (g - l) * (1.0 + gHSL.y);
    g = max(g * (1.0 + gHSL.z), 0.0);
    float m = maskWeight(gMaskImageConnected, gMask.Sample(gMaskSampler, uv));
    return float4(lerp(c.rgb, g, m), c.a);
}

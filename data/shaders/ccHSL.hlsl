// Global hue, saturation and luminance: the hue turns about the grey axis by HUE degrees,
// saturation scales the distance from the luminance by (1 + Saturation), luminance scales
// the colour by (1 + Luminance). The mask limits the grade. Formulas in docs/colour-grading.md.
#include "common/maskedPass.hlsli"

cbuffer CCHSLConstants : register(b0)
{
    float4 gHSL;  // hue (degrees), saturation, luminance, 0
    MASKED_PASS_CONSTANTS
};

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gSource.Sample(gSourceSampler, uv);
    float3 g = shiftHsl(c.rgb, gHSL.x, gHSL.y, gHSL.z);
    return maskedGrade(c, g, uv, gMaskImageConnected);
}

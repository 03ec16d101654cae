// Split toning: the highlights take on the chroma of the highlight colour, the shadows that
// of the shadow colour (a colour minus its luminance, so white and black change nothing).
// The highlight weight is saturate(luminance - balance + 0.5). The mask limits the grade.
// Formulas in docs/colour-grading.md.
#include "common/maskedPass.hlsli"

cbuffer CCSplitToningConstants : register(b0)
{
    float4 gHi;
    float gHiInfluence;
    float gBalance;
    float4 gLo;
    float gLoInfluence;
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
    float highlight = saturate(luminance(c.rgb) - gBalance + 0.5);
    float3 g = c.rgb + highlight * gHiInfluence * (gHi.rgb - luminance(gHi.rgb))
                     + (1.0 - highlight) * gLoInfluence * (gLo.rgb - luminance(gLo.rgb));
    g = max(g, 0.0);
    return maskedGrade(c, g, uv, gMaskImageConnected);
}

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

// c + h * hi-tint + (1 - h) * lo-tint = c + lo-tint + h * (hi-tint - lo-tint): the tints and
// the balance are made once by the vertex shader and handed to the pixels flat
// (common/fullscreen.hlsli).
struct SplitVertex
{
    GRADE_VERTEX_FIELDS
    nointerpolation float4 lo : TEXCOORD2;      // w: 0.5 - balance
    nointerpolation float3 hiMinusLo : TEXCOORD3;
};

SplitVertex VS(uint id : SV_VertexID)
{
    SplitVertex o;
    GRADE_VERTEX_START(o, id);
    float3 hi = gHiInfluence * (gHi.rgb - luminance(gHi.rgb));
    float3 lo = gLoInfluence * (gLo.rgb - luminance(gLo.rgb));
    o.lo = float4(lo, 0.5 - gBalance);
    o.hiMinusLo = hi - lo;
    return o;
}

float4 PS(SplitVertex i) : SV_TARGET
{
    float4 c = gSource.Sample(gSourceSampler, i.uv);
    float highlight = saturate(luminance(c.rgb) + i.lo.w);
    float3 g = max(c.rgb + i.lo.rgb + highlight * i.hiMinusLo, 0.0);
    return maskedGrade(c, g, i.uv, i.masked);
}

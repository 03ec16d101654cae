// Tone: exposure in stops, contrast about mid-grey, then highlights, shadows, whites and
// blacks as offsets weighted by where the luminance lies. The mask limits the grade.
// Formulas in docs/colour-grading.md.
#include "common/maskedPass.hlsli"

cbuffer CCToneConstants : register(b0)
{
    float gExposure;
    float gContrast;
    float gHighlights;
    float gShadows;
    float gWhites;
    float gBlacks;
    MASKED_PASS_CONSTANTS
};

// Exposure and contrast make one multiply-add, (c * 2^exposure - 0.5) * (1 + contrast) + 0.5
// = c * scale + offset, made once by the vertex shader and handed to the pixels flat with
// the four offsets (common/fullscreen.hlsli).
struct ToneVertex
{
    GRADE_VERTEX_FIELDS
    nointerpolation float2 scaleOffset : TEXCOORD2;
    nointerpolation float4 amounts : TEXCOORD3;  // highlights, shadows, whites, blacks, / 4
};

ToneVertex VS(uint id : SV_VertexID)
{
    ToneVertex o;
    GRADE_VERTEX_START(o, id);
    float contrast = 1.0 + gContrast;
    o.scaleOffset = float2(exp2(gExposure) * contrast, 0.5 - 0.5 * contrast);
    o.amounts = 0.25 * float4(gHighlights, gShadows, gWhites, gBlacks);
    return o;
}

float4 PS(ToneVertex i) : SV_TARGET
{
    float4 c = gSource.Sample(gSourceSampler, i.uv);
    float3 g = c.rgb * i.scaleOffset.x + i.scaleOffset.y;
    float l = saturate(luminance(g));
    float shadows = 1.0 - smoothstep(0.0, 0.5, l);
    float highlights = smoothstep(0.5, 1.0, l);
    float blacks = 1.0 - smoothstep(0.0, 0.25, l);
    float whites = smoothstep(0.75, 1.0, l);
    g += dot(i.amounts, float4(highlights, shadows, whites, blacks));
    g = max(g, 0.0);
    return maskedGrade(c, g, i.uv, i.masked);
}

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

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gSource.Sample(gSourceSampler, uv);
    float3 g = c.rgb * exp2(gExposure);
    g = (g - 0.5) * (1.0 + gContrast) + 0.5;
    float l = saturate(luminance(g));
    float shadows = 1.0 - smoothstep(0.0, 0.5, l);
    float highlights = smoothstep(0.5, 1.0, l);
    float blacks = 1.0 - smoothstep(0.0, 0.25, l);
    float whites = smoothstep(0.75, 1.0, l);
    g += 0.25 * (gHighlights * highlights + gShadows * shadows + gWhites * whites + gBlacks * blacks);
    g = max(g, 0.0);
    return maskedGrade(c, g, uv, gMaskImageConnected);
}

// Global hue, saturation and luminance: the hue turns about the grey axis by HUE degrees,
// saturation scales the distance from the luminance by (1 + Saturation), luminance scales
// the colour by (1 + Luminance). The mask limits the grade. Formulas in docs/colour-grading.md.
#include "common/maskedPass.hlsli"

cbuffer CCHSLConstants : register(b0)
{
    float4 gHSL;  // hue (degrees), saturation, luminance, 0
    MASKED_PASS_CONSTANTS
};

// The shift is the same for every pixel: the vertex shader makes its matrix (the shifted
// unit colours as columns) and hands it to the pixels flat (common/fullscreen.hlsli).
struct HslVertex
{
    GRADE_VERTEX_FIELDS
    nointerpolation float3 red : TEXCOORD2;
    nointerpolation float3 green : TEXCOORD3;
    nointerpolation float3 blue : TEXCOORD4;
};

HslVertex VS(uint id : SV_VertexID)
{
    HslVertex o;
    GRADE_VERTEX_START(o, id);
    o.red = shiftHslLinear(float3(1, 0, 0), gHSL.x, gHSL.y, gHSL.z);
    o.green = shiftHslLinear(float3(0, 1, 0), gHSL.x, gHSL.y, gHSL.z);
    o.blue = shiftHslLinear(float3(0, 0, 1), gHSL.x, gHSL.y, gHSL.z);
    return o;
}

float4 PS(HslVertex i) : SV_TARGET
{
    float4 c = gSource.Sample(gSourceSampler, i.uv);
    float3 g = max(c.r * i.red + c.g * i.green + c.b * i.blue, 0.0);
    return maskedGrade(c, g, i.uv, i.masked);
}

// Hue ranges: each pixel's hue (hexagonal model) falls between two of eight range centres
// (red 0, orange 30, yellow 60, green 120, aqua 180, blue 240, purple 270, magenta 300
// degrees) and takes their (hue, saturation, luminance) shifts blended linearly by its
// distance to each. The shifts work as in the global HSL grade; the luminance shift is
// scaled by the pixel's HSV saturation so that greys stay put. The mask limits the grade.
// Formulas in docs/colour-grading.md.
#include "common/maskedPass.hlsli"

cbuffer CCColorConstants : register(b0)
{
    float4 gRed;
    float4 gOrange;
    float4 gYellow;
    float4 gGreen;
    float4 gAqua;
    float4 gBlue;
    float4 gPurple;
    float4 gMagenta;
    MASKED_PASS_CONSTANTS
};

static const float kCentres[9] = {0.0, 30.0, 60.0, 120.0, 180.0, 240.0, 270.0, 300.0, 360.0};

// The range shifts reach the pixels flat from the vertex shader (common/fullscreen.hlsli).
struct ColorVertex
{
    GRADE_VERTEX_FIELDS
    nointerpolation float3 red : TEXCOORD2;
    nointerpolation float3 orange : TEXCOORD3;
    nointerpolation float3 yellow : TEXCOORD4;
    nointerpolation float3 green : TEXCOORD5;
    nointerpolation float3 aqua : TEXCOORD6;
    nointerpolation float3 blue : TEXCOORD7;
    nointerpolation float3 purple : TEXCOORD8;
    nointerpolation float3 magenta : TEXCOORD9;
    nointerpolation float2 turn : TEXCOORD10;  // cos and sin of the red range's hue shift
};

ColorVertex VS(uint id : SV_VertexID)
{
    ColorVertex o;
    GRADE_VERTEX_START(o, id);
    o.red = gRed.xyz;
    o.orange = gOrange.xyz;
    o.yellow = gYellow.xyz;
    o.green = gGreen.xyz;
    o.aqua = gAqua.xyz;
    o.blue = gBlue.xyz;
    o.purple = gPurple.xyz;
    o.magenta = gMagenta.xyz;
    float a = radians(gRed.x);
    o.turn = float2(cos(a), sin(a));
    return o;
}

// The shifts of the two range centres around the pixel's hue, blended by its distance to each.
float3 rangeShift(ColorVertex i, float hue)
{
    // The two range centres around the hue, picked by unrolled compares: indexing an array
    // of the shifts by a per-pixel value would copy all eight into per-pixel memory.
    const float3 ranges[9] = {i.red, i.orange, i.yellow, i.green, i.aqua, i.blue, i.purple, i.magenta, i.red};
    float3 below = i.red, above = i.orange;
    float from = kCentres[0], perDegree = 1.0 / (kCentres[1] - kCentres[0]);
    [unroll]
    for (int j = 1; j < 8; ++j)
    {
        if (hue >= kCentres[j])
        {
            below = ranges[j];
            above = ranges[j + 1];
            from = kCentres[j];
            perDegree = 1.0 / (kCentres[j + 1] - kCentres[j]);  // folded by the compiler
        }
    }
    float t = (hue - from) * perDegree;
    return below * (1.0 - t) + above * t;
}

float4 PS(ColorVertex i) : SV_TARGET
{
    float4 c = gSource.Sample(gSourceSampler, i.uv);
    float3 shift = rangeShift(i, hueDegrees(c.rgb));
    float3 g = shiftHsl(c.rgb, shift.x, shift.y, shift.z * hsvSaturation(c.rgb));
    return maskedGrade(c, g, i.uv, i.masked);
}

// For ranges that all turn the hue alike (the manager picks this entry then): the turn's
// cosine and sine come once from the vertex stage instead of from every pixel.
float4 PSSameHue(ColorVertex i) : SV_TARGET
{
    float4 c = gSource.Sample(gSourceSampler, i.uv);
    float3 shift = rangeShift(i, hueDegrees(c.rgb));
    float3 g = max(shiftTurnedHslLinear(rotateHueBy(c.rgb, i.turn.x, i.turn.y), shift.y, shift.z * hsvSaturation(c.rgb)), 0.0);
    return maskedGrade(c, g, i.uv, i.masked);
}

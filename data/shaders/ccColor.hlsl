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

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gSource.Sample(gSourceSampler, uv);
    float hue = hueDegrees(c.rgb);
    // The two range centres around the hue, picked by unrolled compares: indexing an array
    // of the constants by a per-pixel value would copy all eight into per-pixel memory.
    const float4 ranges[9] = {gRed, gOrange, gYellow, gGreen, gAqua, gBlue, gPurple, gMagenta, gRed};
    float3 below = gRed.xyz, above = gOrange.xyz;
    float from = kCentres[0], to = kCentres[1];
    [unroll]
    for (int j = 1; j < 8; ++j)
    {
        if (hue >= kCentres[j])
        {
            below = ranges[j].xyz;
            above = ranges[j + 1].xyz;
            from = kCentres[j];
            to = kCentres[j + 1];
        }
    }
    float t = (hue - from) / (to - from);
    float3 shift = below * (1.0 - t) + above * t;
    float3 g = shiftHsl(c.rgb, shift.x, shift.y, shift.z * hsvSaturation(c.rgb));
    return maskedGrade(c, g, uv, gMaskImageConnected);
}

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

float3 rangeShift(int i)
{
    float4 ranges[8] = {gRed, gOrange, gYellow, gGreen, gAqua, gBlue, gPurple, gMagenta};
    return ranges[i & 7].xyz;
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gSource.Sample(gSourceSampler, uv);
    float hue = hueDegrees(c.rgb);
    int k = 0;
    [unroll]
    for (int j = 1; j < 8; ++j)
        if (hue >= kCentres[j])
            k = j;
    float t = (hue - kCentres[k]) / (kCentres[k + 1] - kCentres[k]);
    float3 shift = rangeShift(k) * (1.0 - t) + rangeShift(k + 1) * t;
    float3 g = shiftHsl(c.rgb, shift.x, shift.y, shift.z * hsvSaturation(c.rgb));
    return maskedGrade(c, g, uv, gMaskImageConnected);
}

// Colour helpers shared by the grading and display passes. Colours are linear RGB unless a
// function says otherwise; nothing here clamps to [0, 1], so HDR values pass through.
#ifndef COMMON_COLOR_HLSLI
#define COMMON_COLOR_HLSLI

static const float3 kLumaWeights = float3(0.2126, 0.7152, 0.0722);  // Rec. 709

float luminance(float3 c)
{
    return dot(c, kLumaWeights);
}

// Rotation of a colour about the grey axis (1, 1, 1) by an angle in degrees: a hue shift
// that leaves greys where they are and keeps the sum of the channels.
float3 rotateHueBy(float3 c, float co, float s)
{
    float3 k = float3(0.57735027, 0.57735027, 0.57735027);
    return c * co + cross(k, c) * s + k * dot(k, c) * (1.0 - co);
}

float3 rotateHue(float3 c, float degrees)
{
    float a = radians(degrees);
    return rotateHueBy(c, cos(a), sin(a));
}

// Hue in degrees [0, 360) of the hexagonal (HSV) model; 0 for greys.
float hueDegrees(float3 c)
{
    float maxc = max(c.r, max(c.g, c.b));
    float minc = min(c.r, min(c.g, c.b));
    float d = maxc - minc;
    // The sector is picked before the one division: a CPU driver evaluates every side of a
    // per-pixel choice, so three divisions would all be paid for.
    bool red = maxc == c.r, green = maxc == c.g;
    float across = red ? c.g - c.b : (green ? c.b - c.r : c.r - c.g);
    float sector = red ? 0.0 : (green ? 2.0 : 4.0);
    float h = (across / max(d, 1e-30) + sector) * 60.0;
    h = h < 0.0 ? h + 360.0 : h;
    return d > 0.0 ? h : 0.0;
}

// Chroma over value (HSV saturation), 0 for greys and black.
float hsvSaturation(float3 c)
{
    float maxc = max(c.r, max(c.g, c.b));
    float minc = min(c.r, min(c.g, c.b));
    return maxc > 0.0 ? (maxc - minc) / maxc : 0.0;
}

// A hue, saturation and luminance shift: the hue turns about the grey axis by `hue` degrees,
// the distance from the luminance is scaled by (1 + saturation), the colour by
// (1 + luminanceShift), and negative results are cut to 0. Before the cut the shift is
// linear in the colour (shiftHslLinear), so a shift that is the same for every pixel is a
// matrix its vertex shader can make once.
float3 shiftTurnedHslLinear(float3 g, float saturation, float luminanceShift)
{
    float l = luminance(g);
    g = l + (g - l) * (1.0 + saturation);
    return g * (1.0 + luminanceShift);
}

float3 shiftHslLinear(float3 c, float hue, float saturation, float luminanceShift)
{
    return shiftTurnedHslLinear(rotateHue(c, hue), saturation, luminanceShift);
}

float3 shiftHsl(float3 c, float hue, float saturation, float luminanceShift)
{
    return max(shiftHslLinear(c, hue, saturation, luminanceShift), 0.0);
}

// Linear [0, 1] to the sRGB transfer curve, for display.
float3 linearToSrgb(float3 c)
{
    c = saturate(c);
    float3 lo = c * 12.92;
    float3 hi = 1.055 * pow(max(c, 1e-6), 1.0 / 2.4) - 0.055;
    return c <= 0.0031308 ? lo : hi;
}

// How much of a grade a mask lets through: its luminance, or everything without a mask.
float maskWeight(int connected, float4 mask)
{
    return connected != 0 ? saturate(luminance(mask.rgb)) : 1.0;
}

#endif

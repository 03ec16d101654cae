// Bloom blur: one Gaussian direction per entry over a half-size target. The radius is in
// pixels of a 1080-line picture; 17 taps reach it at about 2.5 standard deviations.
#include "common/fullscreen.hlsli"

cbuffer BloomBlurConstants : register(b0)
{
    int gBlurs;        // 0 when the radius is under half a pixel: the pass copies
    float4 gTaps[9];   // k = 0..8: x the distance of taps k and -k in pixels, y their normalised weight
};

Texture2D gInput : register(t0);
SamplerState gInputSampler : register(s0);

static const int kTapsPerSide = 8;

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

// The weights depend only on the radius and the target's height: the manager computes them
// once per pass, and every pixel only reads and sums.
float4 blur(float2 uv, float2 direction)
{
    float w, h;
    gInput.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    float4 centre = gInput.SampleLevel(gInputSampler, uv, 0);
    [branch]
    if (gBlurs == 0)
        return centre;
    float4 sum = gTaps[0].y * centre;
    [unroll]
    for (int k = 1; k <= kTapsPerSide; ++k)
    {
        float2 offset = direction * gTaps[k].x * texel;
        sum += gTaps[k].y * (gInput.SampleLevel(gInputSampler, uv + offset, 0) +
                             gInput.SampleLevel(gInputSampler, uv - offset, 0));
    }
    return sum;
}

float4 PSVertical(FullscreenVertex i) : SV_TARGET
{
    return blur(i.uv, float2(0, 1));
}

float4 PSHorizontal(FullscreenVertex i) : SV_TARGET
{
    return blur(i.uv, float2(1, 0));
}

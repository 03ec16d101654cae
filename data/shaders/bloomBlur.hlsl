// Bloom blur: one Gaussian direction per entry over a half-size target. The radius is in
// pixels of a 1080-line picture; 17 taps reach it at about 2.5 standard deviations.
#include "common/fullscreen.hlsli"

cbuffer BloomBlurConstants : register(b0)
{
    float gBloomRadius;
};

Texture2D gInput : register(t0);
SamplerState gInputSampler : register(s0);

static const int kTapsPerSide = 8;

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 blur(float2 uv, float2 direction)
{
    float w, h;
    gInput.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    // The target is half size: a radius of R reference pixels is R * (2h) / 1080 / 2 here.
    float radius = max(gBloomRadius, 0.0) * h / 1080.0;
    if (radius < 0.5)
        return gInput.SampleLevel(gInputSampler, uv, 0);
    float sigma = radius / 2.5;
    float step = radius / float(kTapsPerSide);
    float4 sum = 0;
    float weights = 0;
    for (int k = -kTapsPerSide; k <= kTapsPerSide; ++k)
    {
        float x = float(k) * step;
        float weight = exp(-x * x / (2.0 * sigma * sigma));
        sum += weight * gInput.SampleLevel(gInputSampler, uv + direction * x * texel, 0);
        weights += weight;
    }
    return sum / weights;
}

float4 PSVertical(FullscreenVertex i) : SV_TARGET
{
    return blur(i.uv, float2(0, 1));
}

float4 PSHorizontal(FullscreenVertex i) : SV_TARGET
{
    return blur(i.uv, float2(1, 0));
}

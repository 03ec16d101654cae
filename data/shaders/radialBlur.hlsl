// Zoom blur towards a centre: each pixel averages the picture along the line to the centre
// over Radius/200 of its distance (50 reaches a quarter of the way), and the average is
// scaled by the intensity (1 keeps the brightness, more makes light streaks glow).
// The centre is in screen units: (0, 0) the middle, (1, 1) the top-right corner; its z is
// not used.
#include "common/fullscreen.hlsli"

cbuffer RadialBlurConstants : register(b0)
{
    float gRadius;
    float gIntensity;
    float4 gCenter;
    float2 gRegionScale;
    float2 gRegionOffset;
};

Texture2D gSource : register(t0);
SamplerState gSourceSampler : register(s0);

static const int kSamples = 24;

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 centre = float2(gCenter.x * 0.5 + 0.5, 0.5 - gCenter.y * 0.5);
    float2 towards = (centre - i.uv) * saturate(gRadius / 200.0);
    float4 sum = 0;
    [unroll]
    for (int k = 0; k < kSamples; ++k)
    {
        float2 uv = i.uv + towards * (float(k) / float(kSamples - 1));
        sum += gSource.SampleLevel(gSourceSampler, regionToSource(uv, gRegionScale, gRegionOffset), 0);
    }
    sum /= float(kSamples);
    return float4(sum.rgb * gIntensity, sum.a);
}

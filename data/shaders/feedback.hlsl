// Video feedback: the current picture (times its intensity) blended with the previous
// frame's result, which is looked up through a slowly drifting noise displacement so that
// trails swirl. The history target holds the last result at the region's own pixels.
#include "common/fullscreen.hlsli"

cbuffer FeedbackConstants : register(b0)
{
    float2 gRegionScale;
    float2 gRegionOffset;
    float gPreviousFrameInfluence;  // 0 the current picture alone, 1 the history alone
    float gCurrentFrameIntensity;
    float gTime;
    float gNoiseStrength;   // displacement in percent of the picture's height
    float gNoiseFrequency;  // noise cells across the picture
    float gNoisePhase;
};

Texture2D gSource : register(t0);
Texture2D gHistory : register(t1);
SamplerState gSourceSampler : register(s0);
SamplerState gHistorySampler : register(s1);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float hash2(float2 p)
{
    return frac(sin(dot(p, float2(127.1, 311.7))) * 43758.5453);
}

// Smooth value noise in [-1, 1].
float valueNoise(float2 p)
{
    float2 cell = floor(p);
    float2 f = frac(p);
    float2 u = f * f * (3.0 - 2.0 * f);
    float a = hash2(cell), b = hash2(cell + float2(1, 0));
    float c = hash2(cell + float2(0, 1)), d = hash2(cell + float2(1, 1));
    return lerp(lerp(a, b, u.x), lerp(c, d, u.x), u.y) * 2.0 - 1.0;
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float4 current = gSource.Sample(gSourceSampler, regionToSource(i.uv, gRegionScale, gRegionOffset));
    current *= gCurrentFrameIntensity;

    float w, h;
    gHistory.GetDimensions(w, h);
    float2 historyUV = i.pos.xy / float2(w, h);
    if (gNoiseStrength != 0.0)
    {
        float2 p = i.uv * gNoiseFrequency + gNoisePhase + gTime * 0.25;
        float2 drift = float2(valueNoise(p), valueNoise(p + float2(17.31, -5.77)));
        historyUV += drift * gNoiseStrength * 0.01 * float2(h / w, 1.0);
    }
    float4 history = gHistory.Sample(gHistorySampler, historyUV);
    return lerp(current, history, gPreviousFrameInfluence);
}

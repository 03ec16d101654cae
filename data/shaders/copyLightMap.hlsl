// The lit picture: the light map plus what the surfaces emit (G-buffer target 3).
#include "common/fullscreen.hlsli"

cbuffer CombineConstants : register(b0)
{
    float2 gRegionScale;
    float2 gRegionOffset;
};

Texture2D gLightMap : register(t0);
Texture2D gEmissive : register(t1);
SamplerState gPointSampler : register(s0);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float3 light = gLightMap.SampleLevel(gPointSampler, uv, 0).rgb;
    float3 emitted = gEmissive.SampleLevel(gPointSampler, uv, 0).rgb;
    return float4(light + emitted, 1.0);
}

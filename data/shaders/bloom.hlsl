// Bloom, first and last steps. PSExtract keeps what is brighter than the threshold, at half
// size (a 4 x 4 box of the source per half-size pixel); PSBloom adds the blurred bright
// parts, times the intensity, onto the picture. The half-size targets hold the region at
// half its pixel coordinates, so the combine finds its bloom texel from its own position.
#include "common/fullscreen.hlsli"

cbuffer BloomConstants : register(b0)
{
    float gExtractThreshold;
    float2 gExtractRegionScale;
    float2 gExtractRegionOffset;
    float2 gBloomRegionScale;
    float2 gBloomRegionOffset;
    float gIntensity;
};

Texture2D gSource : register(t0);
Texture2D gBloom : register(t1);
SamplerState gSourceSampler : register(s0);
SamplerState gBloomSampler : register(s1);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PSExtract(FullscreenVertex i) : SV_TARGET
{
    float w, h;
    gSource.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    float2 uv = regionToSource(i.uv, gExtractRegionScale, gExtractRegionOffset);
    // Four bilinear taps, each the mean of a 2 x 2 block.
    float4 c = gSource.Sample(gSourceSampler, uv + texel * float2(-1, -1))
             + gSource.Sample(gSourceSampler, uv + texel * float2(1, -1))
             + gSource.Sample(gSourceSampler, uv + texel * float2(-1, 1))
             + gSource.Sample(gSourceSampler, uv + texel * float2(1, 1));
    c *= 0.25;
    float brightness = max(c.r, max(c.g, c.b));
    float keep = max(brightness - gExtractThreshold, 0.0) / max(brightness, 1e-4);
    return float4(c.rgb * keep, 1.0);
}

float4 PSBloom(FullscreenVertex i) : SV_TARGET
{
    float4 c = gSource.Sample(gSourceSampler, regionToSource(i.uv, gBloomRegionScale, gBloomRegionOffset));
    float w, h;
    gBloom.GetDimensions(w, h);
    float3 glow = gBloom.Sample(gBloomSampler, i.pos.xy * 0.5 / float2(w, h)).rgb;
    return float4(c.rgb + glow * gIntensity, c.a);
}

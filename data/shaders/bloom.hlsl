// Bloom, first and last steps. PSExtract keeps what is brighter than the threshold, at a
// quarter of the size: each quarter-size pixel is the mean of the four half-size pixels it
// covers, each of those a 4 x 4 box of the source kept above the threshold on its own (the
// glow is far wider than a pixel, so blurring it at a quarter of the size shows the same,
// for a quarter of the work). PSBloom adds the blurred bright parts, times the intensity,
// onto the picture. The quarter-size targets hold the region at a quarter of its pixel
// coordinates, so the combine finds its bloom texel from its own position.
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

float3 keptAbove(float3 c)
{
    float brightness = max(c.r, max(c.g, c.b));
    return c * (max(brightness - gExtractThreshold, 0.0) / max(brightness, 1e-4));
}

float4 PSExtract(FullscreenVertex i) : SV_TARGET
{
    float w, h;
    gSource.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    float2 uv = regionToSource(i.uv, gExtractRegionScale, gExtractRegionOffset);
    // Bilinear taps on a 3 x 3 grid two texels apart, each the mean of a 2 x 2 block: a
    // half-size pixel is the mean of the four taps of its corner of the grid.
    float3 t[3][3];
    [unroll]
    for (int y = 0; y < 3; ++y)
    {
        [unroll]
        for (int x = 0; x < 3; ++x)
            t[y][x] = gSource.SampleLevel(gSourceSampler, uv + texel * float2(2 * x - 2, 2 * y - 2), 0).rgb;
    }
    float3 sum = 0;
    [unroll]
    for (int qy = 0; qy < 2; ++qy)
    {
        [unroll]
        for (int qx = 0; qx < 2; ++qx)
            sum += keptAbove(0.25 * (t[qy][qx] + t[qy][qx + 1] + t[qy + 1][qx] + t[qy + 1][qx + 1]));
    }
    return float4(sum * 0.25, 1.0);
}

float4 PSBloom(FullscreenVertex i) : SV_TARGET
{
    float4 c = gSource.Sample(gSourceSampler, regionToSource(i.uv, gBloomRegionScale, gBloomRegionOffset));
    float w, h;
    gBloom.GetDimensions(w, h);
    float3 glow = gBloom.Sample(gBloomSampler, i.pos.xy * 0.25 / float2(w, h)).rgb;
    return float4(c.rgb + glow * gIntensity, c.a);
}

// Film grain: monochrome noise that changes every frame, strongest in the mid-tones, with
// an optional S-curve contrast boost. A positive fade-in darkens towards black.
#include "common/fullscreen.hlsli"
#include "common/color.hlsli"

cbuffer GrainConstants : register(b0)
{
    float gStrength;     // 1 gives noise of +-1% of full scale
    float gFadeIn;
    float gTime;
    float2 gRegionScale;
    float2 gRegionOffset;
    float2 gScreenSize;  // viewport size in pixels
    float gContrast;     // 0 off, 1 the full S-curve ...
    float gContrastStr;  // ... scaled by this
};

Texture2D gSource : register(t0);
SamplerState gSourceSampler : register(s0);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

// A hash of integer pixel and frame numbers, uniform in [0, 1).
float hash3(uint3 p)
{
    uint h = p.x * 0x8da6b343u ^ p.y * 0xd8163841u ^ p.z * 0xcb1ab31fu;
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return float(h >> 8) * (1.0 / 16777216.0);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gSource.Sample(gSourceSampler, uv);
    float3 rgb = c.rgb;
    if (gContrast > 0.0)
    {
        float3 s = saturate(rgb);
        float3 curve = s * s * (3.0 - 2.0 * s);
        rgb = lerp(rgb, curve, saturate(gContrast) * gContrastStr);
    }
    uint2 pixel = uint2(i.uv * gScreenSize);
    uint frame = uint(max(gTime, 0.0) * 60.0);
    float noise = hash3(uint3(pixel, frame)) - 0.5;
    float l = saturate(luminance(rgb));
    float midtones = 0.5 + 2.0 * l * (1.0 - l);  // 0.5 at black and white, 1 at mid-grey
    rgb += noise * gStrength * 0.02 * midtones;
    rgb *= 1.0 - saturate(gFadeIn);
    return float4(rgb, c.a);
}

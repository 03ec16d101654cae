// Inverts the picture: rgb -> 1 - rgb, blended in by the intensity (and the mask's
// luminance when the mask is used). Alpha is kept.
#include "common/fullscreen.hlsli"
#include "common/color.hlsli"

cbuffer InvertConstants : register(b0)
{
    float gIntensity;
    int gUseMaskImage;
    float2 gRegionScale;
    float2 gRegionOffset;
};

Texture2D gSource : register(t0);
Texture2D gMask : register(t1);
SamplerState gSourceSampler : register(s0);
SamplerState gMaskSampler : register(s1);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gSource.Sample(gSourceSampler, uv);
    float amount = gIntensity * maskWeight(gUseMaskImage, gMask.Sample(gMaskSampler, uv));
    return float4(lerp(c.rgb, 1.0 - c.rgb, amount), c.a);
}

// Inverts the picture: rgb -> 1 - rgb, blended in by the intensity (and the mask's
// luminance when the mask is used). Alpha is kept.
#include "common/maskedPass.hlsli"

cbuffer InvertConstants : register(b0)
{
    float gIntensity;
    int gUseMaskImage;
    float2 gRegionScale;
    float2 gRegionOffset;
};

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gSource.Sample(gSourceSampler, uv);
    float amount = gIntensity * maskAt(uv, gUseMaskImage);
    return float4(lerp(c.rgb, 1.0 - c.rgb, amount), c.a);
}

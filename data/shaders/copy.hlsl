// Copies the current region of a source texture into the region being drawn.
#include "common/fullscreen.hlsli"

cbuffer CopyConstants : register(b0)
{
    float2 gRegionScale;   // region size / source size
    float2 gRegionOffset;  // region top-left / source size
    float2 gResolution;    // region size in pixels
    float gScale;          // zoom about the source's origin: 2 stretches its top-left quarter over all of it
};

Texture2D gSource : register(t0);
SamplerState gPointSampler : register(s0);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float2 sourceCoord(float2 uv)
{
    float zoom = gScale > 0.0 ? gScale : 1.0;
    return regionToSource(uv, gRegionScale, gRegionOffset) / zoom;
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    return gSource.Sample(gPointSampler, sourceCoord(i.uv));
}

// Depth (or any one-channel source) shown as grey.
float4 PSDepth(FullscreenVertex i) : SV_TARGET
{
    float d = gSource.Sample(gPointSampler, sourceCoord(i.uv)).r;
    return float4(d, d, d, 1.0);
}

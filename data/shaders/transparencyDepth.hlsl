// The frame's depth, shrunk into the reduced region the transparency pass draws in when it
// renders below full size, so that transparent surfaces are tested against the opaque scene
// at the places they will be stretched back to.
#include "common/fullscreen.hlsli"

cbuffer DepthScaleConstants : register(b0)
{
    float2 gRegionScale;   // the full region in the frame's depth target
    float2 gRegionOffset;
};

Texture2D gFrameDepth : register(t0);
SamplerState gPointSampler : register(s0);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float PS(FullscreenVertex i) : SV_DEPTH
{
    return gFrameDepth.SampleLevel(gPointSampler, regionToSource(i.uv, gRegionScale, gRegionOffset), 0).r;
}

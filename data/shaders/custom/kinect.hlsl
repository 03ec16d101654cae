// Depth-camera frames as a picture: the depth texture holds millimetres as 16-bit values
// (read as value / 65535), so a texel is value * 65.535 metres away. Distances from gNear
// to gFar (metres) run from white to black with a cool tint towards the far end; no
// reading (0) and anything outside the range is black.
#include "../common/fullscreen.hlsli"

cbuffer KinectConstants : register(b0)
{
    float gFar;
    float gNear;
};

Texture2D gDepth : register(t0);
SamplerState gDepthSampler : register(s0);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float raw = gDepth.SampleLevel(gDepthSampler, i.uv, 0).r;
    float metres = raw * 65.535;
    float range = gFar - gNear;
    if (raw <= 0.0 || range <= 0.0 || metres < gNear || metres > gFar)
        return float4(0, 0, 0, 1);
    float t = (metres - gNear) / range;
    float shade = 1.0 - t;
    return float4(shade * float3(1.0 - 0.3 * t, 1.0 - 0.15 * t, 1.0), 1.0);
}

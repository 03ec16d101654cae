// Keeps a picture where a mask says so. The mask value is the mask picture's channels
// weighted by gChannelMask and divided by the weights' sum (so (1, 1, 1, 0) averages the
// colour channels and the default (0, 0, 0, 1) is the alpha); a weight sum of 0 gives 0.
// Where the value reaches gThreshold the picture is kept, elsewhere it becomes (0, 0, 0, 0);
// gInvert above 0.5 swaps the two.
#include "common/fullscreen.hlsli"

cbuffer MaskConstants : register(b0)
{
    float4 gChannelMask;
    float gThreshold;
    float gInvert;
};

Texture2D gImage : register(t0);
Texture2D gMask : register(t1);
SamplerState gImageSampler : register(s0);
SamplerState gMaskSampler : register(s1);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float4 c = gImage.SampleLevel(gImageSampler, i.uv, 0);
    float4 k = gMask.SampleLevel(gMaskSampler, i.uv, 0);
    float weights = dot(gChannelMask, float4(1, 1, 1, 1));
    float value = weights != 0.0 ? dot(k, gChannelMask) / weights : 0.0;
    bool keep = value >= gThreshold;
    if (gInvert > 0.5)
        keep = !keep;
    return keep ? c : float4(0, 0, 0, 0);
}

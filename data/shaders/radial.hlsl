// A radial ramp: colour 1 inside gRadius1 of gPosition, colour 2 beyond gRadius2, a linear
// blend between (a step at gRadius1 when gRadius2 is not larger). Laid over the input
// picture by its alpha when one is connected.
#include "common/fullscreen.hlsli"
#include "common/generator.hlsli"

cbuffer RadialConstants : register(b0)
{
    float2 gRegionScale;
    float2 gRegionOffset;
    float gAspect;
    float4 gColor1;
    float4 gColor2;
    float2 gPosition;
    float gRadius1;
    float gRadius2;
    int gInputImageConnected;
};

Texture2D gInput : register(t0);
SamplerState gInputSampler : register(s0);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float d = length(aspectScaled(generatorPoint(i.uv) - gPosition, gAspect));
    float t = gRadius2 > gRadius1 ? saturate((d - gRadius1) / (gRadius2 - gRadius1)) : (d >= gRadius1 ? 1.0 : 0.0);
    float4 ramp = lerp(gColor1, gColor2, t);
    float4 input = gInput.SampleLevel(gInputSampler, regionToSource(i.uv, gRegionScale, gRegionOffset), 0);
    return overInput(ramp, input, gInputImageConnected);
}

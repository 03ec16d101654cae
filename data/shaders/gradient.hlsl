// A linear ramp from colour 1 at gPosition1 to colour 2 at gPosition2, constant beyond
// both ends (colour 1 everywhere when the two positions coincide). Laid over the input
// picture by its alpha when one is connected.
#include "common/fullscreen.hlsli"
#include "common/generator.hlsli"

cbuffer GradientConstants : register(b0)
{
    float2 gRegionScale;
    float2 gRegionOffset;
    float gAspect;
    float4 gColor1;
    float4 gColor2;
    float2 gPosition1;
    float2 gPosition2;
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
    float2 axis = aspectScaled(gPosition2 - gPosition1, gAspect);
    float2 q = aspectScaled(generatorPoint(i.uv) - gPosition1, gAspect);
    float len2 = dot(axis, axis);
    float t = len2 > 1e-12 ? saturate(dot(q, axis) / len2) : 0.0;
    float4 ramp = lerp(gColor1, gColor2, t);
    float4 input = gInput.SampleLevel(gInputSampler, regionToSource(i.uv, gRegionScale, gRegionOffset), 0);
    return overInput(ramp, input, gInputImageConnected);
}

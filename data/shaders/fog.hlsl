// Depth fog over a picture, from the G-buffer: a pixel at linear view depth d takes
//   amount = saturate(d / gMaxDist) * exp(-max(y, 0) * kHeightFalloff)
// of gFogColor, where y is its world height rebuilt from the depth target through
// gInvWorldViewProj (fog thins above height 0). Pixels where nothing was drawn (the
// material target still at its clear value) take the fog colour entirely.
#include "common/fullscreen.hlsli"
#include "common/gbuffer.hlsli"

cbuffer FogConstants : register(b0)
{
    float4x4 gInvWorldViewProj;
    float2 gRegionScale;
    float2 gRegionOffset;
    float gMaxDist;
    float4 gFogColor;
    float gTime;  // seconds of the player's clock, for fog shaders that move
};

Texture2D gInput : register(t0);
Texture2D gNormalDepth : register(t1);
Texture2D gMaterial : register(t2);
Texture2D gDepth : register(t3);
SamplerState gInputSampler : register(s0);
SamplerState gNormalSampler : register(s1);
SamplerState gMaterialSampler : register(s2);
SamplerState gDepthSampler : register(s3);

static const float kHeightFalloff = 0.05;

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 colour = gInput.SampleLevel(gInputSampler, uv, 0);
    GBufferSample g = decodeGBuffer(0, gNormalDepth.SampleLevel(gNormalSampler, uv, 0),
                                    gMaterial.SampleLevel(gMaterialSampler, uv, 0), 0, 0);
    float amount = 1.0;
    if (g.roughness < kGBufferNothing * 0.5 && g.viewDepth < kGBufferNothing * 0.5)
    {
        float deviceDepth = gDepth.SampleLevel(gDepthSampler, uv, 0).r;
        float4 world = mul(float4(viewportUvToNdc(i.uv), deviceDepth, 1.0), gInvWorldViewProj);
        float height = world.w != 0.0 ? world.y / world.w : 0.0;
        float distanceFog = gMaxDist > 0.0 ? saturate(g.viewDepth / gMaxDist) : 1.0;
        amount = distanceFog * exp(-max(height, 0.0) * kHeightFalloff);
    }
    return float4(lerp(colour.rgb, gFogColor.rgb, amount), colour.a);
}

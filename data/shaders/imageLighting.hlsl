// Image-based lighting, added over the lit picture: the environment cube pre-filtered by
// roughness (one mip level per roughness step) with the pre-integrated BRDF of the lookup
// texture for the specular part, the environment's widest level for the diffuse part.
#include "common/fullscreen.hlsli"
#include "common/lighting.hlsli"

cbuffer ImageLightingConstants : register(b0)
{
    float4x4 gInvWorldViewProj;
    float4x4 gInvView;
    float4 gEyePos;
    float2 gRegionScale;
    float2 gRegionOffset;
};

TextureCube gEnvironment : register(t5);
Texture2D gBrdfLookup : register(t6);
SamplerState gEnvironmentSampler : register(s2);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    // A surface that takes no image-based light (multiplier 0, such as an emissive sky) and
    // a pixel without geometry (cleared to 0 there) add nothing: the rest of the G-buffer
    // and the environment are not read for them.
    if (gGBufferMaterial.SampleLevel(gPointSampler, gbufferUv(i.uv, gRegionScale, gRegionOffset), 0).w == 0.0)
        return float4(0.0, 0.0, 0.0, 0.0);
    LitPixel p = readLitPixel(i.uv, gInvWorldViewProj, gInvView, gEyePos.xyz, gRegionScale, gRegionOffset);
    if (!p.hasGeometry)
        return float4(0.0, 0.0, 0.0, 0.0);
    uint width, height, levels;
    gEnvironment.GetDimensions(0, width, height, levels);
    float roughness = saturate(p.surface.roughness);
    float NdotV = saturate(dot(p.normal, p.toEye));
    float3 R = reflect(-p.toEye, p.normal);
    float3 prefiltered = gEnvironment.SampleLevel(gEnvironmentSampler, R, environmentMip(roughness, levels)).rgb;
    float3 irradiance = gEnvironment.SampleLevel(gEnvironmentSampler, p.normal, max(float(levels) - 1.0, 0.0)).rgb;
    float2 envBrdf = gBrdfLookup.SampleLevel(gPointSampler, float2(NdotV, roughness), 0).rg;
    float3 light = evaluateImageLight(p.normal, p.toEye, p.surface, prefiltered, irradiance, envBrdf);
    return float4(light * p.iblMultiplier, 0.0);
}

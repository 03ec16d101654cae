// The material of a G-buffer writer: the five material textures and how they combine with
// the per-object constants. Include after the b0 buffer that holds GBUFFER_OBJECT_CONSTANTS.
//
// Textures (pixel stage, each with the sampler of its own slot): t0 albedo, t1 roughness,
// t2 metalness, t3 emissive, t4 normal map. Empty slots hold white (t0-t3) or the flat
// normal (t4), so the constants alone decide an untextured surface.
#ifndef COMMON_GBUFFER_MATERIAL_HLSLI
#define COMMON_GBUFFER_MATERIAL_HLSLI

#include "gbuffer.hlsli"

Texture2D gAlbedoMap : register(t0);
Texture2D gRoughnessMap : register(t1);
Texture2D gMetalnessMap : register(t2);
Texture2D gEmissiveMap : register(t3);
Texture2D gNormalMap : register(t4);
SamplerState gAlbedoSampler : register(s0);
SamplerState gRoughnessSampler : register(s1);
SamplerState gMetalnessSampler : register(s2);
SamplerState gEmissiveSampler : register(s3);
SamplerState gNormalSampler : register(s4);

GBufferOutput materialPixel(GBufferPixelIn i)
{
    float2 uv = i.uv * gTileUV;
    GBufferSurface s;
    s.albedo = gBaseColor.rgb * gAlbedoMap.Sample(gAlbedoSampler, uv).rgb;
    float3 n = normalize(i.viewNormal);
    float3 mapped = decodeNormalMap(gNormalMap.Sample(gNormalSampler, uv).xyz);
    s.viewNormal = perturbNormal(n, i.viewPos, uv, mapped);
    s.viewDepth = i.viewPos.z;
    s.roughness = gRoughness * gRoughnessMap.Sample(gRoughnessSampler, uv).r;
    s.metalness = gMetalness * gMetalnessMap.Sample(gMetalnessSampler, uv).r;
    s.specular = specularIntensity(gSpecularMapColor.rgb);
    s.iblMultiplier = gEmissiveColor.w;
    s.emissive = gEmissiveColor.rgb * gEmissiveMap.Sample(gEmissiveSampler, uv).rgb;
    s.velocity = screenVelocity(i.clipNow, i.clipPrev, gRegionScale);
    return encodeGBuffer(s);
}

#endif

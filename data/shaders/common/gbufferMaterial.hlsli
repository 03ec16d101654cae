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

// The surface the constants alone describe: what a material with every slot empty shows,
// since the empty slots' white and flat texels leave each product and the normal exactly
// as they are.
GBufferSurface constantSurface(GBufferPixelIn i)
{
    GBufferSurface s;
    s.albedo = gBaseColor.rgb;
    s.viewNormal = normalize(i.viewNormal);
    s.viewDepth = i.viewPos.z;
    s.roughness = gRoughness;
    s.metalness = gMetalness;
    s.specular = specularIntensity(gSpecularMapColor.rgb);
    s.iblMultiplier = gEmissiveColor.w;
    s.emissive = gEmissiveColor.rgb;
    s.velocity = screenVelocity(i.clipNow, i.clipPrev, gRegionScale);
    return s;
}

GBufferOutput materialPixel(GBufferPixelIn i)
{
    float2 uv = i.uv * gTileUV;
    GBufferSurface s = constantSurface(i);
    s.albedo *= gAlbedoMap.Sample(gAlbedoSampler, uv).rgb;
    float3 mapped = decodeNormalMap(gNormalMap.Sample(gNormalSampler, uv).xyz);
    s.viewNormal = perturbNormal(s.viewNormal, i.viewPos, uv, mapped);
    s.roughness *= gRoughnessMap.Sample(gRoughnessSampler, uv).r;
    s.metalness *= gMetalnessMap.Sample(gMetalnessSampler, uv).r;
    s.emissive *= gEmissiveMap.Sample(gEmissiveSampler, uv).rgb;
    return encodeGBuffer(s);
}

// For a material without textures: the same bits as materialPixel over the empty slots,
// without the five reads (each a filtered fetch on every pixel of a CPU driver).
GBufferOutput constantMaterialPixel(GBufferPixelIn i)
{
    return encodeGBuffer(constantSurface(i));
}

#endif

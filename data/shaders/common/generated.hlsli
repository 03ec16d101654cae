// What the G-buffer writers of the generators share: a vertex from its place now and a
// millisecond earlier, and a pixel stage coloured by the constants alone (the cube's faces
// come from shapes.hlsli). Include after the b0 buffer that holds GBUFFER_OBJECT_CONSTANTS.
#ifndef COMMON_GENERATED_HLSLI
#define COMMON_GENERATED_HLSLI

#include "gbuffer.hlsli"
#include "shapes.hlsli"

// What the geometry stage hands on: the G-buffer vertex fields and a colour of the shader's
// own (a tint of the base colour, say).
struct GeneratedVertex
{
    GBUFFER_VERTEX_FIELDS
    float3 tint : COLOR0;
};

// A pseudo-random value in [0, 1) from a number.
float hash(float n)
{
    return frac(sin(n * 12.9898) * 43758.5453);
}

// The vertex at object-space `now` (`prev` a millisecond earlier, for the velocity) with an
// object-space normal.
GeneratedVertex generatedVertex(float3 now, float3 prev, float3 normal, float2 uv, float3 tint = 1.0)
{
    float4 p = float4(now, 1.0);
    GeneratedVertex o;
    o.pos = mul(p, gWorldViewProj);
    o.clipNow = o.pos;
    o.clipPrev = mul(float4(prev, 1.0), gWorldViewProjPrev);
    o.viewPos = mul(p, gWorldView).xyz;
    o.viewNormal = mul(float4(normal, 0.0), gInvTransWorldView).xyz;
    o.uv = uv;
    o.tint = tint;
    return o;
}

// The surface: the given albedo and the constants' material; a back face (geometry seen
// from both sides) shows its normal turned towards the viewer.
GBufferOutput generatedPixel(GeneratedVertex i, bool front, float3 albedo)
{
    GBufferSurface s;
    s.albedo = albedo;
    float3 n = normalize(i.viewNormal);
    s.viewNormal = front ? n : -n;
    s.viewDepth = i.viewPos.z;
    s.roughness = gRoughness;
    s.metalness = gMetalness;
    s.specular = specularIntensity(gSpecularMapColor.rgb);
    s.iblMultiplier = gEmissiveColor.w;
    s.emissive = gEmissiveColor.rgb;
    s.velocity = screenVelocity(i.clipNow, i.clipPrev, gRegionScale);
    return encodeGBuffer(s);
}

#endif

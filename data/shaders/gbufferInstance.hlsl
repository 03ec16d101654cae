// Instanced meshes into the G-buffer: every instance brings its own local matrix (rows
// WORLD0-WORLD3, row vectors), applied before the object's matrices; all instances share
// one material.
#include "common/gbuffer.hlsli"

cbuffer ObjectConstants : register(b0)
{
    GBUFFER_OBJECT_CONSTANTS
};

#include "common/gbufferMaterial.hlsli"

struct InstancedVertex
{
    float3 pos : POSITION;
    float3 normal : NORMAL;
    float2 uv : TEXCOORD0;
    float4 world0 : WORLD0;
    float4 world1 : WORLD1;
    float4 world2 : WORLD2;
    float4 world3 : WORLD3;
};

GBufferVertexOut VS(InstancedVertex v)
{
    float4x4 instance = float4x4(v.world0, v.world1, v.world2, v.world3);
    float4 local = mul(float4(v.pos, 1.0), instance);
    // Normals of a scaled instance need the inverse transpose; for the rotations and uniform
    // scales that instancing lays out, the matrix itself keeps their direction.
    float3 normal = mul(float4(v.normal, 0.0), instance).xyz;
    return gbufferVertex(local, normal, v.uv, gWorldViewProj, gWorldViewProjPrev, gWorldView, gInvTransWorldView);
}

GBufferOutput PS(GBufferPixelIn i)
{
    return materialPixel(i);
}

// A material without textures (the renderer picks it): the same pixels, without the reads.
GBufferOutput PSPlain(GBufferPixelIn i)
{
    return constantMaterialPixel(i);
}

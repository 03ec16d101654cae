// Meshes into the G-buffer with the Context's material.
#include "common/gbuffer.hlsli"

cbuffer ObjectConstants : register(b0)
{
    GBUFFER_OBJECT_CONSTANTS
};

#include "common/gbufferMaterial.hlsli"

struct MeshVertex
{
    float3 pos : POSITION;
    float3 normal : NORMAL;
    float2 uv : TEXCOORD0;
};

GBufferVertexOut VS(MeshVertex v)
{
    return gbufferVertex(float4(v.pos, 1.0), v.normal, v.uv, gWorldViewProj, gWorldViewProjPrev, gWorldView,
                         gInvTransWorldView);
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

// The custom material's default program: the G-buffer material on a surface that ripples
// along its normals. gParam1 is the phase (animate it with time), gParam2 the height of the
// ripple in object units (0: the plain G-buffer surface), gParam3 its spatial frequency.
#include "common/gbuffer.hlsli"

cbuffer ObjectConstants : register(b0)
{
    GBUFFER_OBJECT_CONSTANTS
    float gParam1;
    float gParam2;
    float gParam3;
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
    float wave = sin(gParam1 + gParam3 * (v.pos.x + v.pos.y + v.pos.z));
    float3 displaced = v.pos + v.normal * (gParam2 * wave);
    return gbufferVertex(float4(displaced, 1.0), v.normal, v.uv, gWorldViewProj, gWorldViewProjPrev, gWorldView,
                         gInvTransWorldView);
}

GBufferOutput PS(GBufferPixelIn i)
{
    return materialPixel(i);
}

// Draws the cut triangles of "DynaMesh" into the G-buffer. There is no vertex buffer: the
// vertex stage reads vertex SV_VertexID of the final cut buffer (vertex-shader slot t1);
// the empty slots behind the triangles are all zero and make no pixels. The material comes
// from the per-object constants alone (t1 of the pixel stage would share the binding of
// the cut buffer, so no material texture is read).
#include "common/gbuffer.hlsli"
#define DYNAMESH_VERTEX_ONLY
#include "common/dynaMesh.hlsli"

cbuffer ObjectConstants : register(b0)
{
    GBUFFER_OBJECT_CONSTANTS
};

StructuredBuffer<DynaVertex> gVertices : register(t1);

GBufferVertexOut VS(uint id : SV_VertexID)
{
    DynaVertex v = gVertices[id];
    return gbufferVertex(float4(v.px, v.py, v.pz, 1.0), float3(v.nx, v.ny, v.nz), float2(v.u, v.v), gWorldViewProj,
                         gWorldViewProjPrev, gWorldView, gInvTransWorldView);
}

GBufferOutput PS(GBufferPixelIn i)
{
    GBufferSurface s;
    s.albedo = gBaseColor.rgb;
    s.viewNormal = i.viewNormal;
    s.viewDepth = i.viewPos.z;
    s.roughness = gRoughness;
    s.metalness = gMetalness;
    s.specular = specularIntensity(gSpecularMapColor.rgb);
    s.iblMultiplier = gEmissiveColor.w;
    s.emissive = gEmissiveColor.rgb;
    s.velocity = screenVelocity(i.clipNow, i.clipPrev, gRegionScale);
    return encodeGBuffer(s);
}

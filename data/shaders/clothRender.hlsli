// Drawing a cloth piece into the G-buffer: the index buffer is drawn without vertex
// buffers; vertex i reads its position from texel (i mod width, i div width) of the position
// texture and its normal and uv from the shading buffer. Material as for every mesh; both
// sides are shaded (the back side with the normal turned round).
#ifndef CLOTH_RENDER_HLSLI
#define CLOTH_RENDER_HLSLI

#include "common/gbuffer.hlsli"

cbuffer ObjectConstants : register(b0)
{
    GBUFFER_OBJECT_CONSTANTS
};

#include "common/gbufferMaterial.hlsli"

struct ClothShading
{
    float4 normalU;
    float4 tangentV;
};

Texture2D<float4> gClothPositions : register(t8);
StructuredBuffer<ClothShading> gClothShading : register(t9);

GBufferVertexOut VS(uint id : SV_VertexID)
{
    uint width, height;
    gClothPositions.GetDimensions(width, height);
    width = max(width, 1u);
    float3 p = gClothPositions.Load(int3(id % width, id / width, 0)).xyz;
    ClothShading s = gClothShading[id];
    return gbufferVertex(float4(p, 1.0), s.normalU.xyz, float2(s.normalU.w, s.tangentV.w), gWorldViewProj,
                         gWorldViewProjPrev, gWorldView, gInvTransWorldView);
}

GBufferOutput PS(GBufferPixelIn i, bool front : SV_IsFrontFace)
{
    if (!front)
        i.viewNormal = -i.viewNormal;
    return materialPixel(i);
}

#endif

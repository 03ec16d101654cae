// Draws the boxes of "ProcMesh": the triangles the compute pass generated are the vertex
// stream (a plain triangle list, so the shadow passes draw the same geometry); the vertex
// stage finds its point's colour in the point buffer (t8), the geometry stage hands the
// triangles on, the pixel stage writes the G-buffer with the constants' material tinted by
// the point's colour.
#include "procMesh.hlsli"

cbuffer DrawConstants : register(b0)
{
    GBUFFER_OBJECT_CONSTANTS
    uint vertexCount;
    uint triCount;
    float time;
};

#include "../common/generated.hlsli"

StructuredBuffer<ProcPoint> gPoints : register(t8);

struct BoxVertex
{
    float3 position : POSITION;
    float3 normal : NORMAL;
    float3 previous : TANGENT;
    float2 uv : TEXCOORD0;
};

GeneratedVertex VS(BoxVertex v, uint id : SV_VertexID)
{
    float3 tint = gPoints[id / max(triCount * 3, 1u)].colour.rgb;
    return generatedVertex(v.position, v.previous, v.normal, v.uv, tint);
}

[maxvertexcount(3)]
void GS(triangle GeneratedVertex v[3], inout TriangleStream<GeneratedVertex> stream)
{
    for (uint k = 0; k < 3; ++k)
        stream.Append(v[k]);
}

GBufferOutput PS(GeneratedVertex i, bool front : SV_IsFrontFace)
{
    return generatedPixel(i, front, gBaseColor.rgb * i.tint);
}

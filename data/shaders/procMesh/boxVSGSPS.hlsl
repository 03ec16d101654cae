// Draws the points of "ProcMesh" as boxes: the vertex stage fetches point i of the buffer
// the compute pass filled (t8), the geometry stage builds a box of up to triCount triangles
// (12 for a whole box) around it, the pixel stage writes the G-buffer with the constants'
// material tinted by the point's colour.
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

struct BoxPoint
{
    float4 position : POSITION;
    float4 previous : TEXCOORD1;
    float4 orientation : TEXCOORD2;
    float3 colour : COLOR0;
};

BoxPoint VS(uint id : SV_VertexID)
{
    ProcPoint p = gPoints[id];
    BoxPoint o;
    o.position = p.position;
    o.previous = p.previous;
    o.orientation = p.orientation;
    o.colour = p.colour.rgb;
    return o;
}

GeneratedVertex corner(BoxPoint p, float3 c, float3 n)
{
    float3 offset = rotateAbout(c, p.orientation.xyz, p.orientation.w) * p.position.w;
    return generatedVertex(p.position.xyz + offset, p.previous.xyz + offset,
                           rotateAbout(n, p.orientation.xyz, p.orientation.w), c.xy * 0.5 + 0.5, p.colour);
}

[maxvertexcount(24)]
void GS(point BoxPoint p[1], inout TriangleStream<GeneratedVertex> stream)
{
    uint faces = min((triCount + 1) / 2, 6u);
    for (uint f = 0; f < faces; ++f)
    {
        for (uint k = 0; k < 4; ++k)
            stream.Append(corner(p[0], cubeFaceCorner(f, k), kCubeFaceNormals[f]));
        stream.RestartStrip();
    }
}

GBufferOutput PS(GeneratedVertex i, bool front : SV_IsFrontFace)
{
    return generatedPixel(i, front, gBaseColor.rgb * i.tint);
}

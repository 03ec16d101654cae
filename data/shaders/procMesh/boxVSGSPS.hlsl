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

StructuredBuffer<ProcPoint> gPoints : register(t8);

struct BoxPoint
{
    float4 position : POSITION;
    float4 previous : TEXCOORD1;
    float4 orientation : TEXCOORD2;
    float3 colour : COLOR0;
};

struct BoxVertex
{
    GBUFFER_VERTEX_FIELDS
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

float3 rotate(float3 v, float3 axis, float angle)
{
    float c = cos(angle), s = sin(angle);
    return v * c + cross(axis, v) * s + axis * dot(axis, v) * (1.0 - c);
}

BoxVertex corner(BoxPoint p, float3 c, float3 n)
{
    float3 offset = rotate(c, p.orientation.xyz, p.orientation.w) * p.position.w;
    float4 now = float4(p.position.xyz + offset, 1.0);
    float4 prev = float4(p.previous.xyz + offset, 1.0);
    BoxVertex o;
    o.pos = mul(now, gWorldViewProj);
    o.clipNow = o.pos;
    o.clipPrev = mul(prev, gWorldViewProjPrev);
    o.viewPos = mul(now, gWorldView).xyz;
    o.viewNormal = mul(float4(rotate(n, p.orientation.xyz, p.orientation.w), 0.0), gInvTransWorldView).xyz;
    o.uv = c.xy * 0.5 + 0.5;
    o.colour = p.colour;
    return o;
}

[maxvertexcount(24)]
void GS(point BoxPoint p[1], inout TriangleStream<BoxVertex> stream)
{
    static const float3 normals[6] = {float3(1, 0, 0), float3(-1, 0, 0), float3(0, 1, 0),
                                      float3(0, -1, 0), float3(0, 0, 1), float3(0, 0, -1)};
    static const float3 us[6] = {float3(0, 0, 1), float3(0, 0, -1), float3(1, 0, 0),
                                 float3(1, 0, 0), float3(-1, 0, 0), float3(1, 0, 0)};
    uint faces = min((triCount + 1) / 2, 6u);
    for (uint f = 0; f < faces; ++f)
    {
        float3 n = normals[f];
        float3 u = us[f];
        float3 v = cross(n, u);
        // Clockwise seen from outside.
        stream.Append(corner(p[0], n - u + v, n));
        stream.Append(corner(p[0], n - u - v, n));
        stream.Append(corner(p[0], n + u + v, n));
        stream.Append(corner(p[0], n + u - v, n));
        stream.RestartStrip();
    }
}

GBufferOutput PS(BoxVertex i)
{
    GBufferSurface s;
    s.albedo = gBaseColor.rgb * i.colour;
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

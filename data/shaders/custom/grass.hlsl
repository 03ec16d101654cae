// A field of grass blades on a grid of points: one point per blade, laid out in rows of
// gSize.x blades, gOffset apart, centred on the object's origin in its XZ plane. The height
// map (vertex stage t0, optional) lifts every blade by its red channel.
//   gParam1: x blade height, y blade width, z wind strength, w wind speed
// The blades sway with gTime; their motion at gTime - 0.001 feeds the velocity target.
// Only the constants colour them (gBaseColor at the tip, darker at the root).
#include "../common/gbuffer.hlsli"

cbuffer GrassConstants : register(b0)
{
    GBUFFER_OBJECT_CONSTANTS
    float2 gSize;
    float2 gOffset;
    float gTime;
    float4 gParam1;
};

#include "../common/generated.hlsli"

Texture2D gHeightMap : register(t0);
SamplerState gHeightSampler : register(s0);

struct GrassPoint
{
    float3 root : POSITION;
    float seed : TEXCOORD0;
};

GrassPoint VS(uint id : SV_VertexID)
{
    float columns = max(1.0, floor(gSize.x));
    float rows = max(1.0, ceil(floor(gSize.x * gSize.y) / columns));
    float x = fmod((float)id, columns);
    float z = floor((float)id / columns);
    float2 uv = float2((x + 0.5) / columns, (z + 0.5) / rows);
    GrassPoint p;
    p.seed = hash((float)id + 1.0);
    float2 jitter = (float2(hash(p.seed * 7.0), hash(p.seed * 13.0)) - 0.5) * gOffset * 0.8;
    float height = gHeightMap.SampleLevel(gHeightSampler, uv, 0).r;
    p.root = float3((x - (columns - 1.0) * 0.5) * gOffset.x + jitter.x, height,
                    (z - (rows - 1.0) * 0.5) * gOffset.y + jitter.y);
    return p;
}

// The blade's centre line at height fraction h and time t: it bends with the wind, more at the tip.
float3 bladePoint(GrassPoint p, float h, float t)
{
    float sway = sin(t * gParam1.w + p.seed * 6.2831 + p.root.x * 0.3) * gParam1.z;
    float lean = (p.seed - 0.5) * 0.6;
    float bend = h * h;
    return p.root + float3((sway + lean) * bend * gParam1.x, h * gParam1.x, lean * 0.5 * bend * gParam1.x);
}

GeneratedVertex bladeVertex(GrassPoint p, float h, float side, float3 normal)
{
    float width = gParam1.y * (1.0 - h);
    float angle = p.seed * 6.2831;
    float3 across = float3(cos(angle), 0.0, sin(angle)) * (width * side);
    float3 now = bladePoint(p, h, gTime) + across;
    float3 prev = bladePoint(p, h, gTime - 0.001) + across;
    return generatedVertex(now, prev, normal, float2(side * 0.5 + 0.5, 1.0 - h));
}

[maxvertexcount(7)]
void GS(point GrassPoint p[1], inout TriangleStream<GeneratedVertex> stream)
{
    float angle = p[0].seed * 6.2831;
    float3 normal = float3(-sin(angle), 0.3, cos(angle));
    stream.Append(bladeVertex(p[0], 0.0, -1.0, normal));
    stream.Append(bladeVertex(p[0], 0.0, 1.0, normal));
    stream.Append(bladeVertex(p[0], 0.33, -1.0, normal));
    stream.Append(bladeVertex(p[0], 0.33, 1.0, normal));
    stream.Append(bladeVertex(p[0], 0.66, -1.0, normal));
    stream.Append(bladeVertex(p[0], 0.66, 1.0, normal));
    stream.Append(bladeVertex(p[0], 1.0, 0.0, normal));
}

GBufferOutput PS(GeneratedVertex i, bool front : SV_IsFrontFace)
{
    // Darker towards the root (uv.y 1).
    return generatedPixel(i, front, gBaseColor.rgb * lerp(1.0, 0.35, i.uv.y));
}

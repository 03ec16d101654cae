// Debris along a cubic Bezier curve: gPointCount points spread along the curve from gPoint1
// (leaving towards gControlPoint1) to gPoint2 (arriving from gControlPoint2), scattered
// around it within a radius that runs from gStartRadius through gMiddleRadius to
// gEndRadius (gRadiusPower shapes the run), each drawn as a small tumbling cube. Towards
// the ends the cubes grow by up to gEndPointOffset times their size. Only the constants
// colour them.
#include "../common/gbuffer.hlsli"

cbuffer CorruptionConstants : register(b0)
{
    GBUFFER_OBJECT_CONSTANTS
    float3 gPoint1;
    float gPointCount;
    float3 gControlPoint1;
    float gStartRadius;
    float3 gPoint2;
    float gEndRadius;
    float3 gControlPoint2;
    float gMiddleRadius;
    float gRadiusPower;
    float gEndPointOffset;
    float gTime;
};

#include "../common/generated.hlsli"

struct DebrisPoint
{
    float3 centre : POSITION;
    float4 spin : TEXCOORD0;  // rotation axis and phase
    float size : TEXCOORD1;
};

float3 bezier(float s)
{
    float r = 1.0 - s;
    return r * r * r * gPoint1 + 3.0 * r * r * s * gControlPoint1 + 3.0 * r * s * s * gControlPoint2 +
           s * s * s * gPoint2;
}

DebrisPoint VS(uint id : SV_VertexID)
{
    float count = max(gPointCount, 2.0);
    float s = (float)id / (count - 1.0);
    float edge = s < 0.5 ? gStartRadius : gEndRadius;
    float towardsEnd = pow(abs(2.0 * s - 1.0), max(gRadiusPower, 0.001));
    float radius = lerp(gMiddleRadius, edge, towardsEnd);
    float seed = (float)id + 1.0;
    float3 scatter = float3(hash(seed * 3.1), hash(seed * 5.7), hash(seed * 9.3)) * 2.0 - 1.0;
    DebrisPoint p;
    p.centre = bezier(s) + scatter * radius * hash(seed * 1.3);
    p.spin = float4(normalize(scatter + float3(0.001, 0.002, 0.003)), hash(seed * 2.9) * 6.2831);
    p.size = 0.05 * (1.0 + gEndPointOffset * towardsEnd) * (0.5 + hash(seed * 4.1));
    return p;
}

GeneratedVertex cornerVertex(DebrisPoint p, float3 corner, float3 normal)
{
    float angleNow = p.spin.w + gTime * 2.0;
    float anglePrev = p.spin.w + (gTime - 0.001) * 2.0;
    float3 now = p.centre + rotateAbout(corner, p.spin.xyz, angleNow) * p.size;
    float3 prev = p.centre + rotateAbout(corner, p.spin.xyz, anglePrev) * p.size;
    return generatedVertex(now, prev, rotateAbout(normal, p.spin.xyz, angleNow), corner.xy * 0.5 + 0.5);
}

[maxvertexcount(24)]
void GS(point DebrisPoint p[1], inout TriangleStream<GeneratedVertex> stream)
{
    // Six faces, each a strip of four corners.
    [unroll]
    for (uint f = 0; f < 6; ++f)
    {
        for (uint k = 0; k < 4; ++k)
            stream.Append(cornerVertex(p[0], cubeFaceCorner(f, k), kCubeFaceNormals[f]));
        stream.RestartStrip();
    }
}

GBufferOutput PS(GeneratedVertex i, bool front : SV_IsFrontFace)
{
    return generatedPixel(i, front, gBaseColor.rgb);
}

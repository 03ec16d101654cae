// Generates the points of "ProcMesh" and a box around each: one thread per point on a grid
// of 16 x 16 thread groups; point i lies on a Fibonacci sphere that breathes with time, and
// the attractors beneath the operator (in its local space) pull points inside their radius
// towards them (a negative strength pushes them away). The box is turned about an axis of
// the point's own; its triangles (12 for a whole box, fewer when triCount is smaller, the
// rest of the point's triCount made empty) go into the triangle buffer.
//   params[0]: x sphere radius (0: 3), y breathing amplitude, z breathing speed, w box size
//   params[1]: x spin speed, y..w unused
#include "procMesh.hlsli"
#include "../common/shapes.hlsli"

cbuffer GenerateConstants : register(b0)
{
    PROCMESH_CONSTANTS
};

RWStructuredBuffer<ProcPoint> gPoints : register(u0);
RWStructuredBuffer<ProcVertex> gTriangles : register(u1);

float hash(float n)
{
    return frac(sin(n * 12.9898) * 43758.5453);
}

float3 pointAt(uint index, float t)
{
    float count = max((float)vertexCount, 1.0);
    float radius = params[0].x != 0.0 ? params[0].x : 3.0;
    radius *= 1.0 + params[0].y * sin(t * params[0].z + index * 0.05);
    float y = 1.0 - 2.0 * ((float)index + 0.5) / count;
    float ring = sqrt(saturate(1.0 - y * y));
    float phi = (float)index * 2.39996323;
    float3 p = float3(cos(phi) * ring, y, sin(phi) * ring) * radius;
    for (uint a = 0; a < attractorCount && a < PROCMESH_MAX_ATTRACTORS; ++a)
    {
        float3 toward = attractorPosition[a].xyz - p;
        float d = length(toward);
        float r = attractorRadiusStrength[a].x;
        if (d < r && d > 1e-5)
            p += toward * ((1.0 - d / r) * attractorRadiusStrength[a].y * 0.5);
    }
    return p;
}

[numthreads(16, 16, 1)]
void CS(uint3 id : SV_DispatchThreadID)
{
    uint index = id.y * threadCountX * 16 + id.x;
    if (index >= vertexCount)
        return;
    float size = params[0].w != 0.0 ? params[0].w : 0.1;
    ProcPoint p;
    p.position = float4(pointAt(index, time), size);
    p.previous = float4(pointAt(index, time - 0.001), size);
    float seed = (float)index + 1.0;
    float3 axis = normalize(float3(hash(seed), hash(seed * 2.3), hash(seed * 4.1)) - 0.5 + 1e-3);
    p.orientation = float4(axis, hash(seed * 7.7) * 6.2831 + time * params[1].x);
    p.colour = float4(0.6 + 0.4 * hash(seed * 3.3), 0.6 + 0.4 * hash(seed * 5.9), 0.6 + 0.4 * hash(seed * 8.1), 0.0);
    gPoints[index] = p;

    uint first = index * triCount * 3;
    for (uint t = 0; t < triCount; ++t)
    {
        for (uint k = 0; k < 3; ++k)
        {
            // Face t / 2 as two triangles of its strip, corners (0, 1, 2) and (2, 1, 3).
            uint f = t / 2;
            uint corner = (t & 1) == 0 ? k : (k == 0 ? 2u : (k == 1 ? 1u : 3u));
            float3 offset = 0.0, normal = float3(0, 1, 0);
            float2 uv = 0.0;
            if (t < 12)
            {
                float3 c = cubeFaceCorner(f, corner);
                offset = rotateAbout(c, p.orientation.xyz, p.orientation.w) * size;
                normal = rotateAbout(kCubeFaceNormals[f], p.orientation.xyz, p.orientation.w);
                uv = c.xy * 0.5 + 0.5;
            }
            ProcVertex v;
            v.px = p.position.x + offset.x;
            v.py = p.position.y + offset.y;
            v.pz = p.position.z + offset.z;
            v.nx = normal.x;
            v.ny = normal.y;
            v.nz = normal.z;
            v.qx = p.previous.x + offset.x;
            v.qy = p.previous.y + offset.y;
            v.qz = p.previous.z + offset.z;
            v.u = uv.x;
            v.v = uv.y;
            gTriangles[first + t * 3 + k] = v;
        }
    }
}

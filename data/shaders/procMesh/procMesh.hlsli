// What the generating compute pass and the drawing program of "ProcMesh" share: the
// constants (b0), the generated point record and the vertex of the generated triangles.
//
// The compute pass writes, for point i, triCount triangles (three vertices each) at vertex
// i * triCount * 3 of the triangle buffer. The draw reads that buffer as its vertex stream
// (a plain triangle list), and so do the shadow passes, which read the position alone.
#ifndef PROCMESH_PROCMESH_HLSLI
#define PROCMESH_PROCMESH_HLSLI

#include "../common/gbuffer.hlsli"

#define PROCMESH_MAX_ATTRACTORS 32

// 64 bytes per point.
struct ProcPoint
{
    float4 position;      // xyz, w = size
    float4 previous;      // xyz at time - 0.001, w = size
    float4 orientation;   // rotation axis xyz, w = angle
    float4 colour;        // rgb tint, w unused
};

// 44 bytes per vertex, the layout of imported meshes: position, normal, the position a
// millisecond earlier (in the tangent's place, for the velocity), texture coordinate.
struct ProcVertex
{
    float px, py, pz;
    float nx, ny, nz;
    float qx, qy, qz;
    float u, v;
};

#define PROCMESH_CONSTANTS                                        \
    uint threadCountX;                                            \
    uint threadCountY;                                            \
    uint vertexCount;                                             \
    uint triCount;                                                \
    float time;                                                   \
    uint attractorCount;                                          \
    float4 params[2];                                             \
    float4 attractorPosition[PROCMESH_MAX_ATTRACTORS];            \
    float4 attractorRadiusStrength[PROCMESH_MAX_ATTRACTORS];

#endif

// What the generating compute pass and the drawing program of "ProcMesh" share: the
// constants (b0) and the generated point record.
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

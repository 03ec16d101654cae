// What the three "DynaMesh" programs share: the 44-byte vertex of imported meshes as it lies
// in the cut buffers, and the constants of a cut.
//
// Counting: the cut of plane k reads the triangles of its source and writes the first
// triangle made from source triangle i into slot i of its destination; the triangles a cut
// adds go behind the source's, at triCountSrc + (an atomic add on the second counter).
// The counters therefore hold how many triangles a buffer has beyond the imported
// sub-mesh's own triCountSrc: the first counter that of the source (0 for the imported
// sub-mesh itself), the second that of the destination. After every plane the player copies
// the second counter into the first, which makes the destination the next source and starts
// the next add where this one ended. The clear program zeroes both for the next sub-mesh.
#ifndef COMMON_DYNAMESH_HLSLI
#define COMMON_DYNAMESH_HLSLI

struct DynaVertex
{
    float px, py, pz;
    float nx, ny, nz;
    float tx, ty, tz;
    float u, v;
};

// The compute programs' constants; the drawing program defines DYNAMESH_VERTEX_ONLY, as
// its b0 holds the per-object constants.
#ifndef DYNAMESH_VERTEX_ONLY

#define DYNAMESH_GROUP_SIZE 256

cbuffer CutConstants : register(b0)
{
    uint gThreadGroupsX;          // thread groups of the dispatch along x and y
    uint gThreadGroupsY;
    uint triCountSrc;             // triangles of the imported sub-mesh
    uint additionalTriMultiplier; // capacity of a cut buffer, in imported sub-meshes
    float strength;               // how far the positive side moves along planeDir
    float3 padding0;
    float4 planePos;              // a point of the plane, sub-mesh space
    float4 planeDir;              // the plane normal, sub-mesh space (not normalised)
};

// First thread of this group and the number of threads of the whole dispatch.
uint dispatchThread(uint3 group, uint index)
{
    return (group.y * gThreadGroupsX + group.x) * DYNAMESH_GROUP_SIZE + index;
}

uint dispatchThreads()
{
    return gThreadGroupsX * gThreadGroupsY * DYNAMESH_GROUP_SIZE;
}

#endif

#endif

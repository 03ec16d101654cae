// The two small programs that close a "DynaMesh" sub-mesh.
//   ResetCS: empties the slots of the final buffer behind its triangles (they may hold
//            triangles of an earlier frame that cut more), so that drawing the whole
//            buffer draws only this frame's triangles.
//   CS:      zeroes both counters for the next sub-mesh (one thread).
#include "common/dynaMesh.hlsli"

RWStructuredBuffer<DynaVertex> gDest : register(u0);
RWStructuredBuffer<uint> gCounters : register(u1);
RWStructuredBuffer<uint> gOtherCounter : register(u2);

[numthreads(DYNAMESH_GROUP_SIZE, 1, 1)]
void ResetCS(uint3 group : SV_GroupID, uint index : SV_GroupIndex)
{
    uint destElements, stride;
    gDest.GetDimensions(destElements, stride);
    uint capacity = destElements / 3;
    uint used = min(triCountSrc + gCounters[0], capacity);
    DynaVertex zero = (DynaVertex)0;
    for (uint i = used + dispatchThread(group, index); i < capacity; i += dispatchThreads())
    {
        gDest[i * 3 + 0] = zero;
        gDest[i * 3 + 1] = zero;
        gDest[i * 3 + 2] = zero;
    }
}

[numthreads(1, 1, 1)]
void CS()
{
    gCounters[0] = 0;
    gOtherCounter[0] = 0;
}

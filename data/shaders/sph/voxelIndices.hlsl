// Voxel ranges of the sorted particles. "voxelIndices": the first sorted index of each voxel
// (a binary search over the sorted particles, whose voxels never decrease; an empty voxel
// gets the index where it would start). "voxelIndicesFill": the end of each voxel's range,
// which is where the next voxel starts.
#include "sph.hlsli"

StructuredBuffer<FluidParticle> gSortedParticles : register(t0);
StructuredBuffer<uint> gVoxelStartIn : register(t0);
RWStructuredBuffer<uint> gVoxelStart : register(u0);
RWStructuredBuffer<uint> gVoxelEnd : register(u0);

[numthreads(SPH_GROUP, 1, 1)]
void voxelIndices(uint3 id : SV_DispatchThreadID)
{
    uint voxel = id.x;
    uint lo = 0, hi = SPH_PARTICLES;  // first index whose voxel is >= voxel lies in [lo, hi]
    while (lo < hi)
    {
        uint mid = (lo + hi) >> 1;
        if (voxelKey(voxelOf(gSortedParticles[mid].position)) < voxel)
            lo = mid + 1;
        else
            hi = mid;
    }
    gVoxelStart[voxel] = lo;
}

[numthreads(SPH_GROUP, 1, 1)]
void voxelIndicesFill(uint3 id : SV_DispatchThreadID)
{
    uint voxel = id.x;
    gVoxelEnd[voxel] = voxel + 1 < VOXELS ? gVoxelStartIn[voxel + 1] : SPH_PARTICLES;
}

// The voxel keys in (voxel, particle index) order, and each voxel's range of them, by
// counting: the particles of each voxel are counted, the counts summed into each voxel's
// first place, the keys scattered into their voxel's places (in whatever order the atomic
// cursor hands them out) and then put in particle order inside each voxel, where there are
// only a few. The order is the one a full sort gives, since no two keys are equal.
//
// Passes, in order: clearCounts (per voxel), countVoxels (per particle), scanCounts (one
// group), scatterKeys (per particle), orderInVoxels (per voxel).
#include "sph.hlsli"

StructuredBuffer<VoxelKey> gKeysIn : register(t0);
StructuredBuffer<uint> gVoxelStartIn : register(t1);
StructuredBuffer<uint> gVoxelEndIn : register(t2);
RWStructuredBuffer<uint> gCounts : register(u0);     // the counts, then each voxel's start
RWStructuredBuffer<uint> gCursor : register(u1);     // each voxel's next free place; its end once scattered
RWStructuredBuffer<VoxelKey> gKeysOut : register(u2);

#define SCAN_THREADS 1024
#define VOXELS_PER_THREAD ((VOXELS + SCAN_THREADS - 1) / SCAN_THREADS)

groupshared uint sSums[SCAN_THREADS];

[numthreads(SPH_GROUP, 1, 1)]
void clearCounts(uint3 id : SV_DispatchThreadID)
{
    gCounts[id.x] = 0;
}

[numthreads(SPH_GROUP, 1, 1)]
void countVoxels(uint3 id : SV_DispatchThreadID)
{
    InterlockedAdd(gCounts[min(gKeysIn[id.x].voxel, VOXELS - 1)], 1u);
}

// Each thread sums a run of consecutive voxels; the group scans the sums; each thread then
// writes its voxels' starts (the particles of all voxels before it).
[numthreads(SCAN_THREADS, 1, 1)]
void scanCounts(uint gi : SV_GroupIndex)
{
    uint first = gi * VOXELS_PER_THREAD;
    uint sum = 0;
    for (uint k = 0; k < VOXELS_PER_THREAD; ++k)
        sum += first + k < VOXELS ? gCounts[first + k] : 0;
    sSums[gi] = sum;
    GroupMemoryBarrierWithGroupSync();
    for (uint step = 1; step < SCAN_THREADS; step <<= 1)
    {
        uint add = gi >= step ? sSums[gi - step] : 0;
        GroupMemoryBarrierWithGroupSync();
        sSums[gi] += add;
        GroupMemoryBarrierWithGroupSync();
    }
    uint start = sSums[gi] - sum;
    for (uint j = 0; j < VOXELS_PER_THREAD; ++j)
    {
        uint v = first + j;
        if (v < VOXELS)
        {
            uint count = gCounts[v];
            gCounts[v] = start;
            gCursor[v] = start;
            start += count;
        }
    }
}

[numthreads(SPH_GROUP, 1, 1)]
void scatterKeys(uint3 id : SV_DispatchThreadID)
{
    VoxelKey k = gKeysIn[id.x];
    uint place;
    InterlockedAdd(gCursor[min(k.voxel, VOXELS - 1)], 1u, place);
    gKeysOut[min(place, SPH_PARTICLES - 1)] = k;
}

// A key's place inside its voxel is the number of the voxel's keys with a smaller particle
// index.
[numthreads(SPH_GROUP, 1, 1)]
void orderInVoxels(uint3 id : SV_DispatchThreadID)
{
    uint start = min(gVoxelStartIn[id.x], SPH_PARTICLES), end = min(gVoxelEndIn[id.x], SPH_PARTICLES);
    for (uint a = start; a < end; ++a)
    {
        VoxelKey k = gKeysIn[a];
        uint place = start;
        for (uint b = start; b < end; ++b)
            place += gKeysIn[b].index < k.index ? 1u : 0u;
        gKeysOut[place] = k;
    }
}

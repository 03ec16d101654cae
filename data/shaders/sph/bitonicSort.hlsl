// Bitonic sort of the voxel keys (voxel, then particle index) in a matrix of 1024 x 64:
// "sort" runs the compare-exchange steps of one level inside each row of 1024 in group-shared
// memory; "matrixTranspose" turns rows into columns so the larger levels run inside rows too.
// (A smaller fluid built by the tests sorts rows of SORT_BLOCK keys.)
#include "sph.hlsli"

cbuffer SortConstants : register(b0)
{
    uint gLevel;
    uint gLevelMask;
    uint gWidth;
    uint gHeight;
};

StructuredBuffer<VoxelKey> gInput : register(t0);
RWStructuredBuffer<VoxelKey> gData : register(u0);

#ifndef SORT_BLOCK
#define SORT_BLOCK 1024
#endif
#define SORT_THREADS (SORT_BLOCK / 2)
#define TRANSPOSE_BLOCK 32

groupshared uint2 sKeys[SORT_BLOCK];
groupshared uint2 sTile[TRANSPOSE_BLOCK * TRANSPOSE_BLOCK];

bool inOrder(uint2 a, uint2 b)
{
    return a.x < b.x || (a.x == b.x && a.y <= b.y);
}

// One group sorts one row of 1024 keys; each thread owns one compare-exchange pair per step
// (half the threads and one barrier per step instead of two).
[numthreads(SORT_THREADS, 1, 1)]
void sort(uint3 gid : SV_GroupID, uint gi : SV_GroupIndex)
{
    uint rowStart = gid.x * SORT_BLOCK;
    VoxelKey k0 = gData[rowStart + gi];
    VoxelKey k1 = gData[rowStart + gi + SORT_THREADS];
    sKeys[gi] = uint2(k0.voxel, k0.index);
    sKeys[gi + SORT_THREADS] = uint2(k1.voxel, k1.index);
    GroupMemoryBarrierWithGroupSync();
    for (uint j = gLevel >> 1; j > 0; j >>= 1)
    {
        uint a = ((gi & ~(j - 1)) << 1) | (gi & (j - 1));  // gi with a zero bit inserted at j
        uint b = a | j;
        bool ascending = (gLevelMask & (rowStart + a)) == 0;
        uint2 ka = sKeys[a], kb = sKeys[b];
        if (inOrder(ka, kb) != ascending)
        {
            sKeys[a] = kb;
            sKeys[b] = ka;
        }
        GroupMemoryBarrierWithGroupSync();
    }
    k0.voxel = sKeys[gi].x;
    k0.index = sKeys[gi].y;
    k1.voxel = sKeys[gi + SORT_THREADS].x;
    k1.index = sKeys[gi + SORT_THREADS].y;
    gData[rowStart + gi] = k0;
    gData[rowStart + gi + SORT_THREADS] = k1;
}

// Dispatched as (gWidth / 32) x (gHeight / 32) groups: element (x, y) of the gWidth-wide
// input lands at (y, x) of the gHeight-wide output, through a shared tile.
[numthreads(TRANSPOSE_BLOCK, TRANSPOSE_BLOCK, 1)]
void matrixTranspose(uint3 dtid : SV_DispatchThreadID, uint3 gtid : SV_GroupThreadID, uint gi : SV_GroupIndex)
{
    VoxelKey k = gInput[dtid.y * gWidth + dtid.x];
    sTile[gi] = uint2(k.voxel, k.index);
    GroupMemoryBarrierWithGroupSync();
    uint2 xy = dtid.yx - gtid.yx + gtid.xy;
    uint2 v = sTile[gtid.x * TRANSPOSE_BLOCK + gtid.y];
    k.voxel = v.x;
    k.index = v.y;
    gData[xy.y * gHeight + xy.x] = k;
}

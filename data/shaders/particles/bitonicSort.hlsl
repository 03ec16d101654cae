// Bitonic sort of particle records by their distance along an axis (the smoke renderer's
// half-angle axis), in a matrix of 1024 x 32 records: "sort" runs the compare-exchange steps
// of one level inside each row of 1024, "matrixTranspose" turns rows into columns so the
// larger levels can run inside rows too. Dead particles sort to the end.
//
// "sort" keeps only keys and row positions in group-shared memory (8 KB) and moves each
// record once at the end, so a record never has to fit in shared memory whole.
#include "particle.hlsli"

cbuffer SortConstants : register(b0)
{
    float4 gSortAxis;  // xyz: the axis, ascending order along it
    uint gLevel;
    uint gLevelMask;
    uint gWidth;
    uint gHeight;
};

StructuredBuffer<Particle> gInput : register(t0);
RWStructuredBuffer<Particle> gData : register(u0);

#define SORT_BLOCK 1024
#define SORT_THREADS (SORT_BLOCK / 2)
#define TRANSPOSE_BLOCK 32

groupshared float sKey[SORT_BLOCK];
groupshared uint sSlot[SORT_BLOCK];

float sortKey(Particle p)
{
    if (!isAlive(p))
        return 3.0e38;
    float k = dot(p.position, gSortAxis.xyz);
    return (abs(k) <= 1.0e38) ? k : 3.0e38;
}

// Orders by key, then by row position, so equal keys still compare strictly.
bool inOrder(uint a, uint b)
{
    return sKey[a] < sKey[b] || (sKey[a] == sKey[b] && sSlot[a] <= sSlot[b]);
}

// One group sorts one row of 1024 records; each thread owns one compare-exchange pair per
// step (half the threads and one barrier per step instead of two).
[numthreads(SORT_THREADS, 1, 1)]
void sort(uint3 gid : SV_GroupID, uint gi : SV_GroupIndex)
{
    uint rowStart = gid.x * SORT_BLOCK;
    sKey[gi] = sortKey(gData[rowStart + gi]);
    sSlot[gi] = gi;
    sKey[gi + SORT_THREADS] = sortKey(gData[rowStart + gi + SORT_THREADS]);
    sSlot[gi + SORT_THREADS] = gi + SORT_THREADS;
    GroupMemoryBarrierWithGroupSync();
    for (uint j = gLevel >> 1; j > 0; j >>= 1)
    {
        uint a = ((gi & ~(j - 1)) << 1) | (gi & (j - 1));  // gi with a zero bit inserted at j
        uint b = a | j;
        bool ascending = (gLevelMask & (rowStart + a)) == 0;
        if (inOrder(a, b) != ascending)
        {
            float key = sKey[a];
            uint slot = sSlot[a];
            sKey[a] = sKey[b];
            sSlot[a] = sSlot[b];
            sKey[b] = key;
            sSlot[b] = slot;
        }
        GroupMemoryBarrierWithGroupSync();
    }
    Particle p0 = gData[rowStart + sSlot[gi]];
    Particle p1 = gData[rowStart + sSlot[gi + SORT_THREADS]];
    DeviceMemoryBarrierWithGroupSync();  // every record of the row is read before any is written
    gData[rowStart + gi] = p0;
    gData[rowStart + gi + SORT_THREADS] = p1;
}

// Dispatched as (gWidth / 32) x (gHeight / 32) groups: element (x, y) of the gWidth-wide
// input lands at (y, x) of the gHeight-wide output.
[numthreads(TRANSPOSE_BLOCK, TRANSPOSE_BLOCK, 1)]
void matrixTranspose(uint3 dtid : SV_DispatchThreadID)
{
    gData[dtid.x * gHeight + dtid.y] = gInput[dtid.y * gWidth + dtid.x];
}

// Density of every sorted particle: the poly6 kernel summed over its neighbours (itself
// included); and its pressure over density squared, which the acceleration pass reads for
// every pair the particle is in. It also lists the particle's neighbours (see
// NEIGHBOUR_RECORD), so that the acceleration pass visits only those: every particle the scan
// meets is written at the list's end, which moves on past the neighbours (a store under a
// condition costs a CPU driver more than one without).
#include "sph.hlsli"

StructuredBuffer<VoxelKey> gKeys : register(t0);
StructuredBuffer<uint> gVoxelEnd : register(t1);
StructuredBuffer<FluidParticle> gSorted : register(t2);
RWStructuredBuffer<float> gDensity : register(u0);
RWStructuredBuffer<float> gPressureTerm : register(u1);
RWStructuredBuffer<uint> gNeighbourList : register(u2);

#include "neighbours.hlsli"

[numthreads(SPH_GROUP, 1, 1)]
void density(uint3 id : SV_DispatchThreadID)
{
    uint i = id.x;
    float3 pi = gSorted[i].position;
    int3 center = voxelCoords(gKeys[i].voxel);
    float sum = 0.0;
    uint record = i * NEIGHBOUR_RECORD, count = 0;
    for (int dz = -1; dz <= 1; ++dz)
    {
        for (int dy = -1; dy <= 1; ++dy)
        {
            uint first, last;
            rowRange(center, dy, dz, first, last);
            for (uint j = first; j < last; ++j)
            {
                float3 d = gSorted[j].position - pi;
                float r2 = dot(d, d);
                sum += poly6(r2);
                gNeighbourList[record + 1 + min(count, NEIGHBOUR_ROOM)] = j;
                count += j != i && r2 < kH * kH ? 1u : 0u;
            }
        }
    }
    gNeighbourList[record] = count;
    float rho = max(sum * kMass, 1.0);
    gDensity[i] = rho;
    gPressureTerm[i] = pressureOf(rho) / (rho * rho);
}

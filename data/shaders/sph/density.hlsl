// Density of every sorted particle: the poly6 kernel summed over its neighbours (itself
// included); and its pressure over density squared, which the acceleration pass reads for
// every pair the particle is in. It also marks the particle's neighbours in a mask per voxel
// row (see NEIGHBOUR_RECORD), so that the acceleration pass visits only those. Masks, not a
// list of indices: a CPU driver pays for a store in every pass of the loop (a store under a
// condition costs it more still), and 29 stores a particle cost far less than one for every
// particle the scan meets.
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
    uint record = i * NEIGHBOUR_RECORD, count = 0, words = 0;
    bool listed = true;
    for (int dz = -1; dz <= 1; ++dz)
    {
        for (int dy = -1; dy <= 1; ++dy)
        {
            uint first, last;
            rowRange(center, dy, dz, first, last);
            uint low = 0, high = 0;
            for (uint j = first; j < last; ++j)
            {
                float3 d = gSorted[j].position - pi;
                float r2 = dot(d, d);
                sum += poly6(r2);
                uint place = j - first;
                uint bit = j != i && r2 < kH * kH ? 1u << (place & 31u) : 0u;
                low |= place < 32u ? bit : 0u;
                high |= place - 32u < 32u ? bit : 0u;
            }
            listed = listed && last - first <= ROW_LIMIT;
            count += countbits(low) + countbits(high);
            uint row = uint((dz + 1) * 3 + dy + 1);
            words |= (low != 0u ? 1u : 0u) << (2u * row);
            words |= (high != 0u ? 2u : 0u) << (2u * row);
            uint at = record + 2u + 3u * row;
            gNeighbourList[at] = first;
            gNeighbourList[at + 1u] = low;
            gNeighbourList[at + 2u] = high;
        }
    }
    gNeighbourList[record] = listed ? count : NOT_LISTED;
    gNeighbourList[record + 1u] = words;
    float rho = max(sum * kMass, 1.0);
    gDensity[i] = rho;
    gPressureTerm[i] = pressureOf(rho) / (rho * rho);
}

// Density of every sorted particle: the poly6 kernel summed over its neighbours (itself
// included); and its pressure over density squared, which the acceleration pass reads for
// every pair the particle is in.
#include "sph.hlsli"

StructuredBuffer<VoxelKey> gKeys : register(t0);
StructuredBuffer<uint> gVoxelEnd : register(t1);
StructuredBuffer<FluidParticle> gSorted : register(t2);
RWStructuredBuffer<float> gDensity : register(u0);
RWStructuredBuffer<float> gPressureTerm : register(u1);

#include "neighbours.hlsli"

[numthreads(SPH_GROUP, 1, 1)]
void density(uint3 id : SV_DispatchThreadID)
{
    uint i = id.x;
    float3 pi = gSorted[i].position;
    int3 center = voxelCoords(gKeys[i].voxel);
    float sum = 0.0;
    for (int dz = -1; dz <= 1; ++dz)
    {
        for (int dy = -1; dy <= 1; ++dy)
        {
            uint first, last;
            rowRange(center, dy, dz, first, last);
            for (uint j = first; j < last; ++j)
            {
                float3 d = gSorted[j].position - pi;
                sum += poly6(dot(d, d));
            }
        }
    }
    float rho = max(sum * kMass, 1.0);
    gDensity[i] = rho;
    gPressureTerm[i] = pressureOf(rho) / (rho * rho);
}

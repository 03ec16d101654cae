// Copies the particles into voxel order.
#include "sph.hlsli"

StructuredBuffer<FluidParticle> gParticles : register(t0);
StructuredBuffer<VoxelKey> gKeys : register(t1);
RWStructuredBuffer<FluidParticle> gSorted : register(u0);

[numthreads(SPH_GROUP, 1, 1)]
void sortPostPass(uint3 id : SV_DispatchThreadID)
{
    gSorted[id.x] = gParticles[min(gKeys[id.x].index, SPH_PARTICLES - 1)];
}

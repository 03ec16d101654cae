// First pass of a step: the voxel key of every particle. A particle whose numbers are not
// finite (nothing should produce one, but a broken one must not spread) is put back at its
// starting place first.
#include "sph.hlsli"

RWStructuredBuffer<FluidParticle> gParticles : register(u0);
RWStructuredBuffer<VoxelKey> gKeys : register(u1);

[numthreads(SPH_GROUP, 1, 1)]
void main(uint3 id : SV_DispatchThreadID)
{
    FluidParticle p = gParticles[id.x];
    if (!finite3(p.position) || !finite3(p.velocity))
    {
        p.position = initialPosition(id.x);
        p.velocity = float3(0.0, 0.0, 0.0);
        p.density = kRestDensity;
        p.speed = 0.0;
        gParticles[id.x] = p;
    }
    VoxelKey k;
    k.voxel = voxelKey(voxelOf(p.position));
    k.index = id.x;
    gKeys[id.x] = k;
}

// Puts every fluid particle back at its starting place, at rest.
#include "sph.hlsli"

RWStructuredBuffer<FluidParticle> gParticles : register(u0);

[numthreads(SPH_GROUP, 1, 1)]
void clear(uint3 id : SV_DispatchThreadID)
{
    FluidParticle p;
    p.position = initialPosition(id.x);
    p.density = kRestDensity;
    p.velocity = float3(0.0, 0.0, 0.0);
    p.speed = 0.0;
    gParticles[id.x] = p;
}

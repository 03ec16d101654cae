// How far into the sorted particles the smoke has anything to draw: one past the last living
// record. Dead records sort to the end, so this is the number of living particles; a living
// one that sorted among the dead (a sort key too large to be a number) is still counted up to.
// The smoke draws the slices below it and skips the rest, which would draw nothing.
#include "particle.hlsli"

StructuredBuffer<Particle> gParticles : register(t0);
RWStructuredBuffer<uint> gEnd : register(u0);

groupshared uint sEnd;

// One group; each thread looks at every PARTICLE_GROUP_SIZE-th record.
[numthreads(PARTICLE_GROUP_SIZE, 1, 1)]
void main(uint gi : SV_GroupIndex)
{
    if (gi == 0)
        sEnd = 0;
    GroupMemoryBarrierWithGroupSync();
    uint end = 0;
    for (uint k = 0; k < PARTICLE_COUNT / PARTICLE_GROUP_SIZE; ++k)
    {
        uint index = k * PARTICLE_GROUP_SIZE + gi;
        if (isAlive(gParticles[index]))
            end = index + 1;
    }
    InterlockedMax(sEnd, end);
    GroupMemoryBarrierWithGroupSync();
    if (gi == 0)
        gEnd[0] = sEnd;
}

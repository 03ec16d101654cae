// Emission shared by the emitter programs. An emitter file declares its constants (with
// gTime, gMaxLifeTime, gSpeed, gSpawnCount and gWorld), includes this file, defines
//     void emitShape(uint index, inout uint seed)
// (which calls spawn) and then writes EMITTER_ENTRY(emitShape) for its entry point.
//
// The first gSpawnCount dead records in index order become new particles. So emission
// reuses dead records and never overwrites a living one (when fewer than gSpawnCount are
// dead, fewer are born), and which records are chosen does not depend on the order in which
// the device runs the threads: the same buffer gives the same particles, run after run.
// A ticket from the buffer's hidden counter would hand records out in scheduling order.
//
// The work is done by the dispatch's first group alone, its threads each owning a run of
// EMIT_RUN consecutive records: count the dead ones of the run, add up the counts of the
// runs before (a scan in group memory), then walk the run again handing out tickets. No
// thread reads a record another thread writes, so nothing races.
#ifndef PARTICLES_EMITTER_HLSLI
#define PARTICLES_EMITTER_HLSLI

#include "particle.hlsli"

RWStructuredBuffer<Particle> gParticles : register(u0);

#define EMIT_RUN (PARTICLE_COUNT / PARTICLE_GROUP_SIZE)

groupshared uint gsDeadBefore[PARTICLE_GROUP_SIZE];

// The number of dead records before thread `local`'s run (every thread of the group calls it).
uint deadBeforeRun(uint local)
{
    uint dead = 0;
    for (uint k = 0; k < EMIT_RUN; ++k)
        dead += isAlive(gParticles[local * EMIT_RUN + k]) ? 0u : 1u;
    gsDeadBefore[local] = dead;
    GroupMemoryBarrierWithGroupSync();
    // Inclusive scan (each step adds the sum `offset` places back), then made exclusive.
    for (uint offset = 1; offset < PARTICLE_GROUP_SIZE; offset <<= 1)
    {
        uint add = local >= offset ? gsDeadBefore[local - offset] : 0u;
        GroupMemoryBarrierWithGroupSync();
        gsDeadBefore[local] += add;
        GroupMemoryBarrierWithGroupSync();
    }
    return gsDeadBefore[local] - dead;
}

// The entry point of an emitter: `shape(index, seed)` places the particle born in record
// index. No branch on the constants alone (see update2.hlsl): a count of 0 or less simply
// lets no ticket through.
#define EMITTER_ENTRY(shape)                                                   \
    [numthreads(PARTICLE_GROUP_SIZE, 1, 1)]                                    \
    void main(uint3 group : SV_GroupID, uint3 thread : SV_GroupThreadID)       \
    {                                                                          \
        if (group.x != 0)                                                      \
            return;                                                            \
        uint ticket = deadBeforeRun(thread.x);                                 \
        uint wanted = uint(max(gSpawnCount, 0));                               \
        for (uint k = 0; k < EMIT_RUN && ticket < wanted; ++k)                 \
        {                                                                      \
            uint index = thread.x * EMIT_RUN + k;                              \
            if (isAlive(gParticles[index]))                                    \
                continue;                                                      \
            ++ticket;                                                          \
            uint seed = emissionSeed(index);                                   \
            shape(index, seed);                                                \
        }                                                                      \
    }

// Random state for one particle of one emission: the real-time clock makes every emission
// different, the index every particle.
uint emissionSeed(uint index)
{
    return hashUint(index * 9781u + hashUint(asuint(gTime)));
}

float3 randomDirection(inout uint seed)
{
    float z = nextRandom(seed) * 2.0 - 1.0;
    float phi = nextRandom(seed) * 6.28318530718;
    float s = sqrt(saturate(1.0 - z * z));
    return float3(s * cos(phi), z, s * sin(phi));
}

// Writes a newborn particle; position and velocity are in the emitter's space.
void spawn(uint index, float3 localPosition, float3 localVelocity, inout uint seed)
{
    Particle p;
    p.position = mul(float4(localPosition, 1.0), gWorld).xyz;
    p.velocity = clampSpeed(mul(float4(localVelocity, 0.0), gWorld).xyz, kParticleMaxSpeed);
    p.age = 0.0;
    // Lifetimes spread over the upper half of the allowed range, so a burst does not die at once.
    p.lifetime = gMaxLifeTime * (0.5 + 0.5 * nextRandom(seed));
    if (!allFinite3(p.position) || !allFinite3(p.velocity) || !(abs(p.lifetime) <= 3.0e38))
        p = deadParticle();
    gParticles[index] = p;
}

#endif

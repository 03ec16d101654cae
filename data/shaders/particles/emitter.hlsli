// Emission shared by the emitter programs. An emitter file declares its constants (with
// gTime, gMaxLifeTime, gSpeed, gSpawnCount and gWorld), includes this file and calls
// claimDeadSlot / spawn from its entry point.
//
// Every thread looks at one particle. A dead particle asks the buffer's hidden counter for a
// ticket (the counter starts at 0 for every dispatch); the first gSpawnCount tickets become
// new particles. So emission reuses dead records and never overwrites a living one: when
// fewer than gSpawnCount particles are dead, fewer are born.
#ifndef PARTICLES_EMITTER_HLSLI
#define PARTICLES_EMITTER_HLSLI

#include "particle.hlsli"

RWStructuredBuffer<Particle> gParticles : register(u0);

bool claimDeadSlot(uint index)
{
    // No branch on the constants alone (see update2.hlsl): a count of 0 or less simply lets
    // no ticket through.
    if (index >= PARTICLE_COUNT || isAlive(gParticles[index]))
        return false;
    uint ticket = gParticles.IncrementCounter();
    return ticket < uint(max(gSpawnCount, 0));
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

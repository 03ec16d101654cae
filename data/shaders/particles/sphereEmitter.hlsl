// Sphere emitter: particles born uniformly inside a ball of radius gRadius around the
// emitter's origin, moving straight outwards at gSpeed.
cbuffer EmitterConstants : register(b0)
{
    float4x4 gWorld;     // emitter to world
    float gTime;         // real-time clock, seeds the random numbers
    float gRadius;
    float gMaxLifeTime;  // lifetimes fall in [gMaxLifeTime / 2, gMaxLifeTime)
    float gSpeed;
    int gSpawnCount;     // particles to emit by this dispatch
};

#include "emitter.hlsli"

void emitShape(uint index, inout uint seed)
{
    float3 direction = randomDirection(seed);
    float radius = gRadius * pow(nextRandom(seed), 1.0 / 3.0);  // uniform over the volume
    spawn(index, direction * radius, direction * gSpeed, seed);
}

EMITTER_ENTRY(emitShape)

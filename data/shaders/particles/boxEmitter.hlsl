// Box emitter: particles born uniformly inside a box of size gSize centred on the emitter's
// origin, moving in random directions at gSpeed.
cbuffer EmitterConstants : register(b0)
{
    float4x4 gWorld;     // emitter to world
    float3 gSize;        // full edge lengths
    float gTime;         // real-time clock, seeds the random numbers
    float gMaxLifeTime;  // lifetimes fall in [gMaxLifeTime / 2, gMaxLifeTime)
    float gSpeed;
    int gSpawnCount;     // particles to emit by this dispatch
};

#include "emitter.hlsli"

void emitShape(uint index, inout uint seed)
{
    float3 unit = float3(nextRandom(seed), nextRandom(seed), nextRandom(seed)) - 0.5;
    float3 direction = randomDirection(seed);
    spawn(index, unit * gSize, direction * gSpeed, seed);
}

EMITTER_ENTRY(emitShape)

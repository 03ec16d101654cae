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

[numthreads(PARTICLE_GROUP_SIZE, 1, 1)]
void main(uint3 id : SV_DispatchThreadID)
{
    if (!claimDeadSlot(id.x))
        return;
    uint seed = emissionSeed(id.x);
    float3 unit = float3(nextRandom(seed), nextRandom(seed), nextRandom(seed)) - 0.5;
    float3 direction = randomDirection(seed);
    spawn(id.x, unit * gSize, direction * gSpeed, seed);
}

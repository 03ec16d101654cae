// Last pass of a step: semi-implicit Euler with the fixed time step, speed held below half a
// smoothing length per step, and the box walls: a particle that would leave the box is put
// back on the wall and its speed into the wall is reflected, damped.
#include "sph.hlsli"

StructuredBuffer<FluidParticle> gSorted : register(t0);
StructuredBuffer<float4> gAcceleration : register(t1);
RWStructuredBuffer<FluidParticle> gParticles : register(u0);

static const float kWallMargin = 0.001;

[numthreads(SPH_GROUP, 1, 1)]
void integrate(uint3 id : SV_DispatchThreadID)
{
    FluidParticle p = gSorted[id.x];
    float4 a = gAcceleration[id.x];
    float3 v = p.velocity + a.xyz * kTimeStep;
    float speed = length(v);
    if (speed > kMaxSpeed)
        v *= kMaxSpeed / speed;
    float3 x = p.position + v * kTimeStep;

    float3 lo = kBoxMin + kWallMargin, hi = kBoxMax - kWallMargin;
    [unroll] for (int c = 0; c < 3; ++c)
    {
        if (x[c] < lo[c])
        {
            x[c] = lo[c];
            if (v[c] < 0.0)
                v[c] = -v[c] * kWallBounce;
        }
        else if (x[c] > hi[c])
        {
            x[c] = hi[c];
            if (v[c] > 0.0)
                v[c] = -v[c] * kWallBounce;
        }
    }
    if (!finite3(x) || !finite3(v))
    {
        x = initialPosition(id.x);
        v = float3(0.0, 0.0, 0.0);
    }
    p.position = x;
    p.velocity = v;
    p.density = a.w;
    p.speed = length(v);
    gParticles[id.x] = p;
}

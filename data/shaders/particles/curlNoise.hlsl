// Curl-noise turbulence: pushes every living particle along the curl of a smooth vector
// potential. A curl has no divergence, so the push swirls particles without bunching them
// up or tearing them apart. It runs on the real-time clock (gTime, gDelta), not on
// production time.
//
// The potential is psi(p) = gNoiseScale * N(p / gNoiseScale, time), three gradient-noise
// channels N; its curl is then the curl of N in noise units, of order 1 whatever the
// scale. gNoiseScale is the size of the swirls in world units, gScale how fast the field
// changes (noise cells per second), gTurbulence the acceleration it gives.
#include "particle.hlsli"

cbuffer CurlNoiseConstants : register(b0)
{
    float gTurbulence;
    float gNoiseScale;
    float gScale;
    float gTime;   // real-time clock, seconds
    float gDelta;  // real seconds since the last frame
};

RWStructuredBuffer<Particle> gParticles : register(u0);

float3 latticeGradient(int3 cell, uint channel)
{
    uint h = hashUint(uint(cell.x) * 73856093u ^ hashUint(uint(cell.y) * 19349663u ^
                      hashUint(uint(cell.z) * 83492791u + channel * 2654435761u)));
    float3 g = float3(h & 1023u, (h >> 10) & 1023u, (h >> 20) & 1023u) * (2.0 / 1023.0) - 1.0;
    return g;
}

// Gradient noise with a quintic fade: its first and second derivatives are continuous, so
// the curl taken from it is smooth.
float gradientNoise(float3 p, uint channel)
{
    float3 cellF = floor(p);
    int3 c = int3(cellF);
    float3 f = p - cellF;
    float3 u = f * f * f * (f * (f * 6.0 - 15.0) + 10.0);
    float n000 = dot(latticeGradient(c + int3(0, 0, 0), channel), f - float3(0, 0, 0));
    float n100 = dot(latticeGradient(c + int3(1, 0, 0), channel), f - float3(1, 0, 0));
    float n010 = dot(latticeGradient(c + int3(0, 1, 0), channel), f - float3(0, 1, 0));
    float n110 = dot(latticeGradient(c + int3(1, 1, 0), channel), f - float3(1, 1, 0));
    float n001 = dot(latticeGradient(c + int3(0, 0, 1), channel), f - float3(0, 0, 1));
    float n101 = dot(latticeGradient(c + int3(1, 0, 1), channel), f - float3(1, 0, 1));
    float n011 = dot(latticeGradient(c + int3(0, 1, 1), channel), f - float3(0, 1, 1));
    float n111 = dot(latticeGradient(c + int3(1, 1, 1), channel), f - float3(1, 1, 1));
    float x00 = lerp(n000, n100, u.x), x10 = lerp(n010, n110, u.x);
    float x01 = lerp(n001, n101, u.x), x11 = lerp(n011, n111, u.x);
    return lerp(lerp(x00, x10, u.y), lerp(x01, x11, u.y), u.z);
}

// The three potential channels drift through the noise in different directions, so the
// field changes its shape over time instead of only sliding along.
float3 potential(float3 q, float drift)
{
    return float3(gradientNoise(q + drift * float3(1.0, 0.0, 0.0), 0u),
                  gradientNoise(q + drift * float3(0.0, 1.0, 0.0) + 31.416, 1u),
                  gradientNoise(q + drift * float3(0.0, 0.0, 1.0) - 47.853, 2u));
}

float3 curlOfPotential(float3 q, float drift)
{
    const float e = 0.01;
    float3 dx = potential(q + float3(e, 0, 0), drift) - potential(q - float3(e, 0, 0), drift);
    float3 dy = potential(q + float3(0, e, 0), drift) - potential(q - float3(0, e, 0), drift);
    float3 dz = potential(q + float3(0, 0, e), drift) - potential(q - float3(0, 0, e), drift);
    // d/dx of (psi.x, psi.y, psi.z) is dx / 2e, and so on.
    return float3(dy.z - dz.y, dz.x - dx.z, dx.y - dy.x) / (2.0 * e);
}

[numthreads(PARTICLE_GROUP_SIZE, 1, 1)]
void main(uint3 id : SV_DispatchThreadID)
{
    if (id.x >= PARTICLE_COUNT)
        return;
    Particle p = gParticles[id.x];
    if (!isAlive(p))
        return;
    float scale = max(abs(gNoiseScale), 0.001);
    float3 q = clamp(p.position / scale, -1.0e6, 1.0e6);
    float drift = frac(gTime * gScale / 4096.0) * 4096.0;  // stays precise on long runs
    float3 push = curlOfPotential(q, drift) * gTurbulence * gDelta;
    float3 v = clampSpeed(p.velocity + push, kParticleMaxSpeed);
    if (allFinite3(v))
        gParticles[id.x].velocity = v;
}

// Particle system update: ages every living particle, integrates gravity (semi-implicit
// Euler), keeps particles above the ground plane, and retires particles that reached their
// lifetime or left the bounds. With gReset > 0 every particle is retired instead.
#include "particle.hlsli"

cbuffer UpdateConstants : register(b0)
{
    float4 gGravity;     // xyz acceleration, world units per second squared
    float gDeltaTime;    // production seconds since the last update, in [0, 0.1]
    float gReset;        // > 0: retire everything
    float gTimeScale;    // multiplies gDeltaTime
    float gPlaneHeight;  // ground plane y = gPlaneHeight, facing +y
};

RWStructuredBuffer<Particle> gParticles : register(u0);

// What a particle keeps of its speed when it hits the ground: the normal part bounces back
// this much, the part along the ground keeps this fraction per contact.
static const float kGroundBounce = 0.3;
static const float kGroundFriction = 0.9;

[numthreads(PARTICLE_GROUP_SIZE, 1, 1)]
void main(uint3 id : SV_DispatchThreadID)
{
    if (id.x >= PARTICLE_COUNT)
        return;
    // No branch tests the constants alone: lavapipe specialises a program on the constants its
    // branches read and compiles it again (heap work in its queue thread) whenever the
    // program is bound anew with its buffer written, which a frame of several particle
    // programs does every time. The reset is therefore folded into the test of the record.
    Particle p = gParticles[id.x];
    bool reset = gReset > 0.0;
    if (reset || !isAlive(p))
    {
        gParticles[id.x] = reset ? deadParticle() : p;
        return;
    }

    float dt = gDeltaTime * gTimeScale;
    p.velocity = clampSpeed(p.velocity + gGravity.xyz * dt, kParticleMaxSpeed);
    p.position += p.velocity * dt;
    if (p.position.y < gPlaneHeight)
    {
        p.position.y = gPlaneHeight;
        if (p.velocity.y < 0.0)
            p.velocity.y = -p.velocity.y * kGroundBounce;
        p.velocity.xz *= kGroundFriction;
    }
    p.age += dt;

    bool outside = any(abs(p.position) > kParticleBound);
    if (outside || !allFinite3(p.position) || !allFinite3(p.velocity) || !(p.age == p.age))
        p = deadParticle();
    gParticles[id.x] = p;
}

// The particle record shared by every particle program, and the small helpers they use.
//
// One record is 32 bytes:
//   position  float3  world space (emitters place particles through their world matrix)
//   age       float   seconds lived
//   velocity  float3  world units per second
//   lifetime  float   seconds; a particle is alive while age < lifetime
// A zero-filled record (the buffer's initial state) is therefore dead, and so is one whose
// numbers are not finite.
#ifndef PARTICLES_PARTICLE_HLSLI
#define PARTICLES_PARTICLE_HLSLI

#define PARTICLE_COUNT 32768
#define PARTICLE_GROUP_SIZE 1024

// Particles that leave this cube around the origin are retired (and so recycled by the next
// emission) instead of flying on towards infinity.
static const float kParticleBound = 100000.0;
// Speeds are held below this so that one step cannot carry a particle out of float range.
static const float kParticleMaxSpeed = 10000.0;

struct Particle
{
    float3 position;
    float age;
    float3 velocity;
    float lifetime;
};

bool allFinite3(float3 v)
{
    // NaN fails every comparison, infinity fails the bound.
    return all(abs(v) <= 3.0e38);
}

bool isAlive(Particle p)
{
    return p.age < p.lifetime && allFinite3(p.position) && allFinite3(p.velocity);
}

Particle deadParticle()
{
    Particle p;
    p.position = float3(0.0, 0.0, 0.0);
    p.age = 0.0;
    p.velocity = float3(0.0, 0.0, 0.0);
    p.lifetime = 0.0;
    return p;
}

float3 clampSpeed(float3 v, float maxSpeed)
{
    float s = length(v);
    return s > maxSpeed ? v * (maxSpeed / s) : v;
}

// Integer hash (a PCG step): well mixed bits from any 32-bit input.
uint hashUint(uint v)
{
    uint state = v * 747796405u + 2891336453u;
    uint word = ((state >> ((state >> 28u) + 4u)) ^ state) * 277803737u;
    return (word >> 22u) ^ word;
}

// Uniform random number in [0, 1) from a running hash state.
float nextRandom(inout uint state)
{
    state = hashUint(state);
    return float(state >> 8) * (1.0 / 16777216.0);
}

#endif

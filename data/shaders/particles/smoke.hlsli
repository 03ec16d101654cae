// What the two smoke programs share: their constants, the sorted particles and the sprite
// texture. Both draw one slice of 1024 sorted particles per draw, starting at gOffset.
#ifndef PARTICLES_SMOKE_HLSLI
#define PARTICLES_SMOKE_HLSLI

#include "particle.hlsli"

cbuffer SmokeConstants : register(b0)
{
    float4x4 gWorldView;
    float4x4 gProj;
    float4x4 gLightViewProj;  // particle space -> the opacity map's clip space (orthographic)
    float4 gColor;            // rgb colour, a opacity of one sprite
    float4 gLightColor;       // rgb colour of the light that shines through the smoke
    float gSize;              // half the edge of a sprite
    float gLightScale;        // clip-space units of the opacity map per world unit
};

cbuffer SliceConstants : register(b1)
{
    uint gOffset;  // first sorted particle of the slice
};

StructuredBuffer<Particle> gParticles : register(t1);
Texture2D gSprite : register(t0);
SamplerState gSpriteSampler : register(s0);

bool readSprite(uint index, out float3 position, out float3 velocity, out float life)
{
    Particle p = gParticles[min(index + gOffset, PARTICLE_COUNT - 1)];
    position = p.position;
    velocity = p.velocity;
    life = p.lifetime > 0.0 ? saturate(p.age / p.lifetime) : 1.0;
    return isAlive(p) && index + gOffset < PARTICLE_COUNT;
}

// Smoke fades in at birth and out before death.
float lifeFade(float life)
{
    return saturate(life * 10.0) * saturate((1.0 - life) * 3.0);
}

// The sprite texture at a point of its quad (corner -1..1, +y up).
float4 spriteTexel(float2 corner)
{
    float2 uv = float2(corner.x, -corner.y) * 0.5 + 0.5;
    return gSprite.Sample(gSpriteSampler, uv);
}

// Opacity of one sprite at a point of its quad, from the texel there.
float spriteOpacityOf(float4 texel, float2 corner, float life)
{
    float soft = saturate(1.0 - dot(corner, corner));
    return texel.a * soft * gColor.a * lifeFade(life);
}

float spriteOpacity(float2 corner, float life)
{
    return spriteOpacityOf(spriteTexel(corner), corner, life);
}

#endif

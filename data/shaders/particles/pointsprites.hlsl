// The particle renderer's default program: every living particle as a textured disc written
// into the G-buffer like a small sphere (normals of a sphere, its depth, motion from the
// particle's velocity), so scene lights shade it. The sprite texture's alpha cuts the shape.
#include "particle.hlsli"
#include "../common/gbuffer.hlsli"

cbuffer SpriteConstants : register(b0)
{
    GBUFFER_OBJECT_CONSTANTS
    float4 gColor;  // multiplies the sprite texture
    float gSize;    // half the edge of a sprite, world units
    float gTime;
};

Texture2D gSprite : register(t0);
SamplerState gSpriteSampler : register(s0);
StructuredBuffer<Particle> gParticles : register(t1);

bool readSprite(uint index, out float3 position, out float3 velocity, out float life)
{
    Particle p = gParticles[index];
    position = p.position;
    velocity = p.velocity;
    life = p.lifetime > 0.0 ? saturate(p.age / p.lifetime) : 1.0;
    return isAlive(p);
}

#include "sprite.hlsli"

SpriteVertex VS(uint id : SV_VertexID)
{
    return spriteVertex(id);
}

[maxvertexcount(4)]
void GS(point SpriteVertex input[1], inout TriangleStream<SpritePixel> stream)
{
    emitSprite(input[0], stream);
}

GBufferOutput PS(SpritePixel i)
{
    float2 uv = float2(i.corner.x, -i.corner.y) * 0.5 + 0.5;
    float4 texel = gSprite.Sample(gSpriteSampler, uv);
    if (texel.a * gColor.a < 0.5)
        discard;
    float3 n;
    sphereNormal(i.corner * 0.999, n);
    GBufferSurface s;
    s.albedo = gColor.rgb * texel.rgb * gBaseColor.rgb;
    s.viewNormal = n;
    s.viewDepth = i.viewPos.z;
    s.roughness = gRoughness;
    s.metalness = gMetalness;
    s.specular = specularIntensity(gSpecularMapColor.rgb);
    s.iblMultiplier = gEmissiveColor.w;
    s.emissive = gEmissiveColor.rgb;
    // Where this point was 1/1000 s ago, moving with the particle (the camera's own motion
    // is left out).
    float4 clipNow = mul(float4(i.viewPos, 1.0), gProj);
    float4 clipPrev = mul(float4(i.viewPos - i.viewVelocity * 0.001, 1.0), gProj);
    s.velocity = screenVelocity(clipNow, clipPrev, gRegionScale);
    return encodeGBuffer(s);
}

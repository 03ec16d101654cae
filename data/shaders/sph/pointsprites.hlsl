// The fluid's particles as small spheres in the G-buffer: albedo the operator's colour, and a
// quarter of it emitted so the fluid keeps a glow in shadow; fast particles (spray) turn
// whiter. Motion comes from each particle's velocity.
#include "sph.hlsli"
#include "../common/gbuffer.hlsli"

cbuffer SpriteConstants : register(b0)
{
    GBUFFER_OBJECT_CONSTANTS
    float4 gColor;  // the operator's emissive colour
    float gSize;    // sprite half-size, in the fluid box's units
    float gTime;
};

StructuredBuffer<FluidParticle> gParticles : register(t1);

bool readSprite(uint index, out float3 position, out float3 velocity, out float life)
{
    FluidParticle p = gParticles[index];
    position = p.position;
    velocity = p.velocity;
    life = saturate(p.speed / kMaxSpeed);
    return finite3(p.position);
}

#include "../particles/sprite.hlsli"

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
    float3 n;
    if (!sphereNormal(i.corner, n))
        discard;
    float spray = saturate(i.life * 4.0);
    float3 colour = lerp(saturate(gColor.rgb), float3(1.0, 1.0, 1.0), spray * 0.5);
    GBufferSurface s;
    s.albedo = colour;
    s.viewNormal = n;
    s.viewDepth = i.viewPos.z;
    s.roughness = 0.15;
    s.metalness = 0.0;
    s.specular = 0.5;
    s.iblMultiplier = gEmissiveColor.w;
    s.emissive = gColor.rgb * 0.25;
    float4 clipNow = mul(float4(i.viewPos, 1.0), gProj);
    float4 clipPrev = mul(float4(i.viewPos - i.viewVelocity * 0.001, 1.0), gProj);
    s.velocity = screenVelocity(clipNow, clipPrev, gRegionScale);
    return encodeGBuffer(s);
}

// Camera-facing sprites from point lists: the vertex stage reads one particle, the geometry
// stage turns each living particle into a quad of half-size gSize in view space, wound
// clockwise as seen by the camera (front facing).
//
// The including file declares gWorldView, gProj and gSize, and provides
//     bool readSprite(uint index, out float3 position, out float3 velocity, out float life)
// (position and velocity in the space gWorldView expects; life: 0 at birth, 1 at death;
// false for a particle that is not to be drawn).
#ifndef PARTICLES_SPRITE_HLSLI
#define PARTICLES_SPRITE_HLSLI

struct SpriteVertex
{
    float3 viewPos : TEXCOORD0;
    float3 viewVelocity : TEXCOORD1;
    float life : TEXCOORD2;
    float visible : TEXCOORD3;
};

struct SpritePixel
{
    float4 pos : SV_Position;
    float2 corner : TEXCOORD0;        // -1..1 across the quad, +y up
    float3 viewPos : TEXCOORD1;       // of this corner
    float3 viewVelocity : TEXCOORD2;  // of the particle
    float life : TEXCOORD3;
};

SpriteVertex spriteVertex(uint index)
{
    SpriteVertex o;
    float3 position, velocity;
    float life;
    bool visible = readSprite(index, position, velocity, life);
    o.viewPos = mul(float4(position, 1.0), gWorldView).xyz;
    o.viewVelocity = mul(float4(velocity, 0.0), gWorldView).xyz;
    o.life = life;
    o.visible = visible && all(abs(o.viewPos) < 1.0e30) ? 1.0 : 0.0;
    return o;
}

void emitSprite(SpriteVertex v, inout TriangleStream<SpritePixel> stream)
{
    if (v.visible < 0.5 || v.viewPos.z <= 0.0)
        return;
    // top-left, top-right, bottom-left, bottom-right: clockwise on screen.
    const float2 corners[4] = {float2(-1.0, 1.0), float2(1.0, 1.0), float2(-1.0, -1.0), float2(1.0, -1.0)};
    [unroll] for (uint i = 0; i < 4; ++i)
    {
        SpritePixel o;
        o.viewPos = v.viewPos + float3(corners[i] * gSize, 0.0);
        o.pos = mul(float4(o.viewPos, 1.0), gProj);
        o.corner = corners[i];
        o.viewVelocity = v.viewVelocity;
        o.life = v.life;
        stream.Append(o);
    }
    stream.RestartStrip();
}

// The view-space normal of a sphere drawn on the quad (facing the camera at the centre);
// false outside the disc.
bool sphereNormal(float2 corner, out float3 normal)
{
    float r2 = dot(corner, corner);
    normal = float3(corner, -sqrt(saturate(1.0 - r2)));
    return r2 <= 1.0;
}

#endif

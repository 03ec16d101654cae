// A textured rectangle laid over a picture. The quad mesh (corners (-0.5, 0, -0.5) to
// (0.5, 0, 0.5) in XZ, texture coordinates (0, 0) at the far-left corner) is placed with its
// texture coordinates: corner (u, v - 1) goes through gScreen, which scales a unit to the
// sprite's size in pixels, moves it to its origin and maps pixels to clip space (y down). So
// the sprite spans [x0, x0 + w] across and [y0 - h, y0] down the viewport, the texture
// upright. Colour = texel * gColor; the pipeline blends it by its alpha.
//
// gGlitch shifts horizontal bands of the sprite sideways, each by its own random amount
// that changes with gTime, and pulls the red and blue channels apart; 0 leaves it clean.

cbuffer SpriteConstants : register(b0)
{
    float4x4 gScreen;
    float4 gColor;
    float gGlitch;
    float gTime;
};

Texture2D gTexture : register(t0);
SamplerState gSampler : register(s0);

struct VertexIn
{
    float3 position : POSITION;
    float2 uv : TEXCOORD0;
};

struct VertexOut
{
    float4 position : SV_Position;
    float2 uv : TEXCOORD0;
};

VertexOut VS(VertexIn v)
{
    VertexOut o;
    o.position = mul(float4(v.uv.x, v.uv.y - 1.0, 0.0, 1.0), gScreen);
    o.uv = v.uv;
    return o;
}

float hash(float2 p)
{
    return frac(sin(dot(p, float2(12.9898, 78.233))) * 43758.5453);
}

float4 PS(VertexOut p) : SV_Target
{
    float2 uv = p.uv;
    if (gGlitch != 0.0)
    {
        float band = floor(uv.y * 24.0);
        float frame = floor(gTime * 12.0);
        float shift = (hash(float2(band, frame)) - 0.5) * gGlitch;
        shift *= step(0.6, hash(float2(frame, band * 0.37)));  // only some bands move
        uv.x += shift;
        float split = gGlitch * 0.02;
        float4 c = gTexture.Sample(gSampler, uv);
        c.r = gTexture.Sample(gSampler, uv + float2(split, 0)).r;
        c.b = gTexture.Sample(gSampler, uv - float2(split, 0)).b;
        return c * gColor;
    }
    return gTexture.Sample(gSampler, uv) * gColor;
}

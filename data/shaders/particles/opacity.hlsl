// Smoke as seen by the light: one slice of sorted particles drawn into the opacity map with
// "over" blending of white, so the red channel becomes 1 - the product of the transmittances
// of the sprites drawn so far at each texel. A sprite's opacity and fade with age are the
// same for all its pixels and reach them flat.
#include "smoke.hlsli"

struct OpacityVertex
{
    float3 lightClip : TEXCOORD0;
    float visible : TEXCOORD1;
    float2 opacity : TEXCOORD2;  // x the opacity of one sprite, y its fade with age
};

struct OpacityPixel
{
    float4 pos : SV_Position;
    float2 corner : TEXCOORD0;
    nointerpolation float2 opacity : TEXCOORD1;
};

OpacityVertex VS(uint id : SV_VertexID)
{
    OpacityVertex o;
    float3 position, velocity;
    float life;
    bool visible = readSprite(id, position, velocity, life);
    o.lightClip = mul(float4(position, 1.0), gLightViewProj).xyz;
    o.visible = visible && all(abs(o.lightClip) < 1.0e30) ? 1.0 : 0.0;
    o.opacity = float2(gColor.a, lifeFade(life));
    return o;
}

[maxvertexcount(4)]
void GS(point OpacityVertex input[1], inout TriangleStream<OpacityPixel> stream)
{
    OpacityVertex v = input[0];
    if (v.visible < 0.5)
        return;
    float half = gSize * gLightScale;
    const float2 corners[4] = {float2(-1.0, 1.0), float2(1.0, 1.0), float2(-1.0, -1.0), float2(1.0, -1.0)};
    [unroll] for (uint i = 0; i < 4; ++i)
    {
        OpacityPixel o;
        o.pos = float4(v.lightClip.xy + corners[i] * half, saturate(v.lightClip.z), 1.0);
        o.corner = corners[i];
        o.opacity = v.opacity;
        stream.Append(o);
    }
    stream.RestartStrip();
}

float4 PS(OpacityPixel i) : SV_Target
{
    float alpha = spriteTexel(i.corner).a * saturate(1.0 - dot(i.corner, i.corner)) * i.opacity.x * i.opacity.y;
    return float4(1.0, 1.0, 1.0, saturate(alpha));
}

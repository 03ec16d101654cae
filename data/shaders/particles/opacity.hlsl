// Smoke as seen by the light: one slice of sorted particles drawn into the opacity map with
// "over" blending of white, so the red channel becomes 1 - the product of the transmittances
// of the sprites drawn so far at each texel.
#include "smoke.hlsli"

struct OpacityVertex
{
    float3 lightClip : TEXCOORD0;
    float life : TEXCOORD1;
    float visible : TEXCOORD2;
};

struct OpacityPixel
{
    float4 pos : SV_Position;
    float2 corner : TEXCOORD0;
    float life : TEXCOORD1;
};

OpacityVertex VS(uint id : SV_VertexID)
{
    OpacityVertex o;
    float3 position, velocity;
    float life;
    bool visible = readSprite(id, position, velocity, life);
    o.lightClip = mul(float4(position, 1.0), gLightViewProj).xyz;
    o.life = life;
    o.visible = visible && all(abs(o.lightClip) < 1.0e30) ? 1.0 : 0.0;
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
        o.life = v.life;
        stream.Append(o);
    }
    stream.RestartStrip();
}

float4 PS(OpacityPixel i) : SV_Target
{
    return float4(1.0, 1.0, 1.0, saturate(spriteOpacity(i.corner, i.life)));
}

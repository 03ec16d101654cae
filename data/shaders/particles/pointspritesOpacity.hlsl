// Smoke as seen by the camera: one slice of sorted particles blended "over" into the
// G-buffer, lit by the scene light through the opacity map that the slices nearer the light
// have filled. The pass blends every target alike (colour: source alpha over inverse source
// alpha; alpha channels add) with no depth test, so each target chooses by the alpha it
// writes: the albedo is darkened by the smoke's opacity (what lies behind shows through
// (1 - opacity) of its light), the emissive target takes the smoke's own lit colour "over"
// what was there, and the normal, material and velocity targets are left as they were (alpha
// 0: their depth, material and motion stay the surface's). The albedo's alpha, the surface
// mark, grows by the opacity; a pixel of background the smoke makes opaque is lit as black.
#include "smoke.hlsli"
#include "../common/gbuffer.hlsli"

Texture2D gOpacityMap : register(t2);
SamplerState gOpacitySampler : register(s1);

static const float kAmbient = 0.25;  // light that reaches smoke in its own shadow

#include "sprite.hlsli"

// Flat stage structures: glslang 12 crashes on a geometry stage that appends a struct
// holding another struct.
struct SmokeVertex
{
    float3 viewPos : TEXCOORD0;
    float3 lightClip : TEXCOORD1;
    float life : TEXCOORD2;
    float visible : TEXCOORD3;
};

struct SmokePixel
{
    float4 pos : SV_Position;
    float2 corner : TEXCOORD0;
    float3 lightClip : TEXCOORD1;
    float life : TEXCOORD2;
};

SmokeVertex VS(uint id : SV_VertexID)
{
    SpriteVertex sprite = spriteVertex(id);
    SmokeVertex o;
    o.viewPos = sprite.viewPos;
    o.life = sprite.life;
    o.visible = sprite.visible;
    float3 position, velocity;
    float life;
    readSprite(id, position, velocity, life);
    o.lightClip = mul(float4(position, 1.0), gLightViewProj).xyz;
    return o;
}

[maxvertexcount(4)]
void GS(point SmokeVertex input[1], inout TriangleStream<SmokePixel> stream)
{
    SmokeVertex v = input[0];
    if (v.visible < 0.5 || v.viewPos.z <= 0.0)
        return;
    const float2 corners[4] = {float2(-1.0, 1.0), float2(1.0, 1.0), float2(-1.0, -1.0), float2(1.0, -1.0)};
    [unroll] for (uint i = 0; i < 4; ++i)
    {
        SmokePixel o;
        o.pos = mul(float4(v.viewPos + float3(corners[i] * gSize, 0.0), 1.0), gProj);
        o.corner = corners[i];
        o.lightClip = v.lightClip;
        o.life = v.life;
        stream.Append(o);
    }
    stream.RestartStrip();
}

// Every target written with four channels: the alpha of each is its blend factor.
struct SmokeOutput
{
    float4 albedo : SV_Target0;
    float4 normalDepth : SV_Target1;
    float4 material : SV_Target2;
    float4 emissive : SV_Target3;
    float4 velocity : SV_Target4;
};

SmokeOutput PS(SmokePixel i)
{
    // One read of the sprite serves its opacity and its colour.
    float4 texel = spriteTexel(i.corner);
    float alpha = spriteOpacityOf(texel, i.corner, i.life);
    if (alpha <= 0.0)
        discard;
    float2 lightUv = float2(i.lightClip.x * 0.5 + 0.5, 0.5 - i.lightClip.y * 0.5);
    float shadow = gOpacityMap.Sample(gOpacitySampler, lightUv).r;
    bool inMap = all(abs(i.lightClip.xy) <= 1.0);
    float transmitted = inMap ? 1.0 - shadow : 1.0;
    float3 lit = gColor.rgb * texel.rgb * (kAmbient + (1.0 - kAmbient) * transmitted * gLightColor.rgb);

    float a = saturate(alpha);
    SmokeOutput o;
    o.albedo = float4(0.0, 0.0, 0.0, a);
    o.normalDepth = float4(0.0, 0.0, 0.0, 0.0);
    o.material = float4(0.0, 0.0, 0.0, 0.0);
    o.emissive = float4(lit, a);
    o.velocity = float4(0.0, 0.0, 0.0, 0.0);
    return o;
}

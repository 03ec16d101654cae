// Smoke as seen by the camera: one slice of sorted particles blended "over" into the
// albedo and emissive targets of the G-buffer, lit by the scene light through the opacity map
// that the slices nearer the light have filled. The albedo is darkened by the smoke's opacity
// (what lies behind shows through (1 - opacity) of its light) and its alpha, the surface
// mark, grows by it; the emissive target takes the smoke's own lit colour "over" what was
// there. A pixel of background the smoke makes opaque is lit as black.
//
// Everything a sprite's pixels share is worked out once per particle and reaches the pixels
// flat: the light that gets through the opacity map at the particle's centre (one read of the
// map per particle instead of per pixel), the colour and the fade with age. The pixel stage
// reads the sprite texture once and multiplies in the order it always did.
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
    float visible : TEXCOORD1;
    float4 tint : TEXCOORD2;   // rgb the smoke's colour, a the opacity of one sprite
    float4 light : TEXCOORD3;  // rgb the light reaching the particle, a its fade with age
};

struct SmokePixel
{
    float4 pos : SV_Position;
    float2 corner : TEXCOORD0;
    nointerpolation float4 tint : TEXCOORD1;
    nointerpolation float4 light : TEXCOORD2;
};

SmokeVertex VS(uint id : SV_VertexID)
{
    SpriteVertex sprite = spriteVertex(id);
    SmokeVertex o;
    o.viewPos = sprite.viewPos;
    o.visible = sprite.visible;
    float3 position, velocity;
    float life;
    readSprite(id, position, velocity, life);
    float3 lightClip = mul(float4(position, 1.0), gLightViewProj).xyz;
    float2 lightUv = float2(lightClip.x * 0.5 + 0.5, 0.5 - lightClip.y * 0.5);
    float shadow = gOpacityMap.SampleLevel(gOpacitySampler, lightUv, 0.0).r;
    bool inMap = all(abs(lightClip.xy) <= 1.0);
    float transmitted = inMap ? 1.0 - shadow : 1.0;
    o.tint = gColor;
    o.light = float4(kAmbient + (1.0 - kAmbient) * transmitted * gLightColor.rgb, lifeFade(sprite.life));
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
        o.tint = v.tint;
        o.light = v.light;
        stream.Append(o);
    }
    stream.RestartStrip();
}

// Every target written with four channels: the alpha of each is its blend factor (the
// normal, material and velocity targets are not written by the pass's state).
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
    float alpha = texel.a * saturate(1.0 - dot(i.corner, i.corner)) * i.tint.a * i.light.a;
    if (alpha <= 0.0)
        discard;
    float3 lit = i.tint.rgb * texel.rgb * i.light.rgb;

    float a = saturate(alpha);
    SmokeOutput o;
    o.albedo = float4(0.0, 0.0, 0.0, a);
    o.normalDepth = float4(0.0, 0.0, 0.0, 0.0);
    o.material = float4(0.0, 0.0, 0.0, 0.0);
    o.emissive = float4(lit, a);
    o.velocity = float4(0.0, 0.0, 0.0, 0.0);
    return o;
}

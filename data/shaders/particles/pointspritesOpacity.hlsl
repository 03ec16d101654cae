// Smoke as seen by the camera: one slice of sorted particles blended "over" into the
// G-buffer's emissive target, lit by the scene light through the opacity map that the
// slices nearer the light have filled. The smoke hides behind geometry by reading the depth
// target of the pass (it writes no depth and marks no surface).
#include "smoke.hlsli"
#include "../common/gbuffer.hlsli"

Texture2D gOpacityMap : register(t2);
SamplerState gOpacitySampler : register(s1);
Texture2D<float> gSceneDepth : register(t3);

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

GBufferOutput PS(SmokePixel i)
{
    if (i.pos.z > gSceneDepth.Load(int3(i.pos.xy, 0)))
        discard;
    float alpha = spriteOpacity(i.corner, i.life);
    if (alpha <= 0.0)
        discard;
    float2 lightUv = float2(i.lightClip.x * 0.5 + 0.5, 0.5 - i.lightClip.y * 0.5);
    float shadow = gOpacityMap.Sample(gOpacitySampler, lightUv).r;
    bool inMap = all(abs(i.lightClip.xy) <= 1.0);
    float transmitted = inMap ? 1.0 - shadow : 1.0;
    float2 uv = float2(i.corner.x, -i.corner.y) * 0.5 + 0.5;
    float3 texColour = gSprite.Sample(gSpriteSampler, uv).rgb;
    float3 lit = gColor.rgb * texColour * (kAmbient + (1.0 - kAmbient) * transmitted * gLightColor.rgb);

    GBufferOutput o;
    o.albedo = float4(0.0, 0.0, 0.0, 0.0);
    o.normalDepth = float4(0.0, 0.0, 0.0, 0.0);
    o.material = float4(0.0, 0.0, 0.0, 0.0);
    o.emissive = float4(lit, saturate(alpha));  // only this target is blended; the rest are masked
    o.velocity = float2(0.0, 0.0);
    return o;
}

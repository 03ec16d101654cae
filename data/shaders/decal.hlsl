// A decal drawn as its box: every pixel the box covers looks up the surface behind it and
// adds the decal's light to the emissive target where that surface lies inside the box.
#include "common/decal.hlsli"

struct BoxVertex
{
    float4 pos : SV_POSITION;
    float4 clip : TEXCOORD0;
};

BoxVertex VS(float3 pos : POSITION)
{
    BoxVertex o;
    o.pos = mul(float4(pos, 1.0), gWorldViewProj);
    o.clip = o.pos;
    return o;
}

float4 PS(BoxVertex i) : SV_TARGET
{
    float3 light;
    if (!decalLight(clipToViewportUv(i.clip), light))
        discard;
    return float4(light, 0.0);
}

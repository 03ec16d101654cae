// A decal over the whole region: every pixel looks up its surface and adds the decal's light
// to the emissive target where that surface lies inside the decal's box.
#include "common/fullscreen.hlsli"
#include "common/decal.hlsli"

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float3 light;
    if (!decalLight(i.uv, light))
        discard;
    return float4(light, 0.0);
}

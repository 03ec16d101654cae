// A point light drawn as its sphere volume into the light map: the surfaces inside its
// radius, and the light scattered by the air along each view ray through it.
#include "common/gbuffer.hlsli"
#include "common/lighting.hlsli"

cbuffer PointLightConstants : register(b0)
{
    float4x4 gWorldViewProj;     // the volume: scale 1.2 x radius, at the light
    float4x4 gInvWorldViewProj;  // inverse of view x projection
    float4x4 gInvView;           // the camera matrix
    float4 gEyePos;
    float4 gLightPos;
    float4 gLightCol;            // not multiplied by the brightness
    float4 gLightScattParams;    // density, multiplier, falloff
    float2 gRegionScale;
    float2 gRegionOffset;
    float gLightRadius;
    float gLightBrightness;
};

struct VolumeVertex
{
    float4 pos : SV_POSITION;
    float4 clip : TEXCOORD0;
};

VolumeVertex VS(float3 pos : POSITION)
{
    VolumeVertex o;
    o.pos = mul(float4(pos, 1.0), gWorldViewProj);
    o.clip = o.pos;
    return o;
}

float4 PS(VolumeVertex i) : SV_TARGET
{
    float2 uv = clipToViewportUv(i.clip);
    LitPixel p = readLitPixel(uv, gInvWorldViewProj, gInvView, gEyePos.xyz, gRegionScale, gRegionOffset);
    float3 colour = gLightCol.rgb * gLightBrightness;
    float3 result = float3(0.0, 0.0, 0.0);
    float3 toLight = gLightPos.xyz - p.position;
    float d = length(toLight);
    // The volume is larger than the light's reach: beyond the radius nothing arrives.
    if (p.hasGeometry && d < gLightRadius)
    {
        float3 L = directionOr(toLight, p.normal);
        result = evaluateBrdfLight(p.normal, p.toEye, L, p.surface, colour * distanceFalloff(d, gLightRadius));
    }
    if (gLightScattParams.y > 0.0)
    {
        float s = pointScattering(gEyePos.xyz, viewRayEnd(uv, p, gInvWorldViewProj), gLightPos.xyz, gLightRadius,
                                  gLightScattParams.z);
        result += colour * (s * gLightScattParams.x * gLightScattParams.y);
    }
    return float4(result, 1.0);
}

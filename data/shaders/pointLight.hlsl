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

// The constants reach the pixels flat from the vertex shader: read from the constant
// buffer, each would be a load on every pixel.
struct VolumeVertex
{
    float4 pos : SV_POSITION;
    float4 clip : TEXCOORD0;
    nointerpolation float4 invViewProj0 : TEXCOORD1;
    nointerpolation float4 invViewProj1 : TEXCOORD2;
    nointerpolation float4 invViewProj2 : TEXCOORD3;
    nointerpolation float4 invViewProj3 : TEXCOORD4;
    nointerpolation float4 invView0 : TEXCOORD5;
    nointerpolation float4 invView1 : TEXCOORD6;
    nointerpolation float4 invView2 : TEXCOORD7;
    nointerpolation float4 eye : TEXCOORD8;         // xyz eye, w radius
    nointerpolation float4 light : TEXCOORD9;       // xyz position, w scattering falloff
    nointerpolation float4 colour : TEXCOORD10;     // rgb colour x brightness, w scattering density
    nointerpolation float4 region : TEXCOORD11;     // scale, offset
    nointerpolation float scattering : TEXCOORD12;  // the multiplier: none at 0 or below
};

VolumeVertex VS(float3 pos : POSITION)
{
    VolumeVertex o;
    o.pos = mul(float4(pos, 1.0), gWorldViewProj);
    o.clip = o.pos;
    o.invViewProj0 = gInvWorldViewProj[0];
    o.invViewProj1 = gInvWorldViewProj[1];
    o.invViewProj2 = gInvWorldViewProj[2];
    o.invViewProj3 = gInvWorldViewProj[3];
    o.invView0 = gInvView[0];
    o.invView1 = gInvView[1];
    o.invView2 = gInvView[2];
    o.eye = float4(gEyePos.xyz, gLightRadius);
    o.light = float4(gLightPos.xyz, gLightScattParams.z);
    o.colour = float4(gLightCol.rgb * gLightBrightness, gLightScattParams.x);
    o.region = float4(gRegionScale, gRegionOffset);
    o.scattering = gLightScattParams.y;
    return o;
}

// scatters is a literal in each entry below: the entry without in-scattering leaves it out
// altogether. In one program the in-scattering would still cost every pixel of a light that
// has none, since a CPU driver runs both sides of a branch, even one on a flat input.
float4 lightPixel(VolumeVertex i, bool scatters)
{
    float2 uv = clipToViewportUv(i.clip);
    float4x4 invViewProj = float4x4(i.invViewProj0, i.invViewProj1, i.invViewProj2, i.invViewProj3);
    float4x4 invView = float4x4(i.invView0, i.invView1, i.invView2, float4(0.0, 0.0, 0.0, 1.0));
    LitPixel p = readLitPixel(uv, invViewProj, invView, i.eye.xyz, i.region.xy, i.region.zw);
    float3 colour = i.colour.rgb;
    float radius = i.eye.w;
    float3 result = float3(0.0, 0.0, 0.0);
    float3 toLight = i.light.xyz - p.position;
    float d = length(toLight);
    // The volume is larger than the light's reach: beyond the radius nothing arrives.
    if (p.hasGeometry && d < radius)
    {
        float3 L = directionOr(toLight, p.normal);
        result = evaluateBrdfLight(p.normal, p.toEye, L, p.surface, colour * distanceFalloff(d, radius));
    }
    if (scatters && i.scattering > 0.0)
    {
        float s = pointScattering(i.eye.xyz, viewRayEnd(uv, p, invViewProj), i.light.xyz, radius, i.light.w);
        result += colour * (s * i.colour.w * i.scattering);
    }
    return float4(result, 1.0);
}

float4 PS(VolumeVertex i) : SV_TARGET
{
    return lightPixel(i, true);
}

// For a light whose scattering multiplier is 0 or below, which PS gives the same pixels.
float4 PSUnscattered(VolumeVertex i) : SV_TARGET
{
    return lightPixel(i, false);
}

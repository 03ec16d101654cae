// Image-based lighting, added over the lit picture: the environment cube pre-filtered by
// roughness (one mip level per roughness step) with the pre-integrated BRDF of the lookup
// texture for the specular part, the environment's widest level for the diffuse part.
#include "common/fullscreen.hlsli"
#include "common/lighting.hlsli"

cbuffer ImageLightingConstants : register(b0)
{
    float4x4 gInvWorldViewProj;
    float4x4 gInvView;
    float4 gEyePos;
    float2 gRegionScale;
    float2 gRegionOffset;
};

TextureCube gEnvironment : register(t5);
Texture2D gBrdfLookup : register(t6);
SamplerState gEnvironmentSampler : register(s2);

// The constants reach the pixels flat from the vertex shader: read from the constant
// buffer, each would be a load on every pixel.
struct ImageLightingVertex
{
    float4 pos : SV_POSITION;
    float2 uv : TEXCOORD0;
    nointerpolation float4 invViewProj0 : TEXCOORD1;
    nointerpolation float4 invViewProj1 : TEXCOORD2;
    nointerpolation float4 invViewProj2 : TEXCOORD3;
    nointerpolation float4 invViewProj3 : TEXCOORD4;
    nointerpolation float4 invView0 : TEXCOORD5;
    nointerpolation float4 invView1 : TEXCOORD6;
    nointerpolation float4 invView2 : TEXCOORD7;
    nointerpolation float3 eye : TEXCOORD8;
    nointerpolation float4 region : TEXCOORD9;  // scale, offset
};

ImageLightingVertex VS(uint id : SV_VertexID)
{
    FullscreenVertex f = fullscreenTriangle(id);
    ImageLightingVertex o;
    o.pos = f.pos;
    o.uv = f.uv;
    o.invViewProj0 = gInvWorldViewProj[0];
    o.invViewProj1 = gInvWorldViewProj[1];
    o.invViewProj2 = gInvWorldViewProj[2];
    o.invViewProj3 = gInvWorldViewProj[3];
    o.invView0 = gInvView[0];
    o.invView1 = gInvView[1];
    o.invView2 = gInvView[2];
    o.eye = gEyePos.xyz;
    o.region = float4(gRegionScale, gRegionOffset);
    return o;
}

float3 imageLight(ImageLightingVertex i)
{
    // A surface that takes no image-based light (multiplier 0, such as an emissive sky) and
    // a pixel without geometry (cleared to 0 there) add nothing: the rest of the G-buffer
    // and the environment are not read for them.
    if (gGBufferMaterial.SampleLevel(gPointSampler, gbufferUv(i.uv, i.region.xy, i.region.zw), 0).w == 0.0)
        return float3(0.0, 0.0, 0.0);
    float4x4 invViewProj = float4x4(i.invViewProj0, i.invViewProj1, i.invViewProj2, i.invViewProj3);
    float4x4 invView = float4x4(i.invView0, i.invView1, i.invView2, float4(0.0, 0.0, 0.0, 1.0));
    LitPixel p = readLitPixel(i.uv, invViewProj, invView, i.eye.xyz, i.region.xy, i.region.zw);
    if (!p.hasGeometry)
        return float3(0.0, 0.0, 0.0);
    uint width, height, levels;
    gEnvironment.GetDimensions(0, width, height, levels);
    float roughness = saturate(p.surface.roughness);
    float NdotV = saturate(dot(p.normal, p.toEye));
    float3 R = reflect(-p.toEye, p.normal);
    float3 prefiltered = gEnvironment.SampleLevel(gEnvironmentSampler, R, environmentMip(roughness, levels)).rgb;
    float3 irradiance = gEnvironment.SampleLevel(gEnvironmentSampler, p.normal, max(float(levels) - 1.0, 0.0)).rgb;
    float2 envBrdf = gBrdfLookup.SampleLevel(gPointSampler, float2(NdotV, roughness), 0).rg;
    float3 light = evaluateImageLight(p.normal, p.toEye, p.surface, prefiltered, irradiance, envBrdf);
    return light * p.iblMultiplier;
}

// The term alone, added over the combined picture.
float4 PS(ImageLightingVertex i) : SV_TARGET
{
    return float4(imageLight(i), 0.0);
}

// The light map (t7) plus what the surfaces emit plus the term, written over the output in
// one pass instead of a combine and an added pass: a full-screen pass less, and the sum is
// rounded to the target's format once instead of twice.
Texture2D gLightMap : register(t7);

float4 PSCombined(ImageLightingVertex i) : SV_TARGET
{
    float2 uv = gbufferUv(i.uv, i.region.xy, i.region.zw);
    float3 lit = gLightMap.SampleLevel(gPointSampler, uv, 0).rgb + gGBufferEmissive.SampleLevel(gPointSampler, uv, 0).rgb;
    return float4(lit + imageLight(i), 1.0);
}

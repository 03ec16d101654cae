// What both decal shaders share: the surface under a pixel, found through the frame's depth,
// taken into the decal's box, and the light the decal adds there.
//
// The box is the unit box (-0.5 .. 0.5 on each axis) through the decal's world matrix. The
// picture is projected along the box's Y axis: x and z of the box become u and v (times
// gTile); surfaces facing along that axis take it fully, those at right angles to it not at
// all. Outside the box nothing is written.
#ifndef COMMON_DECAL_HLSLI
#define COMMON_DECAL_HLSLI

#include "gbuffer.hlsli"

cbuffer DecalConstants : register(b0)
{
    float4x4 gWorldViewProj;     // the box: world x view x projection
    float4x4 gInvWorldViewProj;  // inverse of view x projection (without the world)
    float4x4 gInvView;           // the camera matrix
    float4x4 gInvModel;          // inverse of the decal's world matrix
    float4 gEmissiveColor;       // colour x brightness
    float2 gRegionScale;
    float2 gRegionOffset;
    float2 gTile;
};

Texture2D gNormalDepth : register(t0);  // G-buffer target 1
Texture2D gDepthTarget : register(t1);  // the frame's depth target
Texture2D gDecalImage : register(t2);   // the picture (zero when none is connected)
SamplerState gSurfaceSampler : register(s0);
SamplerState gImageSampler : register(s2);

// Light the decal adds at viewport uv; false where the pixel's surface is outside the box.
bool decalLight(float2 viewportUv, out float3 light)
{
    light = float3(0.0, 0.0, 0.0);
    float2 uv = gbufferUv(viewportUv, gRegionScale, gRegionOffset);
    uint width, height;
    gDepthTarget.GetDimensions(width, height);
    int2 texel = clamp(int2(uv * float2(width, height)), int2(0, 0), int2(width, height) - 1);
    float depth = gDepthTarget.Load(int3(texel, 0)).r;
    if (depth >= 1.0)
        return false;
    float4 world = mul(float4(viewportUvToNdc(viewportUv), depth, 1.0), gInvWorldViewProj);
    float3 local = mul(float4(world.xyz / world.w, 1.0), gInvModel).xyz;
    if (any(abs(local) > 0.5))
        return false;
    float3 viewNormal = gNormalDepth.SampleLevel(gSurfaceSampler, uv, 0).xyz;
    float3 worldNormal = mul(float4(viewNormal, 0.0), gInvView).xyz;
    float3 localNormal = mul(float4(worldNormal, 0.0), gInvModel).xyz;
    float len = length(localNormal);
    float facing = len > 1e-6 ? abs(localNormal.y) / len : 0.0;
    float fade = smoothstep(0.2, 0.5, facing);
    float4 picture = gDecalImage.SampleLevel(gImageSampler, (local.xz + 0.5) * gTile, 0);
    light = picture.rgb * picture.a * gEmissiveColor.rgb * fade;
    return true;
}

#endif

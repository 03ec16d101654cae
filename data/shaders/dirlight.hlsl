// A directional light over the whole region, with two shadow cascades: a full-screen
// triangle added into the light map.
#include "common/fullscreen.hlsli"
#include "common/lighting.hlsli"

cbuffer DirLightConstants : register(b0)
{
    float4x4 gInvWorldViewProj;  // inverse of view x projection
    float4x4 gInvView;           // the camera matrix
    float4x4 gLightWVPcs0;       // world -> cascade 0 (light view x cascade projection)
    float4x4 gLightWVPcs1;
    float4 gEyePos;
    float4 gLightDir;            // towards the light, not normalised
    float4 gLightColor;
    float2 gRegionScale;
    float2 gRegionOffset;
    float2 gClipZ;               // device depths where cascade 0 and cascade 1 end
    float gShadows;              // 1: the cascades hold this light's casters
};

Texture2D gCascade0 : register(t5);
Texture2D gCascade1 : register(t6);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

// World size of one texel of a cascade: its projection maps the box width to 2.
float cascadeTexel(float4x4 wvp)
{
    float3 xAxis = float3(wvp[0][0], wvp[1][0], wvp[2][0]);
    return 2.0 / (max(length(xAxis), 1e-12) * 1024.0);
}

float cascadeShadow(float4x4 wvp, Texture2D map, LitPixel p, float3 L)
{
    float texel = cascadeTexel(wvp);
    // Pushed off the surface along its normal and towards the light, by texel sizes, so a
    // lit surface does not shadow itself.
    float3 pos = p.position + p.normal * (1.5 * texel) + L * texel;
    float3 c = shadowMapCoord(mul(float4(pos, 1.0), wvp));
    return shadowFilter(map, c.xy, c.z, 1.0 / 1024.0);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    LitPixel p = readLitPixel(i.uv, gInvWorldViewProj, gInvView, gEyePos.xyz, gRegionScale, gRegionOffset);
    if (!p.hasGeometry)
        return float4(0.0, 0.0, 0.0, 1.0);
    float3 L = directionOr(gLightDir.xyz, float3(0.0, 1.0, 0.0));
    float lit = 1.0;
    if (gShadows > 0.5)
    {
        if (p.deviceDepth <= gClipZ.x)
            lit = cascadeShadow(gLightWVPcs0, gCascade0, p, L);
        else if (p.deviceDepth <= gClipZ.y)
            lit = cascadeShadow(gLightWVPcs1, gCascade1, p, L);
    }
    return float4(evaluateBrdfLight(p.normal, p.toEye, L, p.surface, gLightColor.rgb) * lit, 1.0);
}

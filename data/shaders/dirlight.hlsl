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

// The constants reach the pixels flat from the vertex shader: read from the constant
// buffer, each would be a load on every pixel.
struct DirLightVertex
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
    nointerpolation float4 cascade00 : TEXCOORD8;
    nointerpolation float4 cascade01 : TEXCOORD9;
    nointerpolation float4 cascade02 : TEXCOORD10;
    nointerpolation float4 cascade03 : TEXCOORD11;
    nointerpolation float4 cascade10 : TEXCOORD12;
    nointerpolation float4 cascade11 : TEXCOORD13;
    nointerpolation float4 cascade12 : TEXCOORD14;
    nointerpolation float4 cascade13 : TEXCOORD15;
    nointerpolation float4 eye : TEXCOORD16;        // xyz eye, w shadows
    nointerpolation float4 lightDir : TEXCOORD17;   // xyz unit, w cascade 0 texel
    nointerpolation float4 colour : TEXCOORD18;     // rgb colour, w cascade 1 texel
    nointerpolation float4 region : TEXCOORD19;     // scale, offset
    nointerpolation float2 clipZ : TEXCOORD20;
};

// World size of one texel of a cascade: its projection maps the box width to 2.
float cascadeTexel(float4x4 wvp)
{
    float3 xAxis = float3(wvp[0][0], wvp[1][0], wvp[2][0]);
    return 2.0 / (max(length(xAxis), 1e-12) * 1024.0);
}

DirLightVertex VS(uint id : SV_VertexID)
{
    FullscreenVertex f = fullscreenTriangle(id);
    DirLightVertex o;
    o.pos = f.pos;
    o.uv = f.uv;
    o.invViewProj0 = gInvWorldViewProj[0];
    o.invViewProj1 = gInvWorldViewProj[1];
    o.invViewProj2 = gInvWorldViewProj[2];
    o.invViewProj3 = gInvWorldViewProj[3];
    o.invView0 = gInvView[0];
    o.invView1 = gInvView[1];
    o.invView2 = gInvView[2];
    o.cascade00 = gLightWVPcs0[0];
    o.cascade01 = gLightWVPcs0[1];
    o.cascade02 = gLightWVPcs0[2];
    o.cascade03 = gLightWVPcs0[3];
    o.cascade10 = gLightWVPcs1[0];
    o.cascade11 = gLightWVPcs1[1];
    o.cascade12 = gLightWVPcs1[2];
    o.cascade13 = gLightWVPcs1[3];
    o.eye = float4(gEyePos.xyz, gShadows);
    o.lightDir = float4(directionOr(gLightDir.xyz, float3(0.0, 1.0, 0.0)), cascadeTexel(gLightWVPcs0));
    o.colour = float4(gLightColor.rgb, cascadeTexel(gLightWVPcs1));
    o.region = float4(gRegionScale, gRegionOffset);
    o.clipZ = gClipZ;
    return o;
}

float cascadeShadow(float4x4 wvp, float texel, Texture2D map, LitPixel p, float3 L)
{
    // Pushed off the surface along its normal and towards the light, by texel sizes, so a
    // lit surface does not shadow itself.
    float3 pos = p.position + p.normal * (1.5 * texel) + L * texel;
    float3 c = shadowMapCoord(mul(float4(pos, 1.0), wvp));
    return shadowFilter(map, c.xy, c.z, 1.0 / 1024.0);
}

float4 PS(DirLightVertex i) : SV_TARGET
{
    float4x4 invViewProj = float4x4(i.invViewProj0, i.invViewProj1, i.invViewProj2, i.invViewProj3);
    float4x4 invView = float4x4(i.invView0, i.invView1, i.invView2, float4(0.0, 0.0, 0.0, 1.0));
    LitPixel p = readLitPixel(i.uv, invViewProj, invView, i.eye.xyz, i.region.xy, i.region.zw);
    if (!p.hasGeometry)
        return float4(0.0, 0.0, 0.0, 1.0);
    float3 L = i.lightDir.xyz;
    float lit = 1.0;
    if (i.eye.w > 0.5)
    {
        if (p.deviceDepth <= i.clipZ.x)
            lit = cascadeShadow(float4x4(i.cascade00, i.cascade01, i.cascade02, i.cascade03), i.lightDir.w, gCascade0, p, L);
        else if (p.deviceDepth <= i.clipZ.y)
            lit = cascadeShadow(float4x4(i.cascade10, i.cascade11, i.cascade12, i.cascade13), i.colour.w, gCascade1, p, L);
    }
    return float4(evaluateBrdfLight(p.normal, p.toEye, L, p.surface, i.colour.rgb) * lit, 1.0);
}

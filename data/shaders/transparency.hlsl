// Transparent surfaces for the transparency pass: a glass-like shading from the Context's
// material (base colour, its alpha the opacity at normal incidence; emissive added), more
// opaque and brighter towards grazing angles. Target 0 takes straight colour and opacity,
// target 1 the surface's view-space normal and linear depth, as the G-buffer holds them.
#include "common/gbuffer.hlsli"

cbuffer ObjectConstants : register(b0)
{
    GBUFFER_OBJECT_CONSTANTS
};

struct MeshVertex
{
    float3 pos : POSITION;
    float3 normal : NORMAL;
    float2 uv : TEXCOORD0;
};

GBufferVertexOut VS(MeshVertex v)
{
    return gbufferVertex(float4(v.pos, 1.0), v.normal, v.uv, gWorldViewProj, gWorldViewProjPrev, gWorldView,
                         gInvTransWorldView);
}

struct TransparentOutput
{
    float4 colour : SV_Target0;
    float4 normalDepth : SV_Target1;
};

TransparentOutput PS(GBufferPixelIn i)
{
    float3 n = normalize(i.viewNormal);
    float3 v = normalize(-i.viewPos);
    float facing = saturate(abs(dot(n, v)));
    float m = 1.0 - facing;
    float fresnel = m * m * m * m * m;
    float opacity = saturate(gBaseColor.a + (1.0 - gBaseColor.a) * fresnel);
    // A soft head light and a bright rim, as glass reflects the room at grazing angles.
    float3 colour = gBaseColor.rgb * (0.35 + 0.65 * facing) + fresnel.xxx * 0.8 + gEmissiveColor.rgb;
    TransparentOutput o;
    o.colour = float4(colour, opacity);
    o.normalDepth = float4(n, i.viewPos.z);
    return o;
}

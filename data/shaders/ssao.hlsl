// Screen-space ambient occlusion. For each pixel the view-space position is rebuilt from
// the G-buffer's linear depth along the ray through the far-plane corner; fourteen offset
// vectors, reflected about a random vector (4 x 4 texture tiled over the screen) and flipped
// into the hemisphere of the normal, give sample points that are projected back to the
// screen. The surface seen there occludes when it lies in front of the sample point by more
// than the surface epsilon, fading out from FadeStart to FadeEnd, weighted by how much it
// faces the normal. Background pixels are not occluded.
#include "common/fullscreen.hlsli"

// G-buffer image 1: xyz view-space normal, w linear view depth (65504 where nothing was drawn).
float3 gbufferViewNormal(float4 normalDepth) { return normalDepth.xyz; }
float gbufferViewDepth(float4 normalDepth) { return normalDepth.w; }
bool gbufferHasSurface(float depth) { return depth < 60000.0; }

cbuffer SSAOConstants : register(b0)
{
    float4 gFrustumCorner;  // far-plane corner in view space (x right, y up, z = far)
    float4 gOffsets[14];
    float4x4 gProj;
    float2 gScreenSize;     // viewport size in pixels
    float gOcclusionFadeEnd;
    float gOcclusionFadeStart;
    float gOcclusionRadius;
    float gSurfaceEpsilon;
    float gOcclusionPower;
    float2 gRegionScale;
    float2 gRegionOffset;
};

Texture2D gNormalDepth : register(t0);
Texture2D gRandomVectors : register(t1);
SamplerState gNormalSampler : register(s0);
SamplerState gRandomSampler : register(s1);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 gbufferAt(float2 uvOverRegion)
{
    return gNormalDepth.SampleLevel(gNormalSampler, regionToSource(uvOverRegion, gRegionScale, gRegionOffset), 0);
}

float occlusionOver(float distZ)
{
    if (distZ <= gSurfaceEpsilon)
        return 0.0;
    return saturate((gOcclusionFadeEnd - distZ) / max(gOcclusionFadeEnd - gOcclusionFadeStart, 1e-5));
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float4 nd = gbufferAt(i.uv);
    float depth = gbufferViewDepth(nd);
    if (!gbufferHasSurface(depth))
        return float4(1, 1, 1, 1);
    float3 n = normalize(gbufferViewNormal(nd));
    float2 ndc = float2(i.uv.x * 2.0 - 1.0, 1.0 - i.uv.y * 2.0);
    float3 farPoint = float3(ndc * gFrustumCorner.xy, gFrustumCorner.z);
    float3 p = farPoint * (depth / gFrustumCorner.z);

    float3 random = gRandomVectors.SampleLevel(gRandomSampler, i.uv * gScreenSize / 4.0, 0).rgb * 2.0 - 1.0;
    random = dot(random, random) > 1e-6 ? normalize(random) : float3(0, 0, 1);

    float occlusion = 0.0;
    [unroll]
    for (int k = 0; k < 14; ++k)
    {
        float3 offset = reflect(gOffsets[k].xyz, random);
        float flip = dot(offset, n) < 0.0 ? -1.0 : 1.0;
        float3 q = p + flip * gOcclusionRadius * offset;
        float4 h = mul(float4(q, 1.0), gProj);
        float2 quv = float2(h.x / h.w * 0.5 + 0.5, 0.5 - h.y / h.w * 0.5);
        if (any(quv < 0.0) || any(quv > 1.0))
            continue;  // off the picture: nothing known there
        float rz = gbufferViewDepth(gbufferAt(quv));
        if (!gbufferHasSurface(rz) || q.z <= 0.0)
            continue;
        float3 r = (rz / q.z) * q;
        float distZ = p.z - r.z;
        float facing = max(dot(n, normalize(r - p + 1e-6)), 0.0);
        occlusion += facing * occlusionOver(distZ);
    }
    float access = 1.0 - occlusion / 14.0;
    float ao = saturate(pow(saturate(access), gOcclusionPower));
    return float4(ao, ao, ao, 1.0);
}

// Screen-space ambient occlusion. For each pixel the view-space position is rebuilt from
// the G-buffer's linear depth along the ray through the far-plane corner gFrustumCorner
// (made from the Context's field of view and far plane, which may differ from the
// projection after a camera blend or an orthographic camera); fourteen offset
// vectors, reflected about a random vector (4 x 4 texture tiled over the screen) and flipped
// into the hemisphere of the normal, give sample points that are projected back to the
// screen. The surface seen there occludes when it lies in front of the sample point by more
// than the surface epsilon, fading out from FadeStart to FadeEnd, weighted by how much it
// faces the normal. Background pixels are not occluded.
#include "common/fullscreen.hlsli"
#include "common/gbuffer.hlsli"

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

// Normal and linear depth of G-buffer image 1, through the shared decoding.
float3 normalOf(float4 normalDepth)
{
    return decodeGBuffer(0, normalDepth, 0, 0, 0).viewNormal;
}

float depthOf(float4 normalDepth)
{
    return decodeGBuffer(0, normalDepth, 0, 0, 0).viewDepth;
}

bool hasSurface(float depth)
{
    return depth < kGBufferNothing * 0.5;
}

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

// The pixel's view-space position: the far-plane point of its ray scaled to its depth. A
// corner that cannot be scaled (a far plane of 0, or one so large that the corner
// overflows) leaves the projection to place it.
float3 viewPositionFromCorner(float2 uv, float depth)
{
    float4 c = gFrustumCorner;
    if (!(abs(c.z) > 0.0) || any(isinf(c.xyz)) || any(isnan(c.xyz)))
        return viewPositionFromLinearDepth(uv, depth, gProj);
    float2 ndc = viewportUvToNdc(uv);
    return float3(ndc * c.xy, c.z) * (depth / c.z);
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
    float depth = depthOf(nd);
    if (!hasSurface(depth))
        return float4(1, 1, 1, 1);
    float3 n = normalize(normalOf(nd));
    float3 p = viewPositionFromCorner(i.uv, depth);

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
        float rz = depthOf(gbufferAt(quv));
        if (!hasSurface(rz) || q.z <= 0.0)
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

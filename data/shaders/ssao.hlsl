// Screen-space ambient occlusion. For each pixel the view-space position is rebuilt from
// the G-buffer's linear depth along the ray through the far-plane corner gFrustumCorner
// (made from the Context's field of view and far plane, which may differ from the
// projection after a camera blend or an orthographic camera); fourteen offset
// vectors, reflected about a random vector (4 x 4 texture tiled over the screen) and flipped
// into the hemisphere of the normal, give sample points that are projected back to the
// screen. The surface seen there occludes when it lies in front of the sample point by more
// than the surface epsilon, fading out from FadeStart to FadeEnd, weighted by how much it
// faces the normal. Background pixels are not occluded.
//
// It runs at half the size, over the top-left quarter of its full-size target: each pixel
// stands for the top-left pixel of the 2 x 2 it covers (its G-buffer texel read at its
// centre), writes the occlusion and that pixel's depth (in three bytes, the target being
// 8-bit), and takes one random vector of its own from the 4 x 4 tile. The blurs run at that
// size too and the combine brings it back to full size by depth (ssaoBlur.hlsl).
//
// What is the same for every pixel (the radius, the terms that rebuild a position and
// project one, the fade) is worked out in the vertex shader and
// handed on flat: a constant read in the pixel shader is a load on every pixel.
#include "common/depthBytes.hlsli"
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

Texture2D gNormalDepth : register(t0);
Texture2D gRandomVectors : register(t1);
SamplerState gNormalSampler : register(s0);
// A point sampler where the pixel's own G-buffer texel lies at its centre (the random
// vectors, one texel a pixel, are read at their centres too): the same values as a
// filtered read for less work. Filtered otherwise.
SamplerState gTexelSampler : register(s1);

static const int kSamples = 14;

struct SSAOVertex
{
    float4 pos : SV_POSITION;
    float2 uv : TEXCOORD0;
    nointerpolation float4 region : TEXCOORD1;    // scale, offset
    nointerpolation float4 rebuild : TEXCOORD2;   // view xy = ndc * (depth * xy + zw) + ...
    nointerpolation float4 rebuild2 : TEXCOORD3;  // ... depth * xy + zw
    nointerpolation float4 toU : TEXCOORD4;       // a view point's viewport uv: (dot(q, toU),
    nointerpolation float4 toV : TEXCOORD5;       // dot(q, toV)) / dot(q, toW), q = (p, 1)
    nointerpolation float4 toW : TEXCOORD6;
    nointerpolation float4 fade : TEXCOORD7;      // fade end, 1 / fade range, epsilon, power
    nointerpolation float3 randomScale : TEXCOORD8;  // xy: random texture repeats; z: radius
    nointerpolation float2 shift : TEXCOORD9;        // from a half-size pixel's centre to its full-size pixel's
};

// The pixel's view-space position is the far-plane point of its ray scaled to its depth. A
// corner that cannot be scaled (a far plane of 0, or one so large that the corner
// overflows) leaves the projection to place it. Either way x and y are affine in depth for
// a given ndc; these are the terms.
void rebuildTerms(out float4 r, out float4 r2)
{
    float4 c = gFrustumCorner;
    if (!(abs(c.z) > 0.0) || any(isinf(c.xyz)) || any(isnan(c.xyz)))
    {
        float2 inv = 1.0 / float2(gProj[0][0], gProj[1][1]);
        r = float4(gProj[2][3] * inv, gProj[3][3] * inv);
        r2 = float4(-gProj[2][0] * inv.x, -gProj[2][1] * inv.y, -gProj[3][0] * inv.x, -gProj[3][1] * inv.y);
        return;
    }
    r = float4(c.xy / c.z, 0, 0);
    r2 = 0;
}

float4 projColumn(int j)
{
    return float4(gProj[0][j], gProj[1][j], gProj[2][j], gProj[3][j]);
}

SSAOVertex VS(uint id : SV_VertexID)
{
    FullscreenVertex f = fullscreenTriangle(id);
    SSAOVertex o;
    o.pos = f.pos;
    o.uv = f.uv;
    o.region = float4(gRegionScale, gRegionOffset);
    rebuildTerms(o.rebuild, o.rebuild2);
    float4 cx = projColumn(0), cy = projColumn(1), cw = projColumn(3);
    o.toU = 0.5 * (cx + cw);
    o.toV = 0.5 * (cw - cy);
    o.toW = cw;
    o.fade = float4(gOcclusionFadeEnd, 1.0 / max(gOcclusionFadeEnd - gOcclusionFadeStart, 1e-5), gSurfaceEpsilon,
                    gOcclusionPower);
    o.randomScale = float3(gScreenSize / 8.0, gOcclusionRadius);
    o.shift = -0.5 / gScreenSize;
    return o;
}

// The depth between the four texels around a sample point, weighted as a bilinear read
// would weigh them, from one gather of the depth channel alone: a CPU driver filters all
// four channels of a bilinear read, which costs more than the weights worked out here.
// The gather's footprint is placed by the texel pair's shared corner, so that it covers
// the same texels (clamped the same way) as the filtered read.
float depthAt(float2 uvOverRegion, float4 region, float2 size)
{
    float2 t = regionToSource(uvOverRegion, region.xy, region.zw) * size - 0.5;
    float2 f = frac(t);
    float4 g = gNormalDepth.GatherAlpha(gNormalSampler, (floor(t) + 1.0) / size);  // (0,1) (1,1) (1,0) (0,0)
    return lerp(lerp(g.w, g.z, f.x), lerp(g.x, g.y, f.x), f.y);
}

bool hasSurface(float depth)
{
    return depth < kGBufferNothing * 0.5;
}

// r: the occlusion, gba: the depth of the pixel it stands for.
float4 PS(SSAOVertex i) : SV_TARGET
{
    float2 uv = i.uv + i.shift;
    float4 nd = gNormalDepth.SampleLevel(gTexelSampler, regionToSource(uv, i.region.xy, i.region.zw), 0);
    GBufferSample g = decodeGBuffer(0, nd, 0, 0, 0);
    float depth = g.viewDepth;
    if (!hasSurface(depth))
        return float4(1, depthToBytes(depth));
    float3 n = normalize(g.viewNormal);
    float2 ndc = viewportUvToNdc(uv);
    float3 p = float3(ndc * (depth * i.rebuild.xy + i.rebuild.zw) + depth * i.rebuild2.xy + i.rebuild2.zw, depth);

    float3 random = gRandomVectors.SampleLevel(gTexelSampler, frac(i.uv * i.randomScale.xy), 0).rgb * 2.0 - 1.0;
    random = dot(random, random) > 1e-6 ? normalize(random) : float3(0, 0, 1);

    float w, h;
    gNormalDepth.GetDimensions(w, h);
    float2 size = float2(w, h);
    float occlusion = 0.0;
    [unroll]
    for (int k = 0; k < kSamples; ++k)
    {
        float3 offset = reflect(gOffsets[k].xyz * i.randomScale.z, random);
        float3 q = p + (dot(offset, n) < 0.0 ? -offset : offset);
        float4 q1 = float4(q, 1.0);
        float2 quv = float2(dot(q1, i.toU), dot(q1, i.toV)) / dot(q1, i.toW);
        if (any(quv < 0.0) || any(quv > 1.0))
            continue;  // off the picture: nothing known there
        float rz = depthAt(quv, i.region, size);
        if (!hasSurface(rz) || q.z <= 0.0)
            continue;
        float3 r = (rz / q.z) * q;
        float distZ = p.z - r.z;
        float facing = max(dot(n, normalize(r - p + 1e-6)), 0.0);
        float fade = distZ <= i.fade.z ? 0.0 : saturate((i.fade.x - distZ) * i.fade.y);
        occlusion += facing * fade;
    }
    float access = 1.0 - occlusion * (1.0 / kSamples);
    float ao = saturate(pow(saturate(access), i.fade.w));
    return float4(ao, depthToBytes(depth));
}

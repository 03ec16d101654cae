// Edge-aware blur of the occlusion (vertical and horizontal entries) and the combine that
// darkens the picture with it. The occlusion is made and blurred at half the size (ssao.hlsl)
// in the top-left quarter of its full-size targets: each of its pixels holds the occlusion
// (r) and the depth (gba, three bytes) of the full-size pixel it stands for, the top-left of
// the 2 x 2 it covers, and the region lies at half the destination's pixels. Blur taps whose
// normal or depth differ from the centre's are left out, so occlusion does not bleed across
// silhouettes; the combine weighs the four half-size pixels around each pixel as a bilinear
// read would, times how close their depth lies to the pixel's own, so that edges stay as
// sharp as the picture's. No read leaves the half-size region: the rest of the targets holds
// whatever an earlier frame or effect left there.
#include "common/depthBytes.hlsli"
#include "common/fullscreen.hlsli"
#include "common/gbuffer.hlsli"

cbuffer SSAOBlurConstants : register(b0)
{
    float2 gRegionScale;
    float2 gRegionOffset;
    float4 gHalfRect;  // the half-size region's first and last texel in the occlusion targets
};

Texture2D gInput : register(t0);        // occlusion (combine: the picture)
// Normal and linear depth of G-buffer image 1, through the shared decoding.
float3 normalOf(float4 normalDepth)
{
    return decodeGBuffer(0, normalDepth, 0, 0, 0).viewNormal;
}

float depthOf(float4 normalDepth)
{
    return decodeGBuffer(0, normalDepth, 0, 0, 0).viewDepth;
}

Texture2D gNormalDepth : register(t1);  // G-buffer normal and depth (combine: occlusion)
Texture2D gCombineNormalDepth : register(t2);  // combine: the G-buffer normal and depth
SamplerState gInputSampler : register(s0);
SamplerState gNormalSampler : register(s1);
SamplerState gCombineNormalSampler : register(s2);

static const int kRadius = 4;
static const float kWeights[kRadius + 1] = {0.2270, 0.1945, 0.1216, 0.0540, 0.0162};

struct SSAOBlurVertex
{
    float4 pos : SV_POSITION;
    float2 uv : TEXCOORD0;
    nointerpolation float4 halfRect : TEXCOORD1;
};

SSAOBlurVertex VS(uint id : SV_VertexID)
{
    FullscreenVertex f = fullscreenTriangle(id);
    SSAOBlurVertex o;
    o.pos = f.pos;
    o.uv = f.uv;
    o.halfRect = gHalfRect;
    return o;
}

float4 blur(SSAOBlurVertex i, float2 direction)
{
    float w, h, nw, nh;
    gInput.GetDimensions(w, h);
    gNormalDepth.GetDimensions(nw, nh);
    float2 aoTexel = 1.0 / float2(w, h);
    float2 aoUV = i.pos.xy * aoTexel;
    // The full-size pixel this one stands for, and those its neighbours stand for: two
    // full-size pixels apart.
    float2 nTexel = 1.0 / float2(nw, nh);
    float2 nUV = regionToSource(i.uv, gRegionScale, gRegionOffset) - 0.5 * nTexel;
    // Taps stay inside the region: the samplers wrap, the far edge is no neighbour, and past
    // the half-size region the occlusion targets hold no occlusion of this frame.
    float2 aoLo = (i.halfRect.xy + 0.5) * aoTexel, aoHi = (i.halfRect.zw + 0.5) * aoTexel;
    float2 nLo = gRegionOffset + 0.5 * nTexel, nHi = gRegionOffset + gRegionScale - 0.5 * nTexel;
    float3 n = normalOf(gNormalDepth.SampleLevel(gNormalSampler, nUV, 0));
    float4 centre = gInput.SampleLevel(gInputSampler, aoUV, 0);
    float z = depthFromBytes(centre.gba);
    float sum = kWeights[0] * centre.r;
    float weights = kWeights[0];
    [unroll]
    for (int k = -kRadius; k <= kRadius; ++k)
    {
        if (k == 0)
            continue;
        float4 nd = gNormalDepth.SampleLevel(gNormalSampler, clamp(nUV + direction * (2 * k) * nTexel, nLo, nHi), 0);
        float4 tap = gInput.SampleLevel(gInputSampler, clamp(aoUV + direction * k * aoTexel, aoLo, aoHi), 0);
        if (dot(normalOf(nd), n) < 0.8 || abs(depthFromBytes(tap.gba) - z) > 0.2 * z)
            continue;
        float weight = kWeights[abs(k)];
        sum += weight * tap.r;
        weights += weight;
    }
    return float4(sum / weights, centre.gba);
}

float4 PSVertical(SSAOBlurVertex i) : SV_TARGET
{
    return blur(i, float2(0, 1));
}

float4 PSHorizontal(SSAOBlurVertex i) : SV_TARGET
{
    return blur(i, float2(1, 0));
}

float4 PSCombine(SSAOBlurVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gInput.SampleLevel(gInputSampler, uv, 0);
    float z = depthOf(gCombineNormalDepth.SampleLevel(gCombineNormalSampler, uv, 0));
    // The half-size pixel j stands for the full-size pixel 2j: in half-size texels, this
    // pixel lies at t, between the four gathered around the corner c (texels c - 1 and c on
    // each axis). At the region's edges the corner stays inside it and the weights lean on
    // the last texel.
    float w, h;
    gNormalDepth.GetDimensions(w, h);
    float2 t = (i.pos.xy - 0.5) * 0.5;
    float2 corner = clamp(floor(t) + 1.0, i.halfRect.xy + 1.0, i.halfRect.zw);
    float2 f = saturate(t - (corner - 1.0));
    float2 at = corner / float2(w, h);
    float4 ao = gNormalDepth.GatherRed(gNormalSampler, at);  // (0,1) (1,1) (1,0) (0,0)
    float4 depth = depthsFromBytes(gNormalDepth.GatherGreen(gNormalSampler, at), gNormalDepth.GatherBlue(gNormalSampler, at),
                                   gNormalDepth.GatherAlpha(gNormalSampler, at));
    float4 bilinear = float4((1.0 - f.x) * f.y, f.x * f.y, f.x * (1.0 - f.y), (1.0 - f.x) * (1.0 - f.y));
    float4 near = saturate(1.0 - abs(depth - z) / max(0.1 * z, 1e-4));
    float4 weight = bilinear * (near + 1e-3);
    float occlusion = dot(weight, ao) / dot(weight, 1.0);
    return float4(c.rgb * occlusion, c.a);
}

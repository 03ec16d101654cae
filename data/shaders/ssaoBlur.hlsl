// Edge-aware blur of the occlusion (vertical and horizontal entries) and the combine that
// darkens the picture with it. The occlusion is made and blurred at half the size (ssao.hlsl):
// each of its pixels holds the occlusion (r) and the depth (g) of the full-size pixel it
// stands for, the top-left of the 2 x 2 it covers, and the half-size targets hold the region
// at half the destination's pixels. Blur taps whose normal or depth differ from the centre's
// are left out, so occlusion does not bleed across silhouettes; the combine weighs the four
// half-size pixels around each pixel as a bilinear read would, times how close their depth
// lies to the pixel's own, so that edges stay as sharp as the picture's.
#include "common/fullscreen.hlsli"
#include "common/gbuffer.hlsli"

cbuffer SSAOBlurConstants : register(b0)
{
    float2 gRegionScale;
    float2 gRegionOffset;
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

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 blur(FullscreenVertex i, float2 direction)
{
    float w, h, nw, nh;
    gInput.GetDimensions(w, h);
    gNormalDepth.GetDimensions(nw, nh);
    float2 aoUV = i.pos.xy / float2(w, h);
    // The full-size pixel this one stands for, and those its neighbours stand for: two
    // full-size pixels apart.
    float2 nTexel = 1.0 / float2(nw, nh);
    float2 nUV = regionToSource(i.uv, gRegionScale, gRegionOffset) - 0.5 * nTexel;
    // Taps stay inside the region: the samplers wrap, and the far edge is no neighbour.
    float2 aoLo = gRegionOffset + 0.5 / float2(w, h), aoHi = gRegionOffset + gRegionScale - 0.5 / float2(w, h);
    float2 nLo = gRegionOffset + 0.5 * nTexel, nHi = gRegionOffset + gRegionScale - 0.5 * nTexel;
    float3 n = normalOf(gNormalDepth.SampleLevel(gNormalSampler, nUV, 0));
    float2 centre = gInput.SampleLevel(gInputSampler, aoUV, 0).rg;
    float z = centre.g;
    float sum = kWeights[0] * centre.r;
    float weights = kWeights[0];
    [unroll]
    for (int k = -kRadius; k <= kRadius; ++k)
    {
        if (k == 0)
            continue;
        float4 nd = gNormalDepth.SampleLevel(gNormalSampler, clamp(nUV + direction * (2 * k) * nTexel, nLo, nHi), 0);
        float2 tap = gInput.SampleLevel(gInputSampler, clamp(aoUV + direction * k / float2(w, h), aoLo, aoHi), 0).rg;
        if (dot(normalOf(nd), n) < 0.8 || abs(tap.g - z) > 0.2 * z)
            continue;
        float weight = kWeights[abs(k)];
        sum += weight * tap.r;
        weights += weight;
    }
    return float4(sum / weights, z, 0.0, 1.0);
}

float4 PSVertical(FullscreenVertex i) : SV_TARGET
{
    return blur(i, float2(0, 1));
}

float4 PSHorizontal(FullscreenVertex i) : SV_TARGET
{
    return blur(i, float2(1, 0));
}

float4 PSCombine(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gInput.SampleLevel(gInputSampler, uv, 0);
    float z = depthOf(gCombineNormalDepth.SampleLevel(gCombineNormalSampler, uv, 0));
    // The half-size pixel j stands for the full-size pixel 2j: in half-size texels, this
    // pixel lies at t, between the four gathered around the corner floor(t) + 1.
    float w, h;
    gNormalDepth.GetDimensions(w, h);
    float2 t = (i.pos.xy - 0.5) * 0.5;
    float2 f = frac(t);
    float2 at = (floor(t) + 1.0) / float2(w, h);
    float4 ao = gNormalDepth.GatherRed(gNormalSampler, at);      // (0,1) (1,1) (1,0) (0,0)
    float4 depth = gNormalDepth.GatherGreen(gNormalSampler, at);
    float4 bilinear = float4((1.0 - f.x) * f.y, f.x * f.y, f.x * (1.0 - f.y), (1.0 - f.x) * (1.0 - f.y));
    float4 near = saturate(1.0 - abs(depth - z) / max(0.1 * z, 1e-4));
    float4 weight = bilinear * (near + 1e-3);
    float occlusion = dot(weight, ao) / dot(weight, 1.0);
    return float4(c.rgb * occlusion, c.a);
}

// Edge-aware blur of the occlusion (vertical and horizontal entries) and the combine that
// darkens the picture with it. Taps whose normal or depth differ from the centre's are
// left out, so occlusion does not bleed across silhouettes. The occlusion targets hold the
// region at the destination's own pixels.
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

bool hasSurface(float depth)
{
    return depth < kGBufferNothing * 0.5;
}

Texture2D gNormalDepth : register(t1);  // G-buffer normal and depth (combine: occlusion)
SamplerState gInputSampler : register(s0);
SamplerState gNormalSampler : register(s1);

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
    float2 nUV = regionToSource(i.uv, gRegionScale, gRegionOffset);
    // Taps stay inside the region: the samplers wrap, and the far edge is no neighbour.
    float2 aoLo = gRegionOffset + 0.5 / float2(w, h), aoHi = gRegionOffset + gRegionScale - 0.5 / float2(w, h);
    float2 nLo = gRegionOffset + 0.5 / float2(nw, nh), nHi = gRegionOffset + gRegionScale - 0.5 / float2(nw, nh);
    float4 centreNd = gNormalDepth.SampleLevel(gNormalSampler, nUV, 0);
    float3 n = normalOf(centreNd);
    float z = depthOf(centreNd);
    float sum = kWeights[0] * gInput.SampleLevel(gInputSampler, aoUV, 0).r;
    float weights = kWeights[0];
    [unroll]
    for (int k = -kRadius; k <= kRadius; ++k)
    {
        if (k == 0)
            continue;
        float4 nd = gNormalDepth.SampleLevel(gNormalSampler, clamp(nUV + direction * k / float2(nw, nh), nLo, nHi), 0);
        if (dot(normalOf(nd), n) < 0.8 || abs(depthOf(nd) - z) > 0.2 * z)
            continue;
        float weight = kWeights[abs(k)];
        sum += weight * gInput.SampleLevel(gInputSampler, clamp(aoUV + direction * k / float2(w, h), aoLo, aoHi), 0).r;
        weights += weight;
    }
    float ao = sum / weights;
    return float4(ao, ao, ao, 1.0);
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
    float4 c = gInput.Sample(gInputSampler, regionToSource(i.uv, gRegionScale, gRegionOffset));
    float w, h;
    gNormalDepth.GetDimensions(w, h);
    float ao = gNormalDepth.Sample(gNormalSampler, i.pos.xy / float2(w, h)).r;
    return float4(c.rgb * ao, c.a);
}

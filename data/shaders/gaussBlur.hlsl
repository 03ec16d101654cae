// Separable Gaussian blur: a horizontal pass into an intermediate target, then a vertical
// pass into the destination. The radius is in pixels of a 1080-line picture (scaled with
// the region's height) and reaches three standard deviations; the weights are normalised,
// so the blur keeps the average brightness. Samples stay inside the region. The vertical
// pass scales the result by the intensity.
#include "common/fullscreen.hlsli"

cbuffer GaussBlurConstants : register(b0)
{
    float2 gRegionScale;
    float2 gRegionOffset;
    float gRadius;
    float gIntensity;
};

Texture2D gSource : register(t0);
SamplerState gSourceSampler : register(s0);

static const int kMaxFetchesPerSide = 8;

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float gaussian(float x, float sigma)
{
    return exp(-x * x / (2.0 * sigma * sigma));
}

// Pairs of neighbouring taps are read with one bilinear fetch placed between them by their
// weights; taps are a pixel apart up to 16 pixels of radius, further apart beyond.
float4 blur(float2 uvOverRegion, float2 direction)
{
    float w, h;
    gSource.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    float2 lo = gRegionOffset + 0.5 * texel;
    float2 hi = gRegionOffset + gRegionScale - 0.5 * texel;
    float2 uv = regionToSource(uvOverRegion, gRegionScale, gRegionOffset);
    float radius = max(gRadius, 0.0) * gRegionScale.y * h / 1080.0;
    float4 centre = gSource.SampleLevel(gSourceSampler, clamp(uv, lo, hi), 0);
    if (radius < 0.5)
        return centre;
    float sigma = radius / 3.0;
    float spacing = max(1.0, radius / (2.0 * kMaxFetchesPerSide));
    int pairs = min(int(ceil(radius / (2.0 * spacing))), kMaxFetchesPerSide);
    float4 sum = centre;
    float weights = 1.0;
    [loop]
    for (int k = 0; k < pairs; ++k)
    {
        float x1 = (2.0 * k + 1.0) * spacing, x2 = x1 + spacing;
        float w1 = gaussian(x1, sigma), w2 = gaussian(x2, sigma);
        float pairWeight = w1 + w2;
        float2 offset = direction * ((x1 * w1 + x2 * w2) / pairWeight) * texel;
        sum += pairWeight * (gSource.SampleLevel(gSourceSampler, clamp(uv + offset, lo, hi), 0) +
                             gSource.SampleLevel(gSourceSampler, clamp(uv - offset, lo, hi), 0));
        weights += 2.0 * pairWeight;
    }
    return sum / weights;
}

float4 PSHorizontal(FullscreenVertex i) : SV_TARGET
{
    return blur(i.uv, float2(1, 0));
}

float4 PSVertical(FullscreenVertex i) : SV_TARGET
{
    float4 c = blur(i.uv, float2(0, 1));
    return float4(c.rgb * gIntensity, c.a);
}

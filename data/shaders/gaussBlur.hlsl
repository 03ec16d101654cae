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

static const int kMaxTapsPerSide = 32;

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 blur(float2 uvOverRegion, float2 direction)
{
    float w, h;
    gSource.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    float2 lo = gRegionOffset + 0.5 * texel;
    float2 hi = gRegionOffset + gRegionScale - 0.5 * texel;
    float2 uv = regionToSource(uvOverRegion, gRegionScale, gRegionOffset);
    float radius = max(gRadius, 0.0) * gRegionScale.y * h / 1080.0;
    if (radius < 0.5)
        return gSource.SampleLevel(gSourceSampler, clamp(uv, lo, hi), 0);
    float sigma = radius / 3.0;
    int taps = min(int(ceil(radius)), kMaxTapsPerSide);
    float step = radius / float(taps);
    float4 sum = 0;
    float weights = 0;
    [loop]
    for (int k = -taps; k <= taps; ++k)
    {
        float x = float(k) * step;
        float weight = exp(-x * x / (2.0 * sigma * sigma));
        sum += weight * gSource.SampleLevel(gSourceSampler, clamp(uv + direction * x * texel, lo, hi), 0);
        weights += weight;
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

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
    float gIntensity;
    float gCentreWeight;   // the centre tap's normalised weight (1 when nothing is blurred)
    int gPairs;            // bilinear fetches on each side of the centre
    float4 gPairTaps[8];   // x: distance of a side's fetch in pixels, y: its normalised weight
};

Texture2D gSource : register(t0);
SamplerState gSourceSampler : register(s0);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

// The weights and distances depend only on the radius and the picture's height, so the
// manager computes them once per pass (two Gaussian weights folded into one bilinear fetch
// between them, spacing widened so that at most eight fetches a side cover the radius);
// every pixel then only reads and sums.
float4 blur(float2 uvOverRegion, float2 direction)
{
    float w, h;
    gSource.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    float2 lo = gRegionOffset + 0.5 * texel;
    float2 hi = gRegionOffset + gRegionScale - 0.5 * texel;
    float2 uv = regionToSource(uvOverRegion, gRegionScale, gRegionOffset);
    float4 sum = gCentreWeight * gSource.SampleLevel(gSourceSampler, clamp(uv, lo, hi), 0);
    [loop]
    for (int k = 0; k < gPairs; ++k)
    {
        float2 offset = direction * gPairTaps[k].x * texel;
        sum += gPairTaps[k].y * (gSource.SampleLevel(gSourceSampler, clamp(uv + offset, lo, hi), 0) +
                                 gSource.SampleLevel(gSourceSampler, clamp(uv - offset, lo, hi), 0));
    }
    return sum;
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

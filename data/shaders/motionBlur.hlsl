// Motion blur along velocity tiles. The G-buffer's velocity (uv units of the whole target per
// the 1 ms between a matrix and its previous twin) is reduced to tiles of a quarter of the
// viewport, each holding the longest velocity of its neighbourhood: PSDownsample keeps the
// longest of each 2 x 2 block (dropping motion shorter than half a pixel of blur),
// PSBlurV and PSBlurH spread the longest vector over a one-tile neighbourhood vertically
// and horizontally. The main entry averages the picture along its tile's velocity times
// the strength, and blends that in by alpha (and the mask's luminance when there is a mask).
#include "common/fullscreen.hlsli"
#include "common/color.hlsli"
#include "common/gbuffer.hlsli"

cbuffer MotionBlurConstants : register(b0)
{
    float gStrength;
    float gAlpha;
    float2 gRegionScale;
    float2 gRegionOffset;
    float2 gScreenSize;
    int gMaskImageConnected;
};

Texture2D gInput : register(t0);
Texture2D gTiles : register(t1);
Texture2D gMask : register(t2);
SamplerState gInputSampler : register(s0);
SamplerState gTilesSampler : register(s1);
SamplerState gMaskSampler : register(s2);

static const int kSamples = 16;
static const float kMaxBlurPixels = 96.0;

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float2 longer(float2 a, float2 b)
{
    return dot(b, b) > dot(a, a) ? b : a;
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float w, h;
    gInput.GetDimensions(w, h);
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gInput.SampleLevel(gInputSampler, uv, 0);
    float2 blur = gTiles.SampleLevel(gTilesSampler, i.uv, 0).rg * gStrength;  // uv of the whole target
    float pixels = length(blur * float2(w, h));
    if (pixels < 0.5)
        return c;
    blur *= min(1.0, kMaxBlurPixels / pixels);
    float2 lo = gRegionOffset + 0.5 / float2(w, h), hi = gRegionOffset + gRegionScale - 0.5 / float2(w, h);
    float4 sum = 0;
    for (int k = 0; k < kSamples; ++k)
    {
        float2 at = uv + blur * ((float(k) + 0.5) / float(kSamples) - 0.5);
        sum += gInput.SampleLevel(gInputSampler, clamp(at, lo, hi), 0);
    }
    sum /= float(kSamples);
    float amount = saturate(gAlpha * maskWeight(gMaskImageConnected, gMask.SampleLevel(gMaskSampler, uv, 0)));
    return lerp(c, sum, amount);
}

float4 PSDownsample(FullscreenVertex i) : SV_TARGET
{
    float w, h;
    gInput.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float2 v = gInput.SampleLevel(gInputSampler, uv + texel * float2(-0.5, -0.5), 0).rg;
    v = longer(v, gInput.SampleLevel(gInputSampler, uv + texel * float2(0.5, -0.5), 0).rg);
    v = longer(v, gInput.SampleLevel(gInputSampler, uv + texel * float2(-0.5, 0.5), 0).rg);
    v = longer(v, gInput.SampleLevel(gInputSampler, uv + texel * float2(0.5, 0.5), 0).rg);
    if (length(v * gStrength * float2(w, h)) < 0.5)  // under half a pixel of blur
        v = 0;
    return float4(v, 0, 0);
}

// Half size in, quarter size out: each output covers two input rows, plus two above and below.
float4 PSBlurV(FullscreenVertex i) : SV_TARGET
{
    float w, h;
    gInput.GetDimensions(w, h);
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float2 v = 0;
    for (int row = -3; row < 3; ++row)
        for (int column = -1; column < 1; ++column)
            v = longer(v, gInput.SampleLevel(gInputSampler, uv + float2(column + 0.5, row + 0.5) / float2(w, h), 0).rg);
    return float4(v, 0, 0);
}

float4 PSBlurH(FullscreenVertex i) : SV_TARGET
{
    float w, h;
    gInput.GetDimensions(w, h);
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float2 v = 0;
    for (int column = -1; column <= 1; ++column)
        v = longer(v, gInput.SampleLevel(gInputSampler, uv + float2(column, 0) / float2(w, h), 0).rg);
    return float4(v, 0, 0);
}

// Velocity from camera motion alone, for pictures without a velocity image: the view
// position rebuilt from linear depth is taken to the previous frame's clip space.
cbuffer VelocityFromViewConstants : register(b1)
{
    float4x4 gViewToPreviousClip;
    float4 gFrustumCorner;
};

float4 PSVelocityFromView(FullscreenVertex i) : SV_TARGET
{
    float4 normalDepth = gInput.SampleLevel(gInputSampler, regionToSource(i.uv, gRegionScale, gRegionOffset), 0);
    float depth = decodeGBuffer(0, normalDepth, 0, 0, 0).viewDepth;
    if (depth >= kGBufferNothing * 0.5)
        return 0;
    float3 p = float3(viewportUvToNdc(i.uv) * gFrustumCorner.xy, gFrustumCorner.z) * (depth / gFrustumCorner.z);
    float4 previous = mul(float4(p, 1.0), gViewToPreviousClip);
    float2 previousUV = float2(previous.x / previous.w * 0.5 + 0.5, 0.5 - previous.y / previous.w * 0.5);
    return float4((i.uv - previousUV) * gRegionScale, 0, 0);
}

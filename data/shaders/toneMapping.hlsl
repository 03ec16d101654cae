// Filmic tone mapping: optional sharpening (an unsharp mask over the four neighbours),
// exposure, the fitted ACES curve, and the sRGB transfer curve for display. The result is
// display-ready: later grading and anti-aliasing work on what the viewer sees.
#include "common/fullscreen.hlsli"
#include "common/color.hlsli"

cbuffer ToneMappingConstants : register(b0)
{
    float gExposure;
    float gSharpen;
    float2 gRegionScale;
    float2 gRegionOffset;
};

Texture2D gSource : register(t0);
SamplerState gSourceSampler : register(s0);

// The exposure and the source uv come from the vertex shader (see common/fullscreen.hlsli).
struct ToneVertex
{
    float4 pos : SV_POSITION;
    float2 uv : TEXCOORD0;  // in the source
    nointerpolation float2 exposureSharpen : TEXCOORD1;
};

ToneVertex mainVS(uint id : SV_VertexID)
{
    FullscreenVertex f = fullscreenTriangle(id);
    ToneVertex o;
    o.pos = f.pos;
    o.uv = regionToSource(f.uv, gRegionScale, gRegionOffset);
    o.exposureSharpen = float2(gExposure, gSharpen);
    return o;
}

// Narkowicz's fit of the ACES reference rendering transform; rises monotonically and
// shoulders off towards white.
float3 acesFilm(float3 x)
{
    x = max(x, 0.0);
    return saturate((x * (2.51 * x + 0.03)) / (x * (2.43 * x + 0.59) + 0.14));
}

// The sRGB curve with x^(1/2.4) replaced by a fit on three square roots (within 0.001 of the
// exact curve, a quarter of an 8-bit step at worst): a pow per channel cost more than the
// rest of the pass on a CPU driver, square roots are single instructions. The linear toe
// hands over where the fit meets it (0.00214), so the curve stays continuous and monotonic.
float3 linearToSrgbFast(float3 c)
{
    c = saturate(c);
    float3 s1 = sqrt(c), s2 = sqrt(s1), s3 = sqrt(s2);
    float3 hi = 0.662002687 * s1 + 0.684122060 * s2 - 0.323583601 * s3 - 0.0225411470 * c;
    return c <= 0.00214 ? c * 12.92 : hi;
}

float4 displayReady(float3 rgb, float exposure, float alpha)
{
    return float4(linearToSrgbFast(acesFilm(rgb * exposure)), alpha);
}

// Two entries, picked on the CPU by whether sharpening is on: a CPU driver runs both sides
// of a branch on a constant, and the four extra fetches would cost more than the pass.
float4 mainPS(ToneVertex i) : SV_TARGET
{
    float4 c = gSource.SampleLevel(gSourceSampler, i.uv, 0);
    return displayReady(c.rgb, i.exposureSharpen.x, c.a);
}

float4 mainPSSharpen(ToneVertex i) : SV_TARGET
{
    float2 uv = i.uv;
    float4 c = gSource.SampleLevel(gSourceSampler, uv, 0);
    float w, h;
    gSource.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    float3 around = gSource.SampleLevel(gSourceSampler, uv + float2(texel.x, 0), 0).rgb
                  + gSource.SampleLevel(gSourceSampler, uv - float2(texel.x, 0), 0).rgb
                  + gSource.SampleLevel(gSourceSampler, uv + float2(0, texel.y), 0).rgb
                  + gSource.SampleLevel(gSourceSampler, uv - float2(0, texel.y), 0).rgb;
    return displayReady(max(c.rgb + i.exposureSharpen.y * (c.rgb - around * 0.25), 0.0), i.exposureSharpen.x, c.a);
}

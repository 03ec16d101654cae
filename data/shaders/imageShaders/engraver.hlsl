// Engraving: the picture redrawn as parallel ink lines whose width follows its darkness.
// Lines run at gRotation radians, gScale lines per 8 pixels (spacing 8 / gScale pixels,
// at least 2). Where the picture's luminance raised to gPower is L, a line covers 1 - L of
// its spacing, centred at gLineCenter within it, so dark parts turn to ink and bright parts
// stay clear. gDistortionType bends the lines by the G-buffer normal picture in slot 1:
// 1 "Normal" by the normal along the lines' direction, 2 "Depth" by the linear depth,
// each times gDistortionScale (in spacings); 0 leaves them straight. Ink is black; the
// paper keeps the picture's colour.
#include "../common/fullscreen.hlsli"
#include "../common/gbuffer.hlsli"
#include "../common/color.hlsli"

cbuffer EngraverConstants : register(b0)
{
    float2 gResolution;
    float2 gRegionScale;
    float2 gRegionOffset;
    float gScale;
    float gRotation;
    float gPower;
    int gDistortionType;
    float gDistortionScale;
    float gLineCenter;
};

Texture2D gImage : register(t0);
Texture2D gNormalDepth : register(t1);
SamplerState gImageSampler : register(s0);
SamplerState gNormalSampler : register(s1);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gImage.SampleLevel(gImageSampler, uv, 0);
    float2 along = float2(cos(gRotation), sin(gRotation));
    float spacing = max(2.0, 8.0 / max(gScale, 1e-3));
    float s = dot(i.uv * gResolution, float2(-along.y, along.x)) / spacing;
    if (gDistortionType != 0)
    {
        GBufferSample g = decodeGBuffer(0, gNormalDepth.SampleLevel(gNormalSampler, uv, 0), 0, 0, 0);
        float bend = gDistortionType == 1 ? dot(g.viewNormal.xy, along)
                                          : (g.viewDepth < kGBufferNothing * 0.5 ? g.viewDepth : 0.0);
        s += bend * gDistortionScale;
    }
    float light = pow(saturate(luminance(c.rgb)), max(gPower, 1e-3));
    float offset = abs(frac(s) - frac(gLineCenter));
    offset = min(offset, 1.0 - offset);  // distance to the line's centre, in spacings
    float halfWidth = 0.5 * (1.0 - light);
    // A pixel's share of ink, smoothed over its footprint; lines thinner than a pixel fade
    // out rather than leaving a half-covered trace at zero width.
    float aa = max(fwidth(s), 1e-4);
    float ink = saturate((halfWidth - offset) / aa + 0.5) * saturate(2.0 * halfWidth / aa);
    return float4(c.rgb * (1.0 - ink), c.a);
}

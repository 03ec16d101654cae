// Depth of field with hexagonal bokeh. The circle of confusion is linear in the depth-buffer
// value (coc = depth * gCoCScale + gCoCBias, in pixels of a 1080-line picture). PSCalcCoCSize
// stores colour and blur radius; the hexagon is then gathered as three rhombi with two
// passes of one-directional blurs (up, down-left, down-right: pass 0 writes the upward blur
// and upward + down-left into two targets, pass 1 blurs them down-left and down-right and
// averages the three), and PSCombine blends the blurred picture in where the circle is
// larger than a pixel. A sample only counts where its own circle reaches the pixel, so
// sharp things do not smear into their blurred surroundings.
#include "common/fullscreen.hlsli"

cbuffer DOFConstants : register(b0)
{
    float gCoCScale;
    float gCoCBias;
};

Texture2D gInput0 : register(t0);
Texture2D gInput1 : register(t1);
SamplerState gSampler0 : register(s0);
SamplerState gSampler1 : register(s1);

static const float kMaxRadius = 32.0;  // pixels of a 1080-line picture
static const int kTaps = 8;
static const float2 kUp = float2(0.0, -1.0);
static const float2 kDownLeft = float2(-0.8660254, 0.5);
static const float2 kDownRight = float2(0.8660254, 0.5);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PSCalcCoCSize(FullscreenVertex i) : SV_TARGET
{
    float w, h;
    gInput0.GetDimensions(w, h);
    float4 colour = gInput0.Sample(gSampler0, i.uv);
    float depth = gInput1.Sample(gSampler1, i.uv).r;
    float coc = clamp(abs(depth * gCoCScale + gCoCBias), 0.0, kMaxRadius);
    return float4(colour.rgb, coc * h / 1080.0);  // alpha: radius in pixels of this picture
}

// The mean along one direction over the centre's circle; alpha carries the centre's radius.
float4 blurAlong(Texture2D input, SamplerState s, float2 uv, float2 direction)
{
    float w, h;
    input.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    float4 centre = input.SampleLevel(s, uv, 0);
    float radius = centre.a;
    float3 sum = 0;
    float weights = 0;
    for (int k = 0; k < kTaps; ++k)
    {
        float d = (float(k) + 0.5) / float(kTaps) * radius;
        float4 tap = input.SampleLevel(s, uv + direction * d * texel, 0);
        float weight = saturate(tap.a - d + 1.0);
        sum += tap.rgb * weight;
        weights += weight;
    }
    return float4(weights > 0.0 ? sum / weights : centre.rgb, radius);
}

struct HexTargets
{
    float4 vertical : SV_TARGET0;
    float4 verticalAndDiagonal : SV_TARGET1;
};

HexTargets PSHexBlurPass0(FullscreenVertex i)
{
    HexTargets o;
    float4 up = blurAlong(gInput0, gSampler0, i.uv, kUp);
    float4 downLeft = blurAlong(gInput0, gSampler0, i.uv, kDownLeft);
    o.vertical = up;
    o.verticalAndDiagonal = float4(up.rgb + downLeft.rgb, up.a);
    return o;
}

float4 PSHexBlurPass1(FullscreenVertex i) : SV_TARGET
{
    float4 a = blurAlong(gInput0, gSampler0, i.uv, kDownLeft);
    float4 b = blurAlong(gInput1, gSampler1, i.uv, kDownRight);
    return float4((a.rgb + b.rgb) / 3.0, a.a);
}

float4 PSCombine(FullscreenVertex i) : SV_TARGET
{
    float4 sharp = gInput0.Sample(gSampler0, i.uv);
    float4 blurred = gInput1.Sample(gSampler1, i.uv);
    float amount = saturate(blurred.a - 0.5);
    return float4(lerp(sharp.rgb, blurred.rgb, amount), sharp.a);
}

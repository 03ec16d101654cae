// Depth of field with hexagonal bokeh. The circle of confusion is linear in the depth-buffer
// value (coc = depth * gCoCScale + gCoCBias, in pixels of a 1080-line picture). PSCalcCoCSize
// stores colour and blur radius; the hexagon is then gathered as three rhombi with two
// passes of one-directional blurs (up, down-left, down-right: pass 0 writes the upward blur
// and upward + down-left into two targets, pass 1 blurs them down-left and down-right and
// averages the three), and PSCombine blends the blurred picture in where the circle is
// larger than a pixel. A sample only counts where its own circle reaches the pixel, so
// sharp things do not smear into their blurred surroundings.
//
// PSCombine shows the sharp picture wherever the circle is half a pixel or less (kSharp),
// whatever pass 1 left there: PSBlockRadius writes the widest circle of every 16 x 16 block,
// and TileVS draws pass 1 only over the blocks with a wider one, over a target cleared to
// nothing (a circle of 0). On a CPU driver a full-screen pass costs every pixel, whatever
// the pixels return.
//
// Most of a picture is near the focus, where the circles are a few pixels wide and eight
// taps a direction fall a fraction of a pixel apart: filtered reads that close add nothing a
// read every pixel does not. So both blurs are drawn in two parts, each over its own blocks:
// the blocks whose widest circle is at most gNarrowRadius pixels take kNarrowTaps taps a
// direction (NarrowTileVS, the ...Narrow entries), the others kTaps (TileVS).
#include "common/fullscreen.hlsli"

cbuffer DOFConstants : register(b0)
{
    float gCoCScale;
    float gCoCBias;
    float2 gTargetSize;   // TileVS, NarrowTileVS: the size in pixels of the target they draw
    float gEveryBlock;    // 1 draws the sharp blocks too (pass 0, and a filtered combine)
    float gNarrowRadius;  // blocks whose widest circle is at most this take the narrow blurs
};

Texture2D gInput0 : register(t0);
Texture2D gInput1 : register(t1);
Texture2D gBlockRadius : register(t2);  // TileVS: from PSBlockRadius
SamplerState gSampler0 : register(s0);
SamplerState gSampler1 : register(s1);

static const float kMaxRadius = 32.0;  // pixels of a 1080-line picture
static const float kSharp = 0.5;       // PSCombine shows the sharp picture up to this radius
static const int kBlock = 16;          // the manager sizes the block target by the same edge
static const int kTaps = 8;
static const int kNarrowTaps = 4;
static const float2 kUp = float2(0.0, -1.0);
static const float2 kDownLeft = float2(-0.8660254, 0.5);
static const float2 kDownRight = float2(0.8660254, 0.5);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

// Which blocks the tile vertex stage is drawing: the narrow ones or the others.
static bool sNarrowBlocks = false;

bool blockChosen(int2 block, int2 blocks)
{
    float widest = gBlockRadius.Load(int3(block, 0)).r;
    return (gEveryBlock > 0.5 || widest > kSharp) && (widest <= gNarrowRadius) == sNarrowBlocks;
}

#include "common/blockRuns.hlsli"

FullscreenVertex TileVS(uint id : SV_VertexID)
{
    sNarrowBlocks = false;
    return blockRunVertex(id, kBlock, gTargetSize);
}

FullscreenVertex NarrowTileVS(uint id : SV_VertexID)
{
    sNarrowBlocks = true;
    return blockRunVertex(id, kBlock, gTargetSize);
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
// The blur passes draw whole targets of their inputs' size, so the centre is the texel at
// the pixel: a load, which costs far less than the filtered read at its centre that it equals.
float4 blurAlong(Texture2D input, SamplerState s, float2 uv, float4 centre, float2 direction, int taps)
{
    float w, h;
    input.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    float radius = centre.a;
    float3 sum = 0;
    float weights = 0;
    for (int k = 0; k < taps; ++k)
    {
        float d = (float(k) + 0.5) / float(taps) * radius;
        float4 tap = input.SampleLevel(s, uv + direction * d * texel, 0);
        float weight = saturate(tap.a - d + 1.0);
        sum += tap.rgb * weight;
        weights += weight;
    }
    return float4(weights > 0.0 ? sum / weights : centre.rgb, radius);
}

// The widest circle (PSCalcCoCSize's alpha, in gInput0) over the 16 x 16 block of it that
// this pixel stands for.
float4 PSBlockRadius(FullscreenVertex i) : SV_TARGET
{
    float w, h;
    gInput0.GetDimensions(w, h);
    int2 first = int2(i.pos.xy) * kBlock;
    int2 last = min(first + kBlock, int2(w, h)) - 1;
    float widest = 0.0;
    for (int y = first.y; y <= last.y; ++y)
        for (int x = first.x; x <= last.x; ++x)
            widest = max(widest, gInput0.Load(int3(x, y, 0)).a);
    return widest;
}

struct HexTargets
{
    float4 vertical : SV_TARGET0;
    float4 verticalAndDiagonal : SV_TARGET1;
};

HexTargets hexBlurPass0(FullscreenVertex i, int taps)
{
    HexTargets o;
    float4 centre = gInput0.Load(int3(i.pos.xy, 0));
    float4 up = blurAlong(gInput0, gSampler0, i.uv, centre, kUp, taps);
    float4 downLeft = blurAlong(gInput0, gSampler0, i.uv, centre, kDownLeft, taps);
    o.vertical = up;
    o.verticalAndDiagonal = float4(up.rgb + downLeft.rgb, up.a);
    return o;
}

HexTargets PSHexBlurPass0(FullscreenVertex i)
{
    return hexBlurPass0(i, kTaps);
}

HexTargets PSHexBlurPass0Narrow(FullscreenVertex i)
{
    return hexBlurPass0(i, kNarrowTaps);
}

float4 hexBlurPass1(FullscreenVertex i, int taps)
{
    int3 pixel = int3(i.pos.xy, 0);
    float4 a = blurAlong(gInput0, gSampler0, i.uv, gInput0.Load(pixel), kDownLeft, taps);
    float4 b = blurAlong(gInput1, gSampler1, i.uv, gInput1.Load(pixel), kDownRight, taps);
    return float4((a.rgb + b.rgb) / 3.0, a.a);
}

float4 PSHexBlurPass1(FullscreenVertex i) : SV_TARGET
{
    return hexBlurPass1(i, kTaps);
}

float4 PSHexBlurPass1Narrow(FullscreenVertex i) : SV_TARGET
{
    return hexBlurPass1(i, kNarrowTaps);
}

float4 PSCombine(FullscreenVertex i) : SV_TARGET
{
    float4 sharp = gInput0.Sample(gSampler0, i.uv);
    float4 blurred = gInput1.Sample(gSampler1, i.uv);
    float amount = saturate(blurred.a - 0.5);
    return float4(lerp(sharp.rgb, blurred.rgb, amount), sharp.a);
}

// Screen-space reflections, blur: one direction of a 9-tap blur of the reflection picture
// across gTexelOffsetScale (the blur radius in viewport uv, along x or y), weighted so
// that it stays on one surface: a tap counts only where there is geometry, by how close
// its normal is to the centre's (full weight at the same normal, none below a cosine of
// 1 - gNormalBias) and by its depth difference (none beyond gDepthBias times the centre's
// depth). Colours are averaged by their reflection amounts (alpha), so taps without a
// reflection dilute the amount but do not darken the colour.
//
// The taps of the reflection picture are read first: where none of them holds a reflection
// the result is nothing whatever the surfaces are, and the pixel stops there (most of a
// frame: the sky, rough surfaces, a mirror that shows only the sky), before the surface reads.
//
// On a CPU driver that return saves nothing (a group runs both sides of a branch; only a loop
// that every pixel leaves stops early), and the result there is the nothing the targets were
// cleared to. So the passes draw only the blocks of the viewport (16 x 16 pixels, as the
// reflection pass's) near a block that holds a reflection (ReflectedTilePS in ssr.hlsl):
// TileVS turns each row of blocks into one rectangle per run of blocks to draw (one diagonal
// per run: both triangles of a quad shade the pixel groups it cuts) and collapses the others.
// The vertical blur reads its picture wrapping round, so its blocks by the top and bottom
// edges look at the blocks by the other edge as well.
// CompositePS is the copy of the blurred reflections that SSROp blends over the picture, over
// the same blocks as the vertical blur.
#include "common/fullscreen.hlsli"
#include "common/gbuffer.hlsli"

cbuffer BlurConstants : register(b0)
{
    float2 gRegionScale;
    float2 gRegionOffset;
    float gNormalBias;
    float gDepthBias;
    float2 gRegionSize;  // viewport width and height in pixels
};

cbuffer BlurStep : register(b1)
{
    float2 gTexelOffsetScale;
    float2 gTileReach;  // blocks within this many of a reflecting one are drawn; negative: all
    float gWrapRows;    // 1 when the pass's picture is read wrapping round vertically
};

Texture2D gReflection : register(t0);
Texture2D gNormalDepth : register(t1);
Texture2D gAlbedo : register(t2);
Texture2D gReflectedTiles : register(t3);  // TileVS: 1 for a block that holds a reflection
SamplerState gReflectionSampler : register(s0);
SamplerState gNormalSampler : register(s1);
SamplerState gAlbedoSampler : register(s2);

static const float kWeights[5] = {0.2270270, 0.1945946, 0.1216216, 0.0540541, 0.0162162};
static const int kTile = 16;  // SSROp sizes the block target by the same edge

// The constants go to the pixels flat: read by the pixels, each would be a load on every one.
struct BlurVertex
{
    float4 pos : SV_POSITION;
    float2 uv : TEXCOORD0;
    nointerpolation float4 region : TEXCOORD1;  // gRegionScale, gRegionOffset
    nointerpolation float4 blur : TEXCOORD2;    // gNormalBias, gDepthBias, the step between taps in source uv
};

BlurVertex withConstants(FullscreenVertex f)
{
    BlurVertex o;
    o.pos = f.pos;
    o.uv = f.uv;
    o.region = float4(gRegionScale, gRegionOffset);
    o.blur = float4(gNormalBias, gDepthBias, gTexelOffsetScale * gRegionScale / 4.0);
    return o;
}

// Every pixel of the viewport.
BlurVertex VS(uint id : SV_VertexID)
{
    return withConstants(fullscreenTriangle(id));
}

// Whether a block from lo to hi (inclusive) holds a reflection.
bool anyReflects(int2 lo, int2 hi)
{
    for (int y = lo.y; y <= hi.y; ++y)
        for (int x = lo.x; x <= hi.x; ++x)
            if (gReflectedTiles.Load(int3(x, y, 0)).r != 0.0)
                return true;
    return false;
}

// Whether a block lies within gTileReach of one that holds a reflection.
bool blockDrawn(int2 tile, int2 tiles)
{
    if (gTileReach.x < 0.0)
        return true;
    int2 reach = int2(gTileReach);
    int2 lo = max(tile - reach, 0), hi = min(tile + reach, tiles - 1);
    if (anyReflects(lo, hi))
        return true;
    if (gWrapRows < 0.5)
        return false;
    // Rows past the top or bottom edge come round from the other edge; one row more there
    // for a last row of blocks that is not whole.
    int under = reach.y - tile.y, over = tile.y + reach.y - (tiles.y - 1);
    if (under > 0 && anyReflects(int2(lo.x, max(tiles.y - 1 - under, 0)), int2(hi.x, tiles.y - 1)))
        return true;
    return over > 0 && anyReflects(int2(lo.x, 0), int2(hi.x, min(over, tiles.y - 1)));
}

bool blockChosen(int2 block, int2 blocks)
{
    return blockDrawn(block, blocks);
}

#include "common/blockRuns.hlsli"

BlurVertex TileVS(uint id : SV_VertexID)
{
    return withConstants(blockRunVertex(id, kTile, gRegionSize));
}

GBufferSample surfaceAt(float2 uv)
{
    return decodeGBuffer(gAlbedo.SampleLevel(gAlbedoSampler, uv, 0), gNormalDepth.SampleLevel(gNormalSampler, uv, 0),
                         0, 0, 0);
}

float4 PS(BlurVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, i.region.xy, i.region.zw);
    float2 tapStep = i.blur.zw;
    float normalBias = i.blur.x, depthBias = i.blur.y;
    float4 taps[9];
    float reflected = 0.0;
    [unroll] for (int k = -4; k <= 4; ++k)
    {
        taps[k + 4] = gReflection.SampleLevel(gReflectionSampler, uv + tapStep * float(k), 0);
        reflected = max(reflected, taps[k + 4].a);
    }
    GBufferSample centre = surfaceAt(uv);
    if (!centre.hasGeometry)
        return taps[4];
    if (!(reflected > 0.0))
        return 0;
    float3 n0 = normalize(centre.viewNormal);
    float weightSum = 0, alphaSum = 0;
    float3 colourSum = 0;
    [unroll] for (int t = -4; t <= 4; ++t)
    {
        float2 at = uv + tapStep * float(t);
        GBufferSample s = surfaceAt(at);
        if (!s.hasGeometry)
            continue;
        float normalWeight = saturate((dot(n0, normalize(s.viewNormal)) - (1.0 - normalBias)) / max(normalBias, 1e-4));
        float depthWeight = saturate(1.0 - abs(s.viewDepth - centre.viewDepth) / max(centre.viewDepth * depthBias, 1e-4));
        float w = kWeights[abs(t)] * normalWeight * depthWeight;
        float4 r = taps[t + 4];
        weightSum += w;
        alphaSum += w * r.a;
        colourSum += w * r.a * r.rgb;
    }
    float alpha = weightSum > 0.0 ? alphaSum / weightSum : 0.0;
    float3 colour = alphaSum > 0.0 ? colourSum / alphaSum : 0.0;
    return float4(colour, alpha);
}

float4 CompositePS(BlurVertex i) : SV_TARGET
{
    return gReflection.SampleLevel(gReflectionSampler, regionToSource(i.uv, i.region.xy, i.region.zw), 0);
}

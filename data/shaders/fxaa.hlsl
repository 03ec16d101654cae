// Fast approximate anti-aliasing on luma edges: find where the local luma contrast is high,
// decide whether the edge runs horizontally or vertically, walk along it both ways to its
// ends, and resample the pixel shifted across the edge by how far it sits from the nearer
// end; a sub-pixel term softens single-pixel features. Best run on the display-ready
// (tone-mapped) picture.
#include "common/fullscreen.hlsli"
#include "common/color.hlsli"

cbuffer FxaaConstants : register(b0)
{
    float2 gRegionScale;
    float2 gRegionOffset;
    float2 gTexelSize;  // of the source
    float2 gAreaSize;   // TileVS, PSEdgeBlocks: the viewport's size in pixels
};

// The picture twice: t0 with a bilinear sampler for the walk along the edge and the final
// shifted read, t1 with a point sampler for the 3 x 3 neighbourhood. Those reads land on
// texel centres (the region maps pixels onto texels one to one), where a point read is what
// a bilinear one gives, for less work on a CPU driver.
Texture2D gSource : register(t0);
Texture2D gTexels : register(t1);
Texture2D gEdgeBlocks : register(t2);  // TileVS: PSEdgeBlocks's marks
SamplerState gSourceSampler : register(s0);
SamplerState gTexelSampler : register(s1);

static const float kEdgeThreshold = 0.125;     // of the local maximum luma
static const float kEdgeThresholdMin = 0.0312; // darker contrasts are left alone
static const float kSubpixel = 0.75;
static const int kSearchSteps = 10;
static const float kStepSizes[kSearchSteps] = {1.0, 1.0, 1.0, 1.5, 2.0, 2.0, 2.0, 2.0, 4.0, 8.0};

// The texel size and the region's edge texel centres are the same for every pixel: the
// vertex shader makes them and hands them on flat (common/fullscreen.hlsli).
struct FxaaVertex
{
    float4 pos : SV_POSITION;
    float2 uv : TEXCOORD0;  // in the source
    nointerpolation float2 texel : TEXCOORD1;
    nointerpolation float4 region : TEXCOORD2;  // xy: the first texel centre, zw: the last
};

FxaaVertex withConstants(FullscreenVertex f)
{
    FxaaVertex o;
    o.pos = f.pos;
    o.uv = regionToSource(f.uv, gRegionScale, gRegionOffset);
    o.texel = gTexelSize;
    o.region = float4(gRegionOffset + 0.5 * o.texel, gRegionOffset + gRegionScale - 0.5 * o.texel);
    return o;
}

FxaaVertex mainVS(uint id : SV_VertexID)
{
    return withConstants(fullscreenTriangle(id));
}

// Most pixels hold no edge and keep their colour, which costs them the whole pass all the
// same on a CPU driver. Where the region maps pixels onto texels one to one, the manager
// copies the picture (PSCopy), PSEdgeBlocks marks the 16 x 16 blocks where some pixel
// passes the edge test below, and TileVS draws mainPS over those blocks only.
static const int kBlock = 16;

bool blockChosen(int2 block, int2 blocks)
{
    return gEdgeBlocks.Load(int3(block, 0)).r != 0.0;
}

#include "common/blockRuns.hlsli"

FxaaVertex TileVS(uint id : SV_VertexID)
{
    return withConstants(blockRectVertex(id, kBlock, gAreaSize));
}

float lumaOf(float3 rgb)
{
    return sqrt(luminance(saturate(rgb)));
}

float4 fetch(float2 uv, float4 region)
{
    return gSource.SampleLevel(gSourceSampler, clamp(uv, region.xy, region.zw), 0);
}

float lumaAt(float2 uv, float4 region)
{
    return lumaOf(fetch(uv, region).rgb);
}

// The luma of the texel at uv plus `offset` texels.
float texelLuma(float2 uv, float2 offset, FxaaVertex i)
{
    float2 at = clamp(uv + offset * i.texel, i.region.xy, i.region.zw);
    return lumaOf(gTexels.SampleLevel(gTexelSampler, at, 0).rgb);
}

// Whether a pixel whose luma and its four neighbours' are these is left as it is.
bool noEdge(float lM, float lN, float lS, float lW, float lE)
{
    float lMax = max(lM, max(max(lN, lS), max(lW, lE)));
    float lMin = min(lM, min(min(lN, lS), min(lW, lE)));
    return lMax - lMin < max(kEdgeThresholdMin, lMax * kEdgeThreshold);
}

// The centre read of mainPS, through t0 with the same point sampler.
float4 PSCopy(FxaaVertex i) : SV_TARGET
{
    return gSource.SampleLevel(gSourceSampler, clamp(i.uv, i.region.xy, i.region.zw), 0);
}

// 1 for a block of the viewport where some pixel fails noEdge, read one to one from the
// texels of the region in t0 (neighbours clamped to its edge texels, as mainPS clamps them). The
// lumas of three rows of the block and its border slide down it: each texel is read once.
float PSEdgeBlocks(FxaaVertex i) : SV_TARGET
{
    int2 firstTexel = int2(i.region.xy / i.texel);
    int2 lastTexel = int2(i.region.zw / i.texel);
    int2 origin = int2(i.pos.xy) * kBlock;                  // the block's first pixel
    int2 pixels = min(int2(gAreaSize) - origin, kBlock);    // its pixels across and down
    float above[kBlock + 2], here[kBlock + 2], below[kBlock + 2];
    [unroll] for (int x = 0; x < kBlock + 2; ++x)
    {
        int tx = clamp(firstTexel.x + origin.x + x - 1, firstTexel.x, lastTexel.x);
        above[x] = lumaOf(gSource.Load(int3(tx, clamp(firstTexel.y + origin.y - 1, firstTexel.y, lastTexel.y), 0)).rgb);
        here[x] = lumaOf(gSource.Load(int3(tx, clamp(firstTexel.y + origin.y, firstTexel.y, lastTexel.y), 0)).rgb);
    }
    bool edge = false;
    for (int y = 0; y < pixels.y; ++y)
    {
        int ty = clamp(firstTexel.y + origin.y + y + 1, firstTexel.y, lastTexel.y);
        [unroll] for (int x = 0; x < kBlock + 2; ++x)
            below[x] = lumaOf(gSource.Load(int3(clamp(firstTexel.x + origin.x + x - 1, firstTexel.x, lastTexel.x), ty, 0)).rgb);
        [unroll] for (int x = 1; x <= kBlock; ++x)
            edge = edge || (x <= pixels.x && !noEdge(here[x], above[x], below[x], here[x - 1], here[x + 1]));
        [unroll] for (int x = 0; x < kBlock + 2; ++x)
        {
            above[x] = here[x];
            here[x] = below[x];
        }
    }
    return edge ? 1.0 : 0.0;
}

float4 mainPS(FxaaVertex i) : SV_TARGET
{
    float2 texel = i.texel;
    float4 r = i.region;
    float2 uv = clamp(i.uv, r.xy, r.zw);

    float4 centre = gTexels.SampleLevel(gTexelSampler, uv, 0);
    float lM = lumaOf(centre.rgb);
    float lN = texelLuma(uv, float2(0, -1), i);
    float lS = texelLuma(uv, float2(0, 1), i);
    float lW = texelLuma(uv, float2(-1, 0), i);
    float lE = texelLuma(uv, float2(1, 0), i);
    float lMax = max(lM, max(max(lN, lS), max(lW, lE)));
    float lMin = min(lM, min(min(lN, lS), min(lW, lE)));
    float range = lMax - lMin;
    if (noEdge(lM, lN, lS, lW, lE))
        return centre;

    float lNW = texelLuma(uv, float2(-1, -1), i);
    float lNE = texelLuma(uv, float2(1, -1), i);
    float lSW = texelLuma(uv, float2(-1, 1), i);
    float lSE = texelLuma(uv, float2(1, 1), i);

    // Sub-pixel aliasing: how far the centre is from its neighbourhood's average.
    float average = (2.0 * (lN + lS + lW + lE) + lNW + lNE + lSW + lSE) / 12.0;
    float subpixel = smoothstep(0.0, 1.0, saturate(abs(average - lM) / range));
    subpixel = subpixel * subpixel * kSubpixel;

    // Second differences across rows and columns: a horizontal edge changes along y.
    float edgeH = abs(lNW + lSW - 2.0 * lW) + 2.0 * abs(lN + lS - 2.0 * lM) + abs(lNE + lSE - 2.0 * lE);
    float edgeV = abs(lNW + lNE - 2.0 * lN) + 2.0 * abs(lW + lE - 2.0 * lM) + abs(lSW + lSE - 2.0 * lS);
    bool horizontal = edgeH >= edgeV;

    // Which side of the pixel the edge lies on.
    float l1 = horizontal ? lN : lW;
    float l2 = horizontal ? lS : lE;
    float g1 = l1 - lM, g2 = l2 - lM;
    bool towardsFirst = abs(g1) >= abs(g2);
    float gradient = max(abs(g1), abs(g2));
    float across = horizontal ? texel.y : texel.x;
    if (towardsFirst)
        across = -across;
    float localAverage = 0.5 * ((towardsFirst ? l1 : l2) + lM);

    // Walk along the edge, half a texel towards it, until the luma leaves the edge's.
    float2 onEdge = uv;
    if (horizontal)
        onEdge.y += 0.5 * across;
    else
        onEdge.x += 0.5 * across;
    float2 along = horizontal ? float2(texel.x, 0) : float2(0, texel.y);
    // Each side steps out until its luma leaves the edge's; the first step is the loop's
    // first pass (on a CPU driver a loop's first pass runs for every pixel anyway).
    float2 posN = onEdge, posP = onEdge;
    float endN = 0.0, endP = 0.0;
    float scaled = gradient * 0.25;
    bool doneN = false, doneP = false;
    [loop]
    for (int k = 0; k < kSearchSteps && !(doneN && doneP); ++k)
    {
        if (!doneN)
        {
            posN -= along * kStepSizes[k];
            endN = lumaAt(posN, r) - localAverage;
            doneN = abs(endN) >= scaled;
        }
        if (!doneP)
        {
            posP += along * kStepSizes[k];
            endP = lumaAt(posP, r) - localAverage;
            doneP = abs(endP) >= scaled;
        }
    }
    float distN = horizontal ? uv.x - posN.x : uv.y - posN.y;
    float distP = horizontal ? posP.x - uv.x : posP.y - uv.y;
    bool nearerN = distN < distP;
    float span = distN + distP;
    // Only shift when the nearer end really ends this edge (its luma lies on the other side).
    bool centreBelow = lM - localAverage < 0.0;
    bool good = ((nearerN ? endN : endP) < 0.0) != centreBelow;
    float edgeOffset = good ? 0.5 - min(distN, distP) / max(span, 1e-6) : 0.0;
    float offset = max(edgeOffset, subpixel);

    float2 shifted = uv;
    if (horizontal)
        shifted.y += offset * across;
    else
        shifted.x += offset * across;
    return float4(fetch(shifted, r).rgb, centre.a);
}

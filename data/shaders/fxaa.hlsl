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
};

Texture2D gSource : register(t0);
SamplerState gSourceSampler : register(s0);

static const float kEdgeThreshold = 0.125;     // of the local maximum luma
static const float kEdgeThresholdMin = 0.0312; // darker contrasts are left alone
static const float kSubpixel = 0.75;
static const int kSearchSteps = 10;
static const float kStepSizes[kSearchSteps] = {1.0, 1.0, 1.0, 1.5, 2.0, 2.0, 2.0, 2.0, 4.0, 8.0};

FullscreenVertex mainVS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

struct Region
{
    float2 lo, hi;  // texel centres at the region's edges
};

float4 fetch(float2 uv, Region r)
{
    return gSource.SampleLevel(gSourceSampler, clamp(uv, r.lo, r.hi), 0);
}

float lumaAt(float2 uv, Region r)
{
    return sqrt(max(luminance(saturate(fetch(uv, r).rgb)), 0.0));
}

float4 mainPS(FullscreenVertex i) : SV_TARGET
{
    float w, h;
    gSource.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    Region r;
    r.lo = gRegionOffset + 0.5 * texel;
    r.hi = gRegionOffset + gRegionScale - 0.5 * texel;
    float2 uv = clamp(regionToSource(i.uv, gRegionScale, gRegionOffset), r.lo, r.hi);

    float4 centre = fetch(uv, r);
    float lM = sqrt(max(luminance(saturate(centre.rgb)), 0.0));
    float lN = lumaAt(uv + float2(0, -texel.y), r);
    float lS = lumaAt(uv + float2(0, texel.y), r);
    float lW = lumaAt(uv + float2(-texel.x, 0), r);
    float lE = lumaAt(uv + float2(texel.x, 0), r);
    float lMax = max(lM, max(max(lN, lS), max(lW, lE)));
    float lMin = min(lM, min(min(lN, lS), min(lW, lE)));
    float range = lMax - lMin;
    if (range < max(kEdgeThresholdMin, lMax * kEdgeThreshold))
        return centre;

    float lNW = lumaAt(uv + float2(-texel.x, -texel.y), r);
    float lNE = lumaAt(uv + float2(texel.x, -texel.y), r);
    float lSW = lumaAt(uv + float2(-texel.x, texel.y), r);
    float lSE = lumaAt(uv + float2(texel.x, texel.y), r);

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
    float2 posN = onEdge - along, posP = onEdge + along;
    float endN = lumaAt(posN, r) - localAverage;
    float endP = lumaAt(posP, r) - localAverage;
    float scaled = gradient * 0.25;
    bool doneN = abs(endN) >= scaled, doneP = abs(endP) >= scaled;
    [loop]
    for (int k = 1; k < kSearchSteps && !(doneN && doneP); ++k)
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
